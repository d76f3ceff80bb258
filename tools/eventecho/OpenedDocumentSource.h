// OpenedDocumentSource is the input source of the primary document, opened before the parse.
// Xerces-C 3.2 no longer throws from parse() for a document it cannot open (it reports a fatal
// error and returns); opening here turns that case back into an XMLException for the caller.
//
// The file name is resolved the way SAXParser::parse(const char*) resolves its system
// identifier: a text that parses as an absolute URL becomes a URLInputSource, anything else a
// LocalFileInputSource (which makes a relative path absolute against the working directory).
// The resolved system identifier is kept, so diagnostics and relative DTD and entity references
// see the same name as in a plain parse.
//
// The stream opened by the constructor is handed over to the parser on the first makeStream
// call; a later call opens the document again. The object must outlive the parse that uses it.
// The parser platform must be initialised. Not for use from several threads.
#pragma once

#include <memory>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/util/BinInputStream.hpp>

class OpenedDocumentSource : public xercesc::InputSource {
 public:
  // fileName is the command-line text in the local code page. Throws an XMLException when the
  // document cannot be opened: "unable to open primary document entity '<system id>'" for a
  // missing or unreadable file, or the exception of the URL or network layer.
  explicit OpenedDocumentSource(const char* fileName);
  ~OpenedDocumentSource() override;

  OpenedDocumentSource(const OpenedDocumentSource&) = delete;
  OpenedDocumentSource& operator=(const OpenedDocumentSource&) = delete;

  // The caller (the parser) owns the returned stream. Returns null when a repeated open fails.
  xercesc::BinInputStream* makeStream() const override;

 private:
  std::unique_ptr<xercesc::InputSource> _resolved;
  mutable std::unique_ptr<xercesc::BinInputStream> _opened;
};
