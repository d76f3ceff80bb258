// Put, Get, GetToFile and the connection operations against the recording fake of the RV
// library: the records as handed over, the order of calls and trace records, and the failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
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
#include "ProcessRunner.h"
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

std::string ExpectedGetOptions(int32_t waitInterval, int32_t options = 8197,
                               int32_t matchOptions = 3) {
  return RecordBytes()
      .Chars("GMO ", 4)
      .Long(1)
      .Long(options)
      .Long(waitInterval)
      .Long(0)
      .Long(0)
      .Chars("", 48)
      .Long(matchOptions)
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

// GetToFile against the fake: the message is got held, written and flushed to its file, and
// only then taken on the same handle. A fixture of its own: a folder for the files, and a
// UTF-8 locale so that the file holds the message's bytes as they are.
class HeldGetTest : public QueueOperationsTest {
 protected:
  void SetUp() override {
    QueueOperationsTest::SetUp();
    _dir = MakeTempDir("qheld");
    setenv("LC_ALL", "C.UTF-8", 1);
  }
  void TearDown() override {
    unsetenv("LC_ALL");
    QueueOperationsTest::TearDown();
  }
  KesBinary GetToFile(const std::string& path, KesString& replyToQ, KesString& replyToQMgr,
                      long wait = 1234) {
    return _utility.GetToFile(KesString("OUT.Q"), KesString("QM2"), replyToQ, replyToQMgr, wait,
                              KesString(path.c_str()));
  }
  static bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
  }

  std::string _dir;
};

const std::string kReply = "<?xml version=\"1.0\"?><reply>" + std::string(5000, 'r') + "</reply>";

TEST_F(HeldGetTest, MessageIsTakenOnlyAfterItsFileIsWrittenAndFlushed) {
  const std::string path = _dir + "/reply.xml";
  Fake().queue.push_back({kReply, "REPLY.Q", "REPLY.QM"});
  // What the file holds when each get reaches the library.
  Names fileAtGet;
  Fake().onCall = [&](const fakerv::Call& c) {
    if (c.name == "RVGET") fileAtGet.push_back(Exists(path) ? ReadWholeFile(path) : "<no file>");
  };
  _trace.Switches("10:4:1");
  Fake().traceCalls = true;
  KesString replyToQ, replyToQMgr;
  KesBinary got = GetToFile(path, replyToQ, replyToQMgr);

  EXPECT_EQ(AsString(got), kReply);
  EXPECT_EQ(ReadWholeFile(path), kReply);
  EXPECT_TRUE(Fake().queue.empty());
  EXPECT_EQ(replyToQ, Field48("REPLY.Q"));
  EXPECT_EQ(replyToQMgr, Field48("REPLY.QM"));
  ASSERT_EQ(fakerv::CallNames(),
            (Names{"RVCONNX", "RVOPEN", "RVGET", "RVGET", "RVGET", "RVCLOSE", "RVDISC"}));
  EXPECT_EQ(fileAtGet, (Names{"<no file>", "<no file>", kReply}));
  const auto& calls = Fake().calls;
  EXPECT_EQ(calls[0].queueManager, "QM2");
  EXPECT_EQ(calls[1].record, ExpectedObjectDescriptor("OUT.Q"));
  EXPECT_EQ(calls[1].value, 8193);
  // Two held attempts: the first learns the length, the second has room for it.
  EXPECT_EQ(calls[2].value, 0);
  EXPECT_EQ(calls[2].record, ExpectedDescriptor(false));
  EXPECT_EQ(calls[2].options, ExpectedGetOptions(1234, 8197 | RVGMO_HOLD));
  EXPECT_EQ(calls[3].value, static_cast<RVLONG>(kReply.size()));
  EXPECT_EQ(calls[3].options, ExpectedGetOptions(1234, 8197 | RVGMO_HOLD));
  // The take: no wait, no hold, that message by its identifier, on the same handle.
  EXPECT_EQ(calls[4].options, ExpectedGetOptions(0, RVGMO_NO_SYNCPOINT, RVMO_MATCH_MSG_ID));
  EXPECT_EQ(calls[4].record.substr(48, 24), std::string(24, '\x5a'));
  EXPECT_EQ(calls[4].record.substr(0, 48), ExpectedDescriptor(false).substr(0, 48));
  EXPECT_EQ(calls[4].value, static_cast<RVLONG>(kReply.size()));
  EXPECT_FALSE(calls[4].nullBuffer);
  for (size_t i = 2; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].connection, fakerv::kConnection) << i;
    if (i < 6) {
      EXPECT_EQ(calls[i].queue, fakerv::kQueue) << i;
    }
  }
  EXPECT_EQ(_trace.Timeline(), (Names{"GetToFile| >entry",
                                      "Connect| >entry",
                                      "Connect|target queue manager is:QM2",
                                      "fake|call RVCONNX",
                                      "Connect| <exit",
                                      "Open| >entry",
                                      "Open|target queue is:OUT.Q",
                                      "fake|call RVOPEN",
                                      "Open| <exit",
                                      "fake|call RVGET",
                                      "fake|call RVGET",
                                      "WriteFile| >entry",
                                      "WriteFile|Writing data to file: " + path,
                                      "WriteFile| <exit",
                                      "GetToFile|File written and flushed: " + path,
                                      "fake|call RVGET",
                                      "Close| >entry",
                                      "fake|call RVCLOSE",
                                      "Close| <exit",
                                      "DisConnect| >entry",
                                      "fake|call RVDISC",
                                      "DisConnect| <exit",
                                      "GetToFile| <exit"}));
  auto records = _trace.Records("reqprobe");
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.front().signature,
            "KesRVXMLTestUtility::GetToFile(const KesString&,const KesString&,KesString&,"
            "KesString&,long,const KesString&)");

  // A device has nothing to flush: it is written, and the message taken all the same.
  fakerv::Reset();
  Fake().queue.push_back({"<?xml?><r/>", "", ""});
  EXPECT_EQ(AsString(GetToFile("/dev/null", replyToQ, replyToQMgr)), "<?xml?><r/>");
  EXPECT_TRUE(Fake().queue.empty());
  EXPECT_EQ(fakerv::CallNames(),
            (Names{"RVCONNX", "RVOPEN", "RVGET", "RVGET", "RVGET", "RVCLOSE", "RVDISC"}));
}

TEST_F(HeldGetTest, MessageWhoseFileCannotBeWrittenStaysOnTheQueue) {
  WriteWholeFile(_dir + "/plain", "a regular file");
  ASSERT_EQ(::mkdir((_dir + "/folder").c_str(), 0777), 0);
  struct Case {
    const char* label;
    std::string path;
    std::string failure;
  };
  const Case cases[] = {
      {"parent is a regular file", _dir + "/plain/reply.xml",
       "Cannot open file " + _dir + "/plain/reply.xml for writing: Not a directory"},
      {"a folder in its place", _dir + "/folder",
       "Cannot open file " + _dir + "/folder for writing: Is a directory"},
      {"full device", "/dev/full", "Cannot write file /dev/full: No space left on device"},
  };
  for (const Case& c : cases) {
    fakerv::Reset();
    Fake().queue.push_back({kReply, "REPLY.Q", "REPLY.QM"});
    KesString replyToQ("before"), replyToQMgr;
    EXPECT_EQ(ExceptionText([&] { GetToFile(c.path, replyToQ, replyToQMgr); }),
              c.failure + "; the message stays on queue OUT.Q at queue manager QM2")
        << c.label;
    // Got held twice, then the handle closed without taking it.
    EXPECT_EQ(fakerv::CallNames(),
              (Names{"RVCONNX", "RVOPEN", "RVGET", "RVGET", "RVCLOSE", "RVDISC"}))
        << c.label;
    ASSERT_EQ(Fake().queue.size(), 1u) << c.label;
    EXPECT_EQ(Fake().queue.front().bytes, kReply) << c.label;
    EXPECT_EQ(replyToQ, KesString("before")) << c.label;
    EXPECT_TRUE(replyToQMgr.IsNull()) << c.label;
  }
  EXPECT_FALSE(Exists(_dir + "/plain/reply.xml"));
  EXPECT_EQ(ReadWholeFile(_dir + "/plain"), "a regular file");

  // No message: nothing is written, and the wait that ran out says so.
  fakerv::Reset();
  KesString replyToQ, replyToQMgr;
  EXPECT_THROW(GetToFile(_dir + "/reply.xml", replyToQ, replyToQMgr, 100), KesWaitExpired);
  EXPECT_EQ(fakerv::CallNames(), (Names{"RVCONNX", "RVOPEN", "RVGET", "RVCLOSE", "RVDISC"}));
  EXPECT_FALSE(Exists(_dir + "/reply.xml"));
}

TEST_F(HeldGetTest, TakeThatFailsSaysTheFileWasWrittenButTheMessageMayComeAgain) {
  struct Case {
    const char* label;
    fakerv::Outcome take;  // what the get that takes the message reports
    std::string why;
  };
  const Case cases[] = {
      {"broken connection",
       {RVCC_FAILED, RVRC_CONNECTION_BROKEN, std::nullopt},
       "queue OUT.Q at queue manager QM2: reason code 2009 (" + std::string(RVReasonText(2009)) +
           ")"},
      {"another message",
       {RVCC_OK, RVRC_NONE, 3},
       "queue OUT.Q at queue manager QM2: another message came instead"},
  };
  for (const Case& c : cases) {
    fakerv::Reset();
    Fake().queue.push_back({kReply, "REPLY.Q", "REPLY.QM"});
    Fake().onCall = [&](const fakerv::Call& call) {
      if (call.name == "RVGET" && (LongAt(call.options, 8) & RVGMO_HOLD) == 0) {
        Fake().script["RVGET"].push_back(c.take);
      }
    };
    const std::string path = _dir + "/reply.xml";
    KesString replyToQ("before"), replyToQMgr;
    EXPECT_EQ(ExceptionText([&] { GetToFile(path, replyToQ, replyToQMgr); }),
              "The file " + path + " was written, but the message could not be taken from " +
                  c.why + "; it may be delivered again")
        << c.label;
    EXPECT_EQ(ReadWholeFile(path), kReply) << c.label;
    EXPECT_EQ(fakerv::CallNames(),
              (Names{"RVCONNX", "RVOPEN", "RVGET", "RVGET", "RVGET", "RVCLOSE", "RVDISC"}))
        << c.label;
    EXPECT_EQ(replyToQ, KesString("before")) << c.label;
  }
}

}  // namespace
