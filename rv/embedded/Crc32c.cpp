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
// A linear map of the 32-bit register, as the images of its 32 single bits.
using RegisterMap = std::array<uint32_t, 32>;

constexpr uint32_t Apply(const RegisterMap& m, uint32_t v) {
  uint32_t r = 0;
  for (int bit = 0; v != 0; ++bit, v >>= 1) {
    if (v & 1) r ^= m[bit];
  }
  return r;
}

// What `bytes` zero bytes do to the register: one zero byte, squared until it covers them all
// (`bytes` is a power of two).
constexpr RegisterMap ZeroBytes(size_t bytes) {
  RegisterMap m{};
  for (int bit = 0; bit < 32; ++bit) {
    uint32_t c = 1u << bit;
    m[bit] = kTables[0][c & 0xff] ^ (c >> 8);
  }
  for (size_t covered = 1; covered < bytes; covered *= 2) {
    RegisterMap squared{};
    for (int bit = 0; bit < 32; ++bit) squared[bit] = Apply(m, m[bit]);
    m = squared;
  }
  return m;
}

// The instruction takes three cycles before its result can be used again, but starts one per
// cycle: three lanes of kLane bytes each run side by side, then their registers are joined
// by shifting the earlier ones over the later lanes' length (a table lookup per byte).
constexpr size_t kLane = 4096;

constexpr std::array<std::array<uint32_t, 256>, 4> MakeLaneShift() {
  const RegisterMap m = ZeroBytes(kLane);
  std::array<std::array<uint32_t, 256>, 4> t{};
  for (int k = 0; k < 4; ++k) {
    for (uint32_t v = 0; v < 256; ++v) t[k][v] = Apply(m, v << (8 * k));
  }
  return t;
}

constexpr auto kLaneShift = MakeLaneShift();

uint64_t ShiftOverLane(uint64_t c) {
  return kLaneShift[0][c & 0xff] ^ kLaneShift[1][(c >> 8) & 0xff] ^
         kLaneShift[2][(c >> 16) & 0xff] ^ kLaneShift[3][(c >> 24) & 0xff];
}

// The SSE 4.2 instruction computes this same polynomial eight bytes at a time.
__attribute__((target("sse4.2"))) uint32_t ExtendHardware(uint32_t crc, const void* data,
                                                          size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t c = ~crc;
  while (length >= 3 * kLane) {
    uint64_t c1 = 0, c2 = 0;
    for (size_t i = 0; i < kLane; i += 8) {
      uint64_t w0, w1, w2;
      __builtin_memcpy(&w0, p + i, 8);
      __builtin_memcpy(&w1, p + kLane + i, 8);
      __builtin_memcpy(&w2, p + 2 * kLane + i, 8);
      c = __builtin_ia32_crc32di(c, w0);
      c1 = __builtin_ia32_crc32di(c1, w1);
      c2 = __builtin_ia32_crc32di(c2, w2);
    }
    c = ShiftOverLane(ShiftOverLane(c) ^ c1) ^ c2;
    p += 3 * kLane;
    length -= 3 * kLane;
  }
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
