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

}  // namespace
