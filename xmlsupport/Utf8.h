// UTF-8 from the UTF-16 text that Xerces-C hands over, written straight into the caller's
// buffer. A pair of surrogates makes one 4-byte character; a surrogate without its partner
// becomes U+FFFD, as ICU's converter makes it. Header only, so that the loop is compiled into
// each caller with its own handling of ASCII characters. Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace utf8 {

// Bytes that one UTF-16 unit may take at most (a pair of units takes 4).
constexpr size_t kMaxBytesPerUnit = 3;

// Writes text as UTF-8 from out on and returns the position after the last byte written.
// writeAscii(c, out) writes a character below 0x80 and returns the position after it; out must
// have room for kMaxBytesPerUnit bytes per unit, or for what writeAscii writes if that is more.
template <typename WriteAscii>
char* Encode(const char16_t* text, size_t length, char* out, WriteAscii writeAscii) {
  for (size_t i = 0; i < length; ++i) {
    uint32_t c = text[i];
    if (c < 0x80) {
      out = writeAscii(static_cast<char>(c), out);
      continue;
    }
    if (c < 0x800) {
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
        ++i;
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
        continue;
      }
      c = 0xFFFD;
    }
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// Writes text as UTF-8, ASCII characters unchanged.
inline char* Encode(const char16_t* text, size_t length, char* out) {
  return Encode(text, length, out, [](char c, char* at) {
    *at = c;
    return at + 1;
  });
}

}  // namespace utf8
