#include "KesParserMemory.h"

#include <cstddef>
#include <cstdlib>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

namespace xc = XERCES_CPP_NAMESPACE;

namespace {

// Each block starts with its size, padded so that the memory handed out stays aligned.
constexpr std::size_t kHeader = alignof(std::max_align_t);

}  // namespace

bool KesParserMemory::MapBytesFit(uint64_t mapBytes) {
  _mapBytes = mapBytes;
  if (_mapBytes <= _limit && _parserBytes <= _limit - _mapBytes) return true;
  _exceeded = true;
  return false;
}

void* KesParserMemory::allocate(XMLSize_t size) {
  const uint64_t inUse = _parserBytes + _mapBytes;
  if (inUse > _limit || size > _limit - inUse) {
    _exceeded = true;
    throw xc::OutOfMemoryException();
  }
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw xc::OutOfMemoryException();
  *reinterpret_cast<XMLSize_t*>(block) = size;
  _parserBytes += size;
  return block + kHeader;
}

void KesParserMemory::deallocate(void* p) {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  _parserBytes -= *reinterpret_cast<XMLSize_t*>(block);
  std::free(block);
}

xc::MemoryManager* KesParserMemory::getExceptionMemoryManager() {
  return xc::XMLPlatformUtils::fgMemoryManager;
}
