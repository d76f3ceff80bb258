#include "EchoHandlers.h"

#include <cstdio>
#include <string_view>
#include <xercesc/sax/AttributeList.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>

#include "LocalText.h"

using xercesc::AttributeList;
using xercesc::SAXParseException;

namespace {

// Standard output is fully buffered by main; a failed write leaves the stream's error flag
// set, which main checks once at the end.
void Write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// Writes text with the four markup characters replaced by their entity references. The local
// code page is ASCII-compatible, so these bytes never occur inside a multi-byte character.
void WriteEscaped(std::string_view text) {
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::string_view reference;
    switch (text[i]) {
      case '&':
        reference = "&amp;";
        break;
      case '<':
        reference = "&lt;";
        break;
      case '>':
        reference = "&gt;";
        break;
      case '"':
        reference = "&quot;";
        break;
      default:
        continue;
    }
    Write(text.substr(runStart, i - runStart));
    Write(reference);
    runStart = i + 1;
  }
  Write(text.substr(runStart));
}

// One diagnostic line: "\n<kind> at (file <id>, line <n>, char <n>): <message>\n".
void Report(const char* kind, const SAXParseException& exc) {
  const LocalText systemId(exc.getSystemId());
  const LocalText message(exc.getMessage());
  std::fflush(stdout);
  std::fprintf(stderr, "\n%s at (file %s, line %llu, char %llu): %s\n", kind, systemId.CStr(),
               static_cast<unsigned long long>(exc.getLineNumber()),
               static_cast<unsigned long long>(exc.getColumnNumber()), message.CStr());
  std::fflush(stderr);
}

}  // namespace

EchoHandlers::EchoHandlers(bool doEscapes) : _doEscapes(doEscapes) {}

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
  const LocalText text(chars, length);
  if (_doEscapes) {
    WriteEscaped(text.View());
  } else {
    Write(text.View());
  }
}

void EchoHandlers::endDocument() {}

void EchoHandlers::endElement(const XMLCh* const name) {
  const LocalText text(name);
  Write("</");
  Write(text.View());
  Write(">");
}

void EchoHandlers::ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length) {
  const LocalText text(chars, length);
  Write(text.View());
}

void EchoHandlers::processingInstruction(const XMLCh* const target, const XMLCh* const data) {
  const LocalText targetText(target);
  Write("<?");
  Write(targetText.View());
  // The parser hands "<?t?>" over with empty, not null, data: empty data counts as none.
  if (data != nullptr && *data != 0) {
    const LocalText dataText(data);
    Write(" ");
    Write(dataText.View());
  }
  Write("?>\n");
}

void EchoHandlers::startDocument() {}

void EchoHandlers::startElement(const XMLCh* const name, AttributeList& attributes) {
  const LocalText nameText(name);
  Write("<");
  Write(nameText.View());
  const XMLSize_t count = attributes.getLength();
  for (XMLSize_t i = 0; i < count; ++i) {
    // Attribute values go out as the parser resolved them, references included, unescaped.
    const LocalText attrName(attributes.getName(i));
    const LocalText attrValue(attributes.getValue(i));
    Write(" ");
    Write(attrName.View());
    Write("=\"");
    Write(attrValue.View());
    Write("\"");
  }
  Write(">");
}

void EchoHandlers::warning(const SAXParseException& exc) {
  Report("Warning", exc);
}

void EchoHandlers::error(const SAXParseException& exc) {
  ++_errorCount;
  Report("Error", exc);
}

void EchoHandlers::fatalError(const SAXParseException& exc) {
  ++_errorCount;
  Report("Fatal Error", exc);
}
