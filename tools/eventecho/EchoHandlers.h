// EchoHandlers receives the SAX events of one parse and writes them back out as markup on
// standard output: start tags with their attributes, end tags, character data (escaped for
// "&", "<", ">" and the double quote unless escaping is off), ignorable whitespace and
// processing instructions. Warnings, errors and fatal errors become one report line each on
// standard error; the handlers never throw, so the parse always runs on as far as the parser
// itself goes, and the caller asks ErrorCount afterwards whether the document was sound.
//
// Every text the parser hands over is converted to the local code page as it is written to the
// EchoOutput, whose buffer is flushed before each report line, so that standard output and
// standard error interleave in order without a system call per event.
//
// Callback signatures are those of Xerces-C 3.2's HandlerBase: character counts and attribute
// indexes are XMLSize_t (unsigned int in the older interface), and the line and column of a
// SAXParseException are XMLFileLoc, a 64-bit unsigned integer.
//
// The object is installed by the caller as document and error handler of one parser and must
// outlive the parse; it owns nothing of the parser's, and the output must outlive it. Callbacks
// run on the parser's thread.
#pragma once

#include <string>
#include <xercesc/sax/HandlerBase.hpp>

class EchoOutput;

class EchoHandlers : public xercesc::HandlerBase {
 public:
  // doEscapes: true to escape character data, false to write it unchanged; out receives the
  // events.
  EchoHandlers(bool doEscapes, EchoOutput& out);

  // Number of errors and fatal errors reported during the parse; warnings do not count.
  unsigned long ErrorCount() const { return _errorCount; }

  // Reports a fatal error that the tool itself finds (a limit passed), at the parser's
  // current position, exactly as the parser's own fatal errors. message is ASCII.
  void ReportFatalError(const std::string& message);

  // DTDHandler: declarations produce no output.
  void notationDecl(const XMLCh* const name, const XMLCh* const publicId,
                    const XMLCh* const systemId) override;
  void unparsedEntityDecl(const XMLCh* const name, const XMLCh* const publicId,
                          const XMLCh* const systemId, const XMLCh* const notationName) override;

  // DocumentHandler.
  void characters(const XMLCh* const chars, const XMLSize_t length) override;
  void endDocument() override;
  // Kept for ReportFatalError; valid while the parse runs.
  void setDocumentLocator(const xercesc::Locator* const locator) override;
  void endElement(const XMLCh* const name) override;
  void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length) override;
  // data is null or empty when the instruction has none; only data that has text gets a blank.
  void processingInstruction(const XMLCh* const target, const XMLCh* const data) override;
  void startDocument() override;
  void startElement(const XMLCh* const name, xercesc::AttributeList& attributes) override;

  // ErrorHandler: each writes one report line to standard error and returns normally.
  void warning(const xercesc::SAXParseException& exc) override;
  void error(const xercesc::SAXParseException& exc) override;
  void fatalError(const xercesc::SAXParseException& exc) override;

 private:
  bool _doEscapes;
  EchoOutput& _out;
  unsigned long _errorCount = 0;
  const xercesc::Locator* _locator = nullptr;
};
