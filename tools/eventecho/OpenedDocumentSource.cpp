#include "OpenedDocumentSource.h"

#include <xercesc/framework/LocalFileInputSource.hpp>
#include <xercesc/framework/URLInputSource.hpp>
#include <xercesc/util/RuntimeException.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLURL.hpp>

using namespace xercesc;

namespace {

// Owns a text from XMLString::transcode(const char*) until the end of the scope.
struct UnicodeText {
  explicit UnicodeText(const char* text) : value(XMLString::transcode(text)) {}
  ~UnicodeText() { XMLString::release(&value); }
  UnicodeText(const UnicodeText&) = delete;
  UnicodeText& operator=(const UnicodeText&) = delete;
  XMLCh* value;
};

}  // namespace

OpenedDocumentSource::OpenedDocumentSource(const char* fileName) {
  const UnicodeText systemId(fileName);
  XMLURL url;
  if (XMLURL::parse(systemId.value, url) && !url.isRelative()) {
    _resolved.reset(new URLInputSource(url));
  } else {
    _resolved.reset(new LocalFileInputSource(systemId.value));
  }
  setSystemId(_resolved->getSystemId());
  _opened.reset(_resolved->makeStream());
  if (!_opened) {
    throw RuntimeException(__FILE__, __LINE__, XMLExcepts::Scan_CouldNotOpenSource, getSystemId());
  }
}

OpenedDocumentSource::~OpenedDocumentSource() = default;

BinInputStream* OpenedDocumentSource::makeStream() const {
  if (_opened) return _opened.release();
  return _resolved->makeStream();
}
