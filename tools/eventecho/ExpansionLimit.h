// ExpansionLimit bounds what entity references produce in one document: the characters of text,
// element names, attribute names and attribute values that the parser reports while it reads
// the replacement text of an entity reference in content, nested references included. The
// parser's own limit counts expansions, not their size, so one large entity used many times
// would otherwise be echoed without end.
//
// It is installed beside the ordinary handlers with SAXParser::installAdvDocHandler and writes
// nothing itself. When the produced characters pass the limit, it reports a fatal error through
// EchoHandlers at the parser's current position and throws ExpansionLimit::Exceeded, which
// SAXParser::parse passes on to its caller. Entity references inside attribute values are
// expanded by the parser before any event; ParserMemory bounds those.
//
// The object must outlive the parse; it belongs to the parser's thread.
#pragma once

#include <cstdint>
#include <xercesc/framework/XMLDocumentHandler.hpp>

class EchoHandlers;

class ExpansionLimit : public xercesc::XMLDocumentHandler {
 public:
  // Thrown to stop the parse once the limit is passed and reported.
  struct Exceeded {};

  static constexpr uint64_t kMaxCharacters = 16ull << 20;

  // report receives the fatal error; it must outlive this object.
  explicit ExpansionLimit(EchoHandlers& report, uint64_t maxCharacters = kMaxCharacters);

  ExpansionLimit(const ExpansionLimit&) = delete;
  ExpansionLimit& operator=(const ExpansionLimit&) = delete;

  void docCharacters(const XMLCh* const chars, const XMLSize_t length,
                     const bool cdataSection) override;
  void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length,
                           const bool cdataSection) override;
  void startElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int uriId,
                    const XMLCh* const prefixName,
                    const xercesc::RefVectorOf<xercesc::XMLAttr>& attrList,
                    const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) override;
  void startEntityReference(const xercesc::XMLEntityDecl& entDecl) override;
  void endEntityReference(const xercesc::XMLEntityDecl& entDecl) override;
  void resetDocument() override;

  // No other event counts.
  void docComment(const XMLCh* const) override {}
  void docPI(const XMLCh* const, const XMLCh* const) override {}
  void endDocument() override {}
  void endElement(const xercesc::XMLElementDecl&, const unsigned int, const bool,
                  const XMLCh* const) override {}
  void startDocument() override {}
  void XMLDecl(const XMLCh* const, const XMLCh* const, const XMLCh* const,
               const XMLCh* const) override {}

 private:
  void Produced(uint64_t characters);

  EchoHandlers& _report;
  const uint64_t _maxCharacters;
  uint64_t _produced = 0;
  uint32_t _depth = 0;  // entity references open around the current event
};
