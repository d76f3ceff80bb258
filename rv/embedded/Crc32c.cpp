#include "Crc32c.h"

#include <array>

namespace rv {

namespace {

constexpr std::array<std::array<uint32_t, 256>, 8> MakeTables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xff];
  }
  return t;
}

constexpr auto kTables = MakeTables();

#if defined(__x86_64__)
// The SSE 4.2 instruction computes this same polynomial eight bytes at a time.
__attribute__((target("sse4.2"))) uint32_t ExtendHardware(uint32_t crc, const void* data,
                                                          size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t c = ~crc;
  while (length >= 8) {
    uint64_t word;
    __builtin_memcpy(&word, p, 8);
    c = __builtin_ia32_crc32di(c, word);
    p += 8;
    length -= 8;
  }
  uint32_t c32 = static_cast<uint32_t>(c);
  while (length-- > 0) c32 = __builtin_ia32_crc32qi(c32, *p++);
  return ~c32;
}

bool HasHardware() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") != 0;
  }();
  return has;
}
#endif

}  // namespace

uint32_t Crc32c::ExtendPortable(uint32_t crc, const void* data, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t c = ~crc;
  // Eight bytes at a time (slicing-by-8), then the tail byte by byte.
  while (length >= 8) {
    uint32_t lo =
        c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    uint32_t hi =
        uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
    c = kTables[7][lo & 0xff] ^ kTables[6][(lo >> 8) & 0xff] ^ kTables[5][(lo >> 16) & 0xff] ^
        kTables[4][lo >> 24] ^ kTables[3][hi & 0xff] ^ kTables[2][(hi >> 8) & 0xff] ^
        kTables[1][(hi >> 16) & 0xff] ^ kTables[0][hi >> 24];
    p += 8;
    length -= 8;
  }
  while (length-- > 0) c = kTables[0][(c ^ *p++) & 0xff] ^ (c >> 8);
  return ~c;
}

uint32_t Crc32c::Extend(uint32_t crc, const void* data, size_t length) {
#if defined(__x86_64__)
  if (HasHardware()) return ExtendHardware(crc, data, length);
#endif
  return ExtendPortable(crc, data, length);
}

}  // namespace rv
