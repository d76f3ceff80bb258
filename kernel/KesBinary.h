// KesBinary is a handle onto a shared, reference-counted byte buffer; it carries file
// contents and messages. A null buffer (no representation) is distinct from an empty
// one (a representation of length 0). Copies share the representation; a handle that
// is changed in place first gains sole ownership, so other handles never see the
// change. Handles are not safe to share between threads without a lock; distinct
// handles onto one representation are not either, since the count is not atomic.
#pragma once

#include <cstdint>

class KesBinary {
 public:
  // The shared representation: the bytes, the number in use, the number of handles
  // sharing it and the number of bytes allocated. The byte block always has room for
  // one more byte behind _allocLen, so a string's terminating zero fits.
  struct Rep {
    unsigned char* _pData;
    uint32_t _len;
    int32_t _refCount;
    uint32_t _allocLen;

    // A representation of len bytes in use with room for allocLen (at least len)
    // bytes and a zero; _refCount is 1, the bytes are zero. Works for 0 bytes too.
    // Throws std::bad_alloc when memory cannot be had.
    static Rep* Allocate(uint32_t len, uint32_t allocLen);
    // Frees the representation and its bytes and sets the pointer null.
    static void Deallocate(Rep*& pRep);
  };

  // The null buffer.
  KesBinary() : _pRep(nullptr) {}
  // A new buffer holding a copy of len bytes (an empty one when len is 0).
  KesBinary(const void* bytes, uint32_t len);
  // Takes over a representation from Rep::Allocate; its count stays as it is.
  explicit KesBinary(Rep* pRep) : _pRep(pRep) {}
  KesBinary(const KesBinary& other);
  KesBinary(KesBinary&& other) noexcept : _pRep(other._pRep) { other._pRep = nullptr; }
  KesBinary& operator=(const KesBinary& other);
  KesBinary& operator=(KesBinary&& other) noexcept;
  ~KesBinary();

  bool IsNull() const { return _pRep == nullptr; }
  // The number of bytes in use; 0 for the null buffer.
  uint32_t Length() const { return _pRep == nullptr ? 0 : _pRep->_len; }
  // Writable bytes; the handle first gains sole ownership. Requires a non-null buffer.
  unsigned char* Data();
  // The bytes for reading. Requires a non-null buffer.
  const unsigned char* Data() const;

  // Appends the other buffer's bytes. A null left side becomes the right side (shared);
  // a null or empty right side changes nothing.
  KesBinary& operator|=(const KesBinary& rhs);

  // Sole ownership of a representation with room for at least n bytes and a zero; the
  // content is kept. Growth is geometric, so n appends cost amortised linear time.
  // A null buffer becomes an empty one.
  void Reserve(uint32_t n);
  // Sets the number of bytes in use (at most the allocated length) and writes the zero
  // behind them. Requires a non-null buffer.
  void SetLength(uint32_t len);

  // Representation access for tests of the sharing rules.
  const Rep* Representation() const { return _pRep; }

 protected:
  void CheckInvariant() const;
  // Appends len raw bytes; the buffer must not be null.
  void AppendBytes(const unsigned char* bytes, uint32_t len);

  Rep* _pRep;
};
