#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "KesConverter.h"
#include "KesException.h"

namespace {

std::string Convert(long from, long to, const std::string& in, uint32_t* subs = nullptr,
                    int strict = 0, bool* isNull = nullptr) {
  KesConverter c(from, to);
  KesString out;
  uint32_t n = c.Convert(in.data(), static_cast<uint32_t>(in.size()), out, strict);
  if (subs != nullptr) *subs = n;
  if (isNull != nullptr) *isNull = out.IsNull();
  EXPECT_EQ(n, c.Substitutions());
  return out.IsNull() ? "<null>" : std::string(out.Chars(), out.LengthChar());
}

TEST(KesConverterTest, Utf8ToLatin1AndBack) {
  const std::string utf8 = "gr\xC3\xBC\xC3\x9F <?xml \xE2\x82\xAC";  // grüß <?xml €
  uint32_t subs = 0;
  std::string latin1 = Convert(1208, 819, utf8, &subs);
  EXPECT_EQ(latin1, "gr\xFC\xDF <?xml \x1A");  // the euro sign has no place in Latin-1
  EXPECT_EQ(subs, 1u);
  EXPECT_EQ(Convert(819, 1208, "gr\xFC\xDF", &subs), "gr\xC3\xBC\xC3\x9F");
  EXPECT_EQ(subs, 0u);
  EXPECT_EQ(Convert(1208, 923, "\xE2\x82\xAC", &subs), "\xA4");  // Latin-9 has it
}

TEST(KesConverterTest, InvalidBytesAreSubstitutedAndCounted) {
  uint32_t subs = 0;
  // A lone continuation byte, a truncated sequence and an overlong form.
  const std::string bad =
      "a\x80"
      "b\xE2\x82"
      "c\xC0\xAF"
      "d";
  std::string same = Convert(1208, 1208, bad, &subs);
  EXPECT_EQ(same,
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xEF\xBF\xBD"
            "c\xEF\xBF\xBD\xEF\xBF\xBD"
            "d");
  EXPECT_EQ(subs, 5u);
  EXPECT_GT(Convert(1208, 819, bad, &subs).size(), 0u);
  EXPECT_GE(subs, 3u);
  bool isNull = false;
  EXPECT_EQ(Convert(1208, 1208, bad, &subs, 1, &isNull), "<null>");
  EXPECT_TRUE(isNull);
  EXPECT_EQ(Convert(1208, 819, bad, &subs, 1, &isNull), "<null>");
  EXPECT_TRUE(isNull);
}

TEST(KesConverterTest, EqualCodePagesCopyValidTextUnchanged) {
  std::string big;
  for (int i = 0; i < 100000; ++i) big += "line \xC3\xA4 \xF0\x9F\x98\x80\n";
  uint32_t subs = 7;
  EXPECT_EQ(Convert(1208, 1208, big, &subs), big);
  EXPECT_EQ(subs, 0u);
  EXPECT_EQ(Convert(1208, 1208, ""), "");
}

bool IcuIsMapped() {
  std::ifstream maps("/proc/self/maps");
  std::stringstream text;
  text << maps.rdbuf();
  return text.str().find("libicuuc") != std::string::npos;
}

// The tools write UTF-8 messages to UTF-8 files most of the time; loading ICU for that costs
// more than writing a small file.
TEST(KesConverterTest, Utf8ToUtf8DoesNotLoadIcu) {
  if (IcuIsMapped()) GTEST_SKIP() << "another test of this process has loaded ICU";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    KesConverter c(1208, 1208);
    KesString out;
    c.Convert("gr\xC3\xBC\xC3\x9F \x80", 8, out, 0);
    const bool converted = out.LengthChar() == 10 && c.Substitutions() == 1;
    _exit(!converted ? 2 : IcuIsMapped() ? 3 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 2) << "the conversion went wrong";
  EXPECT_NE(WEXITSTATUS(status), 3) << "ICU was loaded";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(KesConverterTest, NullInputGivesNullResult) {
  KesConverter c(1208, 819);
  KesString out("x");
  c.Convert(nullptr, 0, out, 0);
  EXPECT_TRUE(out.IsNull());
}

TEST(KesConverterTest, KnownCodePagesOpenAndUnknownOnesThrow) {
  for (long cp : {1208L, 819L, 923L, 1252L, 367L, 850L, 437L, 1200L, 1047L, 1140L}) {
    EXPECT_NO_THROW(KesConverter(1208, cp)) << cp;
  }
  EXPECT_THROW(KesConverter(1208, 99999), KesException);
  EXPECT_EQ(Convert(1208, 1047, "A"), "\xC1");
}

struct LocaleCase {
  const char* lcAll;
  long expected;
};

TEST(KesConverterTest, CurrentCodePageFollowsTheLocale) {
  const LocaleCase cases[] = {
      {"", 1208},
      {"C", 1208},
      {"POSIX", 1208},
      {"C.UTF-8", 1208},
      {"en_US.UTF-8", 1208},
      {"de_DE.utf8", 1208},
      {"de_DE.ISO-8859-1", 819},
      {"de_DE.ISO8859-15@euro", 923},
      {"en_US", 819},
      // Without a code set, "@euro" means ISO-8859-15.
      {"de_DE@euro", 923},
      {"fr_FR@euro", 923},
      // Numbers that ICU gives for a code set, when that number means the same table.
      {"pl_PL.ISO-8859-2", 912},
      {"ru_RU.KOI8-R", 878},
      // No number here: 0, and the code set goes by its name.
      {"ja_JP.eucJP", 0},
      {"zh_TW.Big5", 0},
      {"zh_CN.GBK", 0},
      {"th_TH.TIS-620", 0},
      {"ja_JP.SJIS", 0},  // ICU's 943 for SJIS is another table than "ibm-943"
  };
  const char* saved = getenv("LC_ALL");
  std::string keep = saved != nullptr ? saved : "";
  unsetenv("LC_CTYPE");
  unsetenv("LANG");
  for (const auto& c : cases) {
    setenv("LC_ALL", c.lcAll, 1);
    EXPECT_EQ(KesConverter::GetCurrentOSCodePage(), c.expected) << c.lcAll;
  }
  if (saved != nullptr) {
    setenv("LC_ALL", keep.c_str(), 1);
  } else {
    unsetenv("LC_ALL");
  }
}

struct CodeSetCase {
  const char* codeSet;
  std::string text;       // UTF-8
  std::string converted;  // in the code set
};

TEST(KesConverterTest, CodeSetsWithoutANumberConvertByName) {
  const std::string nihon = "\xE6\x97\xA5\xE6\x9C\xAC";  // two CJK characters
  const CodeSetCase cases[] = {
      {"eucJP", nihon, "\xC6\xFC\xCB\xDC"},
      {"EUC-JP", nihon, "\xC6\xFC\xCB\xDC"},
      {"Big5", nihon, "\xA4\xE9\xA5\xBB"},
      {"GBK", nihon, "\xC8\xD5\xB1\xBE"},
      {"TIS-620", "\xE0\xB8\x81\xE0\xB8\x82", "\xA1\xA2"},
  };
  for (const auto& c : cases) {
    KesConverter converter(1208, std::string(c.codeSet));
    KesString out;
    EXPECT_EQ(converter.Convert(c.text.data(), static_cast<uint32_t>(c.text.size()), out, 0), 0u)
        << c.codeSet;
    EXPECT_EQ(std::string(out.Chars(), out.LengthChar()), c.converted) << c.codeSet;
  }
  EXPECT_THROW(KesConverter(1208, std::string("NO-SUCH-SET")), KesException);
}

class CurrentCodeSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* v = getenv(name);
      if (v != nullptr) _saved.emplace_back(name, v);
      unsetenv(name);
    }
  }
  void TearDown() override {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) unsetenv(name);
    for (const auto& [name, value] : _saved) setenv(name.c_str(), value.c_str(), 1);
  }
  std::vector<std::pair<std::string, std::string>> _saved;
};

TEST_F(CurrentCodeSetTest, CodeSetIsTakenFromTheFirstLocaleVariableSet) {
  EXPECT_EQ(KesConverter::GetCurrentOSCodeSet(), "");
  setenv("LANG", "ja_JP.eucJP", 1);
  EXPECT_EQ(KesConverter::GetCurrentOSCodeSet(), "eucJP");
  setenv("LC_CTYPE", "zh_TW.Big5@radical", 1);
  EXPECT_EQ(KesConverter::GetCurrentOSCodeSet(), "Big5");
  setenv("LC_ALL", "de_DE@euro", 1);
  EXPECT_EQ(KesConverter::GetCurrentOSCodeSet(), "");
}

TEST_F(CurrentCodeSetTest, CodeSetUnknownToIcuIsWrittenAsUtf8AndSaysSo) {
  setenv("LANG", "xx_XX.NO-SUCH-SET", 1);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(KesConverter::GetCurrentOSCodePage(), 1208);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Warning: the code set \"NO-SUCH-SET\" of LANG=xx_XX.NO-SUCH-SET is unknown; text "
            "is written as UTF-8\n");
  // A code set that ICU knows goes without a word.
  setenv("LANG", "ja_JP.eucJP", 1);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(KesConverter::GetCurrentOSCodePage(), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
