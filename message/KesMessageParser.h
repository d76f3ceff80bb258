// KesMessageParser turns the bytes of an XML message into a KesMessageMap with Xerces-C
// (SAX2), building the map from the parser's events without recursion. It is written for
// untrusted input:
//   - no external entity, external DTD or schema is ever loaded: no file is read and no
//     network connection is made; a reference to an external entity is refused;
//   - at most 10,000 entity references are expanded (the parser's security manager), and
//     everything that entity references produce in content may together amount to at most
//     16 MiB, so that neither a billion-laughs document nor one large entity used many times
//     floods the map;
//   - the parser's memory and the map together may take at most 64 MiB plus 128 bytes per
//     byte of the message (far more than messages need: the most, some 500 bytes, goes to
//     each distinct element name), which bounds what no event shows as it grows: entity
//     references in an attribute value, default attributes of the DTD on every element;
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
  static constexpr uint64_t kMaxEntityOutput = 16ull * 1024 * 1024;
  static constexpr uint64_t kMemoryFloor = 64ull * 1024 * 1024;
  static constexpr uint64_t kMemoryPerMessageByte = 128;

  // The bounds of one parse; KesMessage uses the defaults, tests may narrow them.
  struct Limits {
    uint32_t depth = kMaxDepth;
    uint32_t entityExpansions = kMaxEntityExpansions;
    uint64_t entityOutput = kMaxEntityOutput;
    uint64_t memoryFloor = kMemoryFloor;
    uint64_t memoryPerMessageByte = kMemoryPerMessageByte;
  };

  // Parses the message. Throws KesException ("empty message" for a null or empty
  // buffer, otherwise as above) and std::bad_alloc when memory runs out.
  static KesMessageMap Parse(const KesBinary& xml);
  static KesMessageMap Parse(const KesBinary& xml, const Limits& limits);
  // The same for a message handed over: when no other handle shares its bytes, the memory
  // of the bytes already parsed goes back to the system during the parse.
  static KesMessageMap Parse(KesBinary&& xml);

 private:
  static KesMessageMap Parse(const KesBinary& xml, const Limits& limits, bool releaseAsRead);
};
