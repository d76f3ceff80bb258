#include "Crc32c.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Crc32cTest, KnownValuesAndBothFormsAgree) {
  EXPECT_EQ(rv::Crc32c::Extend(0, "123456789", 9), 0xE3069283u);
  EXPECT_EQ(rv::Crc32c::ExtendPortable(0, "123456789", 9), 0xE3069283u);
  EXPECT_EQ(rv::Crc32c::Extend(0, "", 0), 0u);
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 131 + 7);
  // Every length and every start offset up to 16, so tails and unaligned starts are covered.
  for (size_t start = 0; start < 16; ++start) {
    for (size_t len = 0; len + start <= 100; ++len) {
      const char* p = bytes.data() + start;
      uint32_t whole = rv::Crc32c::Extend(0, p, len);
      ASSERT_EQ(whole, rv::Crc32c::ExtendPortable(0, p, len)) << start << "," << len;
      size_t half = len / 3;
      ASSERT_EQ(rv::Crc32c::Extend(rv::Crc32c::Extend(0, p, half), p + half, len - half), whole);
    }
  }
}

// Long inputs run in three lanes that are joined at the end of each round: every way of
// cutting into and around those rounds must give what the byte-wise form gives.
TEST(Crc32cTest, LongInputsAgreeWithTheTableForm) {
  std::string bytes(3 * 3 * 4096 + 100, '\0');
  uint32_t x = 12345;
  for (char& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<char>(x >> 23);
  }
  const size_t round = 3 * 4096;
  for (size_t len :
       {round - 1, round, round + 1, round + 7, 2 * round, 2 * round + 13, bytes.size() - 3}) {
    for (size_t start : {size_t{0}, size_t{1}, size_t{3}}) {
      const char* p = bytes.data() + start;
      const uint32_t expected = rv::Crc32c::ExtendPortable(0, p, len);
      ASSERT_EQ(rv::Crc32c::Extend(0, p, len), expected) << start << "," << len;
      ASSERT_EQ(rv::Crc32c::Extend(rv::Crc32c::Extend(0xDEADBEEF, p, 5), p + 5, len - 5),
                rv::Crc32c::ExtendPortable(0xDEADBEEF, p, len))
          << start << "," << len;
    }
  }
  // All ones in every lane: a fault in joining the lanes cannot cancel out.
  const std::string ones(2 * round, '\xff');
  EXPECT_EQ(rv::Crc32c::Extend(0, ones.data(), ones.size()),
            rv::Crc32c::ExtendPortable(0, ones.data(), ones.size()));
}

}  // namespace
