#include "LocalOnlyNetAccessor.h"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLURL.hpp>

using namespace xercesc;

void LocalOnlyNetAccessor::Install() {
  delete XMLPlatformUtils::fgNetAccessor;
  XMLPlatformUtils::fgNetAccessor = new LocalOnlyNetAccessor();
}

const XMLCh* LocalOnlyNetAccessor::getId() const {
  static const XMLCh id[] = u"LocalOnly";
  return id;
}

BinInputStream* LocalOnlyNetAccessor::makeNew(const XMLURL& urlSource, const XMLNetHTTPInfo*) {
  throw NetAccessorException(__FILE__, __LINE__, XMLExcepts::URL_UnsupportedProto1,
                             urlSource.getProtocolName());
}
