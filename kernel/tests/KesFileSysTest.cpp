#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "KesFileSys.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (KesString l = KesFileSys::ReadLine(in); !l.IsNull(); l = KesFileSys::ReadLine(in)) {
    lines.emplace_back(l.Chars(), l.LengthChar());
  }
  return lines;
}

TEST(KesFileSysTest, ReadLineHandlesLineEnds) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Lines(""), V{});
  EXPECT_EQ(Lines("a\nb\n"), (V{"a", "b"}));
  EXPECT_EQ(Lines("a\r\nb"), (V{"a", "b"}));
  EXPECT_EQ(Lines("\n\n"), (V{"", ""}));
  EXPECT_EQ(Lines("a\rb\n"), (V{"a\rb"}));
  EXPECT_EQ(Lines("x\r\r\n"), (V{"x\r"}));
  std::string longLine(300000, 'q');
  EXPECT_EQ(Lines(longLine + "\nz"), (V{longLine, "z"}));
}

}  // namespace
