#include "MessageTime.h"

#include <gtest/gtest.h>

#include <string>

namespace rv {
namespace {

TEST(MessageTimeTest, PutDateAndTimeAreUtcWithHundredths) {
  RVMD md;
  RVInitMD(&md);
  MessageTime::SetPutDateTime(951868799987, &md);  // 2000-02-29 23:59:59.987 UTC
  EXPECT_EQ(std::string(md.putDate, 8), "20000229");
  EXPECT_EQ(std::string(md.putTime, 8), "23595998");
  MessageTime::SetPutDateTime(0, &md);
  EXPECT_EQ(std::string(md.putDate, 8) + std::string(md.putTime, 8), "1970010100000000");
}

TEST(MessageTimeTest, ExpiryLeftIsRoundedUpAndNeverZero) {
  EXPECT_EQ(MessageTime::ExpiresAt(10000, RVEI_UNLIMITED), 0);
  EXPECT_EQ(MessageTime::ExpiresAt(10000, 0), 0);
  const int64_t expires = MessageTime::ExpiresAt(10000, 50);  // 5 s
  EXPECT_EQ(expires, 15000);
  struct Case {
    int64_t now;
    RVLONG left;
  };
  for (Case c :
       {Case{10000, 50}, Case{11000, 40}, Case{11001, 40}, Case{14950, 1}, Case{20000, 1}}) {
    EXPECT_EQ(MessageTime::ExpiryLeft(expires, c.now), c.left) << "at " << c.now;
  }
  EXPECT_EQ(MessageTime::ExpiryLeft(MessageTime::ExpiresAt(0, INT32_MAX), 0), INT32_MAX);
}

}  // namespace
}  // namespace rv
