#include "KesBinary.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "KesCheck.h"

namespace {

constexpr const char* kSource = "keskbin";
constexpr uint32_t kMaxLen = UINT32_MAX - 1;  // one byte stays free for the zero

// Blocks from this size on (large messages and files) get a mapping of their own on 2 MiB
// pages where the system offers them. Each 4 KiB page costs a fault when it is first
// touched, and on virtual machines a second one in the hypervisor: for 100 MB that was more
// time than reading the bytes. A huge page costs one fault for 512 small ones.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kLargeBlock = 2 * kHugePage;

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer every block stays on the heap, where overruns are caught.
bool IsLarge(uint32_t) {
  return false;
}
#else
bool IsLarge(uint32_t allocLen) {
  return static_cast<std::size_t>(allocLen) + 1 >= kLargeBlock;
}
#endif

std::size_t LargeSize(uint32_t allocLen) {
  return (static_cast<std::size_t>(allocLen) + 1 + kHugePage - 1) / kHugePage * kHugePage;
}

// A zeroed block of LargeSize(allocLen) bytes on a huge-page boundary, or nullptr.
unsigned char* MapLarge(uint32_t allocLen) {
  const std::size_t size = LargeSize(allocLen);
  void* area =
      ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return nullptr;
  // Only the aligned part is kept; the rest of the area goes back.
  auto start = reinterpret_cast<std::uintptr_t>(area);
  std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > start) ::munmap(area, aligned - start);
  std::size_t tail = kHugePage - (aligned - start);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  // Advice only: without huge pages the block still works, it just faults page by page.
  (void)::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<unsigned char*>(aligned);
}

}  // namespace

KesBinary::Rep* KesBinary::Rep::Allocate(uint32_t len, uint32_t allocLen) {
  if (allocLen < len) allocLen = len;
  if (allocLen > kMaxLen) throw std::bad_alloc();
  Rep* pRep = nullptr;
  if (IsLarge(allocLen)) {
    pRep = static_cast<Rep*>(std::malloc(sizeof(Rep)));
    if (pRep == nullptr) throw std::bad_alloc();
    pRep->_pData = MapLarge(allocLen);
    if (pRep->_pData == nullptr) {
      std::free(pRep);
      throw std::bad_alloc();
    }
  } else {
    // The bytes and the representation share one block; calloc keeps fresh bytes zero.
    void* block = std::calloc(1, sizeof(Rep) + static_cast<size_t>(allocLen) + 1);
    if (block == nullptr) throw std::bad_alloc();
    pRep = static_cast<Rep*>(block);
    pRep->_pData = reinterpret_cast<unsigned char*>(pRep + 1);
  }
  pRep->_len = len;
  pRep->_refCount = 1;
  pRep->_allocLen = allocLen;
  return pRep;
}

void KesBinary::Rep::Deallocate(Rep*& pRep) {
  if (pRep != nullptr && IsLarge(pRep->_allocLen)) {
    ::munmap(pRep->_pData, LargeSize(pRep->_allocLen));
  }
  std::free(pRep);
  pRep = nullptr;
}

KesBinary::KesBinary(const void* bytes, uint32_t len) : _pRep(Rep::Allocate(len, len)) {
  if (len > 0) std::memcpy(_pRep->_pData, bytes, len);
}

KesBinary::KesBinary(const KesBinary& other) : _pRep(other._pRep) {
  if (_pRep != nullptr) ++_pRep->_refCount;
  CheckInvariant();
}

KesBinary& KesBinary::operator=(const KesBinary& other) {
  if (other._pRep != nullptr) ++other._pRep->_refCount;
  Rep* old = _pRep;
  _pRep = other._pRep;
  if (old != nullptr && --old->_refCount == 0) Rep::Deallocate(old);
  CheckInvariant();
  return *this;
}

KesBinary& KesBinary::operator=(KesBinary&& other) noexcept {
  if (this != &other) {
    Rep* old = _pRep;
    _pRep = other._pRep;
    other._pRep = nullptr;
    if (old != nullptr && --old->_refCount == 0) Rep::Deallocate(old);
  }
  return *this;
}

KesBinary::~KesBinary() {
  if (_pRep != nullptr && --_pRep->_refCount == 0) Rep::Deallocate(_pRep);
  KesCheckNoThrow guard;
  CheckInvariant();
}

void KesBinary::CheckInvariant() const {
  if (!(_pRep == nullptr || _pRep->_len <= _pRep->_allocLen)) {
    keskInvariant("_pRep==0 || _pRep->_len <= _pRep->_allocLen", kSource, __LINE__);
  }
}

unsigned char* KesBinary::Data() {
  if (IsNull()) {
    keskRequire("!IsNull()", kSource, __LINE__);
    return nullptr;  // where the check reports without throwing
  }
  if (_pRep->_refCount > 1) Reserve(_pRep->_len);
  return _pRep->_pData;
}

const unsigned char* KesBinary::Data() const {
  if (IsNull()) {
    keskRequire("!IsNull()", kSource, __LINE__);
    return nullptr;
  }
  return _pRep->_pData;
}

void KesBinary::Reserve(uint32_t n) {
  if (_pRep != nullptr && _pRep->_refCount == 1 && _pRep->_allocLen >= n) return;
  uint32_t len = _pRep == nullptr ? 0 : _pRep->_len;
  uint32_t alloc = n;
  if (_pRep != nullptr && _pRep->_refCount == 1) {
    // Growing a representation we own: at least 1.5 times, so appends stay linear.
    uint64_t grown = static_cast<uint64_t>(_pRep->_allocLen) + _pRep->_allocLen / 2 + 16;
    if (grown > n) alloc = grown > kMaxLen ? kMaxLen : static_cast<uint32_t>(grown);
  }
  if (n > kMaxLen) throw std::bad_alloc();
  Rep* fresh = Rep::Allocate(len, alloc);
  if (len > 0) std::memcpy(fresh->_pData, _pRep->_pData, len);
  fresh->_pData[len] = 0;
  Rep* old = _pRep;
  _pRep = fresh;
  if (old != nullptr && --old->_refCount == 0) Rep::Deallocate(old);
  CheckInvariant();
}

void KesBinary::SetLength(uint32_t len) {
  if (IsNull() || len > _pRep->_allocLen) {
    keskRequire("!IsNull() && len <= _pRep->_allocLen", kSource, __LINE__);
    return;
  }
  _pRep->_len = len;
  _pRep->_pData[len] = 0;
}

void KesBinary::AppendBytes(const unsigned char* bytes, uint32_t len) {
  if (len == 0) return;
  uint32_t old = Length();
  if (static_cast<uint64_t>(old) + len > kMaxLen) throw std::bad_alloc();
  Reserve(old + len);
  std::memmove(_pRep->_pData + old, bytes, len);
  _pRep->_len = old + len;
  _pRep->_pData[_pRep->_len] = 0;
}

KesBinary& KesBinary::operator|=(const KesBinary& rhs) {
  if (rhs.IsNull() || rhs._pRep->_len == 0) {
    if (IsNull()) *this = rhs;
    return *this;
  }
  if (IsNull()) {
    *this = rhs;
    return *this;
  }
  // Keep the right side alive in case it shares our representation.
  KesBinary keep(rhs);
  AppendBytes(keep._pRep->_pData, keep._pRep->_len);
  return *this;
}
