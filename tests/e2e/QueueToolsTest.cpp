// End-to-end tests of reqprobe and upesprobe: the built programs run as processes
// against a queue manager of their own in a temporary data root.
#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "ProcessRunner.h"

namespace {

const std::string kUsageReq =
    "Usage: \n"
    "   reqprobe [-l InputParameterFileName] | [-option [argument] ... ]         \n\n"
    "   The following options are valid:                                \n\n"
    "      -i: <name>      Input XML file name \n"
    "      -o: <name>      Output XML file name \n"
    "      -r: <name>      Input queue name    \n"
    "      -s: <prefix>    Input queue manager name \n"
    "      -t: <name>      Output queue name    \n"
    "      -u: <name>      Output queue manager name \n ";

const std::string kUsageUpes =
    "Usage: \n"
    "   upesprobe [-l InputParameterFileName] | [-option [argument] ... ]         \n\n"
    "   The following options are valid:                                \n\n"
    "      -r: <name>      ActivityImplResponse XML file name: Input \n"
    "      -a: <name>      ActivityImpl XML file name: Output \n"
    "      -u: <name>      UPES queue name    \n"
    "      -m: <prefix>    UPES queue manager name \n\n";

const std::string kUnknownError = "Unknown error occured.\n";

const std::string kRequest =
    "<?xml version=\"1.0\"?>\r\n<WfMessage><ActivityImplInvoke>"
    "<ActImplCorrelID>0000ABCD00001234</ActImplCorrelID>"
    "<Data>x</Data></ActivityImplInvoke></WfMessage>\n";
const std::string kSkeleton =
    "<?xml version=\"1.0\"?>\n<WfMessage><ActivityImplInvokeResponse>\n"
    "<ActImplCorrelID></ActImplCorrelID>\n<ProgramRC>0</ProgramRC>\n"
    "</ActivityImplInvokeResponse></WfMessage>\n";
const std::string kResponse =
    "<?xml version=\"1.0\"?>\n<WfMessage><ActivityImplInvokeResponse>\n"
    "<ActImplCorrelID>0000ABCD00001234</ActImplCorrelID>\n<ProgramRC>0</ProgramRC>\n"
    "</ActivityImplInvokeResponse></WfMessage>\n";

class QueueToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _dir = MakeTempDir("queuetools");
    _data = _dir + "/rv";
    Rvqm({"create", "QM1"});
    Rvqm({"define", "QM1", "IN.Q", "OUT.Q", "UPES.Q"});
    WriteWholeFile(_dir + "/req.xml", kRequest);
    WriteWholeFile(_dir + "/skel.xml", kSkeleton);
  }

  ProcessRunner Tool(const char* path, std::vector<std::string> args) const {
    ProcessRunner r(path, std::move(args));
    r.Env("RV_DATA_DIR", _data).Unset("KES_TRACE").Unset("KES_TRACE_FILE").Dir(_dir);
    r.Timeout(std::chrono::seconds(60));
    return r;
  }
  ProcessResult Req(std::vector<std::string> args) const { return Tool(REQPROBE, args).Run(); }
  ProcessResult Upes(std::vector<std::string> args) const { return Tool(UPESPROBE, args).Run(); }
  ProcessResult Rvqm(std::vector<std::string> args) const {
    ProcessResult r = Tool(RVQM, args).Run();
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
  }

  // The depth of a queue as `rvqm list` shows it.
  int Depth(const std::string& queue) const {
    std::istringstream lines(Tool(RVQM, {"list", "QM1"}).Run().out);
    std::string name;
    int depth = -1;
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      if (words >> name >> depth && name == queue) return depth;
    }
    return -1;
  }
  std::string Take(const std::string& queue) const {
    ProcessResult r = Tool(RVQM, {"get", "QM1", queue, "--wait", "0"}).Run();
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  std::string File(const std::string& name) const { return ReadWholeFile(_dir + "/" + name); }
  bool Exists(const std::string& name) const {
    return access((_dir + "/" + name).c_str(), F_OK) == 0;
  }

  std::string _dir;
  std::string _data;
};

struct UsageCase {
  std::vector<std::string> args;
};

TEST_F(QueueToolsTest, BadCommandLinesWriteTheUsageTextAndEndWith255) {
  const std::vector<std::vector<std::string>> reqCases = {
      {},
      {"-h"},
      {"-i", "req.xml", "-r", "IN.Q", "-s", "QM1", "-h", "x"},
      {"-i", "req.xml", "-r", "IN.Q", "-s", "QM1", "second.xml"},
      {"-H"},
  };
  for (const auto& args : reqCases) {
    ProcessResult r = Req(args);
    EXPECT_EQ(r.out, kUsageReq);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 255);
  }
  const std::vector<std::vector<std::string>> upesCases = {
      {}, {"-h"}, {"-u", "UPES.Q", "-m", "QM1", "left-over"}, {"-r", "skel.xml", "-H"}};
  for (const auto& args : upesCases) {
    ProcessResult r = Upes(args);
    EXPECT_EQ(r.out, kUsageUpes);
    EXPECT_EQ(r.status, 255);
  }
  EXPECT_EQ(Depth("IN.Q"), 0);
}

TEST_F(QueueToolsTest, RequestWithoutOutputQueueIsPutAndNothingIsAwaited) {
  ProcessResult r = Req({"-I", "req.xml", "-R", "IN.Q", "-S", "QM1", "-o", "reply.xml"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(Exists("reply.xml"));
  EXPECT_EQ(Take("IN.Q"), kRequest);
}

TEST_F(QueueToolsTest, LaterOptionsOverrideEarlierOnes) {
  WriteWholeFile(_dir + "/other.xml", "<?xml?><other/>");
  EXPECT_EQ(Req({"-i", "req.xml", "-i", "other.xml", "-r", "IN.Q", "-s", "QM1"}).status, 0);
  EXPECT_EQ(Take("IN.Q"), "<?xml?><other/>");

  // A parameter file without InputXMLFile blanks the name given before it ...
  WriteWholeFile(_dir + "/p.ini", "InputQueue=IN.Q\nInputQueueManager=QM1\n");
  ProcessResult blanked = Req({"-i", "req.xml", "-l", "p.ini"});
  EXPECT_EQ(blanked.out, kUnknownError);
  EXPECT_NE(blanked.err.find("reqprobe: failed precondition \"!IsNull()\""), std::string::npos)
      << blanked.err;
  EXPECT_EQ(blanked.status, 1);
  EXPECT_EQ(Depth("IN.Q"), 0);
  // ... and a name given after it wins.
  EXPECT_EQ(Req({"-l", "p.ini", "-i", "req.xml"}).status, 0);
  EXPECT_EQ(Take("IN.Q"), kRequest);
}

TEST_F(QueueToolsTest, ParameterFileWithCommentsQuotingAndSections) {
  WriteWholeFile(_dir + "/p.ini",
                 "* reqprobe parameters\r\n"
                 "\tInputXMLFile = 'req.xml'   * quoted\r\n"
                 "InputQueue=IN.Q\r\n"
                 "InputQueueManager = QM1\r\n"
                 "\r\n"
                 "Other:\r\n"
                 "InputQueue = OUT.Q\r\n");
  ProcessResult r = Req({"-l", "p.ini"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Depth("OUT.Q"), 0);
  EXPECT_EQ(Take("IN.Q"), kRequest);
}

TEST_F(QueueToolsTest, MissingInputFileReportsAndPutsNothing) {
  ProcessResult r = Req({"-i", "missing.xml", "-r", "IN.Q", "-s", "QM1"});
  EXPECT_EQ(r.out, kUnknownError);
  EXPECT_NE(r.err.find("Error opening file: missing.xml"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Depth("IN.Q"), 0);
}

TEST_F(QueueToolsTest, UnknownQueueManagerEndsWithTheConnectLine) {
  ProcessResult r = Req({"-i", "req.xml", "-r", "IN.Q", "-s", "NOSUCH.QM"});
  EXPECT_EQ(r.out, "RVCONN ended with reason code 2059\n");
  EXPECT_EQ(r.status, 2059 & 0xFF);
  ProcessResult u = Upes({"-u", "UPES.Q", "-m", "NOSUCH.QM"});
  EXPECT_EQ(u.out, "RVCONN ended with reason code 2059\n");
  EXPECT_NE(u.status, 0);
}

TEST_F(QueueToolsTest, UnknownQueueFailsWithoutWritingTheOutputFile) {
  ProcessResult put = Req({"-i", "req.xml", "-r", "NO.SUCH.Q", "-s", "QM1", "-t", "OUT.Q", "-u",
                           "QM1", "-o", "reply.xml"});
  EXPECT_EQ(put.out, kUnknownError);
  EXPECT_NE(put.err.find("NO.SUCH.Q"), std::string::npos) << put.err;
  EXPECT_NE(put.err.find("2085"), std::string::npos) << put.err;
  EXPECT_EQ(put.status, 1);
  EXPECT_FALSE(Exists("reply.xml"));

  WriteWholeFile(_dir + "/saved.xml", "keep me");
  ProcessResult get = Upes({"-u", "NO.SUCH.Q", "-m", "QM1", "-a", "saved.xml", "-r", "skel.xml"});
  EXPECT_EQ(get.out, kUnknownError);
  EXPECT_EQ(get.status, 1);
  EXPECT_EQ(File("saved.xml"), "keep me");
}

TEST_F(QueueToolsTest, UpesprobeWithoutQueueDoesNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-r", "skel.xml", "-a", "saved.xml", "-m", "QM1"}, {"-x"}, {"-u"}}) {
    ProcessResult r = Upes(args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_FALSE(Exists("saved.xml"));
}

TEST_F(QueueToolsTest, UpesprobeKeepsARequestWithoutReplyToAndPutsNothing) {
  Rvqm({"put", "QM1", "UPES.Q", "req.xml"});
  ProcessResult r = Upes({"-u", "UPES.Q", "-m", "QM1", "-a", "saved.xml", "-r", "skel.xml"});
  EXPECT_EQ(r.out, kUnknownError);
  EXPECT_EQ(r.err,
            "upesprobe: the request names no reply-to queue and queue manager; no response is "
            "put\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(File("saved.xml"), kRequest);
  EXPECT_EQ(Depth("UPES.Q"), 0);
}

// upesprobe waits on UPES.Q; reqprobe sends the request there with OUT.Q as reply-to
// and waits for the response.
class RoundTripTest : public QueueToolsTest {
 protected:
  void RoundTrip(const std::string& request, bool trace) {
    WriteWholeFile(_dir + "/req.xml", request);
    ProcessRunner upes = Tool(UPESPROBE, {"-u", "UPES.Q", "-m", "QM1", "-a", "saved.xml", "-r",
                                          "skel.xml"});
    ProcessRunner req = Tool(REQPROBE, {"-i", "req.xml", "-r", "UPES.Q", "-s", "QM1", "-t",
                                        "OUT.Q", "-u", "QM1", "-o", "reply.xml"});
    if (trace) req.Env("KES_TRACE", "10:4:1").Env("KES_TRACE_FILE", _dir + "/trace.log");
    int upesPid = upes.Start(_dir + "/upes.out", _dir + "/upes.err");
    ProcessResult r = req.Run();
    ProcessResult u = ProcessRunner::Wait(upesPid, std::chrono::seconds(60));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(u.status, 0) << File("upes.err");
    EXPECT_EQ(File("upes.out"), "");
    EXPECT_EQ(Depth("UPES.Q"), 0);
    EXPECT_EQ(Depth("OUT.Q"), 0);
  }
};

TEST_F(RoundTripTest, ReplyIsTheSkeletonWithTheRequestsCorrelation) {
  RoundTrip("garbage before the declaration " + kRequest, true);
  EXPECT_EQ(File("saved.xml"), kRequest);  // written from "<?xml" on
  EXPECT_EQ(File("reply.xml"), kResponse);
  std::string trace = File("trace.log");
  EXPECT_NE(trace.find("target queue is:UPES.Q"), std::string::npos);
  EXPECT_NE(trace.find("target queue is:OUT.Q"), std::string::npos);
  EXPECT_NE(trace.find("\n QueueManager:QM1\n Queue:OUT.Q"), std::string::npos);
}

TEST_F(RoundTripTest, FiftyMegabyteRequestTravelsByteExact) {
  std::string big = kRequest;
  std::string line(79, 'x');
  line += '\n';
  while (big.size() < 50u * 1000 * 1000) big += line;
  big += "<ActImplCorrelID>late</ActImplCorrelID>\n";
  RoundTrip(big, false);
  EXPECT_TRUE(File("saved.xml") == big);
  EXPECT_EQ(File("reply.xml"), kResponse);
}

}  // namespace
