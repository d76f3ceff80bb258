// EchoParser is the parser of one eventecho run with its protections, for documents from
// anywhere: the parser's SecurityManager bounds the number of entity expansions and
// ExpansionLimit what they produce in content, ParserMemory bounds the parser's memory (entity
// references in an attribute value) by the input read, and files come through the
// RegularFileMgr that the caller installed. A limit passed is reported through the handlers as a
// fatal error and ends the parse.
//
// Calls of the older SAX interface and what they are on Xerces-C 3.2:
//   new SAXParser(0)                -> SAXParser with no XMLValidator (it makes its own)
//   setDoValidation(true / false)   -> setValidationScheme(Val_Always / Val_Never)
//   parse(file, false)              -> parse(const InputSource&); cached grammars are not
//                                      used unless asked for, so the "no reuse" flag needs
//                                      no call
//
// One object serves one parse; the handlers and the file manager must outlive it. Use from one
// thread.
#pragma once

#include <xercesc/parsers/SAXParser.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/util/SecurityManager.hpp>

#include "ExpansionLimit.h"
#include "ParserMemory.h"

class EchoHandlers;
class RegularFileMgr;

class EchoParser {
 public:
  // Entity expansions allowed in one document: far above what real documents use, far below
  // what an exponential entity bomb needs.
  static constexpr XMLSize_t kEntityExpansionLimit = 50000;
  // The parser's memory may grow to kMemoryFloor plus kMemoryPerInputByte for every byte read
  // from files so far. Legitimate documents stay far below: the parser's largest cost is some
  // 350 bytes per distinct element name, 36 bytes per byte of such a document.
  static constexpr uint64_t kMemoryFloor = 64ull << 20;
  static constexpr uint64_t kMemoryPerInputByte = 64;

  EchoParser(bool doValidation, EchoHandlers& handlers, RegularFileMgr& files);

  EchoParser(const EchoParser&) = delete;
  EchoParser& operator=(const EchoParser&) = delete;

  // Parses the document; the handlers receive its events and all diagnostics, the passed
  // limits included. Passes on an XMLException (a document that cannot be opened) and an
  // OutOfMemoryException when the system's memory, not the limit, runs out.
  void Parse(const xercesc::InputSource& source);

 private:
  EchoHandlers& _handlers;
  ParserMemory _memory;
  xercesc::SecurityManager _security;
  ExpansionLimit _expansion;
  xercesc::SAXParser _parser;
};
