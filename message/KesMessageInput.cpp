#include "KesMessageInput.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <xercesc/util/BinInputStream.hpp>

namespace xc = XERCES_CPP_NAMESPACE;

namespace {

class ReleasingStream : public xc::BinInputStream {
 public:
  ReleasingStream(const unsigned char* data, XMLSize_t size, bool releaseAsRead)
      : _data(data), _size(size), _releaseAsRead(releaseAsRead) {
    // Only whole pages inside the bytes are given back: the page that holds the start of the
    // block (with its header) and the one that holds its end stay untouched.
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    _released = (reinterpret_cast<uintptr_t>(data) + page - 1) / page * page;
    _page = page;
  }

  XMLFilePos curPos() const override { return _pos; }

  XMLSize_t readBytes(XMLByte* const toFill, const XMLSize_t maxToRead) override {
    const XMLSize_t count = std::min<XMLSize_t>(maxToRead, _size - _pos);
    std::memcpy(toFill, _data + _pos, count);
    _pos += count;
    if (_releaseAsRead) Release();
    return count;
  }

  const XMLCh* getContentType() const override { return nullptr; }

 private:
  void Release() {
    const uintptr_t readUpTo = (reinterpret_cast<uintptr_t>(_data) + _pos) / _page * _page;
    // Nothing worth a system call below a megabyte.
    if (readUpTo < _released + (uintptr_t{1} << 20)) return;
    madvise(reinterpret_cast<void*>(_released), readUpTo - _released, MADV_DONTNEED);
    _released = readUpTo;
  }

  const unsigned char* _data;
  const XMLSize_t _size;
  const bool _releaseAsRead;
  XMLSize_t _pos = 0;
  uintptr_t _released;
  uintptr_t _page;
};

}  // namespace

KesMessageInput::KesMessageInput(const KesBinary& xml, bool releaseAsRead, const XMLCh* systemId)
    : _xml(xml), _releaseAsRead(releaseAsRead) {
  setSystemId(systemId);
}

xc::BinInputStream* KesMessageInput::makeStream() const {
  const KesBinary::Rep* rep = _xml.Representation();
  const bool release = _releaseAsRead && rep != nullptr && rep->_refCount == 1;
  return new ReleasingStream(_xml.Data(), _xml.Length(), release);
}
