#include "DumpHex.h"

#include <cstddef>
#include <cstdio>
#include <ostream>

namespace {

constexpr std::size_t kLineBytes = 16;
constexpr char kDigits[] = "0123456789abcdef";

}  // namespace

void DumpHex(std::ostream& out, const KesString& prefix, const unsigned char* begin,
             const unsigned char* end) {
  // A line holds at most 16 offset digits, 4 * 13 byte fields, 2 blanks, 16 characters
  // and the line end; the prefix goes straight to the stream.
  char line[96];
  for (std::size_t offset = 0; begin + offset < end; offset += kLineBytes) {
    const unsigned char* bytes = begin + offset;
    std::size_t count = static_cast<std::size_t>(end - bytes);
    if (count > kLineBytes) count = kLineBytes;

    out << prefix;
    int pos = std::snprintf(line, sizeof line, "%06zx", offset);
    for (std::size_t i = 0; i < kLineBytes; ++i) {
      if (i % 4 == 0) line[pos++] = ' ';
      if (i < count) {
        line[pos++] = ' ';
        line[pos++] = kDigits[bytes[i] >> 4];
        line[pos++] = kDigits[bytes[i] & 0x0f];
      } else {
        // Padding keeps the character column in the same place on a short last line.
        line[pos++] = ' ';
        line[pos++] = ' ';
        line[pos++] = ' ';
      }
    }
    line[pos++] = ' ';
    line[pos++] = ' ';
    for (std::size_t i = 0; i < count; ++i) {
      line[pos++] = bytes[i] >= 0x20 && bytes[i] <= 0x7e ? static_cast<char>(bytes[i]) : '.';
    }
    line[pos++] = '\n';
    out.write(line, pos);
    out << std::dec;
  }
}
