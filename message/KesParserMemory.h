// KesParserMemory is the memory manager of one parse: it hands out the parser's memory as the
// default one does and keeps one limit on the parser's memory in use and the bytes of the map
// being built together. An allocation that would pass the limit is refused with Xerces'
// OutOfMemoryException (which the parser passes on to its caller), and MapBytesFit tells the
// handler when the map has grown past it. Entity references in an attribute value (built whole
// in the parser's memory) and default attributes that the DTD adds to every element are the
// inputs that would otherwise grow without a bound. Kept to this folder; the object must
// outlive the parser that uses it and belongs to the parser's thread.
#pragma once

#include <cstdint>
#include <xercesc/framework/MemoryManager.hpp>

class KesParserMemory : public XERCES_CPP_NAMESPACE::MemoryManager {
 public:
  explicit KesParserMemory(uint64_t limit) : _limit(limit) {}

  KesParserMemory(const KesParserMemory&) = delete;
  KesParserMemory& operator=(const KesParserMemory&) = delete;

  uint64_t Limit() const { return _limit; }
  // True once something was refused for the limit (not for a failed malloc).
  bool Exceeded() const { return _exceeded; }

  // Records the bytes that the map holds now; false when they no longer fit beside the
  // parser's memory.
  bool MapBytesFit(uint64_t mapBytes);

  // Throws OutOfMemoryException beyond the limit or when the system has no memory left.
  void* allocate(XMLSize_t size) override;
  void deallocate(void* p) override;
  // Exception texts are not counted: they must be made even when the limit is reached.
  XERCES_CPP_NAMESPACE::MemoryManager* getExceptionMemoryManager() override;

 private:
  const uint64_t _limit;
  uint64_t _parserBytes = 0;
  uint64_t _mapBytes = 0;
  bool _exceeded = false;
};
