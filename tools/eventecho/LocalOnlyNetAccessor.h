// LocalOnlyNetAccessor takes the place of the parser's network accessor so that no document,
// DTD or external entity is ever fetched over the network. The parser reads plain file names and
// file URLs of this host itself; every other URL reaches the net accessor, and this one refuses it
// with a NetAccessorException ("URL protocol '<name>' is unsupported"), which the parser reports
// as a fatal error like any other entity it cannot open.
//
// One object serves the whole process; the parser platform owns it once installed. Holds no
// state, so it is safe from any thread.
#pragma once

#include <xercesc/util/XMLNetAccessor.hpp>

class LocalOnlyNetAccessor : public xercesc::XMLNetAccessor {
 public:
  // Deletes the accessor that XMLPlatformUtils::Initialize installed and puts a new
  // LocalOnlyNetAccessor in its place; XMLPlatformUtils::Terminate deletes it. Call right after
  // Initialize, before any parser exists.
  static void Install();

  const XMLCh* getId() const override;
  // Always throws NetAccessorException.
  xercesc::BinInputStream* makeNew(const xercesc::XMLURL& urlSource,
                                   const xercesc::XMLNetHTTPInfo* httpInfo) override;
};
