#include "EchoHandlers.h"

#include <cstdio>
#include <xercesc/sax/AttributeList.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>

#include "EchoOutput.h"
#include "LocalText.h"

using xercesc::AttributeList;
using xercesc::SAXParseException;

namespace {

// One diagnostic line: "\n<kind> at (file <id>, line <n>, char <n>): <message>\n".
void Report(const char* kind, const SAXParseException& exc, EchoOutput& out) {
  const LocalText systemId(exc.getSystemId());
  const LocalText message(exc.getMessage());
  out.Flush();
  std::fprintf(stderr, "\n%s at (file %s, line %llu, char %llu): %s\n", kind, systemId.CStr(),
               static_cast<unsigned long long>(exc.getLineNumber()),
               static_cast<unsigned long long>(exc.getColumnNumber()), message.CStr());
  std::fflush(stderr);
}

}  // namespace

EchoHandlers::EchoHandlers(bool doEscapes, EchoOutput& out) : _doEscapes(doEscapes), _out(out) {}

void EchoHandlers::ReportFatalError(const std::string& message) {
  const std::u16string text(message.begin(), message.end());
  if (_locator != nullptr) {
    fatalError(SAXParseException(text.c_str(), *_locator));
  } else {
    fatalError(SAXParseException(text.c_str(), nullptr, nullptr, 0, 0));
  }
}

void EchoHandlers::setDocumentLocator(const xercesc::Locator* const locator) {
  _locator = locator;
}

void EchoHandlers::notationDecl(const XMLCh* const, const XMLCh* const, const XMLCh* const) {}

void EchoHandlers::unparsedEntityDecl(const XMLCh* const, const XMLCh* const, const XMLCh* const,
                                      const XMLCh* const) {}

void EchoHandlers::characters(const XMLCh* const chars, const XMLSize_t length) {
  if (_doEscapes) {
    _out.AppendEscaped(chars, length);
  } else {
    _out.AppendText(chars, length);
  }
}

void EchoHandlers::endDocument() {}

void EchoHandlers::endElement(const XMLCh* const name) {
  _out.Append("</");
  _out.AppendText(name);
  _out.Append(">");
}

void EchoHandlers::ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length) {
  _out.AppendText(chars, length);
}

void EchoHandlers::processingInstruction(const XMLCh* const target, const XMLCh* const data) {
  _out.Append("<?");
  _out.AppendText(target);
  // The parser hands "<?t?>" over with empty, not null, data: empty data counts as none.
  if (data != nullptr && *data != 0) {
    _out.Append(" ");
    _out.AppendText(data);
  }
  _out.Append("?>\n");
}

void EchoHandlers::startDocument() {}

void EchoHandlers::startElement(const XMLCh* const name, AttributeList& attributes) {
  _out.Append("<");
  _out.AppendText(name);
  const XMLSize_t count = attributes.getLength();
  for (XMLSize_t i = 0; i < count; ++i) {
    // Attribute values go out as the parser resolved them, references included, unescaped.
    _out.Append(" ");
    _out.AppendText(attributes.getName(i));
    _out.Append("=\"");
    _out.AppendText(attributes.getValue(i));
    _out.Append("\"");
  }
  _out.Append(">");
}

void EchoHandlers::warning(const SAXParseException& exc) {
  Report("Warning", exc, _out);
}

void EchoHandlers::error(const SAXParseException& exc) {
  ++_errorCount;
  Report("Error", exc, _out);
}

void EchoHandlers::fatalError(const SAXParseException& exc) {
  ++_errorCount;
  Report("Fatal Error", exc, _out);
}
