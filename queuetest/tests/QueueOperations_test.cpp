// Put, Get and the connection operations against the recording fake of the RV library:
// the records as handed over, the order of calls and trace records, and the failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BufferText.h"
#include "FakeRvic.h"
#include "KesException.h"
#include "KesRVXMLTestUtility.h"
#include "KesTrace.h"
#include "KesWaitInterval.h"
#include "RecordBytes.h"
#include "TraceCapture.h"

namespace {

using fakerv::Fake;
using Names = std::vector<std::string>;

const char* const kPutSig =
    "KesRVXMLTestUtility::Put(const KesBinary&,const KesString&,const KesString&,"
    "const KesString&,const KesString&)";
const char* const kGetSig =
    "KesRVXMLTestUtility::Get(const KesString&,const KesString&,KesString&,KesString&,long)";
const char* const kConnectSig = "KesRVXMLTestUtility::Connect(KesString&)";
const char* const kOpenSig =
    "KesRVXMLTestUtility::Open(const KesString&,const RVHCONN,const RVLONG)";
const char* const kCloseSig = "KesRVXMLTestUtility::Close(const RVHCONN,RVHOBJ)";
const char* const kDisConnectSig = "KesRVXMLTestUtility::DisConnect(RVHCONN)";

std::string ExpectedConnectOptions() {
  return RecordBytes().Chars("CNO ", 4).Long(1).Long(0).Long(0).Long(0).Str();
}

std::string ExpectedObjectDescriptor(const std::string& name) {
  return RecordBytes()
      .Chars("OD  ", 4)
      .Long(1)
      .Long(1)
      .Chars(name, 48)
      .Chars("", 48)
      .Chars("ARV.*", 48)
      .Chars("", 12)
      .Zeros(168)
      .Str();
}

// The message descriptor with its start values, or as Put sets it when put is true.
std::string ExpectedDescriptor(bool put, const std::string& replyToQ = "",
                               const std::string& replyToQMgr = "") {
  return RecordBytes()
      .Chars("MD  ", 4)
      .Long(1)
      .Long(0)
      .Long(8)
      .Long(-1)
      .Long(0)
      .Long(546)
      .Long(0)
      .Chars(put ? "RVSTR   " : "        ", 8)
      .Long(-1)
      .Long(2)
      .Zeros(24)
      .Zeros(24)
      .Long(0)
      .Chars(replyToQ, 48)
      .Chars(replyToQMgr, 48)
      .Chars(put ? "TEST" : "", 12)
      .Zeros(32)
      .Chars("", 32)
      .Long(0)
      .Chars("", 28)
      .Chars("", 8)
      .Chars("", 8)
      .Chars("", 4)
      .Zeros(24)
      .Long(1)
      .Long(0)
      .Long(0)
      .Long(-1)
      .Str();
}

std::string ExpectedPutOptions() {
  return RecordBytes().Chars("PMO ", 4).Long(1).Long(0).Long(-1).Zeros(136).Str();
}

std::string ExpectedGetOptions(int32_t waitInterval) {
  return RecordBytes()
      .Chars("GMO ", 4)
      .Long(1)
      .Long(8197)
      .Long(waitInterval)
      .Long(0)
      .Long(0)
      .Chars("", 48)
      .Long(3)
      .Chars("    ", 4)
      .Zeros(16)
      .Long(-1)
      .Str();
}

// A 48-character reply-to name as Get returns it: the name and its NUL fill.
KesString Field48(const std::string& name) {
  std::string field = name;
  field.resize(48, '\0');
  return KesString(field.data(), 48);
}

class QueueOperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakerv::Reset();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
  }
  void TearDown() override {
    Out();
    Err();
    fakerv::Reset();
  }
  // Standard output and error so far (each may be taken once per test).
  std::string Out() {
    if (!_out) _out = ::testing::internal::GetCapturedStdout();
    return *_out;
  }
  std::string Err() {
    if (!_err) _err = ::testing::internal::GetCapturedStderr();
    return *_err;
  }
  void Script(const std::string& call, RVLONG compCode, RVLONG reason) {
    Fake().script[call].push_back({compCode, reason, std::nullopt});
  }
  void PutHello(const KesString& replyToQ = KesString("OUT.Q"),
                const KesString& replyToQMgr = KesString("QM2")) {
    _utility.Put(KesBinary("hello", 5), KesString("IN.Q"), KesString("QM1"), replyToQ, replyToQMgr);
  }

  KesRVXMLTestUtility _utility;
  TraceCapture _trace;
  std::optional<std::string> _out, _err;
};

TEST_F(QueueOperationsTest, PutHandsEveryRecordOverByteForByte) {
  PutHello();
  const auto& calls = Fake().calls;
  ASSERT_EQ(fakerv::CallNames(), (Names{"RVCONNX", "RVOPEN", "RVPUT", "RVCLOSE", "RVDISC"}));
  EXPECT_EQ(calls[0].queueManager, "QM1");
  EXPECT_EQ(calls[0].record, ExpectedConnectOptions());
  EXPECT_EQ(calls[1].record, ExpectedObjectDescriptor("IN.Q"));
  EXPECT_EQ(calls[1].value, 8208);
  EXPECT_EQ(calls[1].connection, fakerv::kConnection);
  EXPECT_EQ(calls[2].record, ExpectedDescriptor(true, "OUT.Q", "QM2"));
  EXPECT_EQ(calls[2].options, ExpectedPutOptions());
  EXPECT_EQ(calls[2].value, 5);
  EXPECT_EQ(calls[2].data, "hello");
  EXPECT_EQ(calls[2].connection, fakerv::kConnection);
  EXPECT_EQ(calls[2].queue, fakerv::kQueue);
  EXPECT_EQ(calls[3].connection, fakerv::kConnection);
  EXPECT_EQ(calls[3].queue, fakerv::kQueue);
  EXPECT_EQ(calls[3].value, 0);
  EXPECT_EQ(calls[4].connection, fakerv::kConnection);
  EXPECT_EQ(Out(), "");
  EXPECT_EQ(Err(), "");
}

TEST_F(QueueOperationsTest, ObjectNameFieldHoldsAtMostTheFirst48Characters) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (size_t length : {size_t{10}, size_t{48}, size_t{60}}) {
    fakerv::Reset();
    std::string name = alphabet.substr(0, length);
    _utility.Open(KesString(name.c_str()), fakerv::kConnection, 8193);
    ASSERT_EQ(Fake().calls.size(), 1u);
    const std::string& od = Fake().calls[0].record;
    // Chars() cuts to 48 and NUL-fills: 10 characters and 38 NULs, 48 without NUL, or
    // the first 48 of 60; the dynamic name is always "ARV.*" and 43 NULs.
    EXPECT_EQ(od, ExpectedObjectDescriptor(name)) << length;
    EXPECT_EQ(od.substr(108, 48), std::string("ARV.*") + std::string(43, '\0')) << length;
  }
}

struct ReplyToCase {
  const char* label;
  KesString queue;
  KesString queueManager;
  std::string queueField;         // expected field text before its NUL fill
  std::string queueManagerField;  // likewise
  std::string traced;             // expected tail of the "Put data to queue" record
};

TEST_F(QueueOperationsTest, ReplyToFieldsHoldTheNamesWithNulFill) {
  const std::string name48(48, 'R');
  const ReplyToCase cases[] = {
      {"null names", KesString(), KesString(), "", "", "\n QueueManager:<null>\n Queue:<null>"},
      {"empty names", KesString(""), KesString(""), "", "", "\n QueueManager:\n Queue:"},
      {"8 characters", KesString("REPLY.Q8"), KesString("QMGR"), "REPLY.Q8", "QMGR",
       "\n QueueManager:QMGR\n Queue:REPLY.Q8"},
      {"48 characters", KesString(name48.c_str()), KesString(name48.c_str()), name48, name48,
       "\n QueueManager:" + name48 + "\n Queue:" + name48},
      // Names that Get returned: 48 characters, the name and its NUL fill.
      {"names from Get", Field48("BACK.Q"), Field48("BACK.QM"), "BACK.Q", "BACK.QM",
       "\n QueueManager:BACK.QM\n Queue:BACK.Q"},
  };
  _trace.Switches("10:4:1");
  for (const auto& c : cases) {
    fakerv::Reset();
    PutHello(c.queue, c.queueManager);
    ASSERT_EQ(Fake().calls.size(), 5u) << c.label;
    const std::string& md = Fake().calls[2].record;
    EXPECT_EQ(md, ExpectedDescriptor(true, c.queueField, c.queueManagerField)) << c.label;
    EXPECT_EQ(md.substr(196, 12), std::string("TEST") + std::string(8, '\0')) << c.label;
    EXPECT_EQ(md.substr(32, 8), "RVSTR   ") << c.label;
    EXPECT_EQ(LongAt(md, 12), 8) << c.label;
  }
  std::vector<std::string> traced;
  for (const auto& r : _trace.Records("reqprobe")) {
    if (r.text.rfind("Put data to queue: ", 0) == 0) traced.push_back(r.text);
  }
  ASSERT_EQ(traced.size(), std::size(cases));
  for (size_t i = 0; i < traced.size(); ++i) {
    EXPECT_EQ(traced[i], "Put data to queue: \n Data:hello" + cases[i].traced) << cases[i].label;
  }
}

TEST_F(QueueOperationsTest, ReplyToNameLongerThanItsFieldIsRefusedBeforeAnythingIsPut) {
  const std::string name49(49, 'L');
  for (bool queueManager : {false, true}) {
    fakerv::Reset();
    KesString longName(name49.c_str());
    try {
      PutHello(queueManager ? KesString("OUT.Q") : longName,
               queueManager ? longName : KesString("QM2"));
      ADD_FAILURE() << "no exception";
    } catch (const KesException& e) {
      std::string text = e.what();
      EXPECT_NE(text.find(name49), std::string::npos) << text;
      EXPECT_NE(text.find(queueManager ? "reply-to queue manager" : "reply-to queue"),
                std::string::npos)
          << text;
    }
    EXPECT_TRUE(Fake().calls.empty());
  }
}

TEST_F(QueueOperationsTest, GetTakesAMessageInTwoAttemptsAndReturnsItsReplyToNames) {
  std::string body(5000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  Fake().queue.push_back({body, "REPLY.Q", "REPLY.QM"});
  KesString replyToQ, replyToQMgr;
  KesBinary got = _utility.Get(KesString("IN.Q"), KesString("QM1"), replyToQ, replyToQMgr, 1234);

  EXPECT_EQ(AsString(got), body);
  EXPECT_EQ(got.Representation()->_len, 5000u);
  ASSERT_EQ(fakerv::CallNames(),
            (Names{"RVCONNX", "RVOPEN", "RVGET", "RVGET", "RVCLOSE", "RVDISC"}));
  const auto& calls = Fake().calls;
  EXPECT_EQ(calls[0].queueManager, "QM1");
  EXPECT_EQ(calls[1].record, ExpectedObjectDescriptor("IN.Q"));
  EXPECT_EQ(calls[1].value, 8193);
  EXPECT_EQ(calls[2].value, 0);
  EXPECT_FALSE(calls[2].nullBuffer);
  EXPECT_EQ(calls[2].record, ExpectedDescriptor(false));
  EXPECT_EQ(calls[2].options, ExpectedGetOptions(1234));
  EXPECT_EQ(calls[3].value, 5000);
  // The second attempt gets the descriptor as the first left it, with encoding and
  // character set reset.
  std::string second = calls[3].record;
  EXPECT_EQ(LongAt(second, 24), 546);
  EXPECT_EQ(LongAt(second, 28), 0);
  EXPECT_EQ(second.substr(48, 24), std::string(24, '\x5a'));
  EXPECT_EQ(calls[3].options, ExpectedGetOptions(1234));
  EXPECT_EQ(replyToQ, Field48("REPLY.Q"));
  EXPECT_EQ(replyToQMgr, Field48("REPLY.QM"));
  EXPECT_STREQ(replyToQ.Chars(), "REPLY.Q");
}

TEST_F(QueueOperationsTest, GetOfAnEmptyMessageTakesOneAttempt) {
  Fake().queue.push_back({"", "R", ""});
  KesString replyToQ, replyToQMgr("unchanged");
  KesBinary got = _utility.Get(KesString("IN.Q"), KesString("QM1"), replyToQ, replyToQMgr, -1);
  ASSERT_FALSE(got.IsNull());
  EXPECT_EQ(got.Length(), 0u);
  EXPECT_EQ(fakerv::CallNames(), (Names{"RVCONNX", "RVOPEN", "RVGET", "RVCLOSE", "RVDISC"}));
  EXPECT_EQ(Fake().calls[2].options, ExpectedGetOptions(-1));
  EXPECT_EQ(replyToQ, Field48("R"));
  // A field that begins with NUL leaves its argument as the caller passed it.
  EXPECT_EQ(replyToQMgr, KesString("unchanged"));
}

// Only a finite wait that ran out is a KesWaitExpired; every other failed get names its
// reason code.
TEST_F(QueueOperationsTest, FailedGetClosesDisconnectsAndThrowsNamingQueueAndReason) {
  struct Case {
    const char* label;
    bool emptyQueue;        // the fake fails with 2033 by itself
    RVLONG scriptedReason;  // otherwise the first get fails with this
    long wait;
    bool expired;
  };
  for (const Case& c :
       {Case{"empty queue", true, 0, 100, true}, Case{"empty queue, no limit", true, 0, -1, false},
        Case{"broken connection", false, 2009, 100, false}}) {
    fakerv::Reset();
    if (!c.emptyQueue) Script("RVGET", RVCC_FAILED, c.scriptedReason);
    if (!c.emptyQueue) Fake().queue.push_back({"never taken", "Q", "QM"});
    RVLONG reason = c.emptyQueue ? RVRC_NO_MSG_AVAILABLE : c.scriptedReason;
    KesString replyToQ("before"), replyToQMgr;
    try {
      _utility.Get(KesString("IN.Q"), KesString("QM1"), replyToQ, replyToQMgr, c.wait);
      ADD_FAILURE() << c.label << ": no exception";
    } catch (const KesException& e) {
      std::string text = e.what();
      EXPECT_EQ(dynamic_cast<const KesWaitExpired*>(&e) != nullptr, c.expired) << c.label;
      std::vector<std::string> parts = {"IN.Q", "QM1"};
      if (c.expired) {
        parts.push_back("within 100 ms");
      } else {
        parts.push_back(std::to_string(reason));
        parts.push_back(RVReasonText(reason));
      }
      for (const std::string& part : parts) {
        EXPECT_NE(text.find(part), std::string::npos) << c.label << ": " << text;
      }
    }
    EXPECT_EQ(fakerv::CallNames(), (Names{"RVCONNX", "RVOPEN", "RVGET", "RVCLOSE", "RVDISC"}))
        << c.label;
    EXPECT_EQ(replyToQ, KesString("before")) << c.label;
    EXPECT_TRUE(replyToQMgr.IsNull()) << c.label;
  }
}

TEST_F(QueueOperationsTest, FailedPutThrowsAfterClosingAndDisconnecting) {
  Script("RVPUT", RVCC_FAILED, RVRC_Q_FULL);
  _trace.Switches("10:4:1");
  try {
    PutHello();
    ADD_FAILURE() << "no exception";
  } catch (const KesException& e) {
    std::string text = e.what();
    for (std::string part : {std::string("IN.Q"), std::string("QM1"), std::string("2053"),
                             std::string(RVReasonText(RVRC_Q_FULL))}) {
      EXPECT_NE(text.find(part), std::string::npos) << text;
    }
  }
  EXPECT_EQ(fakerv::CallNames(), (Names{"RVCONNX", "RVOPEN", "RVPUT", "RVCLOSE", "RVDISC"}));
  auto records = _trace.Records("reqprobe");
  bool traced = false;
  for (const auto& r : records) traced |= r.text == "RVPUT ended with reason code: 2053";
  EXPECT_TRUE(traced);
  EXPECT_EQ(Out(), "");
}

TEST_F(QueueOperationsTest, WarningsAndReasonCodesOfCloseAndDisconnectAreOnlyTraced) {
  Script("RVCONNX", RVCC_WARNING, 2002);
  Script("RVPUT", RVCC_WARNING, 2136);
  Script("RVCLOSE", RVCC_FAILED, 2019);
  Script("RVDISC", RVCC_WARNING, 2009);
  _trace.Switches("10:4:1");
  PutHello();  // none of these makes the put fail
  EXPECT_EQ(fakerv::CallNames(), (Names{"RVCONNX", "RVOPEN", "RVPUT", "RVCLOSE", "RVDISC"}));
  Names texts;
  for (const auto& r : _trace.Records("reqprobe")) {
    if (r.text.find("reason code") != std::string::npos) texts.push_back(r.text);
  }
  EXPECT_EQ(texts,
            (Names{"RVPUT ended with reason code: 2136", "RVCLOSE ended with reason code:2019",
                   "RVDISC ended with reason code:2009"}));
  EXPECT_EQ(Out(), "");
  EXPECT_EQ(Err(), "");
}

TEST_F(QueueOperationsTest, FailedOpenIsTracedReportedOnStderrAndTheCycleGoesOn) {
  for (bool put : {true, false}) {
    fakerv::Reset();
    _trace.Clear();
    _trace.Switches("10:4:1");
    Script("RVOPEN", RVCC_FAILED, RVRC_UNKNOWN_OBJECT_NAME);
    KesString replyToQ, replyToQMgr;
    // The put or get that follows fails on the unusable handle and throws.
    EXPECT_THROW(
        put ? PutHello()
            : (void)_utility.Get(KesString("IN.Q"), KesString("QM1"), replyToQ, replyToQMgr, -1),
        KesException);
    EXPECT_EQ(fakerv::CallNames(),
              (Names{"RVCONNX", "RVOPEN", put ? "RVPUT" : "RVGET", "RVCLOSE", "RVDISC"}));
    Names open;
    for (const auto& r : _trace.Records("reqprobe")) {
      if (r.signature == kOpenSig) open.push_back(r.text);
    }
    // The sink ends each record with one line end, so "...input\n" shows as "...input".
    EXPECT_EQ(open, (Names{" >entry", "target queue is:IN.Q", "RVOPEN ended with reason code:2085",
                           "unable to open queue for input", " <exit"}));
  }
  std::string err = Err();
  std::string line = "Cannot open queue IN.Q at queue manager QM1: reason code 2085 (" +
                     std::string(RVReasonText(2085)) + ")\n";
  EXPECT_EQ(err, line + line);
  EXPECT_EQ(Out(), "");
}

TEST_F(QueueOperationsTest, FailedOpenAtTheDefaultQueueManagerSaysSo) {
  Script("RVOPEN", RVCC_FAILED, RVRC_UNKNOWN_OBJECT_NAME);
  EXPECT_THROW(_utility.Put(KesBinary("x", 1), KesString("IN.Q"), KesString("", 0), KesString(),
                            KesString()),
               KesException);
  EXPECT_EQ(Err(), "Cannot open queue IN.Q at the default queue manager: reason code 2085 (" +
                       std::string(RVReasonText(2085)) + ")\n");
}

// The reply of a run whose file cannot be written goes back with the descriptor that the
// get received, byte for byte.
TEST_F(QueueOperationsTest, UnwritableMessageIsPutBackWithItsDescriptor) {
  Fake().queue.push_back({"<?xml?><reply/>", "REPLY.Q", "REPLY.QM"});
  KesString replyToQ, replyToQMgr;
  RVMD received;
  KesBinary reply =
      _utility.Get(KesString("OUT.Q"), KesString("QM2"), replyToQ, replyToQMgr, -1, &received);
  EXPECT_EQ(std::string(received.replyToQ), "REPLY.Q");
  EXPECT_EQ(received.messageId[0], 0x5a);
  fakerv::Reset();
  _trace.Switches("10:4:1");

  std::string text = ExceptionText([&] {
    _utility.WriteFileOrPutBack(KesString("/dev/full"), reply, KesString("OUT.Q"), KesString("QM2"),
                                received);
  });
  EXPECT_EQ(text,
            "Cannot write file /dev/full: No space left on device; the message was put back on "
            "queue OUT.Q at queue manager QM2");
  ASSERT_EQ(fakerv::CallNames(), (Names{"RVCONNX", "RVOPEN", "RVPUT", "RVCLOSE", "RVDISC"}));
  const auto& calls = Fake().calls;
  EXPECT_EQ(calls[0].queueManager, "QM2");
  EXPECT_EQ(calls[1].record, ExpectedObjectDescriptor("OUT.Q"));
  EXPECT_EQ(calls[1].value, 8208);
  EXPECT_EQ(calls[2].record,
            std::string(reinterpret_cast<const char*>(&received), sizeof received));
  EXPECT_EQ(calls[2].options,
            RecordBytes().Chars("PMO ", 4).Long(1).Long(2048).Long(-1).Zeros(136).Str());
  EXPECT_EQ(calls[2].data, "<?xml?><reply/>");
  Names signatures;
  for (const auto& r : _trace.Records("reqprobe")) {
    if (r.text == " >entry") signatures.push_back(r.signature);
  }
  EXPECT_EQ(signatures[0],
            "KesRVXMLTestUtility::WriteFileOrPutBack(const KesString&,const KesBinary&,"
            "const KesString&,const KesString&,const RVMD&)");
  EXPECT_NE(std::find(signatures.begin(), signatures.end(),
                      "KesRVXMLTestUtility::PutBack(const KesBinary&,const KesString&,"
                      "const KesString&,const RVMD&)"),
            signatures.end());

  // When the put-back fails as well, the message is lost, and the text says so.
  fakerv::Reset();
  Script("RVPUT", RVCC_FAILED, RVRC_Q_FULL);
  text = ExceptionText([&] {
    _utility.WriteFileOrPutBack(KesString("/dev/full"), reply, KesString("OUT.Q"), KesString("QM2"),
                                received);
  });
  EXPECT_EQ(text.rfind("Cannot write file /dev/full: No space left on device; the message could "
                       "not be put back either, it is lost: Cannot put the message on queue OUT.Q "
                       "at queue manager QM2: reason code 2053",
                       0),
            0u)
      << text;

  // A file that can be written takes the message, and nothing is put.
  fakerv::Reset();
  _utility.WriteFileOrPutBack(KesString("/dev/null"), reply, KesString("OUT.Q"), KesString("QM2"),
                              received);
  EXPECT_TRUE(Fake().calls.empty());
}

TEST_F(QueueOperationsTest, OpenWithAWarningTracesOnlyItsReasonCode) {
  Script("RVOPEN", RVCC_WARNING, 2161);
  _trace.Switches("10:4:1");
  KesRVXMLTestUtility().Open(KesString("IN.Q"), fakerv::kConnection, 8208);
  Names texts;
  for (const auto& r : _trace.Records("reqprobe")) texts.push_back(r.text);
  EXPECT_EQ(texts, (Names{" >entry", "target queue is:IN.Q", "RVOPEN ended with reason code:2161",
                          " <exit"}));
  EXPECT_EQ(Err(), "");
}

TEST_F(QueueOperationsTest, PutTracesAndCallsInOrder) {
  _trace.Switches("10:4:1");
  Fake().traceCalls = true;
  PutHello();
  EXPECT_EQ(_trace.Timeline(),
            (Names{"Put| >entry", "Connect| >entry", "Connect|target queue manager is:QM1",
                   "fake|call RVCONNX", "Connect| <exit", "Open| >entry",
                   "Open|target queue is:IN.Q", "fake|call RVOPEN", "Open| <exit",
                   "Put|Put data to queue: \n Data:hello\n QueueManager:QM2\n Queue:OUT.Q",
                   "fake|call RVPUT", "Close| >entry", "fake|call RVCLOSE", "Close| <exit",
                   "DisConnect| >entry", "fake|call RVDISC", "DisConnect| <exit", "Put| <exit"}));
  const std::map<std::string, std::string> signatures = {{"Put", kPutSig},
                                                         {"Connect", kConnectSig},
                                                         {"Open", kOpenSig},
                                                         {"Close", kCloseSig},
                                                         {"DisConnect", kDisConnectSig}};
  for (const auto& r : _trace.Records("reqprobe")) {
    EXPECT_EQ(r.level, 10) << r.text;
    EXPECT_EQ(r.category, 1u) << r.text;
    EXPECT_EQ(r.component, 4u) << r.text;
    bool known = false;
    for (const auto& [method, signature] : signatures) known |= r.signature == signature;
    EXPECT_TRUE(known) << r.signature;
  }
}

TEST_F(QueueOperationsTest, GetTracesOnlyItsFlowAndTheConnectionOperations) {
  _trace.Switches("10:4:1");
  Fake().traceCalls = true;
  Fake().queue.push_back({"<?xml?>", "", ""});
  KesString replyToQ, replyToQMgr;
  _utility.Get(KesString("OUT.Q"), KesString("QM2"), replyToQ, replyToQMgr, -1);
  EXPECT_EQ(
      _trace.Timeline(),
      (Names{"Get| >entry", "Connect| >entry", "Connect|target queue manager is:QM2",
             "fake|call RVCONNX", "Connect| <exit", "Open| >entry", "Open|target queue is:OUT.Q",
             "fake|call RVOPEN", "Open| <exit", "fake|call RVGET", "fake|call RVGET",
             "Close| >entry", "fake|call RVCLOSE", "Close| <exit", "DisConnect| >entry",
             "fake|call RVDISC", "DisConnect| <exit", "Get| <exit"}));
  auto records = _trace.Records("reqprobe");
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.front().signature, kGetSig);
  EXPECT_EQ(records.back().signature, kGetSig);
}

TEST_F(QueueOperationsTest, ClosedGateWritesNothing) {
  for (const char* switches : {"0", "9:4:1", "10:3:1", "10:4:1024", "10:0xfffb:0xffff"}) {
    fakerv::Reset();
    _trace.Switches(switches);
    Script("RVOPEN", RVCC_WARNING, 2161);
    Script("RVCLOSE", RVCC_WARNING, 1);
    PutHello();
    Fake().queue.push_back({"x", "", ""});
    KesString a, b;
    _utility.Get(KesString("IN.Q"), KesString("QM1"), a, b, -1);
    EXPECT_TRUE(_trace.Records("reqprobe").empty()) << switches;
  }
  EXPECT_EQ(Out(), "");
}

TEST_F(QueueOperationsTest, GateIsTestedAfreshBeforeEachRecord) {
  Script("RVOPEN", RVCC_WARNING, 2161);
  // Closed from the start, opened while RVOPEN runs: only later records appear.
  Fake().onCall = [](const fakerv::Call& c) {
    if (c.name == "RVOPEN") KesTrace::_On = 1;
  };
  _trace.Switches("10:4:1");
  KesTrace::_On = 0;
  KesRVXMLTestUtility().Open(KesString("IN.Q"), fakerv::kConnection, 8208);
  Names texts;
  for (const auto& r : _trace.Records("reqprobe")) texts.push_back(r.text);
  EXPECT_EQ(texts, (Names{"RVOPEN ended with reason code:2161", " <exit"}));

  // Open at the start, closed while RVOPEN runs: only earlier records appear.
  fakerv::Reset();
  _trace.Clear();
  _trace.Switches("10:4:1");
  Script("RVOPEN", RVCC_WARNING, 2161);
  Fake().onCall = [](const fakerv::Call& c) {
    if (c.name == "RVOPEN") KesTrace::_On = 0;
  };
  KesRVXMLTestUtility().Open(KesString("IN.Q"), fakerv::kConnection, 8208);
  texts.clear();
  for (const auto& r : _trace.Records("reqprobe")) texts.push_back(r.text);
  EXPECT_EQ(texts, (Names{" >entry", "target queue is:IN.Q"}));
}

TEST_F(QueueOperationsTest, NullNamesAndDataFailTheirPreconditionsBeforeTheLibraryIsCalled) {
  _trace.Switches("10:4:1");
  KesString nullName;
  EXPECT_THROW(_utility.Connect(nullName), KesException);
  EXPECT_TRUE(Fake().calls.empty());
  EXPECT_THROW(_utility.Open(KesString(), fakerv::kConnection, 8193), KesException);
  EXPECT_TRUE(Fake().calls.empty());
  Names texts;
  for (const auto& r : _trace.Records("reqprobe")) texts.push_back(r.text);
  EXPECT_EQ(texts,
            (Names{" >entry", "target queue manager is:<null>", " <exit", " >entry", " <exit"}));

  // Null data fails before RVPUT; the connection is still closed and ended.
  try {
    _utility.Put(KesBinary(), KesString("IN.Q"), KesString("QM1"), KesString(), KesString());
    ADD_FAILURE() << "no exception";
  } catch (const KesException& e) {
    EXPECT_NE(std::string(e.what()).find("!IsNull()"), std::string::npos) << e.what();
  }
  EXPECT_EQ(fakerv::CallNames(), (Names{"RVCONNX", "RVOPEN", "RVCLOSE", "RVDISC"}));
}

}  // namespace
