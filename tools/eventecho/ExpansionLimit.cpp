#include "ExpansionLimit.h"

#include <string>
#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLElementDecl.hpp>
#include <xercesc/util/XMLString.hpp>

#include "EchoHandlers.h"

using namespace xercesc;

ExpansionLimit::ExpansionLimit(EchoHandlers& report, uint64_t maxCharacters)
    : _report(report), _maxCharacters(maxCharacters) {}

void ExpansionLimit::docCharacters(const XMLCh* const, const XMLSize_t length, const bool) {
  if (_depth > 0) Produced(length);
}

void ExpansionLimit::ignorableWhitespace(const XMLCh* const, const XMLSize_t length, const bool) {
  if (_depth > 0) Produced(length);
}

void ExpansionLimit::startElement(const XMLElementDecl& elemDecl, const unsigned int,
                                  const XMLCh* const, const RefVectorOf<XMLAttr>& attrList,
                                  const XMLSize_t attrCount, const bool, const bool) {
  if (_depth == 0) return;
  uint64_t characters = XMLString::stringLen(elemDecl.getFullName());
  for (XMLSize_t i = 0; i < attrCount; ++i) {
    const XMLAttr* attr = attrList.elementAt(i);
    characters += XMLString::stringLen(attr->getQName()) + XMLString::stringLen(attr->getValue());
  }
  Produced(characters);
}

void ExpansionLimit::startEntityReference(const XMLEntityDecl&) {
  ++_depth;
}

void ExpansionLimit::endEntityReference(const XMLEntityDecl&) {
  if (_depth > 0) --_depth;
}

void ExpansionLimit::resetDocument() {
  _produced = 0;
  _depth = 0;
}

void ExpansionLimit::Produced(uint64_t characters) {
  _produced += characters;
  if (_produced <= _maxCharacters) return;
  _report.ReportFatalError("entity references produce more than " + std::to_string(_maxCharacters) +
                           " characters in the document; this is the limit imposed by the "
                           "application");
  throw Exceeded();
}
