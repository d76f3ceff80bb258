#include "ParserMemory.h"

#include <cstddef>
#include <cstdlib>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>

namespace xc = XERCES_CPP_NAMESPACE;

namespace {

// Each block starts with its size, padded so that the memory handed out stays aligned.
constexpr std::size_t kHeader = alignof(std::max_align_t);
// Blocks this large are kept for reuse; the parser allocates few of them apart from readers.
constexpr XMLSize_t kKeptMinBytes = 64 * 1024;

XMLSize_t& SizeOf(unsigned char* block) {
  return *reinterpret_cast<XMLSize_t*>(block);
}

}  // namespace

ParserMemory::ParserMemory(std::function<uint64_t()> limit) : _limit(std::move(limit)) {}

ParserMemory::~ParserMemory() {
  for (size_t i = 0; i < _keptCount; ++i) std::free(_kept[i].block);
}

void* ParserMemory::allocate(XMLSize_t size) {
  for (size_t i = 0; i < _keptCount; ++i) {
    if (_kept[i].size != size) continue;
    unsigned char* block = _kept[i].block;
    _kept[i] = _kept[--_keptCount];
    return block + kHeader;
  }
  const uint64_t limit = Limit();
  if (_inUse > limit || size > limit - _inUse) {
    _exceeded = true;
    throw xc::OutOfMemoryException();
  }
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) throw xc::OutOfMemoryException();
  if (size >= kKeptMinBytes) ++_largeBlocksTaken;
  SizeOf(block) = size;
  _inUse += size;
  return block + kHeader;
}

void ParserMemory::deallocate(void* p) {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  const XMLSize_t size = SizeOf(block);
  if (size >= kKeptMinBytes && _keptCount < _kept.size()) {
    _kept[_keptCount++] = Kept{size, block};
    return;
  }
  _inUse -= size;
  std::free(block);
}

xc::MemoryManager* ParserMemory::getExceptionMemoryManager() {
  return xc::XMLPlatformUtils::fgMemoryManager;
}
