// KesMessageParser turns the bytes of an XML message into a KesMessageMap with Xerces-C
// (SAX2), building the map from the parser's events without recursion. It is written for
// untrusted input:
//   - no external entity, external DTD or schema is ever loaded: no file is read and no
//     network connection is made; a reference to an external entity is refused;
//   - at most 10,000 entity references are expanded (the parser's security manager), an
//     internal entity's value may hold at most 4096 characters, and everything that
//     entity references produce in content may together amount to at most 16 MiB, so
//     that neither a billion-laughs document nor one large entity used many times can
//     exhaust memory (an attribute value thus stays below 10,000 x 4096 characters);
//   - elements may nest at most 10,000 levels deep.
// Every refusal and every parser error throws a KesException whose text is
// "XML parse error at line L, column C: <reason>". The Xerces platform is initialised on
// the first parse by a function-local static (so once per process, thread-safe) and
// terminated when static objects are destroyed at exit. Kept to this folder; stateless,
// so parses may run in several threads at once.
#pragma once

#include <cstdint>

#include "KesBinary.h"
#include "KesMessageMap.h"

class KesMessageParser {
 public:
  static constexpr uint32_t kMaxDepth = 10000;
  static constexpr uint32_t kMaxEntityExpansions = 10000;
  static constexpr uint32_t kMaxEntityValue = 4096;
  static constexpr uint64_t kMaxEntityOutput = 16ull * 1024 * 1024;

  // The bounds of one parse; KesMessage uses the defaults, tests may narrow them.
  struct Limits {
    uint32_t depth = kMaxDepth;
    uint32_t entityExpansions = kMaxEntityExpansions;
    uint32_t entityValue = kMaxEntityValue;
    uint64_t entityOutput = kMaxEntityOutput;
  };

  // Parses the message. Throws KesException ("empty message" for a null or empty
  // buffer, otherwise as above) and std::bad_alloc when memory runs out.
  static KesMessageMap Parse(const KesBinary& xml);
  static KesMessageMap Parse(const KesBinary& xml, const Limits& limits);
};
