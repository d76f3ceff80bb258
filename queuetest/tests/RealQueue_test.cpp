// Put, Get and GetToFile against the embedded queue manager of the real RV client library,
// in a private data root: round trips with reply-to names, a 5,000-byte and an empty
// message, the held get whose file cannot be written, and the failures a user meets (no
// message, unknown queue, unknown queue manager).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "BufferText.h"
#include "KesException.h"
#include "KesRVXMLTestUtility.h"
#include "ProcessRunner.h"
#include "RvTestSupport.h"

namespace {

class RealQueueTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    rvtest::FreshDataRoot("queuetest");
    rvtest::CreateQueueManager("QT.QM1");
    rvtest::CreateQueueManager("QT.QM2");
    rvtest::DefineQueue("QT.QM1", "QT.IN");
    rvtest::DefineQueue("QT.QM2", "QT.REPLY");
  }
  void SetUp() override {
    // Each test starts with empty queues.
    rvtest::Drain("QT.QM1", "QT.IN");
    rvtest::Drain("QT.QM2", "QT.REPLY");
  }
  void Put(const std::string& data, const KesString& replyToQ, const KesString& replyToQMgr) {
    _utility.Put(KesBinary(data.data(), static_cast<uint32_t>(data.size())), KesString("QT.IN"),
                 KesString("QT.QM1"), replyToQ, replyToQMgr);
  }
  KesBinary Get(KesString& replyToQ, KesString& replyToQMgr, long waitMs = 2000) {
    return _utility.Get(KesString("QT.IN"), KesString("QT.QM1"), replyToQ, replyToQMgr, waitMs);
  }

  KesRVXMLTestUtility _utility;
};

struct RoundTrip {
  const char* label;
  std::string data;
};

TEST_F(RealQueueTest, MessagesComeBackByteForByteWithTheirReplyToNames) {
  std::string binary(5000, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>((i * 31) & 0xff);
  const RoundTrip cases[] = {
      {"request", "<?xml version=\"1.0\"?>\r\n<Req/>\n"},
      {"5,000 bytes", binary},
      {"empty message", ""},
  };
  for (const auto& c : cases) {
    Put(c.data, KesString("QT.REPLY"), KesString("QT.QM2"));
    KesString replyToQ, replyToQMgr;
    KesBinary got = Get(replyToQ, replyToQMgr);
    ASSERT_FALSE(got.IsNull()) << c.label;
    EXPECT_EQ(got.Length(), c.data.size()) << c.label;
    EXPECT_TRUE(AsString(got) == c.data) << c.label;
    // The names come back as their 48-character fields.
    ASSERT_FALSE(replyToQ.IsNull()) << c.label;
    ASSERT_FALSE(replyToQMgr.IsNull()) << c.label;
    EXPECT_STREQ(replyToQ.Chars(), "QT.REPLY") << c.label;
    EXPECT_STREQ(replyToQMgr.Chars(), "QT.QM2") << c.label;
    EXPECT_EQ(replyToQ.LengthChar(), 48u) << c.label;
  }
}

TEST_F(RealQueueTest, ReplyGoesBackToTheNamesThatGetReturned) {
  // The upesprobe road: take a request, answer on its reply-to queue.
  Put("<?xml?><Req/>", KesString("QT.REPLY"), KesString("QT.QM2"));
  KesString replyToQ, replyToQMgr;
  KesBinary request = Get(replyToQ, replyToQMgr);
  _utility.Put(KesBinary("<?xml?><Resp/>", 14), replyToQ, replyToQMgr, KesString("QT.IN"),
               KesString("QT.QM1"));
  KesString backQ, backQMgr;
  KesBinary reply = _utility.Get(KesString("QT.REPLY"), KesString("QT.QM2"), backQ, backQMgr, 2000);
  EXPECT_EQ(AsString(reply), "<?xml?><Resp/>");
  EXPECT_STREQ(backQ.Chars(), "QT.IN");
  EXPECT_STREQ(backQMgr.Chars(), "QT.QM1");
}

TEST_F(RealQueueTest, MessageWithoutReplyToNamesLeavesTheArgumentsAlone) {
  Put("x", KesString(), KesString());
  KesString replyToQ, replyToQMgr("kept");
  EXPECT_EQ(AsString(Get(replyToQ, replyToQMgr)), "x");
  EXPECT_TRUE(replyToQ.IsNull());
  EXPECT_EQ(replyToQMgr, KesString("kept"));
}

// The held get of GetToFile: the message leaves the queue only once its file is written;
// a file that cannot be written leaves it on the queue for the next get, as it came.
TEST_F(RealQueueTest, HeldGetWritesTheFileAndThenTakesTheMessage) {
  const std::string dir = MakeTempDir("qheld");
  const std::string path = dir + "/req.xml";
  Put("<?xml?><Req/>", KesString("QT.REPLY"), KesString("QT.QM2"));
  KesString replyToQ, replyToQMgr;
  KesBinary got = _utility.GetToFile(KesString("QT.IN"), KesString("QT.QM1"), replyToQ, replyToQMgr,
                                     2000, KesString(path.c_str()));
  EXPECT_EQ(AsString(got), "<?xml?><Req/>");
  EXPECT_EQ(ReadWholeFile(path), "<?xml?><Req/>");
  EXPECT_STREQ(replyToQ.Chars(), "QT.REPLY");
  EXPECT_STREQ(replyToQMgr.Chars(), "QT.QM2");
  EXPECT_TRUE(rvtest::Drain("QT.QM1", "QT.IN").empty());
}

TEST_F(RealQueueTest, MessageWhoseFileCannotBeWrittenCanBeGotAgain) {
  const std::string dir = MakeTempDir("qheld");
  WriteWholeFile(dir + "/plain", "a regular file");
  ASSERT_EQ(::mkdir((dir + "/folder").c_str(), 0777), 0);
  std::string big(70000, 'b');
  const std::string request = "<?xml?><Req>" + big + "</Req>";
  for (const std::string& path :
       {dir + "/plain/req.xml", dir + "/folder", std::string("/dev/full")}) {
    Put(request, KesString("QT.REPLY"), KesString("QT.QM2"));
    KesString replyToQ, replyToQMgr;
    std::string text = ExceptionText([&] {
      _utility.GetToFile(KesString("QT.IN"), KesString("QT.QM1"), replyToQ, replyToQMgr, 2000,
                         KesString(path.c_str()));
    });
    EXPECT_NE(text.find(path), std::string::npos) << text;
    EXPECT_NE(text.find("; the message stays on queue QT.IN at queue manager QT.QM1"),
              std::string::npos)
        << text;
    EXPECT_TRUE(replyToQ.IsNull()) << path;
    // The next get receives the message as it was put, reply-to names included.
    KesBinary again = Get(replyToQ, replyToQMgr, 0);
    EXPECT_TRUE(AsString(again) == request) << path;
    EXPECT_STREQ(replyToQ.Chars(), "QT.REPLY") << path;
    EXPECT_STREQ(replyToQMgr.Chars(), "QT.QM2") << path;
    EXPECT_TRUE(rvtest::Drain("QT.QM1", "QT.IN").empty()) << path;
  }
  struct stat info {};
  EXPECT_NE(::lstat((dir + "/plain/req.xml").c_str(), &info), 0);
  EXPECT_EQ(ReadWholeFile(dir + "/plain"), "a regular file");
  ASSERT_EQ(::lstat((dir + "/folder").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST_F(RealQueueTest, FailuresThrowNamingQueueQueueManagerAndReason) {
  KesString replyToQ, replyToQMgr;
  std::string text = ExceptionText([&] { Get(replyToQ, replyToQMgr, 50); });
  EXPECT_NE(text.find("QT.IN"), std::string::npos) << text;
  EXPECT_NE(text.find("QT.QM1"), std::string::npos) << text;
  EXPECT_NE(text.find("within 50 ms"), std::string::npos) << text;

  ::testing::internal::CaptureStderr();
  text = ExceptionText([&] {
    _utility.Put(KesBinary("x", 1), KesString("QT.NO.SUCH.Q"), KesString("QT.QM1"), KesString(),
                 KesString());
  });
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(text.find("QT.NO.SUCH.Q"), std::string::npos) << text;
  EXPECT_NE(err.find("Cannot open queue QT.NO.SUCH.Q at queue manager QT.QM1: reason code 2085"),
            std::string::npos)
      << err;
  // Nothing was left behind on the queues that do exist.
  EXPECT_TRUE(rvtest::Drain("QT.QM1", "QT.IN").empty());
}

TEST_F(RealQueueTest, UnknownQueueManagerEndsTheProcessWithItsReasonCode) {
  KesString replyToQ, replyToQMgr;
  EXPECT_EXIT(_utility.Get(KesString("QT.IN"), KesString("QT.NO.QM"), replyToQ, replyToQMgr, 0),
              ::testing::ExitedWithCode(RVRC_Q_MGR_NOT_AVAILABLE & 0xff), "");
}

}  // namespace
