#include "ParserMemory.h"

#include <cstddef>
#include <cstdlib>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

using namespace xercesc;

namespace {

// Each block starts with its size, padded so that the memory handed out stays aligned.
constexpr std::size_t kHeader = alignof(std::max_align_t);

}  // namespace

ParserMemory::ParserMemory(std::function<uint64_t()> inputBytes)
    : _inputBytes(std::move(inputBytes)) {}

uint64_t ParserMemory::Limit() const {
  return kFloorBytes + kBytesPerInputByte * _inputBytes();
}

void* ParserMemory::allocate(XMLSize_t size) {
  // The limit only grows, so the memory in use never exceeds it.
  if (size > Limit() - _inUse) {
    _exceeded = true;
    throw OutOfMemoryException();
  }
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw OutOfMemoryException();
  *reinterpret_cast<XMLSize_t*>(block) = size;
  _inUse += size;
  return block + kHeader;
}

void ParserMemory::deallocate(void* p) {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  _inUse -= *reinterpret_cast<XMLSize_t*>(block);
  std::free(block);
}

MemoryManager* ParserMemory::getExceptionMemoryManager() {
  return XMLPlatformUtils::fgMemoryManager;
}
