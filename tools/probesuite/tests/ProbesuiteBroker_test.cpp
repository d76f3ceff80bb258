// probesuite against a queue manager that stands for the private broker (scripts/broker.sh):
// serve, load and run make their exchanges through it as through the embedded one, with
// upesprobe answering one case.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "BrokerFixture.h"
#include "ProcessRunner.h"
#include "ServedProcess.h"

namespace {

class ProbesuiteBrokerTest : public rv::BrokerFixture {
 protected:
  ProcessRunner Tool(const char* program, std::vector<std::string> args) const {
    ProcessRunner r(program, std::move(args));
    r.Env("RV_DATA_DIR", _root).Unset("KES_TRACE").Dir(_dir).Timeout(std::chrono::minutes(2));
    return r;
  }
  void Write(const std::string& name, const std::string& text) const {
    WriteWholeFile(_dir + "/" + name, text);
  }

  std::string _dir = MakeTempDir("probesuite-broker");
};

TEST_F(ProbesuiteBrokerTest, ServeLoadAndRunThroughTheBroker) {
  const std::string requests = NewQueue("REQ");
  const std::string replies = NewQueue("OUT");
  const std::string upes = NewQueue("UPES");
  const std::string request = ReadWholeFile(PROBES_SOURCE_DIR "/samples/request.xml");
  const std::string skeleton = ReadWholeFile(PROBES_SOURCE_DIR "/samples/response-skeleton.xml");
  Write("request.xml", request);
  Write("skeleton.xml", skeleton);
  ASSERT_EQ(::mkdir((_dir + "/cases").c_str(), 0700), 0);
  Write("cases/suite.ini", "Queue = " + requests + "\nQueueManager = QB\nReplyQueue = " + replies);
  Write("cases/served.xml", request);
  Write("cases/served.expected.xml", skeleton);
  Write("cases/upes.case",
        "Queue = " + upes + "\nRequest = served.xml\nExpected = served.expected.xml\n");

  ServedProcess served(Tool(PROBESUITE, {"serve", "-q", requests, "-m", "QB", "-s", "skeleton.xml",
                                         "-j", "2", "-n", "201"}),
                       _dir + "/serve.err");
  EXPECT_EQ(served.ready(),
            "probesuite serve: ready on queue " + requests + " at queue manager QB");
  int upesPid = Tool(UPESPROBE, {"-u", upes, "-m", "QB", "-r", "skeleton.xml", "-a", "saved.xml"})
                    .Start(_dir + "/upes.out", _dir + "/upes.err");

  ProcessResult load = Tool(PROBESUITE, {"load", "-q", requests, "-m", "QB", "-R", replies, "-n",
                                         "200", "-c", "4", "--json", "load.json", "request.xml"})
                           .Run();
  EXPECT_EQ(load.status, 0) << load.out << load.err;
  std::string json = ReadWholeFile(_dir + "/load.json");
  EXPECT_NE(json.find("\"replies\": 200,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"unmatched\": 0,"), std::string::npos) << json;

  ProcessResult run = Tool(PROBESUITE, {"run", "-j", "2", "cases"}).Run();
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("PASS    cases/served "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("PASS    cases/upes "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("2 cases: 2 passed,"), std::string::npos) << run.out;

  ProcessResult end = served.Finish();
  EXPECT_EQ(end.status, 0) << end.err;
  EXPECT_NE(end.out.find("probesuite serve: answered 201 requests"), std::string::npos) << end.out;
  EXPECT_EQ(ProcessRunner::Wait(upesPid, std::chrono::minutes(1)).status, 0)
      << ReadWholeFile(_dir + "/upes.err");
}

}  // namespace
