// How SuiteCase::Collect finds cases in folders and files and where each setting comes from.
#include "SuiteCase.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ProbeError.h"
#include "ProcessRunner.h"

namespace {

class SuiteCaseTest : public ::testing::Test {
 protected:
  void SetUp() override { _dir = MakeTempDir("suitecase"); }

  void File(const std::string& name, const std::string& text = "<m/>") {
    WriteWholeFile(_dir + "/" + name, text);
  }
  std::vector<SuiteCase> Collect(const std::vector<std::string>& paths,
                                 const SuiteCase::Overrides& overrides = {}) {
    return SuiteCase::Collect(paths, overrides);
  }
  // The text of the ProbeError that Collect throws, or "" when it throws none.
  std::string Refusal(const std::vector<std::string>& paths) {
    try {
      Collect(paths);
    } catch (const ProbeError& e) {
      EXPECT_EQ(e.status(), ProbeError::kNoStart);
      return e.what();
    }
    return "";
  }

  std::string _dir;
};

TEST_F(SuiteCaseTest, FolderHoldsCaseFilesAndRequestsWithExpectedReplies) {
  File("suite.ini", "Queue = REQ.Q\nQueueManager = QM1\nReplyQueue = OUT.Q\n");
  File("b.xml");
  File("b.expected.xml");
  File("a.case", "Request = shared.xml\nExpected = a-reply.xml\n");
  File("shared.xml");  // used by a.case only: not a case of its own
  File("c.xml");       // no expected reply: not a case
  File("d.xml");
  File("d.expected.xml");
  File("d.case", "Queue = OTHER.Q\n");  // the case file governs d
  std::vector<SuiteCase> cases = Collect({_dir + "/"});
  ASSERT_EQ(cases.size(), 3u);
  EXPECT_EQ(cases[0].name, _dir + "/a");
  EXPECT_EQ(cases[0].suite, _dir);
  EXPECT_EQ(cases[0].request, _dir + "/shared.xml");
  EXPECT_EQ(cases[0].expected, _dir + "/a-reply.xml");
  EXPECT_EQ(cases[1].name, _dir + "/b");
  EXPECT_EQ(cases[1].request, _dir + "/b.xml");
  EXPECT_EQ(cases[1].expected, _dir + "/b.expected.xml");
  EXPECT_EQ(cases[1].queue, "REQ.Q");
  EXPECT_EQ(cases[2].name, _dir + "/d");
  EXPECT_EQ(cases[2].queue, "OTHER.Q");
  EXPECT_EQ(cases[2].request, _dir + "/d.xml");
  for (const SuiteCase& c : cases) {
    EXPECT_EQ(c.problem, "") << c.name;
    EXPECT_EQ(c.replyQueueManager, "QM1") << c.name;  // defaults to the queue manager
    EXPECT_EQ(c.timeoutMs, SuiteCase::kDefaultTimeoutMs) << c.name;
  }
}

TEST_F(SuiteCaseTest, CommandLineOverCaseFileOverSuiteFile) {
  File("suite.ini",
       "Queue = S.Q\nQueueManager = SQM\nReplyQueue = S.OUT\nReplyQueueManager = SRQM\n"
       "Timeout = 500\nVolatile = Stamp\n");
  File("x.case", "Queue = C.Q\nTimeout = 250\nVolatile = /m/Id, Other\n");
  File("x.xml");
  File("x.expected.xml");
  SuiteCase::Overrides overrides;
  std::vector<SuiteCase> fromFiles = Collect({_dir + "/x.case"}, overrides);
  ASSERT_EQ(fromFiles.size(), 1u);
  EXPECT_EQ(fromFiles[0].queue, "C.Q");
  EXPECT_EQ(fromFiles[0].queueManager, "SQM");
  EXPECT_EQ(fromFiles[0].replyQueue, "S.OUT");
  EXPECT_EQ(fromFiles[0].replyQueueManager, "SRQM");
  EXPECT_EQ(fromFiles[0].timeoutMs, 250);
  EXPECT_EQ(fromFiles[0].volatileNames, (std::vector<std::string>{"Stamp", "/m/Id", "Other"}));

  overrides.queue = "L.Q";
  overrides.queueManager = "LQM";
  overrides.timeoutMs = 99;
  overrides.volatileNames = {"Extra"};
  std::vector<SuiteCase> fromLine = Collect({_dir + "/x.case"}, overrides);
  EXPECT_EQ(fromLine[0].queue, "L.Q");
  EXPECT_EQ(fromLine[0].queueManager, "LQM");
  EXPECT_EQ(fromLine[0].replyQueueManager, "SRQM");
  EXPECT_EQ(fromLine[0].timeoutMs, 99);
  EXPECT_EQ(fromLine[0].volatileNames.back(), "Extra");
}

TEST_F(SuiteCaseTest, RequestFileNamedDirectlyAndMissingQueues) {
  File("r.xml");
  std::vector<SuiteCase> cases = Collect({_dir + "/r.xml"});
  ASSERT_EQ(cases.size(), 1u);
  EXPECT_EQ(cases[0].expected, _dir + "/r.expected.xml");
  EXPECT_NE(cases[0].problem.find("no request queue"), std::string::npos) << cases[0].problem;

  SuiteCase::Overrides overrides;
  overrides.queue = "Q";
  cases = Collect({_dir + "/r.xml"}, overrides);
  EXPECT_NE(cases[0].problem.find("no reply queue"), std::string::npos) << cases[0].problem;
}

TEST_F(SuiteCaseTest, WhatCannotBeCollectedIsRefused) {
  File("bad.case", "Timeout = soon\n");
  File("zero.case", "Timeout = 0\n");
  File("notes.txt");
  ::mkdir((_dir + "/empty").c_str(), 0700);
  File("locked.case", "Queue = Q\n");
  ::chmod((_dir + "/locked.case").c_str(), 0);
  EXPECT_NE(Refusal({_dir + "/bad.case"}).find("Timeout \"soon\""), std::string::npos);
  EXPECT_NE(Refusal({_dir + "/zero.case"}).find("Timeout \"0\""), std::string::npos);
  EXPECT_NE(Refusal({_dir + "/notes.txt"}).find("not a case"), std::string::npos);
  EXPECT_NE(Refusal({_dir + "/missing"}).find("no such case file or folder"), std::string::npos);
  EXPECT_NE(Refusal({_dir + "/empty"}).find("no cases found"), std::string::npos);
  if (::geteuid() != 0) {  // root reads the file all the same
    EXPECT_NE(Refusal({_dir + "/locked.case"}).find("cannot read"), std::string::npos);
  }
}

}  // namespace
