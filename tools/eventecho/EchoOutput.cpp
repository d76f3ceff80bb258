#include "EchoOutput.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "LocalText.h"
#include "Utf8.h"

namespace {

// The longest replacement of one character: "&quot;".
constexpr size_t kMaxEscapedBytes = 6;
// Texts are converted in slices of this many characters, so that a slice always fits.
constexpr size_t kSlice = 16 * 1024;

const char* Reference(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    default:
      return nullptr;
  }
}

char* WriteEscapedAscii(char c, char* at) {
  const char* reference = Reference(c);
  if (reference == nullptr) {
    *at = c;
    return at + 1;
  }
  const size_t length = std::strlen(reference);
  std::memcpy(at, reference, length);
  return at + length;
}

}  // namespace

EchoOutput::EchoOutput(int fd) : EchoOutput(fd, LocalCodePageIsUtf8()) {}

EchoOutput::EchoOutput(int fd, bool ownUtf8)
    : _fd(fd), _ownUtf8(ownUtf8), _buffer(new char[kCapacity]) {}

bool EchoOutput::LocalCodePageIsUtf8() {
  // Characters of one, two, three and four UTF-8 bytes.
  const XMLCh probe[] = u"a\u00e9\u65e5\U0001F600";
  const LocalText converted(probe);
  return converted.View() == "a\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80";
}

void EchoOutput::Append(std::string_view bytes) {
  if (bytes.size() > kCapacity) {
    Flush();
    WriteOut(bytes.data(), bytes.size());
    return;
  }
  std::memcpy(Room(bytes.size()), bytes.data(), bytes.size());
  _used += bytes.size();
}

void EchoOutput::AppendText(const XMLCh* text) {
  if (text == nullptr) return;
  AppendText(text, std::char_traits<XMLCh>::length(text));
}

void EchoOutput::AppendText(const XMLCh* text, XMLSize_t length) {
  AppendConverted(text, length, false);
}

void EchoOutput::AppendEscaped(const XMLCh* text, XMLSize_t length) {
  AppendConverted(text, length, true);
}

void EchoOutput::AppendConverted(const XMLCh* text, XMLSize_t length, bool escape) {
  if (text == nullptr) return;
  if (!_ownUtf8) {
    const LocalText converted(text, length);
    if (!escape) {
      Append(converted.View());
      return;
    }
    // The local code page is ASCII-compatible, so these bytes never occur inside a
    // multi-byte character.
    for (const char c : converted.View()) {
      const char* reference = Reference(c);
      Append(reference != nullptr ? std::string_view(reference) : std::string_view(&c, 1));
    }
    return;
  }
  while (length > 0) {
    size_t slice = std::min<size_t>(length, kSlice);
    // A pair of surrogates stays in one slice.
    if (slice < length && text[slice - 1] >= 0xD800 && text[slice - 1] <= 0xDBFF) ++slice;
    char* at = Room(slice * kMaxEscapedBytes);
    char* end =
        escape ? utf8::Encode(text, slice, at, WriteEscapedAscii) : utf8::Encode(text, slice, at);
    _used += static_cast<size_t>(end - at);
    text += slice;
    length -= slice;
  }
}

char* EchoOutput::Room(size_t bytes) {
  if (kCapacity - _used < bytes) Flush();
  return _buffer.get() + _used;
}

bool EchoOutput::Flush() {
  WriteOut(_buffer.get(), _used);
  _used = 0;
  return _error == 0;
}

void EchoOutput::WriteOut(const char* data, size_t size) {
  while (size > 0 && _error == 0) {
    const ssize_t written = write(_fd, data, size);
    if (written < 0) {
      if (errno != EINTR) _error = errno;
      continue;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}
