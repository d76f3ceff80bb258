// ParserMemory is the memory manager of one Xerces-C parser that holds the parser to a limit. It
// hands out memory as the default one does, but refuses an allocation that would take the
// parser's memory in use past the limit of the moment, which the owner supplies as a function
// (it may grow with the input read, or shrink as other structures of the parse grow). A refusal
// is an OutOfMemoryException, which the parser passes on to its caller; Exceeded then tells it
// from a system that ran out of memory. What the limit is for: entity references can make one
// attribute value, which the parser builds in memory whole, far larger than the document.
//
// Freed blocks of the parser's entity readers (some 160 KB each, one for every entity reference
// expanded) are kept for the next reader, so that tens of thousands of expansions do not each
// cost fresh pages from the system.
//
// The object must outlive the parser that uses it. Use from one thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <xercesc/framework/MemoryManager.hpp>

class ParserMemory : public XERCES_CPP_NAMESPACE::MemoryManager {
 public:
  // limit tells how many bytes the parser may hold at the moment.
  explicit ParserMemory(std::function<uint64_t()> limit);
  ~ParserMemory() override;

  ParserMemory(const ParserMemory&) = delete;
  ParserMemory& operator=(const ParserMemory&) = delete;

  // The bytes the parser holds, the blocks kept for reuse included.
  uint64_t InUse() const { return _inUse; }
  // The limit of the moment.
  uint64_t Limit() const { return _limit(); }
  // True once an allocation was refused for the limit (not for a failed malloc).
  bool Exceeded() const { return _exceeded; }
  // Blocks of 64 KB and more taken from the system so far; reused blocks do not count.
  uint64_t LargeBlocksTaken() const { return _largeBlocksTaken; }

  // Throws OutOfMemoryException beyond the limit or when the system has no memory left.
  void* allocate(XMLSize_t size) override;
  void deallocate(void* p) override;
  // Exception texts are not counted: they must be made even when the limit is reached.
  XERCES_CPP_NAMESPACE::MemoryManager* getExceptionMemoryManager() override;

 private:
  struct Kept {
    XMLSize_t size = 0;
    unsigned char* block = nullptr;
  };

  std::function<uint64_t()> _limit;
  uint64_t _inUse = 0;
  uint64_t _largeBlocksTaken = 0;
  bool _exceeded = false;
  std::array<Kept, 4> _kept{};
  size_t _keptCount = 0;
};
