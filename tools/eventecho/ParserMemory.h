// ParserMemory is the memory manager of one parser. It hands out memory as the default one does,
// but refuses an allocation that would take the parser's memory in use past a limit that grows
// with the input: kFloorBytes, plus kBytesPerInputByte for every byte of input read so far.
// Entity references can make one attribute value, which the parser builds in memory whole, far
// larger than the document; the limit ends that with an OutOfMemoryException, which the parser
// passes on to its caller. Legitimate documents stay far below it: the parser's largest cost
// per byte of input is about 350 bytes per distinct element name, some 36 bytes per byte.
//
// The object must outlive the parser that uses it. Use from one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <xercesc/framework/MemoryManager.hpp>

class ParserMemory : public xercesc::MemoryManager {
 public:
  static constexpr uint64_t kFloorBytes = 64ull << 20;
  static constexpr uint64_t kBytesPerInputByte = 64;

  // inputBytes tells how many bytes of input the parser has read so far.
  explicit ParserMemory(std::function<uint64_t()> inputBytes);

  ParserMemory(const ParserMemory&) = delete;
  ParserMemory& operator=(const ParserMemory&) = delete;

  // The limit for the input read so far.
  uint64_t Limit() const;
  // True once an allocation was refused for the limit (not for a failed malloc).
  bool Exceeded() const { return _exceeded; }

  // Throws OutOfMemoryException beyond the limit or when the system has no memory left.
  void* allocate(XMLSize_t size) override;
  void deallocate(void* p) override;
  // Exception texts are not counted: they must be made even when the limit is reached.
  xercesc::MemoryManager* getExceptionMemoryManager() override;

 private:
  std::function<uint64_t()> _inputBytes;
  uint64_t _inUse = 0;
  bool _exceeded = false;
};
