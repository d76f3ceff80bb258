#include "DumpHex.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Dump(const std::string& bytes, const KesString& prefix = KesString("> ")) {
  std::ostringstream out;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  DumpHex(out, prefix, p, p + bytes.size());
  return out.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(DumpHexTest, EmptyRangeWritesNothing) {
  EXPECT_EQ(Dump(""), "");
}

TEST(DumpHexTest, FiveBytesGiveOneLineOf67Characters) {
  std::string dump = Dump("<?xml");
  EXPECT_EQ(dump, "> 000000  3c 3f 78 6d  6c" + std::string(35, ' ') + "  <?xml\n");
  EXPECT_EQ(dump.size(), 67u + 1);
}

TEST(DumpHexTest, SixteenBytesGiveOneFullLineOf78Characters) {
  EXPECT_EQ(Dump("0123456789abcdef"),
            "> 000000  30 31 32 33  34 35 36 37  38 39 61 62  63 64 65 66  0123456789abcdef\n");
}

TEST(DumpHexTest, SeventeenthByteStartsASecondPaddedLine) {
  auto lines = Lines(Dump("0123456789abcdefZ"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "> 000010  5a" + std::string(48, ' ') + "  Z");
  // The character column starts in column 63 on both lines.
  EXPECT_EQ(lines[0].find("0123456789abcdef"), 62u);
  EXPECT_EQ(lines[1].rfind('Z'), 62u);
}

TEST(DumpHexTest, EveryByteValueShowsAsHexAndOnlyPrintablesAsCharacters) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  auto lines = Lines(Dump(all));
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[0],
            "> 000000  00 01 02 03  04 05 06 07  08 09 0a 0b  0c 0d 0e 0f  ................");
  EXPECT_EQ(lines[2],
            "> 000020  20 21 22 23  24 25 26 27  28 29 2a 2b  2c 2d 2e 2f   !\"#$%&'()*+,-./");
  EXPECT_EQ(lines[7],
            "> 000070  70 71 72 73  74 75 76 77  78 79 7a 7b  7c 7d 7e 7f  pqrstuvwxyz{|}~.");
  EXPECT_EQ(lines[8],
            "> 000080  80 81 82 83  84 85 86 87  88 89 8a 8b  8c 8d 8e 8f  ................");
  EXPECT_EQ(lines[15],
            "> 0000f0  f0 f1 f2 f3  f4 f5 f6 f7  f8 f9 fa fb  fc fd fe ff  ................");
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].size(), 78u) << i;
    char offset[32];
    std::snprintf(offset, sizeof offset, "> %06zx", i * 16);
    EXPECT_EQ(lines[i].substr(0, 8), offset) << i;
  }
}

TEST(DumpHexTest, PrefixIsWrittenAsGivenAndNullAsNullMarker) {
  EXPECT_EQ(Dump("A", KesString()), "<null>000000  41" + std::string(48, ' ') + "  A\n");
  EXPECT_EQ(Dump("A", KesString("")), "000000  41" + std::string(48, ' ') + "  A\n");
  EXPECT_EQ(Dump("A", KesString("dump: ")), "dump: 000000  41" + std::string(48, ' ') + "  A\n");
}

TEST(DumpHexTest, StreamIsLeftDecimalWithItsFillCharacter) {
  std::ostringstream out;
  out << std::hex << std::setfill('*');
  const unsigned char bytes[] = {0xff};
  DumpHex(out, KesString("> "), bytes, bytes + 1);
  out.str("");
  out << 255 << std::setw(4) << 7;
  EXPECT_EQ(out.str(), "255***7");
}

}  // namespace
