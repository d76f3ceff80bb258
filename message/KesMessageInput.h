// KesMessageInput is the input source of one parse over the bytes of a message held in a
// KesBinary: the parser reads them where they lie, without a copy. When the parse is the last
// reader of the bytes (the message was handed over and no other handle shares it), the stream
// gives the memory pages it has read back to the system as it goes, so that the message text
// and the map it becomes are never both held whole; the bytes read so far are then zero. Kept
// to this folder; the KesBinary must outlive the parse. One parse, one thread.
#pragma once

#include <xercesc/sax/InputSource.hpp>

#include "KesBinary.h"

class KesMessageInput : public XERCES_CPP_NAMESPACE::InputSource {
 public:
  // releaseAsRead: give the pages back as they are read; honoured only when xml's
  // representation has no other handle.
  KesMessageInput(const KesBinary& xml, bool releaseAsRead, const XMLCh* systemId);

  XERCES_CPP_NAMESPACE::BinInputStream* makeStream() const override;

 private:
  const KesBinary& _xml;
  bool _releaseAsRead;
};
