// The administration calls of rvadmin.h on embedded queue managers: what they set up is what
// the six calls and the listings see, and every failure comes with a reason and a text that says
// what failed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "RvTestSupport.h"
#include "rvadmin.h"
#include "rvic.h"

using namespace rvtest;

namespace {

std::vector<RVQINFO> Queues(const char* qm) {
  std::vector<RVQINFO> queues;
  EXPECT_EQ(RVAdminListQueues(
                qm,
                [](void* context, const RVQINFO* q) {
                  static_cast<std::vector<RVQINFO>*>(context)->push_back(*q);
                  return 0;
                },
                &queues),
            RVRC_NONE)
      << RVErrorText();
  return queues;
}

std::vector<RVQMINFO> QueueManagers() {
  std::vector<RVQMINFO> qms;
  EXPECT_EQ(RVAdminListQMs(
                [](void* context, const RVQMINFO* qm) {
                  static_cast<std::vector<RVQMINFO>*>(context)->push_back(*qm);
                  return 0;
                },
                &qms),
            RVRC_NONE)
      << RVErrorText();
  return qms;
}

// Callbacks for calls that are to fail before they call back.
int NoQueue(void*, const RVQINFO*) {
  ADD_FAILURE() << "called back";
  return 1;
}
int NoMessage(void*, const RVMD*, const void*, RVLONG) {
  ADD_FAILURE() << "called back";
  return 1;
}

class AdminTest : public ::testing::Test {
 protected:
  void SetUp() override { root = FreshDataRoot("admin"); }
  std::string root;
};

TEST_F(AdminTest, WhatIsSetUpIsWhatTheCallsAndListingsSee) {
  ASSERT_EQ(RVAdminCreateQM("QM1", 1, nullptr, nullptr, 0), RVRC_NONE) << RVErrorText();
  ASSERT_EQ(RVAdminCreateQM("QM0", 0, "embedded", nullptr, 0), RVRC_NONE) << RVErrorText();
  ASSERT_EQ(RVAdminDefineQueue("QM1", "B.Q", 3, 100), RVRC_NONE) << RVErrorText();
  ASSERT_EQ(RVAdminDefineQueue("QM1", "A.Q", -1, -1), RVRC_NONE) << RVErrorText();
  EXPECT_STREQ(RVErrorText(), "");

  std::vector<RVQMINFO> qms = QueueManagers();
  ASSERT_EQ(qms.size(), 2u);
  EXPECT_STREQ(qms[0].name, "QM0");
  EXPECT_EQ(qms[0].flags, 0);
  EXPECT_STREQ(qms[1].name, "QM1");
  EXPECT_STREQ(qms[1].backend, "embedded");
  EXPECT_EQ(qms[1].flags, RVQMF_DEFAULT);

  RVHCONN hconn;
  RVHOBJ hobj;
  ASSERT_EQ(Connect("QM1", &hconn).cc, RVCC_OK);
  ASSERT_EQ(Open(hconn, "B.Q", RVOO_OUTPUT, &hobj).cc, RVCC_OK);
  EXPECT_EQ(Put(hconn, hobj, std::string(100, 'x')).cc, RVCC_OK);
  EXPECT_EQ(Put(hconn, hobj, std::string(101, 'x')).reason, RVRC_MSG_TOO_BIG_FOR_Q);
  EXPECT_EQ(Put(hconn, hobj, "second").cc, RVCC_OK);
  EXPECT_EQ(Put(hconn, hobj, "three").cc, RVCC_OK);
  EXPECT_EQ(Put(hconn, hobj, "four").reason, RVRC_Q_FULL);
  Close(hconn, &hobj);
  Disconnect(&hconn);

  std::vector<RVQINFO> queues = Queues("");  // the default queue manager
  ASSERT_EQ(queues.size(), 2u);
  EXPECT_STREQ(queues[0].name, "A.Q");
  EXPECT_EQ(queues[0].depth, 0);
  EXPECT_EQ(queues[0].maxDepth, 50000);
  EXPECT_EQ(queues[0].maxMsgLength, 104857600);
  EXPECT_STREQ(queues[1].name, "B.Q");
  EXPECT_EQ(queues[1].depth, 3);
  EXPECT_EQ(queues[1].maxDepth, 3);
  EXPECT_EQ(queues[1].maxMsgLength, 100);

  // A browse sees every message in order and takes none; a callback that says stop ends it.
  std::vector<std::string> seen;
  auto collect = [](void* context, const RVMD*, const void* data, RVLONG length) {
    auto* v = static_cast<std::vector<std::string>*>(context);
    v->emplace_back(static_cast<const char*>(data), length);
    return v->size() == 2 ? 1 : 0;
  };
  ASSERT_EQ(RVAdminBrowse("QM1", "B.Q", collect, &seen), RVRC_NONE) << RVErrorText();
  EXPECT_EQ(seen, (std::vector<std::string>{std::string(100, 'x'), "second"}));
  EXPECT_EQ(Queues("QM1")[1].depth, 3);

  long long removed = 0;
  EXPECT_EQ(RVAdminClearQueue("QM1", "B.Q", &removed), RVRC_NONE);
  EXPECT_EQ(removed, 3);
  EXPECT_EQ(RVAdminUndefineQueue("QM1", "B.Q"), RVRC_NONE);
  EXPECT_EQ(Queues("QM1").size(), 1u);
  EXPECT_EQ(RVAdminDeleteQM("QM1", 0), RVRC_NONE);
  RVQMINFO info;
  EXPECT_EQ(RVAdminDescribeQM(nullptr, &info), RVRC_Q_MGR_NOT_AVAILABLE)
      << "the default went with its queue manager";
}

TEST_F(AdminTest, BrowseTakesMessagesLongerThanItsFirstBuffer) {
  CreateQueueManager("QM1");
  DefineQueue("QM1", "Q");
  RVHCONN hconn;
  RVHOBJ hobj;
  ASSERT_EQ(Connect("QM1", &hconn).cc, RVCC_OK);
  ASSERT_EQ(Open(hconn, "Q", RVOO_OUTPUT, &hobj).cc, RVCC_OK);
  const std::string big(100000, 'b');
  EXPECT_EQ(Put(hconn, hobj, "small").cc, RVCC_OK);
  EXPECT_EQ(Put(hconn, hobj, big).cc, RVCC_OK);
  Close(hconn, &hobj);
  Disconnect(&hconn);
  std::vector<std::string> seen;
  ASSERT_EQ(RVAdminBrowse(
                "QM1", "Q",
                [](void* context, const RVMD*, const void* data, RVLONG length) {
                  static_cast<std::vector<std::string>*>(context)->emplace_back(
                      static_cast<const char*>(data), length);
                  return 0;
                },
                &seen),
            RVRC_NONE)
      << RVErrorText();
  EXPECT_EQ(seen, (std::vector<std::string>{"small", big}));
  EXPECT_STREQ(RVErrorText(), "") << "the browse's own end of queue leaves no text";
}

TEST_F(AdminTest, QuiescingShowsAndRefusesConnections) {
  CreateQueueManager("QM1");
  ASSERT_EQ(RVAdminSetQuiescing("QM1", 1), RVRC_NONE);
  RVQMINFO info;
  ASSERT_EQ(RVAdminDescribeQM("QM1", &info), RVRC_NONE);
  EXPECT_EQ(info.flags, RVQMF_QUIESCING);
  RVHCONN hconn;
  EXPECT_EQ(Connect("QM1", &hconn).reason, RVRC_Q_MGR_QUIESCING);
  EXPECT_EQ(RVAdminDefineQueue("QM1", "Q", -1, -1), RVRC_NONE) << "administration goes on";
  ASSERT_EQ(RVAdminSetQuiescing("QM1", 0), RVRC_NONE);
  ASSERT_EQ(RVAdminDescribeQM("QM1", &info), RVRC_NONE);
  EXPECT_EQ(info.flags, 0);
  ASSERT_EQ(Connect("QM1", &hconn).cc, RVCC_OK);
  Disconnect(&hconn);
}

TEST_F(AdminTest, FailuresSayWhatFailed) {
  CreateQueueManager("QM1");
  DefineQueue("QM1", "FULL");
  RVHCONN hconn;
  RVHOBJ hobj;
  ASSERT_EQ(Connect("QM1", &hconn).cc, RVCC_OK);
  ASSERT_EQ(Open(hconn, "FULL", RVOO_OUTPUT, &hobj).cc, RVCC_OK);
  ASSERT_EQ(Put(hconn, hobj, "x").cc, RVCC_OK);
  Close(hconn, &hobj);
  Disconnect(&hconn);
  const std::string badName =
      "name \"a/../b\" is not valid: use 1 to 48 characters from A-Z a-z 0-9 . _ / %, no empty, "
      "\".\" or \"..\" part between slashes and no %XX escape";
  static const RVSETTING colour[] = {{"colour", "red"}};
  static const RVSETTING urlOnly[] = {{"url", "amqp://u@127.0.0.1/v"}};
  struct Case {
    const char* what;
    RVLONG reason;
    std::string text;
    RVLONG (*call)();
  };
  const Case cases[] = {
      {"check", RVRC_OBJECT_NAME_ERROR, badName, [] { return RVAdminCheckName("a/../b"); }},
      {"create twice", RVRC_OBJECT_NAME_ERROR,
       "cannot create queue manager QM1: queue manager QM1 already exists",
       [] { return RVAdminCreateQM("QM1", 0, nullptr, nullptr, 0); }},
      {"create bad name", RVRC_Q_MGR_NAME_ERROR, "queue manager " + badName,
       [] { return RVAdminCreateQM("a/../b", 0, nullptr, nullptr, 0); }},
      {"unknown backend", RVRC_Q_MGR_NOT_AVAILABLE,
       "cannot create queue manager QT: backend \"tape\" is not known to this library",
       [] { return RVAdminCreateQM("QT", 0, "tape", nullptr, 0); }},
      {"embedded with settings", RVRC_OPTIONS_ERROR,
       "cannot create queue manager QE: setting \"colour\" is not one of backend embedded",
       [] { return RVAdminCreateQM("QE", 0, nullptr, colour, 1); }},
      {"broker without password", RVRC_OPTIONS_ERROR,
       "cannot create queue manager QB: backend amqp needs the setting password-file (or a "
       "client certificate, tls-cert-file and tls-key-file)",
       [] { return RVAdminCreateQM("QB", 0, "amqp", urlOnly, 1); }},
      {"define on nothing", RVRC_Q_MGR_NOT_AVAILABLE,
       "cannot open queue manager NOQM: queue manager NOQM does not exist",
       [] { return RVAdminDefineQueue("NOQM", "Q", -1, -1); }},
      {"define bad queue", RVRC_OBJECT_NAME_ERROR, "queue " + badName,
       [] { return RVAdminDefineQueue("QM1", "a/../b", -1, -1); }},
      {"define twice", RVRC_OBJECT_NAME_ERROR,
       "cannot define queue FULL on QM1: queue FULL already exists",
       [] { return RVAdminDefineQueue("QM1", "FULL", -1, -1); }},
      {"quorum queue on embedded", RVRC_OPTIONS_ERROR,
       "queue type \"quorum\" is not available on QM1, whose queues are not on a broker",
       [] { return RVAdminDefineQueueOfType("QM1", "QQ", -1, -1, "quorum"); }},
      {"change embedded", RVRC_OPTIONS_ERROR,
       "cannot change queue manager QM1: queue manager QM1 of backend embedded has no settings "
       "to change",
       [] { return RVAdminUpdateQM("QM1", colour, 1); }},
      {"change nothing", RVRC_Q_MGR_NOT_AVAILABLE,
       "cannot open queue manager NOQM: queue manager NOQM does not exist",
       [] { return RVAdminUpdateQM("NOQM", colour, 1); }},
      {"depth 0", RVRC_OPTIONS_ERROR, "a maximum depth of 0 or message length of -1 is not valid",
       [] { return RVAdminDefineQueue("QM1", "Q", 0, -1); }},
      {"undefine full", RVRC_OPTIONS_ERROR,
       "cannot undefine queue FULL on QM1: queue FULL holds 1 message (clear it first, or use "
       "--force)",
       [] { return RVAdminUndefineQueue("QM1", "FULL"); }},
      {"clear nothing", RVRC_UNKNOWN_OBJECT_NAME,
       "cannot clear queue NOQ: queue NOQ is not defined",
       [] { return RVAdminClearQueue("QM1", "NOQ", nullptr); }},
      {"delete full", RVRC_OPTIONS_ERROR,
       "cannot delete queue manager QM1: queue FULL of QM1 holds 1 messages (use --force to "
       "delete anyway)",
       [] { return RVAdminDeleteQM("QM1", 0); }},
      {"delete nothing", RVRC_Q_MGR_NOT_AVAILABLE,
       "cannot delete queue manager NOQM: queue manager NOQM does not exist",
       [] { return RVAdminDeleteQM("NOQM", 1); }},
      {"no default", RVRC_Q_MGR_NOT_AVAILABLE,
       "no queue manager named: no default queue manager is set (rvqm create QM --default)",
       [] { return RVAdminListQueues(nullptr, NoQueue, nullptr); }},
      {"browse nothing", RVRC_UNKNOWN_OBJECT_NAME,
       "cannot open queue NOQ of QM1: RVRC_UNKNOWN_OBJECT_NAME: no queue of that name is "
       "defined (queue NOQ is not defined)",
       [] { return RVAdminBrowse("QM1", "NOQ", NoMessage, nullptr); }},
      {"no callback", RVRC_OPTIONS_ERROR, "the callback pointer is null",
       [] { return RVAdminListQueues("QM1", nullptr, nullptr); }},
      {"no description", RVRC_OPTIONS_ERROR, "the description pointer is null",
       [] { return RVAdminDescribeQM("QM1", nullptr); }},
      {"no settings", RVRC_OPTIONS_ERROR, "the settings pointer is null",
       [] { return RVAdminCreateQM("QS", 0, nullptr, nullptr, 1); }},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), c.reason) << c.what;
    EXPECT_EQ(RVErrorText(), c.text) << c.what;
  }
  EXPECT_EQ(RVAdminDeleteQM("QM1", 1), RVRC_NONE) << "force deletes what holds messages";
  EXPECT_TRUE(QueueManagers().empty());
}

TEST_F(AdminTest, EmbeddedQueueManagerHasOnlyClassicQueuesAndNoSettings) {
  CreateQueueManager("QM1");
  ASSERT_EQ(RVAdminDefineQueueOfType("QM1", "C.Q", 7, -1, "classic"), RVRC_NONE) << RVErrorText();
  ASSERT_EQ(RVAdminDefineQueueOfType("QM1", "N.Q", -1, -1, nullptr), RVRC_NONE) << RVErrorText();
  std::vector<RVQINFO> queues = Queues("QM1");
  ASSERT_EQ(queues.size(), 2u);
  EXPECT_STREQ(queues[0].name, "C.Q");
  EXPECT_EQ(queues[0].maxDepth, 7);
  int settings = 0;
  EXPECT_EQ(RVAdminQMSettings(
                "QM1",
                [](void* context, const RVSETTING*) {
                  ++*static_cast<int*>(context);
                  return 0;
                },
                &settings),
            RVRC_NONE);
  EXPECT_EQ(settings, 0);
  EXPECT_EQ(RVAdminQMSettings("QM1", nullptr, nullptr), RVRC_OPTIONS_ERROR);
}

TEST_F(AdminTest, QueueManagerOfAnUnknownBackendIsListedButNotServed) {
  CreateQueueManager("QT");
  WriteWholeFile(root + "/qmgrs/QT/qmgr.ini", "name=QT\nbackend=tape\n");
  RVHCONN hconn;
  EXPECT_EQ(Connect("QT", &hconn).reason, RVRC_Q_MGR_NOT_AVAILABLE);
  EXPECT_STREQ(RVErrorText(), "queue manager QT: backend \"tape\" is not known to this library");
  std::vector<RVQMINFO> qms = QueueManagers();
  ASSERT_EQ(qms.size(), 1u);
  EXPECT_STREQ(qms[0].backend, "tape");
  EXPECT_EQ(RVAdminDeleteQM("QT", 0), RVRC_Q_MGR_NOT_AVAILABLE);
  EXPECT_EQ(RVAdminDeleteQM("QT", 1), RVRC_NONE);
}

}  // namespace
