#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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
  const std::string bad = "a\x80" "b\xE2\x82" "c\xC0\xAF" "d";
  std::string same = Convert(1208, 1208, bad, &subs);
  EXPECT_EQ(same, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD" "c\xEF\xBF\xBD\xEF\xBF\xBD" "d");
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
      {"", 1208},          {"C", 1208},           {"POSIX", 1208},   {"C.UTF-8", 1208},
      {"en_US.UTF-8", 1208}, {"de_DE.utf8", 1208}, {"de_DE.ISO-8859-1", 819},
      {"de_DE.ISO8859-15@euro", 923}, {"en_US", 819},
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

}  // namespace
