// The six calls against a private data root: reason codes a caller can provoke, the 2080
// sequence, match options, waits, priorities, expiry, hostile names and the descriptor fields
// that a put fills in.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "ProcessRunner.h"
#include "RvTestSupport.h"
#include "rvadmin.h"
#include "rvic.h"

using namespace rvtest;

namespace {

class CallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = FreshDataRoot("calls");
    CreateQueueManager("QM1", true);
    DefineQueue("QM1", "Q1");
    DefineQueue("QM1", "SMALL", 2, 10);
    ASSERT_EQ(Connect("QM1", &hconn).cc, RVCC_OK);
    ASSERT_EQ(Open(hconn, "Q1", RVOO_INPUT_AS_Q_DEF | RVOO_OUTPUT, &hobj).cc, RVCC_OK);
  }
  void TearDown() override {
    RVLONG cc, rc;
    if (hobj != RVHO_UNUSABLE_HOBJ) RVCLOSE(hconn, &hobj, 0, &cc, &rc);
    if (hconn != RVHC_UNUSABLE_HCONN) RVDISC(&hconn, &cc, &rc);
  }
  std::string root;
  RVHCONN hconn = RVHC_UNUSABLE_HCONN;
  RVHOBJ hobj = RVHO_UNUSABLE_HOBJ;
};

TEST_F(CallsTest, DataRootAndMessageFilesArePrivate) {
  ASSERT_EQ(Put(hconn, hobj, "secret").cc, RVCC_OK);
  struct stat st;
  ASSERT_EQ(::stat(root.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  auto files = FilesIn(QueueFolder("QM1", "Q1") + "/msg");
  ASSERT_EQ(files.size(), 1u);
  ASSERT_EQ(::stat((root + "/" + QueueFolder("QM1", "Q1") + "/msg/" + files[0]).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(CallsTest, PutThenGetReturnsDataAndStoredDescriptor) {
  RVMD md;
  RVInitMD(&md);
  std::memcpy(md.format, RVFMT_STRING, 8);
  std::memcpy(md.replyToQ, "REPLY", 5);
  std::memcpy(md.userIdentifier, "TEST", 4);
  ASSERT_EQ(Put(hconn, hobj, "hello", &md).cc, RVCC_OK);
  // The put filled the identifier, date, time, character set and reply-to queue manager.
  RVBYTE zero[24] = {};
  EXPECT_NE(std::memcmp(md.messageId, zero, 24), 0);
  EXPECT_EQ(md.codedCharSetId, RVCCSI_UTF8);
  EXPECT_STREQ(std::string(md.replyToQMgr, 48).c_str(), "QM1");
  for (char c : std::string(md.putDate, 8) + std::string(md.putTime, 8)) EXPECT_TRUE(isdigit(c));
  EXPECT_EQ(std::string(md.putDate, 4).substr(0, 2), "20");
  EXPECT_EQ(md.putApplType, RVAT_UNIX);
  EXPECT_NE(md.putApplName[0], '\0');

  RVMD got;
  RVInitMD(&got);
  std::string data;
  RVLONG len = 0;
  ASSERT_EQ(Get(hconn, hobj, &data, 0, &got, 100, RVMO_NONE, &len).cc, RVCC_OK);
  EXPECT_EQ(data, "hello");
  EXPECT_EQ(len, 5);
  EXPECT_EQ(std::memcmp(&got, &md, sizeof md), 0) << "descriptor differs from the stored one";
}

TEST_F(CallsTest, MessageIdentifiersAreUniqueAndAGivenOneIsKept) {
  std::set<std::string> ids;
  for (int i = 0; i < 50; ++i) {
    RVMD md;
    RVInitMD(&md);
    ASSERT_EQ(Put(hconn, hobj, "x", &md).cc, RVCC_OK);
    ids.insert(std::string(reinterpret_cast<char*>(md.messageId), 24));
  }
  EXPECT_EQ(ids.size(), 50u);
  RVMD md;
  RVInitMD(&md);
  std::memset(md.messageId, 'K', 24);
  ASSERT_EQ(Put(hconn, hobj, "y", &md).cc, RVCC_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(md.messageId), 24), std::string(24, 'K'));
}

TEST_F(CallsTest, HighestPriorityFirstThenFirstInFirstOut) {
  const std::pair<int, const char*> puts[] = {{0, "a0"}, {5, "b5"}, {0, "c0"},
                                              {9, "d9"}, {5, "e5"}, {-1, "f-default"}};
  for (auto [prio, text] : puts) {
    RVMD md;
    RVInitMD(&md);
    md.priority = prio;
    ASSERT_EQ(Put(hconn, hobj, text, &md).cc, RVCC_OK) << text;
  }
  std::vector<std::string> expected = {"d9", "b5", "e5", "a0", "c0", "f-default"};
  std::vector<std::string> got;
  std::string data;
  while (Get(hconn, hobj, &data).cc == RVCC_OK) got.push_back(data);
  EXPECT_EQ(got, expected);
}

TEST_F(CallsTest, ExpiredMessagesAreDiscarded) {
  RVMD md;
  RVInitMD(&md);
  md.expiry = 1;  // a tenth of a second
  ASSERT_EQ(Put(hconn, hobj, "short-lived", &md).cc, RVCC_OK);
  ASSERT_EQ(Put(hconn, hobj, "lasting").cc, RVCC_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  std::string data;
  ASSERT_EQ(Get(hconn, hobj, &data).cc, RVCC_OK);
  EXPECT_EQ(data, "lasting");
  EXPECT_EQ(Get(hconn, hobj, &data).reason, RVRC_NO_MSG_AVAILABLE);
  EXPECT_TRUE(FilesIn(QueueFolder("QM1", "Q1") + "/msg").empty());
}

TEST_F(CallsTest, TruncatedGetHoldsMessageForTheSecondGet) {
  std::string big(5000, 'B');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  ASSERT_EQ(Put(hconn, hobj, big).cc, RVCC_OK);
  ASSERT_EQ(Put(hconn, hobj, "second").cc, RVCC_OK);

  // Exactly the sequence of a caller that learns the length first: empty buffer, then N bytes,
  // with match options 3 and the descriptor as the first call left it.
  RVMD md;
  RVInitMD(&md);
  RVLONG len = 0;
  Outcome o = Get(hconn, hobj, nullptr, 0, &md, 0, RVMO_MATCH_MSG_ID | RVMO_MATCH_CORREL_ID, &len);
  EXPECT_EQ(o.cc, RVCC_WARNING);
  EXPECT_EQ(o.reason, RVRC_TRUNCATED_MSG_FAILED);
  EXPECT_EQ(len, 5000);
  EXPECT_NE(md.putDate[0], '\0') << "descriptor not filled on 2080";

  // A rival handle cannot take the held message: it gets the next one.
  RVHOBJ rival;
  ASSERT_EQ(Open(hconn, "Q1", RVOO_INPUT_SHARED, &rival).cc, RVCC_OK);
  std::string data;
  ASSERT_EQ(Get(hconn, rival, &data).cc, RVCC_OK);
  EXPECT_EQ(data, "second");
  EXPECT_EQ(Get(hconn, rival, &data).reason, RVRC_NO_MSG_AVAILABLE);

  md.encoding = RVENC_NATIVE;
  md.codedCharSetId = RVCCSI_Q_MGR;
  o = Get(hconn, hobj, &data, 0, &md, len, RVMO_MATCH_MSG_ID | RVMO_MATCH_CORREL_ID, &len);
  EXPECT_EQ(o.cc, RVCC_OK);
  EXPECT_EQ(len, 5000);
  EXPECT_EQ(data, big);
  EXPECT_EQ(Get(hconn, hobj, &data).reason, RVRC_NO_MSG_AVAILABLE);
  Close(hconn, &rival);
}

TEST_F(CallsTest, HeldMessageReturnsToItsPlaceWhenTheHandleCloses) {
  ASSERT_EQ(Put(hconn, hobj, "first message").cc, RVCC_OK);
  ASSERT_EQ(Put(hconn, hobj, "second").cc, RVCC_OK);
  RVLONG len = 0;
  ASSERT_EQ(Get(hconn, hobj, nullptr, 0, nullptr, 3, RVMO_NONE, &len).reason,
            RVRC_TRUNCATED_MSG_FAILED);
  ASSERT_EQ(Close(hconn, &hobj).cc, RVCC_OK);
  EXPECT_EQ(Drain("QM1", "Q1"), (std::vector<std::string>{"first message", "second"}));
  EXPECT_TRUE(FilesIn(QueueFolder("QM1", "Q1") + "/claim").empty());
  EXPECT_TRUE(FilesIn(QueueFolder("QM1", "Q1") + "/owners").empty());
}

TEST_F(CallsTest, EmptyMessageIsTakenWithAnEmptyBuffer) {
  ASSERT_EQ(Put(hconn, hobj, "").cc, RVCC_OK);
  RVLONG len = 99;
  EXPECT_EQ(Get(hconn, hobj, nullptr, 0, nullptr, 0, RVMO_NONE, &len).cc, RVCC_OK);
  EXPECT_EQ(len, 0);
}

TEST_F(CallsTest, MatchOptionsSelectByIdentifier) {
  RVMD a, b, c;
  RVInitMD(&a);
  RVInitMD(&b);
  RVInitMD(&c);
  std::memset(b.correlationId, 'C', 24);
  std::memset(c.correlationId, 'C', 24);
  ASSERT_EQ(Put(hconn, hobj, "a", &a).cc, RVCC_OK);
  ASSERT_EQ(Put(hconn, hobj, "b", &b).cc, RVCC_OK);
  ASSERT_EQ(Put(hconn, hobj, "c", &c).cc, RVCC_OK);
  ASSERT_EQ(Put(hconn, hobj, "d").cc, RVCC_OK);

  struct Case {
    const char* what;
    RVLONG options;
    const RVBYTE* messageId;
    bool correlC;
    const char* expected;  // null: 2033
  };
  RVBYTE unknown[24];
  std::memset(unknown, 'Z', 24);
  const Case cases[] = {
      {"by message id", RVMO_MATCH_MSG_ID, c.messageId, false, "c"},
      {"by correlation id", RVMO_MATCH_CORREL_ID, nullptr, true, "b"},
      {"unknown id", RVMO_MATCH_MSG_ID, unknown, false, nullptr},
      {"ids ignored without options", RVMO_NONE, unknown, true, "a"},
      {"zero id matches any", RVMO_MATCH_MSG_ID | RVMO_MATCH_CORREL_ID, nullptr, false, "d"},
  };
  for (const auto& k : cases) {
    RVMD md;
    RVInitMD(&md);
    if (k.messageId != nullptr) std::memcpy(md.messageId, k.messageId, 24);
    if (k.correlC) std::memset(md.correlationId, 'C', 24);
    std::string data;
    Outcome o = Get(hconn, hobj, &data, 0, &md, 100, k.options);
    if (k.expected == nullptr) {
      EXPECT_EQ(o.reason, RVRC_NO_MSG_AVAILABLE) << k.what;
    } else {
      EXPECT_EQ(o.cc, RVCC_OK) << k.what;
      EXPECT_EQ(data, k.expected) << k.what;
    }
  }
}

TEST_F(CallsTest, FiniteWaitEndsWith2033AfterTheInterval) {
  auto start = std::chrono::steady_clock::now();
  Outcome o = Get(hconn, hobj, nullptr, 300);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(o.cc, RVCC_FAILED);
  EXPECT_EQ(o.reason, RVRC_NO_MSG_AVAILABLE);
  EXPECT_GE(ms, 290);
  EXPECT_LT(ms, 1500);
}

TEST_F(CallsTest, WaitingGetWakesForAPutFromAnotherHandle) {
  std::thread putter([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    RVHCONN c;
    RVHOBJ o;
    Connect("QM1", &c);
    Open(c, "Q1", RVOO_OUTPUT, &o);
    Put(c, o, "late");
    Close(c, &o);
    Disconnect(&c);
  });
  auto start = std::chrono::steady_clock::now();
  std::string data;
  Outcome o = Get(hconn, hobj, &data, 5000);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  putter.join();
  EXPECT_EQ(o.cc, RVCC_OK);
  EXPECT_EQ(data, "late");
  EXPECT_LT(ms, 900) << "woke only by the periodic rescan";
}

TEST_F(CallsTest, HandlesAreUnusableAfterCloseAndDisconnect) {
  RVHOBJ other;
  ASSERT_EQ(Open(hconn, "Q1", RVOO_OUTPUT, &other).cc, RVCC_OK);
  RVHOBJ copy = other;
  ASSERT_EQ(Close(hconn, &other).cc, RVCC_OK);
  EXPECT_EQ(other, RVHO_UNUSABLE_HOBJ);
  EXPECT_EQ(Put(hconn, copy, "x").reason, RVRC_HOBJ_ERROR);
  EXPECT_EQ(Close(hconn, &copy).reason, RVRC_HOBJ_ERROR);
  EXPECT_EQ(Put(hconn, other, "x").reason, RVRC_HOBJ_ERROR);

  RVHCONN connCopy = hconn;
  ASSERT_EQ(Disconnect(&hconn).cc, RVCC_OK);
  EXPECT_EQ(hconn, RVHC_UNUSABLE_HCONN);
  EXPECT_EQ(Put(connCopy, hobj, "x").reason, RVRC_HCONN_ERROR);
  EXPECT_EQ(Get(connCopy, hobj, nullptr).reason, RVRC_HCONN_ERROR);
  RVHOBJ h;
  EXPECT_EQ(Open(connCopy, "Q1", RVOO_OUTPUT, &h).reason, RVRC_HCONN_ERROR);
  EXPECT_EQ(Disconnect(&connCopy).reason, RVRC_HCONN_ERROR);
  hobj = RVHO_UNUSABLE_HOBJ;
}

TEST_F(CallsTest, ConnectReasons) {
  struct Case {
    const char* name;
    RVLONG reason;
  };
  CreateQueueManager("QUIET");
  ASSERT_EQ(RVAdminSetQuiescing("QUIET", 1), RVRC_NONE);
  const Case cases[] = {
      {"QM1", RVRC_NONE},
      {"QM1   ", RVRC_NONE},
      {"", RVRC_NONE},
      {"NOSUCH", RVRC_Q_MGR_NOT_AVAILABLE},
      {"bad name", RVRC_Q_MGR_NAME_ERROR},
      {"..", RVRC_Q_MGR_NAME_ERROR},
      {"a/../b", RVRC_Q_MGR_NAME_ERROR},
      {"QUIET", RVRC_Q_MGR_QUIESCING},
      {"Q123456789012345678901234567890123456789012345678", RVRC_Q_MGR_NAME_ERROR},
  };
  for (const auto& k : cases) {
    RVHCONN h = 12345;
    Outcome o = Connect(k.name, &h);
    EXPECT_EQ(o.reason, k.reason) << '"' << k.name << '"';
    EXPECT_EQ(o.cc, k.reason == RVRC_NONE ? RVCC_OK : RVCC_FAILED) << k.name;
    if (o.cc == RVCC_OK) Disconnect(&h);
  }
  // No default queue manager: 2059 for the empty name.
  std::filesystem::remove(root + "/default.ini");
  RVHCONN h;
  EXPECT_EQ(Connect("", &h).reason, RVRC_Q_MGR_NOT_AVAILABLE);
  // Connect options.
  RVCNO cno;
  RVInitCNO(&cno);
  cno.structId[0] = 'X';
  RVLONG cc, rc;
  RVCONNX("QM1", &cno, &h, &cc, &rc);
  EXPECT_EQ(rc, RVRC_CNO_ERROR);
  RVCONNX("QM1", nullptr, &h, &cc, &rc);
  EXPECT_EQ(rc, RVRC_CNO_ERROR);
}

TEST_F(CallsTest, OpenReasonsAndHostileNames) {
  struct Case {
    std::string name;
    RVLONG options;
    RVLONG reason;
  };
  std::string max48(48, 'N');
  DefineQueue("QM1", max48);
  DefineQueue("QM1", "A.B/C_d%");
  const Case cases[] = {
      {"Q1", RVOO_OUTPUT, RVRC_NONE},
      {max48, RVOO_OUTPUT, RVRC_NONE},
      {"A.B/C_d%", RVOO_OUTPUT, RVRC_NONE},
      {"NOSUCH", RVOO_OUTPUT, RVRC_UNKNOWN_OBJECT_NAME},
      {"..", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {".", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"/", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"/etc", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"../QM1", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"Q1/..", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"a//b", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"%2e%2e", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"%2F", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"Q 1", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"Q1\\", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"Q1*", RVOO_OUTPUT, RVRC_OBJECT_NAME_ERROR},
      {"Q1", 0, RVRC_OPTIONS_ERROR},
      {"Q1", RVOO_INPUT_SHARED | RVOO_INPUT_EXCLUSIVE, RVRC_OPTIONS_ERROR},
      {"Q1", 1 << 20, RVRC_OPTIONS_ERROR},
  };
  for (const auto& k : cases) {
    RVOD od;
    RVInitOD(&od);
    std::memcpy(od.objectName, k.name.data(), std::min<size_t>(k.name.size(), 48));
    RVHOBJ h = 0;
    RVLONG cc, rc;
    RVOPEN(hconn, &od, k.options, &h, &cc, &rc);
    EXPECT_EQ(rc, k.reason) << '"' << k.name << '"';
    if (cc == RVCC_OK) Close(hconn, &h);
  }
  // A NUL ends the name: "Q1\0junk" opens Q1; a leading NUL is an empty name.
  RVOD od;
  RVInitOD(&od);
  std::memcpy(od.objectName, "Q1\0../x", 7);
  RVHOBJ h;
  RVLONG cc, rc;
  RVOPEN(hconn, &od, RVOO_OUTPUT, &h, &cc, &rc);
  EXPECT_EQ(rc, RVRC_NONE);
  if (cc == RVCC_OK) Close(hconn, &h);
  std::memcpy(od.objectName, "\0Q1", 3);
  RVOPEN(hconn, &od, RVOO_OUTPUT, &h, &cc, &rc);
  EXPECT_EQ(rc, RVRC_OBJECT_NAME_ERROR);
  // A 49th character never counts: 48 'N' then more in the next field is still the 48 name.
  RVInitOD(&od);
  std::memset(od.objectName, 'N', 48);
  std::memset(od.objectQMgrName, 0, 48);
  RVOPEN(hconn, &od, RVOO_OUTPUT, &h, &cc, &rc);
  EXPECT_EQ(rc, RVRC_NONE);
  if (cc == RVCC_OK) Close(hconn, &h);
  // Descriptor errors.
  RVInitOD(&od);
  std::memcpy(od.objectName, "Q1", 2);
  od.objectType = 2;
  RVOPEN(hconn, &od, RVOO_OUTPUT, &h, &cc, &rc);
  EXPECT_EQ(rc, RVRC_OD_ERROR);
  RVOPEN(hconn, nullptr, RVOO_OUTPUT, &h, &cc, &rc);
  EXPECT_EQ(rc, RVRC_OD_ERROR);
  // Nothing escaped the queue manager's folder.
  EXPECT_EQ(FilesIn("qmgrs"), (std::vector<std::string>{"QM1"}));
}

TEST_F(CallsTest, PutAndGetReasons) {
  RVHOBJ small, outOnly;
  ASSERT_EQ(Open(hconn, "SMALL", RVOO_OUTPUT, &small).cc, RVCC_OK);
  EXPECT_EQ(Put(hconn, small, "12345678901").reason, RVRC_MSG_TOO_BIG_FOR_Q);
  EXPECT_EQ(Put(hconn, small, "1").reason, RVRC_NONE);
  EXPECT_EQ(Put(hconn, small, "2").reason, RVRC_NONE);
  EXPECT_EQ(Put(hconn, small, "3").reason, RVRC_Q_FULL);
  EXPECT_EQ(Get(hconn, small, nullptr).reason, RVRC_NOT_OPEN_FOR_INPUT);
  ASSERT_EQ(Open(hconn, "Q1", RVOO_INPUT_SHARED, &outOnly).cc, RVCC_OK);
  EXPECT_EQ(Put(hconn, outOnly, "x").reason, RVRC_NOT_OPEN_FOR_OUTPUT);
  Close(hconn, &small);
  Close(hconn, &outOnly);

  RVMD md;
  RVPMO pmo;
  RVLONG cc, rc;
  struct PutCase {
    const char* what;
    void (*spoil)(RVMD*, RVPMO*);
    RVLONG reason;
  };
  const PutCase putCases[] = {
      {"md id", [](RVMD* m, RVPMO*) { m->structId[0] = 'X'; }, RVRC_MD_ERROR},
      {"priority", [](RVMD* m, RVPMO*) { m->priority = 10; }, RVRC_MD_ERROR},
      {"expiry", [](RVMD* m, RVPMO*) { m->expiry = 0; }, RVRC_MD_ERROR},
      {"pmo id", [](RVMD*, RVPMO* p) { p->structId[0] = 'X'; }, RVRC_PMO_ERROR},
      {"pmo options", [](RVMD*, RVPMO* p) { p->options = 2; }, RVRC_PMO_ERROR},
  };
  for (const auto& k : putCases) {
    RVInitMD(&md);
    RVInitPMO(&pmo);
    k.spoil(&md, &pmo);
    RVPUT(hconn, hobj, &md, &pmo, 1, "x", &cc, &rc);
    EXPECT_EQ(rc, k.reason) << k.what;
    EXPECT_EQ(cc, RVCC_FAILED) << k.what;
  }
  RVInitMD(&md);
  RVPUT(hconn, hobj, &md, nullptr, 1, "x", &cc, &rc);
  EXPECT_EQ(rc, RVRC_PMO_ERROR);
  RVPUT(hconn, hobj, nullptr, &pmo, 1, "x", &cc, &rc);
  EXPECT_EQ(rc, RVRC_MD_ERROR);

  struct GetCase {
    const char* what;
    void (*spoil)(RVMD*, RVGMO*);
    RVLONG reason;
  };
  const GetCase getCases[] = {
      {"md id", [](RVMD* m, RVGMO*) { m->structId[3] = 'X'; }, RVRC_MD_ERROR},
      {"gmo id", [](RVMD*, RVGMO* g) { g->structId[0] = 'X'; }, RVRC_GMO_ERROR},
      {"gmo syncpoint", [](RVMD*, RVGMO* g) { g->options = 2; }, RVRC_GMO_ERROR},
      {"wait interval",
       [](RVMD*, RVGMO* g) {
         g->options = 1;
         g->waitInterval = -2;
       },
       RVRC_GMO_ERROR},
      {"match options", [](RVMD*, RVGMO* g) { g->matchOptions = 4; }, RVRC_GMO_ERROR},
      {"empty queue", [](RVMD*, RVGMO*) {}, RVRC_NO_MSG_AVAILABLE},
  };
  for (const auto& k : getCases) {
    RVGMO gmo;
    RVInitMD(&md);
    RVInitGMO(&gmo);
    k.spoil(&md, &gmo);
    char buf[4];
    RVLONG len = 1234;
    RVGET(hconn, hobj, &md, &gmo, 4, buf, &len, &cc, &rc);
    EXPECT_EQ(rc, k.reason) << k.what;
    EXPECT_EQ(cc, RVCC_FAILED) << k.what;
    EXPECT_EQ(len, 1234) << k.what << ": data length changed on failure";
  }
}

TEST_F(CallsTest, QuiescingWakesWaitingGetThatAskedToFail) {
  std::thread quiescer([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    RVAdminSetQuiescing("QM1", 1);
  });
  auto start = std::chrono::steady_clock::now();
  Outcome o = Get(hconn, hobj, nullptr, RVWI_UNLIMITED, nullptr, 100, RVMO_NONE, nullptr,
                  RVGMO_FAIL_IF_QUIESCING);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  quiescer.join();
  EXPECT_EQ(o.reason, RVRC_Q_MGR_QUIESCING);
  EXPECT_LT(ms, 900);
  // New connects fail; opens that ask to fail do too; start lifts it.
  RVHCONN h;
  EXPECT_EQ(Connect("QM1", &h).reason, RVRC_Q_MGR_QUIESCING);
  RVHOBJ q;
  EXPECT_EQ(Open(hconn, "Q1", RVOO_OUTPUT | RVOO_FAIL_IF_QUIESCING, &q).reason,
            RVRC_Q_MGR_QUIESCING);
  ASSERT_EQ(RVAdminSetQuiescing("QM1", 0), RVRC_NONE);
  ASSERT_EQ(Connect("QM1", &h).cc, RVCC_OK);
  Disconnect(&h);
}

TEST_F(CallsTest, DeletedQueueManagerBreaksTheConnection) {
  ASSERT_EQ(RVAdminDeleteQM("QM1", 1), RVRC_NONE);
  EXPECT_EQ(Put(hconn, hobj, "x").reason, RVRC_CONNECTION_BROKEN);
  EXPECT_EQ(Get(hconn, hobj, nullptr, 100).reason, RVRC_CONNECTION_BROKEN);
}

TEST_F(CallsTest, ExclusiveInputShutsOutOtherReaders) {
  RVHOBJ exclusive, second;
  Close(hconn, &hobj);
  ASSERT_EQ(Open(hconn, "Q1", RVOO_INPUT_EXCLUSIVE, &exclusive).cc, RVCC_OK);
  EXPECT_EQ(Open(hconn, "Q1", RVOO_INPUT_SHARED, &second).reason, RVRC_OBJECT_IN_USE);
  EXPECT_EQ(Open(hconn, "Q1", RVOO_OUTPUT, &second).reason, RVRC_NONE);
  Close(hconn, &second);
  Close(hconn, &exclusive);
  EXPECT_EQ(Open(hconn, "Q1", RVOO_INPUT_SHARED, &hobj).reason, RVRC_NONE);
}

TEST_F(CallsTest, DamagedMessageIsMovedAsideAndTheGetGoesOn) {
  // A get with room for the message reads it into the caller's buffer; a get with an empty
  // buffer only learns the length, and must check the data all the same before it reports it.
  for (RVLONG bufLen : {RVLONG{65536}, RVLONG{0}}) {
    ASSERT_EQ(Put(hconn, hobj, "will be damaged").cc, RVCC_OK);
    ASSERT_EQ(Put(hconn, hobj, "intact").cc, RVCC_OK);
    auto files = FilesIn(QueueFolder("QM1", "Q1") + "/msg");
    ASSERT_EQ(files.size(), 2u);
    std::string path = root + "/" + QueueFolder("QM1", "Q1") + "/msg/" + files[0];
    std::string bytes = ReadWholeFile(path);
    bytes[bytes.size() - 3] ^= 0x20;  // one flipped bit in the data
    WriteWholeFile(path, bytes);
    std::string data;
    RVLONG dataLen = -1;
    Outcome first = Get(hconn, hobj, &data, 0, nullptr, bufLen, RVMO_NONE, &dataLen);
    EXPECT_EQ(dataLen, 6) << bufLen;
    if (bufLen == 0) {
      EXPECT_EQ(first.reason, RVRC_TRUNCATED_MSG_FAILED);
      ASSERT_EQ(Get(hconn, hobj, &data, 0, nullptr, dataLen).cc, RVCC_OK);
    } else {
      EXPECT_EQ(first.cc, RVCC_OK);
    }
    EXPECT_EQ(data, "intact");
    std::string log = ReadWholeFile(root + "/qmgrs/QM1/errors.log");
    EXPECT_NE(log.find(files[0]), std::string::npos) << log;
    EXPECT_NE(log.find("checksum"), std::string::npos) << log;
  }
  EXPECT_EQ(FilesIn(QueueFolder("QM1", "Q1") + "/damaged").size(), 2u);
}

TEST_F(CallsTest, BrowseShowsMessagesWithoutTakingThem) {
  for (const char* t : {"one", "two", "three"}) ASSERT_EQ(Put(hconn, hobj, t).cc, RVCC_OK);
  RVHOBJ b;
  ASSERT_EQ(Open(hconn, "Q1", RVOO_BROWSE, &b).cc, RVCC_OK);
  std::vector<std::string> seen;
  std::string data;
  RVLONG option = RVGMO_BROWSE_FIRST;
  while (Get(hconn, b, &data, 0, nullptr, 100, RVMO_NONE, nullptr, option).cc == RVCC_OK) {
    seen.push_back(data);
    option = RVGMO_BROWSE_NEXT;
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(Get(hconn, b, &data).reason, RVRC_NOT_OPEN_FOR_INPUT);
  Close(hconn, &b);
  EXPECT_EQ(Drain("QM1", "Q1").size(), 3u);
}

TEST_F(CallsTest, ErrorTextSaysWhatFailedUntilTheNextCall) {
  RVHOBJ h;
  EXPECT_EQ(Open(hconn, "NO.Q", RVOO_OUTPUT, &h).reason, RVRC_UNKNOWN_OBJECT_NAME);
  EXPECT_STREQ(RVErrorText(), "queue NO.Q is not defined");
  // Looking up a reason's text is no call of its own: the error text stays.
  RVReasonText(RVRC_UNKNOWN_OBJECT_NAME);
  EXPECT_STREQ(RVErrorText(), "queue NO.Q is not defined");
  // Each thread has its own text.
  std::string other = "unset";
  std::thread([&] {
    RVHCONN c;
    Connect("NOSUCH", &c);
    other = RVErrorText();
  }).join();
  EXPECT_EQ(other, "queue manager NOSUCH does not exist");
  EXPECT_STREQ(RVErrorText(), "queue NO.Q is not defined");
  // A call that succeeds clears it; a warning has a text too.
  EXPECT_EQ(Put(hconn, hobj, "four").cc, RVCC_OK);
  EXPECT_STREQ(RVErrorText(), "");
  RVLONG length = 0;
  EXPECT_EQ(Get(hconn, hobj, nullptr, 0, nullptr, 2, RVMO_NONE, &length).reason,
            RVRC_TRUNCATED_MSG_FAILED);
  EXPECT_STREQ(RVErrorText(), "message of 4 bytes left on queue Q1 of queue manager QM1");
}

TEST_F(CallsTest, ErrorTextCarriesTheSystemsCause) {
  std::string file = root + "/not-a-folder";
  WriteWholeFile(file, "");
  ::setenv("RV_DATA_DIR", file.c_str(), 1);
  RVHCONN h;
  EXPECT_EQ(Connect("QM1", &h).reason, RVRC_RESOURCE_PROBLEM);
  EXPECT_EQ(std::string(RVErrorText()),
            "cannot open the data folder " + file + ": Not a directory");
  ::setenv("RV_DATA_DIR", root.c_str(), 1);
}

TEST(RVReasonTextTest, NamesTheCode) {
  EXPECT_STREQ(RVReasonText(RVRC_Q_MGR_NOT_AVAILABLE),
               "RVRC_Q_MGR_NOT_AVAILABLE: the queue manager does not exist or cannot be reached");
}

}  // namespace
