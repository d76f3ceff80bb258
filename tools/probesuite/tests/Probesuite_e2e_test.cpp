// End-to-end tests of probesuite: the built program runs against queue managers of the
// embedded queue manager in a private data root, with probesuite serve, upesprobe and a
// responder thread of the test answering the requests.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "JUnitCheck.h"
#include "ProcessRunner.h"
#include "RvTestSupport.h"
#include "ServedProcess.h"

namespace {

using namespace std::chrono_literals;

const std::string kSkeleton =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<WfMessage version=\"1.0\" lang=\"en\">\n"
    "  <ActivityImplInvokeResponse>\n"
    "    <ActImplCorrelID></ActImplCorrelID>\n"
    "    <ProgramRC>0</ProgramRC>\n"
    "    <Stamp>2024-05-01T10:00:00</Stamp>\n"
    "    <OutputData><Approved by=\"clerk\" level=\"2\">Yes</Approved></OutputData>\n"
    "  </ActivityImplInvokeResponse>\n"
    "</WfMessage>\n";

std::string Request(const std::string& program,
                    const std::string& correlation = "00000A1B00000C2D") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<WfMessage version=\"1.0\">\n"
         "  <ActivityImplInvoke>\n    <ActImplCorrelID>" +
         correlation + "</ActImplCorrelID>\n    <Program>" + program +
         "</Program>\n  </ActivityImplInvoke>\n</WfMessage>\n";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class ProbesuiteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _dir = MakeTempDir("probesuite");
    rvtest::FreshDataRoot("probesuite");
    rvtest::CreateQueueManager("QM1");
    for (const char* q : {"REQ.Q", "OUT.Q", "BAD.Q", "SILENT.Q", "WRONG.Q", "UP.Q"}) {
      rvtest::DefineQueue("QM1", q);
    }
    WriteWholeFile(_dir + "/skeleton.xml", kSkeleton);
  }

  ProcessRunner Tool(const char* program, std::vector<std::string> args) const {
    ProcessRunner r(program, std::move(args));
    r.Unset("KES_TRACE").Unset("KES_TRACE_FILE").Dir(_dir).Timeout(120s);
    return r;
  }
  ProcessResult Probe(std::vector<std::string> args) const {
    return Tool(PROBESUITE, std::move(args)).Run();
  }
  std::unique_ptr<ServedProcess> Serve(std::vector<std::string> args,
                                       const std::string& name = "serve") {
    args.insert(args.begin(), "serve");
    auto served =
        std::make_unique<ServedProcess>(Tool(PROBESUITE, args), _dir + "/" + name + ".err");
    EXPECT_EQ(served->ready().rfind("probesuite serve: ready on queue ", 0), 0u) << served->ready();
    return served;
  }
  // Puts a request on the queue as a client would, with OUT.Q at QM1 as reply-to.
  static void PutRequest(const std::string& queue, const std::string& body, RVMD* mdOut = nullptr,
                         const char* replyTo = "OUT.Q") {
    RVHCONN hconn;
    RVHOBJ hobj;
    ASSERT_EQ(rvtest::Connect("QM1", &hconn).reason, 0);
    ASSERT_EQ(rvtest::Open(hconn, queue, RVOO_OUTPUT, &hobj).reason, 0);
    RVMD md;
    RVInitMD(&md);
    std::memcpy(md.replyToQ, replyTo, std::strlen(replyTo));
    EXPECT_EQ(rvtest::Put(hconn, hobj, body, &md).reason, 0);
    if (mdOut != nullptr) *mdOut = md;
    rvtest::Close(hconn, &hobj);
    rvtest::Disconnect(&hconn);
  }
  // Whether a message waits on the queue (browsed, nothing taken).
  static bool Waiting(const std::string& queue) {
    RVHCONN hconn;
    RVHOBJ hobj;
    EXPECT_EQ(rvtest::Connect("QM1", &hconn).reason, 0);
    EXPECT_EQ(rvtest::Open(hconn, queue, RVOO_BROWSE, &hobj).reason, 0);
    std::string data;
    RVLONG reason =
        rvtest::Get(hconn, hobj, &data, 0, nullptr, 65536, RVMO_NONE, nullptr, RVGMO_BROWSE_FIRST)
            .reason;
    rvtest::Close(hconn, &hobj);
    rvtest::Disconnect(&hconn);
    return reason == RVRC_NONE;
  }
  static std::vector<std::string> Drain(const std::string& queue) {
    return rvtest::Drain("QM1", queue);
  }
  void Write(const std::string& name, const std::string& text) const {
    WriteWholeFile(_dir + "/" + name, text);
  }

  std::string _dir;
};

// Answers one request on WRONG.Q with a correlation element of its own, and the request's
// message identifier as correlation identifier, as a faulty responder might.
void AnswerWithTheWrongCorrelation() {
  RVHCONN hconn;
  RVHOBJ in;
  ASSERT_EQ(rvtest::Connect("QM1", &hconn).reason, 0);
  ASSERT_EQ(rvtest::Open(hconn, "WRONG.Q", RVOO_INPUT_AS_Q_DEF, &in).reason, 0);
  std::string request;
  RVMD md;
  RVInitMD(&md);
  ASSERT_EQ(rvtest::Get(hconn, in, &request, 60000, &md).reason, 0);
  RVHOBJ out;
  ASSERT_EQ(
      rvtest::Open(hconn, std::string(md.replyToQ, strnlen(md.replyToQ, 48)), RVOO_OUTPUT, &out)
          .reason,
      0);
  RVMD reply;
  RVInitMD(&reply);
  std::memcpy(reply.correlationId, md.messageId, sizeof reply.correlationId);
  std::string body =
      "<?xml version=\"1.0\"?><WfMessage><ActivityImplInvokeResponse>"
      "<ActImplCorrelID>NOT-THE-REQUEST</ActImplCorrelID><ProgramRC>0</ProgramRC>"
      "</ActivityImplInvokeResponse></WfMessage>";
  EXPECT_EQ(rvtest::Put(hconn, out, body, &reply).reason, 0);
  rvtest::Close(hconn, &out);
  rvtest::Close(hconn, &in);
  rvtest::Disconnect(&hconn);
}

TEST_F(ProbesuiteTest, SuiteOfTwentyCasesReportsEveryOutcome) {
  const std::string cases = _dir + "/cases";
  ASSERT_EQ(::mkdir(cases.c_str(), 0700), 0);
  auto write = [&](const std::string& name, const std::string& text) {
    WriteWholeFile(cases + "/" + name, text);
  };
  write("suite.ini",
        "* defaults of every case\nQueue = REQ.Q\nQueueManager = QM1\nReplyQueue = OUT.Q\n");
  // Thirteen plain passes, each request with a correlation identifier of its own.
  for (int i = 1; i <= 13; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "pass%02d", i);
    write(std::string(name) + ".xml", Request(name, i % 2 ? "00000A1B00000C2D" : ""));
    write(std::string(name) + ".expected.xml", kSkeleton);
  }
  // Passes that differ from the reply only where it does not count.
  write("layout.xml", Request("layout"));
  write("layout.expected.xml",
        "<?xml version='1.0'?>\r\n<WfMessage version='1.0' lang='en'><ActivityImplInvokeResponse>"
        "<ActImplCorrelID></ActImplCorrelID><!-- rc --><ProgramRC> 0 </ProgramRC>"
        "<Stamp>2024-05-01T10:00:00</Stamp><OutputData>\r\n<Approved level=\"2\" by=\"clerk\">Yes"
        "</Approved></OutputData></ActivityImplInvokeResponse></WfMessage>");
  write("stamp.case", "Volatile = Stamp\n");
  write("stamp.xml", Request("stamp"));
  write("stamp.expected.xml",
        std::regex_replace(kSkeleton, std::regex("2024-05-01"), "1999-12-31"));
  write("upes.case", "Queue = UP.Q\nRequest = upes-request.xml\nExpected = pass01.expected.xml\n");
  write("upes-request.xml", Request("upes"));
  write("other-request.xml", Request("not a case: no expected reply"));
  // The four that do not pass.
  write("difference.xml", Request("difference"));
  write("difference.expected.xml",
        std::regex_replace(kSkeleton, std::regex("<ProgramRC>0"), "<ProgramRC>1"));
  write("silent.case", "Queue = SILENT.Q\nTimeout = 300\n");
  write("silent.xml", Request("silent"));
  write("silent.expected.xml", kSkeleton);
  write("wrong.case", "Queue = WRONG.Q\n");
  write("wrong.xml", Request("wrong"));
  write("wrong.expected.xml", kSkeleton);
  write("broken.case", "Queue = BAD.Q\n");
  write("broken.xml", Request("broken"));
  write("broken.expected.xml", kSkeleton);
  Write("broken-skeleton.xml",
        "<?xml version=\"1.0\"?><WfMessage><ActivityImplInvokeResponse>"
        "<ActImplCorrelID></ActImplCorrelID><ProgramRC>0</ProgramRC></WfMessage>");

  auto good = Serve({"-q", "REQ.Q", "-m", "QM1", "-s", "skeleton.xml", "-j", "2", "-n", "16"});
  auto bad = Serve({"-q", "BAD.Q", "-m", "QM1", "-s", "broken-skeleton.xml", "-n", "1"}, "bad");
  int upes = Tool(UPESPROBE, {"-u", "UP.Q", "-m", "QM1", "-r", "skeleton.xml", "-a", "saved.xml"})
                 .Start(_dir + "/upes.out", _dir + "/upes.err");
  std::thread wrong(AnswerWithTheWrongCorrelation);

  ProcessResult r = Probe({"run", "-j", "4", "cases", "--junit", "junit.xml"});
  wrong.join();
  ProcessResult u = ProcessRunner::Wait(upes, 60s);
  EXPECT_EQ(u.status, 0) << ReadWholeFile(_dir + "/upes.err");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");

  // One line per case, in the order they finished, and the summary.
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 21u) << r.out;
  EXPECT_EQ(lines.back().rfind("20 cases: 16 passed, 2 failed, 1 timed out, 1 error (", 0), 0u)
      << lines.back();
  std::map<std::string, std::string> byCase;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    std::istringstream words(lines[i]);
    std::string label, name;
    words >> label >> name;
    EXPECT_EQ(byCase.count(name), 0u) << name;
    byCase[name] = lines[i];
  }
  ASSERT_EQ(byCase.size(), 20u);
  for (const char* name : {"pass01", "pass13", "layout", "stamp", "upes"}) {
    EXPECT_EQ(byCase["cases/" + std::string(name)].rfind("PASS    cases/", 0), 0u) << name;
  }
  EXPECT_TRUE(std::regex_search(
      byCase["cases/difference"],
      std::regex("^FAIL    cases/difference \\d+\\.\\d{3} s  /WfMessage/ActivityImplInvokeResponse/"
                 "ProgramRC: expected \"1\", got \"0\"$")))
      << byCase["cases/difference"];
  EXPECT_TRUE(std::regex_search(
      byCase["cases/silent"],
      std::regex("^TIMEOUT cases/silent \\d+\\.\\d{3} s  no reply on queue OUT.Q at queue "
                 "manager QM1 within 300 ms$")))
      << byCase["cases/silent"];
  EXPECT_TRUE(std::regex_search(
      byCase["cases/wrong"],
      std::regex("^FAIL    cases/wrong .*  <ActImplCorrelID>: expected \"[0-9A-F]{16}\", got "
                 "\"NOT-THE-REQUEST\"$")))
      << byCase["cases/wrong"];
  EXPECT_TRUE(std::regex_search(
      byCase["cases/broken"],
      std::regex("^ERROR   cases/broken .*  the reply is not well-formed XML: XML parse error at "
                 "line 1, column \\d+: .+")))
      << byCase["cases/broken"];

  // The JUnit report: valid against the schema's required elements, and the same outcomes.
  ProcessResult lint =
      ProcessRunner("/usr/bin/xmllint", {"--noout", "--schema", JUNIT_XSD, _dir + "/junit.xml"})
          .Run();
  EXPECT_EQ(lint.status, 0) << lint.err;
  std::vector<JUnitCase> junit = ReadJUnit(ReadWholeFile(_dir + "/junit.xml"));
  ASSERT_EQ(junit.size(), 20u);
  for (const JUnitCase& c : junit) {
    EXPECT_EQ(c.classname, "cases");
    const std::string& line = byCase["cases/" + c.name];
    std::string label = line.substr(0, line.find(' '));
    const std::map<std::string, std::string> outcomeOf = {
        {"PASS", "pass"}, {"FAIL", "failure"}, {"TIMEOUT", "failure"}, {"ERROR", "error"}};
    EXPECT_EQ(c.outcome, outcomeOf.at(label)) << c.name;
    if (label != "PASS") {
      EXPECT_NE(line.find(c.message), std::string::npos) << c.name;
    }
  }

  // The responders saw exactly their requests, and nothing was left over or dropped.
  ProcessResult goodEnd = good->Finish();
  EXPECT_EQ(goodEnd.status, 0) << goodEnd.err;
  EXPECT_EQ(Lines(goodEnd.out).back(),
            "probesuite serve: answered 16 requests (0 with the failure skeleton)");
  EXPECT_EQ(bad->Finish().status, 0);
  EXPECT_TRUE(Drain("OUT.Q").empty());
  EXPECT_TRUE(Drain("REQ.Q").empty());
  EXPECT_EQ(Drain("SILENT.Q").size(), 1u);
}

TEST_F(ProbesuiteTest, UnmatchedRepliesAreReportedAndFailTheRun) {
  Write("one.xml", Request("one"));
  Write("one.expected.xml", kSkeleton);
  PutRequest("OUT.Q", "<r><ActImplCorrelID>LEFT-OVER</ActImplCorrelID></r>");
  auto served = Serve({"-q", "REQ.Q", "-m", "QM1", "-s", "skeleton.xml", "-n", "1"});
  ProcessResult r =
      Probe({"run", "-q", "REQ.Q", "-m", "QM1", "-R", "OUT.Q", "one.xml", "--junit", "junit.xml"});
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0],
            "UNMATCHED reply on queue OUT.Q at queue manager QM1 with correlation "
            "\"LEFT-OVER\", 51 bytes: it matches no request of this run");
  EXPECT_EQ(lines[1].rfind("PASS    one ", 0), 0u) << lines[1];
  EXPECT_EQ(
      lines[2].rfind("1 case: 1 passed, 0 failed, 0 timed out, 0 errors, 1 unmatched reply (", 0),
      0u)
      << lines[2];
  std::vector<JUnitCase> junit = ReadJUnit(ReadWholeFile(_dir + "/junit.xml"));
  ASSERT_EQ(junit.size(), 2u);
  EXPECT_EQ(junit[1].name, "unmatched replies");
  EXPECT_EQ(junit[1].outcome, "error");
  EXPECT_EQ(served->Finish().status, 0);
}

TEST_F(ProbesuiteTest, LoadOfTwoThousandRequestsMatchesEveryReplyOnce) {
  Write("request.xml", Request("load"));
  auto served = Serve({"-q", "REQ.Q", "-m", "QM1", "-s", "skeleton.xml", "-j", "8", "-n", "2000"});
  ProcessResult r = Probe({"load", "-q", "REQ.Q", "-m", "QM1", "-R", "OUT.Q", "-n", "2000", "-c",
                           "16", "--json", "load.json", "request.xml"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");  // no progress line: standard error is not a terminal
  EXPECT_NE(r.out.find("\nsent          2000\nreplies       2000\ntimeouts      0\n"),
            std::string::npos)
      << r.out;
  std::string json = ReadWholeFile(_dir + "/load.json");
  for (const char* field : {"\"sent\": 2000,", "\"replies\": 2000,", "\"timeouts\": 0,",
                            "\"errors\": 0,", "\"unmatched\": 0,", "\"late\": 0,",
                            "\"duplicates\": 0,", "\"latency_us\": {\"count\": 2000,",
                            "\"mode\": \"concurrency\",", "\"concurrency\": 16,"}) {
    EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
  }
  // The percentiles are ordered.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      json, m,
      std::regex("\"min\": ([0-9.]+), \"p50\": ([0-9.]+), \"p90\": ([0-9.]+), \"p99\": ([0-9.]+), "
                 "\"p99_9\": ([0-9.]+), \"max\": ([0-9.]+)")));
  for (size_t i = 1; i + 1 < m.size(); ++i) EXPECT_LE(std::stod(m[i]), std::stod(m[i + 1])) << i;

  ProcessResult end = served->Finish();
  EXPECT_EQ(end.status, 0) << end.err;
  EXPECT_EQ(Lines(end.out).back(),
            "probesuite serve: answered 2000 requests (0 with the failure skeleton)");
  EXPECT_TRUE(Drain("REQ.Q").empty());
  EXPECT_TRUE(Drain("OUT.Q").empty());
}

TEST_F(ProbesuiteTest, FixedRateLatencyCountsFromTheDueTime) {
  // All 100 requests are due within 1 ms, far sooner than one sender can put them: the last
  // ones wait in the sender, and that wait is part of their latency.
  Write("request.xml", Request("rate"));
  auto served = Serve({"-q", "REQ.Q", "-m", "QM1", "-s", "skeleton.xml", "-n", "100"});
  ProcessResult r = Probe({"load", "-q", "REQ.Q", "-m", "QM1", "-R", "OUT.Q", "-n", "100", "-r",
                           "100000", "--json", "rate.json", "request.xml"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string json = ReadWholeFile(_dir + "/rate.json");
  EXPECT_NE(json.find("\"mode\": \"rate\","), std::string::npos) << json;
  EXPECT_NE(json.find("\"replies\": 100,"), std::string::npos) << json;
  std::smatch seconds, max;
  ASSERT_TRUE(std::regex_search(json, seconds, std::regex("\"seconds\": ([0-9.]+)")));
  ASSERT_TRUE(std::regex_search(json, max, std::regex("\"max\": ([0-9.]+)")));
  // The last reply came about "seconds" after the start, when every request was long due.
  double lastDueUs = 100 / 100000.0 * 1e6;
  EXPECT_GE(std::stod(max[1]), std::stod(seconds[1]) * 1e6 - lastDueUs - 1000) << json;
  EXPECT_EQ(served->Finish().status, 0);
}

TEST_F(ProbesuiteTest, ServeAnswersTheRequestItHoldsWhenStopped) {
  RVMD sent;
  PutRequest("REQ.Q", Request("held", "00000000000000AB"), &sent);
  auto served = Serve({"-q", "REQ.Q", "-m", "QM1", "-s", "skeleton.xml", "--delay", "60000"});
  // Once the request has left its queue, serve holds it through the delay.
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (Waiting("REQ.Q")) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(5ms);
  }
  auto stopped = std::chrono::steady_clock::now();
  ProcessResult end = served->Finish(SIGTERM);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 30s);  // the delay was cut short
  EXPECT_EQ(end.status, 0) << end.err;
  EXPECT_EQ(Lines(end.out).back(),
            "probesuite serve: answered 1 request (0 with the failure skeleton)");
  RVHCONN hconn;
  RVHOBJ hobj;
  ASSERT_EQ(rvtest::Connect("QM1", &hconn).reason, 0);
  ASSERT_EQ(rvtest::Open(hconn, "OUT.Q", RVOO_INPUT_AS_Q_DEF, &hobj).reason, 0);
  std::string reply;
  RVMD md;
  RVInitMD(&md);
  ASSERT_EQ(rvtest::Get(hconn, hobj, &reply, 0, &md).reason, 0);
  EXPECT_EQ(reply, std::regex_replace(kSkeleton, std::regex("<ActImplCorrelID>"),
                                      "<ActImplCorrelID>00000000000000AB"));
  EXPECT_EQ(std::memcmp(md.correlationId, sent.messageId, sizeof md.correlationId), 0);
  EXPECT_EQ(std::string(md.replyToQ, strnlen(md.replyToQ, 48)), "REQ.Q");
  EXPECT_EQ(std::string(md.format, 8), "RVSTR   ");
  rvtest::Close(hconn, &hobj);
  rvtest::Disconnect(&hconn);
}

TEST_F(ProbesuiteTest, ServePutsBackARequestItCannotAnswer) {
  const struct {
    const char* label;
    const char* replyTo;
    const char* says;
  } cases[] = {
      {"reply-to queue not defined", "NO.SUCH.Q",
       "cannot answer a request: cannot open queue NO.SUCH.Q"},
      {"no reply-to queue", "", "a request names no reply-to queue"},
  };
  for (const auto& c : cases) {
    RVMD sent;
    PutRequest("REQ.Q", Request(c.label), &sent, c.replyTo);
    auto served = Serve({"-q", "REQ.Q", "-m", "QM1", "-s", "skeleton.xml"});
    ProcessResult end = served->Finish();
    EXPECT_EQ(end.status, 3) << c.label;
    EXPECT_NE(end.err.find(c.says), std::string::npos) << c.label << ": " << end.err;
    EXPECT_NE(end.err.find("; the request was put back on REQ.Q"), std::string::npos) << end.err;
    EXPECT_EQ(Lines(end.out).back(),
              "probesuite serve: answered 0 requests (0 with the failure skeleton)");
    std::vector<std::string> left = Drain("REQ.Q");
    ASSERT_EQ(left.size(), 1u) << c.label;
    EXPECT_EQ(left[0], Request(c.label));
  }
}

TEST_F(ProbesuiteTest, ServeTakesNoMoreThanItsCountAndAnswersAShareWithTheFailureSkeleton) {
  const std::string failure =
      std::regex_replace(kSkeleton, std::regex("<ProgramRC>0"), "<ProgramRC>8");
  Write("failure.xml", failure);
  for (int i = 1; i <= 8; ++i) PutRequest("REQ.Q", Request("n", "ID" + std::to_string(i)));
  auto served = Serve({"-q", "REQ.Q", "-m", "QM1", "-s", "skeleton.xml", "-n", "6", "-j", "3",
                       "--fail-share", "50%", "--fail-skeleton", "failure.xml"});
  ProcessResult end = served->Finish();
  EXPECT_EQ(end.status, 0) << end.err;
  EXPECT_EQ(Lines(end.out).back(),
            "probesuite serve: answered 6 requests (3 with the failure skeleton)");
  EXPECT_EQ(Drain("REQ.Q").size(), 2u);
  std::vector<std::string> replies = Drain("OUT.Q");
  ASSERT_EQ(replies.size(), 6u);
  int failures = 0;
  for (const std::string& reply : replies) {
    failures += reply.find("<ProgramRC>8") != std::string::npos;
    EXPECT_TRUE(std::regex_search(reply, std::regex("<ActImplCorrelID>ID[1-8]</ActImplCorrelID>")))
        << reply;
  }
  EXPECT_EQ(failures, 3);
}

TEST_F(ProbesuiteTest, IdleServeEndsOnItsOwn) {
  auto served = Serve({"-q", "REQ.Q", "-m", "QM1", "-s", "skeleton.xml", "-t", "100"});
  ProcessResult end = served->Finish();
  EXPECT_EQ(end.status, 0) << end.err;
  auto limited = Serve({"-q", "REQ.Q", "-m", "QM1", "-s", "skeleton.xml", "-t", "100", "-n", "5"});
  EXPECT_EQ(limited->Finish().status, 1);  // ended before its five requests came
}

struct Refused {
  std::vector<std::string> args;
  int status;
  const char* says;
};

TEST_F(ProbesuiteTest, MistakesEndWithADocumentedStatus) {
  Write("plain.xml", "<m/>");
  const Refused cases[] = {
      {{}, 2, "Usage: probesuite COMMAND"},
      {{"walk"}, 2, "probesuite: unknown command \"walk\""},
      {{"run"}, 2, "probesuite run: no cases named\nTry \"probesuite run --help\"."},
      {{"run", "-j", "0", "x"}, 2, "-j needs a whole number from 1 to 256, not \"0\""},
      {{"run", "--bogus", "x"}, 2, "unknown option --bogus"},
      {{"run", "x", "-t"}, 2, "option -t needs a value"},
      {{"load", "-R", "OUT.Q", "plain.xml"}, 2, "no request queue: give -q"},
      {{"load", "-q", "REQ.Q", "-R", "OUT.Q", "-r", "fast", "plain.xml"},
       2,
       "-r needs a number greater than 0"},
      {{"serve", "-q", "REQ.Q"}, 2, "no skeleton: give -s"},
      {{"serve", "-q", "REQ.Q", "-s", "skeleton.xml", "--fail-share", "2"},
       2,
       "--fail-share needs a share from 0 to 1"},
      {{"serve", "-q", "REQ.Q", "-s", "skeleton.xml", "--fail-share", "0.1"},
       2,
       "--fail-share and --fail-skeleton go together"},
      {{"run", "missing"}, 3, "probesuite run: missing: no such case file or folder"},
      {{"serve", "-q", "REQ.Q", "-s", "absent.xml"}, 3, "Error opening file: absent.xml"},
      {{"load", "-q", "REQ.Q", "-R", "OUT.Q", "absent.xml"}, 3, "Error opening file: absent.xml"},
      {{"serve", "-q", "REQ.Q", "-s", "plain.xml"}, 3, "the skeleton plain.xml holds no"},
      {{"serve", "-q", "NO.Q", "-m", "QM1", "-s", "skeleton.xml"},
       3,
       "cannot open queue NO.Q at queue manager QM1: reason code 2085"},
      {{"load", "-q", "REQ.Q", "-m", "NOQM", "-R", "OUT.Q", "-n", "1", "skeleton.xml"},
       3,
       "cannot connect to queue manager NOQM: reason code 2059"},
      {{"load", "-q", "REQ.Q", "-m", "QM1", "-R", "OUT.Q", "plain.xml"},
       3,
       "the request plain.xml holds no <ActImplCorrelID> element"},
  };
  for (const Refused& c : cases) {
    ProcessResult r = Probe(c.args);
    std::string shown =
        c.args.empty() ? "(none)" : c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "");
    EXPECT_EQ(r.status, c.status) << shown << "\n" << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << shown << "\n" << r.err;
    EXPECT_EQ(r.out, "") << shown;
  }
  for (const char* command : {"run", "load", "serve"}) {
    ProcessResult help = Probe({command, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(std::string("Usage: probesuite ") + command, 0), 0u) << help.out;
  }
  EXPECT_TRUE(Drain("REQ.Q").empty());
}

}  // namespace
