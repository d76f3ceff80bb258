#include "EchoParser.h"

#include <string>
#include <xercesc/util/OutOfMemoryException.hpp>

#include "EchoHandlers.h"
#include "RegularFileMgr.h"

using namespace xercesc;

EchoParser::EchoParser(bool doValidation, EchoHandlers& handlers, RegularFileMgr& files)
    : _handlers(handlers),
      _memory([&files] { return kMemoryFloor + kMemoryPerInputByte * files.BytesRead(); }),
      _expansion(handlers),
      _parser(nullptr, &_memory) {
  _security.setEntityExpansionLimit(kEntityExpansionLimit);
  _parser.setValidationScheme(doValidation ? SAXParser::Val_Always : SAXParser::Val_Never);
  _parser.setSecurityManager(&_security);
  _parser.setDocumentHandler(&handlers);
  _parser.setErrorHandler(&handlers);
  _parser.installAdvDocHandler(&_expansion);
}

void EchoParser::Parse(const InputSource& source) {
  try {
    _parser.parse(source);
  } catch (const ExpansionLimit::Exceeded&) {
    // Already reported as a fatal error.
  } catch (const OutOfMemoryException&) {
    if (!_memory.Exceeded()) throw;
    // The parser is still whole, so the report can take its position.
    _handlers.ReportFatalError("the document needs more than " + std::to_string(_memory.Limit()) +
                               " bytes of parser memory; this is the limit imposed by the "
                               "application");
  }
}
