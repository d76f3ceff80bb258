// EchoOutput: its own UTF-8 conversion gives the same bytes as the parser's transcoder (the
// way it converts other code pages), escaping included; large texts, texts across slices and
// failed writes.
#include "EchoOutput.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>
#include <xercesc/util/PlatformUtils.hpp>

using xercesc::XMLPlatformUtils;

namespace {

// An output to an in-memory file, read back whole.
class Captured {
 public:
  explicit Captured(bool ownUtf8) : _fd(memfd_create("echo-output", 0)), _out(_fd, ownUtf8) {}
  ~Captured() { close(_fd); }
  EchoOutput& Out() { return _out; }
  std::string Bytes() {
    EXPECT_TRUE(_out.Flush());
    std::string bytes(static_cast<size_t>(lseek(_fd, 0, SEEK_END)), '\0');
    EXPECT_EQ(pread(_fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    return bytes;
  }

 private:
  int _fd;
  EchoOutput _out;
};

class EchoOutputTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { XMLPlatformUtils::Initialize(); }
  static void TearDownTestSuite() { XMLPlatformUtils::Terminate(); }

  // The text written both ways, plain and escaped; returns what the own conversion wrote.
  static std::string BothWays(const std::u16string& text) {
    Captured own(true), parser(false);
    for (Captured* c : {&own, &parser}) {
      c->Out().AppendText(text.data(), text.size());
      c->Out().Append("|");
      c->Out().AppendEscaped(text.data(), text.size());
    }
    const std::string ownBytes = own.Bytes();
    EXPECT_EQ(ownBytes, parser.Bytes());
    return ownBytes;
  }
};

TEST_F(EchoOutputTest, TheLocalCodePageHereIsUtf8) {
  // The tests below compare both ways; that only means something where both make UTF-8.
  EXPECT_TRUE(EchoOutput::LocalCodePageIsUtf8());
}

TEST_F(EchoOutputTest, KnownTextsGiveKnownBytes) {
  struct {
    std::u16string text;
    std::string plainAndEscaped;
  } const cases[] = {
      {u"", "|"},
      {u"abc", "abc|abc"},
      {u"<a & \"b\" 'c'>", "<a & \"b\" 'c'>|&lt;a &amp; &quot;b&quot; 'c'&gt;"},
      {u"\u00e9\u07ff\u0800\uffff",
       "\xc3\xa9\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf|"
       "\xc3\xa9\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"},
      {u"\U0001F600&", "\xf0\x9f\x98\x80&|\xf0\x9f\x98\x80&amp;"},
      // Surrogates without their partner become U+FFFD, as the parser's transcoder makes them.
      {std::u16string(1, 0xD800) + u"x", "\xef\xbf\xbdx|\xef\xbf\xbdx"},
      {u"x" + std::u16string(1, 0xDC00), "x\xef\xbf\xbd|x\xef\xbf\xbd"},
      {std::u16string(2, 0xD800), "\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BothWays(c.text), c.plainAndEscaped);
  }
}

TEST_F(EchoOutputTest, RandomTextsGiveTheSameBytesBothWays) {
  std::mt19937 random(20240601);
  const char16_t pool[] = {u'a',      u'<',      u'&',      u'>',   u'"',   u'\'',  u' ',  u'\n',
                           u'\u00e9', u'\u20ac', u'\u65e5', 0xD83D, 0xDE00, 0xD800, 0xDFFF};
  for (int round = 0; round < 2000; ++round) {
    std::u16string text(random() % 40, u'a');
    for (auto& c : text) {
      c = random() % 4 == 0 ? static_cast<char16_t>(random() % 0x10000)
                            : pool[random() % std::size(pool)];
    }
    text.erase(std::remove(text.begin(), text.end(), u'\0'), text.end());
    BothWays(text);
  }
}

TEST_F(EchoOutputTest, LongTextsAreWholeAcrossSlicesAndFlushes) {
  // Pairs of surrogates at every offset around the 16 K characters of a slice, and a text of
  // 3 M characters that passes the 1 MiB buffer several times.
  std::u16string text;
  for (int i = 0; i < 20000; ++i) text += i % 7 == 0 ? u"\U0001F600" : u"<";
  BothWays(text.substr(1));
  BothWays(text);
  const std::u16string big(3u << 20, u'\u00e9');
  Captured out(true);
  out.Out().AppendText(big.data(), big.size());
  const std::string bytes = out.Bytes();
  ASSERT_EQ(bytes.size(), 2 * big.size());
  EXPECT_EQ(bytes.find_first_not_of("\xc3\xa9"), std::string::npos);
}

TEST_F(EchoOutputTest, FailedWriteIsKeptAndLaterOutputDropped) {
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  EchoOutput out(full);
  out.Append("x");
  EXPECT_FALSE(out.Flush());
  EXPECT_EQ(out.Error(), ENOSPC);
  out.Append(std::string(3u << 20, 'y'));
  EXPECT_FALSE(out.Flush());
  EXPECT_EQ(out.Error(), ENOSPC);
  close(full);
}

}  // namespace
