#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "KesConfiguration.h"
#include "KesException.h"
#include "ScratchDir.h"

namespace {

using Text = std::optional<std::string>;  // nullopt stands for the null string

Text AsText(const KesString& s) {
  if (s.IsNull()) return std::nullopt;
  return std::string(s.Chars(), s.LengthChar());
}

// Records the lines that reach ParseLine, to see how Load prepares them.
class LineRecorder : public KesConfiguration {
 public:
  LineRecorder(int32_t normalizeBlanks, const KesString& commentMarker)
      : KesConfiguration(normalizeBlanks, commentMarker) {}
  std::vector<std::string> lines;

 protected:
  void ParseLine(const KesString& line) override {
    lines.emplace_back(line.Chars(), line.LengthChar());
  }
};

struct PrepareCase {
  const char* name;
  int32_t normalizeBlanks;
  const char* commentMarker;  // null: no comments
  std::string content;
  std::vector<std::string> expected;
};

TEST(KesConfigurationTest, LoadPreparesLinesBeforeParsing) {
  const PrepareCase cases[] = {
      {"comments cut, tabs and outer blanks removed, empty lines skipped",
       1,
       "*",
       "  a = b  * c\n\t\tx\t y\t\n*whole\n\n \t \n  * indented comment\n",
       {"a = b", "x  y"}},
      {"no normalising: empty lines and blanks reach the parser",
       0,
       nullptr,
       "a*b\n\n  c \n",
       {"a*b", "", "  c "}},
      {"no normalising: a comment still cuts the line", 0, "*", " x * y\n*z\n", {" x "}},
      {"a marker of several characters", 1, "//", "a=b // c\n// d\ne/f\n", {"a=b", "e/f"}},
      {"CR LF line ends are read like LF", 0, "*", "a\r\nb \r\n", {"a", "b "}},
      {"a lone CR inside a line stays", 0, nullptr, "a\rb\n", {"a\rb"}},
  };
  ScratchDir dir;
  for (const PrepareCase& c : cases) {
    SCOPED_TRACE(c.name);
    LineRecorder recorder(c.normalizeBlanks, KesString(c.commentMarker));
    EXPECT_TRUE(recorder.Load(KesString(dir.Write("lines.txt", c.content).c_str())));
    EXPECT_EQ(recorder.lines, c.expected);
  }
}

TEST(KesConfigurationTest, LoadTellsWhetherTheFileWasReadToItsEnd) {
  ScratchDir dir;
  LineRecorder recorder(1, KesString("*"));
  EXPECT_FALSE(recorder.Load(KesString(dir.Path("missing").c_str())));
  std::filesystem::create_directory(dir.Path("directory"));
  EXPECT_FALSE(recorder.Load(KesString(dir.Path("directory").c_str())));
  EXPECT_TRUE(recorder.Load(KesString(dir.Write("file", "x\n").c_str())));
  EXPECT_THROW(recorder.Load(KesString()), KesException);
}

TEST(KesConfigurationTest, FirstEntryWithoutSectionGoesToTheUnnamedSection) {
  LineRecorder table(1, KesString("*"));
  table.SetValue(KesString("k"), KesString("1"));
  EXPECT_EQ(AsText(table.Lookup(KesString(""), KesString("k"))), "1");
}

TEST(KesConfigurationTest, SelectingTheUnnamedSectionAgainReusesIt) {
  LineRecorder table(1, KesString("*"));
  table.SetValue(KesString("k"), KesString("1"));
  table.SelectSection(KesString("S"));
  table.SetValue(KesString("k"), KesString("in S"));
  table.SelectSection(KesString(""));
  // Were a second unnamed section made, the first one's "1" would still be found.
  table.SetValue(KesString("k"), KesString("2"));
  EXPECT_EQ(AsText(table.Lookup(KesString(""), KesString("k"))), "2");
  EXPECT_EQ(AsText(table.Lookup(KesString("S"), KesString("k"))), "in S");
}

TEST(KesConfigurationTest, LookupPassesOverSectionsWithoutAValue) {
  LineRecorder table(1, KesString("*"));
  table.SelectSection(KesString("S"));
  table.SetValue(KesString("k"), KesString());  // present, but null
  table.SelectSection(KesString("S"));
  table.SetValue(KesString("k"), KesString("second"));
  table.SetValue(KesString("j"), KesString("second"));
  table.SelectSection(KesString("S"));
  table.SetValue(KesString("j"), KesString("third"));

  EXPECT_EQ(AsText(table.Lookup(KesString("S"), KesString("k"))), "second");
  EXPECT_EQ(AsText(table.Lookup(KesString("S"), KesString("j"))), "second");
  EXPECT_EQ(AsText(table.Lookup(KesString("T"), KesString("k"))), std::nullopt);
  EXPECT_EQ(AsText(table.Lookup(KesString("S"), KesString("K"))), std::nullopt);
}

TEST(KesConfigurationTest, KeysAndNamesOrderByBytesWithoutFolding) {
  // Byte order, a prefix first, 0xE4 after ASCII: each key must stay its own entry.
  const char* keys[] = {"a", "A", "ab", "abc", "\xE4", "z", "Z"};
  LineRecorder table(1, KesString("*"));
  for (const char* key : keys) table.SetValue(KesString(key), KesString(key));
  for (const char* key : keys) {
    EXPECT_EQ(AsText(table.Lookup(KesString(""), KesString(key))), key);
  }
}

TEST(KesConfigurationTest, NullSectionNameFailsACheck) {
  LineRecorder table(1, KesString("*"));
  EXPECT_THROW(table.SelectSection(KesString()), KesException);
}

}  // namespace
