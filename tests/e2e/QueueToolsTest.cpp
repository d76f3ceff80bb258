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
  EXPECT_EQ(blanked.err, "reqprobe: no input XML file: give -i or InputXMLFile\n");
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
  const std::string why =
      "Cannot connect to queue manager NOSUCH.QM: queue manager NOSUCH.QM does not exist\n";
  EXPECT_EQ(r.err, why);
  ProcessResult u = Upes({"-u", "UPES.Q", "-m", "NOSUCH.QM", "-a", "saved.xml", "-r", "skel.xml"});
  EXPECT_EQ(u.out, "RVCONN ended with reason code 2059\n");
  EXPECT_NE(u.status, 0);
  EXPECT_EQ(u.err, why);
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

struct MissingNameCase {
  std::vector<std::string> args;
  std::string err;
};

// A run without a name it needs ends before anything is put or taken: the reply and the
// request waiting on their queues stay there, and no request is left on IN.Q.
TEST_F(QueueToolsTest, MissingNamesEndTheRunBeforeAnyQueueIsTouched) {
  Rvqm({"put", "QM1", "OUT.Q", "skel.xml"});
  Rvqm({"put", "QM1", "UPES.Q", "req.xml", "--reply-to", "OUT.Q", "--reply-to-qmgr", "QM1"});
  const MissingNameCase reqCases[] = {
      {{"-r", "IN.Q", "-s", "QM1"}, "no input XML file: give -i or InputXMLFile"},
      {{"-i", "req.xml", "-s", "QM1"}, "no input queue: give -r or InputQueue"},
      {{"-i", "req.xml", "-r", "IN.Q"}, "no input queue manager: give -s or InputQueueManager"},
      {{"-i", "req.xml", "-r", "IN.Q", "-s", "QM1", "-t", "OUT.Q", "-o", "reply.xml"},
       "no output queue manager: give -u or OutputQueueManager"},
      {{"-i", "req.xml", "-r", "IN.Q", "-s", "QM1", "-t", "OUT.Q", "-u", "QM1"},
       "no output XML file: give -o or OutputXMLFile"},
  };
  for (const auto& c : reqCases) {
    ProcessResult r = Req(c.args);
    EXPECT_EQ(r.out, kUnknownError) << c.err;
    EXPECT_EQ(r.err, "reqprobe: " + c.err + "\n");
    EXPECT_EQ(r.status, 1) << c.err;
  }
  const MissingNameCase upesCases[] = {
      {{"-u", "UPES.Q", "-a", "saved.xml", "-r", "skel.xml"},
       "no UPES queue manager: give -m or UPESQueueManager"},
      {{"-u", "UPES.Q", "-m", "QM1", "-r", "skel.xml"},
       "no output file for the request: give -a or ActivityImplXMLFile"},
      {{"-u", "UPES.Q", "-m", "QM1", "-a", "saved.xml"},
       "no response skeleton file: give -r or ActivityResponseXMLFile"},
  };
  for (const auto& c : upesCases) {
    ProcessResult r = Upes(c.args);
    EXPECT_EQ(r.out, kUnknownError) << c.err;
    EXPECT_EQ(r.err, "upesprobe: " + c.err + "\n");
    EXPECT_EQ(r.status, 1) << c.err;
  }
  EXPECT_EQ(Depth("IN.Q"), 0);
  EXPECT_EQ(Depth("OUT.Q"), 1);
  EXPECT_EQ(Depth("UPES.Q"), 1);
  EXPECT_FALSE(Exists("reply.xml"));
  EXPECT_FALSE(Exists("saved.xml"));
}

struct HintCase {
  std::string file;  // the parameter file's content
  std::string err;   // what follows "reqprobe: " on standard error
};

TEST_F(QueueToolsTest, MissingNameFromAParameterFileComesWithAHint) {
  const std::string rest = "InputXMLFile = req.xml\nInputQueue = IN.Q\n";
  const std::string noQm = "no input queue manager: give -s or InputQueueManager";
  const HintCase cases[] = {
      {rest + "InputQueueManger = QM1\n",
       noQm + "; p.ini has \"InputQueueManger\": did you mean InputQueueManager?"},
      {rest + "inputqueuemanager = QM1\n",
       noQm + "; p.ini has \"inputqueuemanager\": did you mean InputQueueManager?"},
      {rest + "InptQueueManagr = QM1\n",
       noQm + "; p.ini has \"InptQueueManagr\": did you mean InputQueueManager?"},
      {rest + "InputQueueManager =\n", noQm + "; p.ini gives InputQueueManager no value"},
      // Three letters off, or only in a section the tools do not read: no guess.
      {rest + "InptQuueManagr = QM1\n", noQm},
      {rest + "Other:\nInputQueueManager = QM1\n", noQm},
  };
  for (const auto& c : cases) {
    WriteWholeFile(_dir + "/p.ini", c.file);
    ProcessResult r = Req({"-l", "p.ini"});
    EXPECT_EQ(r.out, kUnknownError) << c.file;
    EXPECT_EQ(r.err, "reqprobe: " + c.err + "\n") << c.file;
    EXPECT_EQ(r.status, 1) << c.file;
  }
  ProcessResult unreadable = Req({"-r", "IN.Q", "-l", "nothing.ini"});
  EXPECT_EQ(unreadable.err,
            "reqprobe: no input XML file: give -i or InputXMLFile; cannot read nothing.ini: No "
            "such file or directory\n");
  // A name given after the file needs no hint.
  WriteWholeFile(_dir + "/p.ini",
                 "ActivityImplXMLFile = saved.xml\nUPESQueue = UPES.Q\n"
                 "UPESQueueManger = QM1\n");
  ProcessResult upes = Upes({"-l", "p.ini", "-r", "skel.xml"});
  EXPECT_EQ(upes.err,
            "upesprobe: no UPES queue manager: give -m or UPESQueueManager; p.ini has "
            "\"UPESQueueManger\": did you mean UPESQueueManager?\n");
  EXPECT_EQ(Depth("IN.Q"), 0);
}

// Files are checked before a message is put or taken, so a bad output file name or a
// missing skeleton costs no message.
TEST_F(QueueToolsTest, OutputFileAndSkeletonAreCheckedBeforeAnyMessageMoves) {
  Rvqm({"put", "QM1", "OUT.Q", "skel.xml"});
  Rvqm({"put", "QM1", "UPES.Q", "req.xml", "--reply-to", "OUT.Q", "--reply-to-qmgr", "QM1"});
  const std::string noDir = _dir + "/no/such/dir/x.xml";
  ProcessResult req =
      Req({"-i", "req.xml", "-r", "IN.Q", "-s", "QM1", "-t", "OUT.Q", "-u", "QM1", "-o", noDir});
  EXPECT_EQ(req.out, kUnknownError);
  EXPECT_EQ(req.err,
            "reqprobe: Cannot open file " + noDir + " for writing: No such file or directory\n");
  EXPECT_EQ(req.status, 1);

  ProcessResult dir =
      Req({"-i", "req.xml", "-r", "IN.Q", "-s", "QM1", "-t", "OUT.Q", "-u", "QM1", "-o", _dir});
  EXPECT_EQ(dir.err, "reqprobe: Cannot open file " + _dir + " for writing: Is a directory\n");

  ProcessResult upes = Upes({"-u", "UPES.Q", "-m", "QM1", "-a", noDir, "-r", "skel.xml"});
  EXPECT_EQ(upes.out, kUnknownError);
  EXPECT_EQ(upes.err,
            "upesprobe: Cannot open file " + noDir + " for writing: No such file or directory\n");
  EXPECT_EQ(upes.status, 1);

  ProcessResult skeleton = Upes({"-u", "UPES.Q", "-m", "QM1", "-a", "saved.xml", "-r", "no.xml"});
  EXPECT_EQ(skeleton.err, "upesprobe: Error opening file: no.xml: No such file or directory\n");
  EXPECT_FALSE(Exists("saved.xml"));

  EXPECT_EQ(Depth("IN.Q"), 0);
  EXPECT_EQ(Depth("OUT.Q"), 1);
  EXPECT_EQ(Depth("UPES.Q"), 1);
}

// /dev/full accepts the open and fails the write, as a full disk does. The message was
// held, never taken: it is still the message that was put.
TEST_F(QueueToolsTest, MessageThatCannotBeWrittenStaysOnItsQueue) {
  Rvqm({"put", "QM1", "OUT.Q", "skel.xml", "--reply-to", "X.Q", "--reply-to-qmgr", "QM1"});
  const std::string before = Tool(RVQM, {"browse", "QM1", "OUT.Q"}).Run().out;
  ProcessResult req = Req(
      {"-i", "req.xml", "-r", "IN.Q", "-s", "QM1", "-t", "OUT.Q", "-u", "QM1", "-o", "/dev/full"});
  EXPECT_EQ(req.out, kUnknownError);
  EXPECT_EQ(req.err,
            "reqprobe: Cannot write file /dev/full: No space left on device; the message stays on "
            "queue OUT.Q at queue manager QM1\n");
  EXPECT_EQ(req.status, 1);
  // The same message: identifier, reply-to names and format are those it came with.
  const std::string after = Tool(RVQM, {"browse", "QM1", "OUT.Q"}).Run().out;
  for (const char* field : {"messageId", "replyToQ ", "replyToQMgr", "format", "length"}) {
    auto line = [&](const std::string& text) {
      size_t at = text.find(field);
      return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
    };
    EXPECT_EQ(line(after), line(before)) << field;
    EXPECT_NE(line(after), "") << field;
  }
  EXPECT_EQ(Take("OUT.Q"), kSkeleton);
  EXPECT_EQ(Depth("IN.Q"), 1);  // the request itself went out

  // upesprobe's request stays with its reply-to names: the next run answers it.
  Rvqm({"put", "QM1", "UPES.Q", "req.xml", "--reply-to", "OUT.Q", "--reply-to-qmgr", "QM1"});
  ProcessResult full = Upes({"-u", "UPES.Q", "-m", "QM1", "-a", "/dev/full", "-r", "skel.xml"});
  EXPECT_EQ(full.out, kUnknownError);
  EXPECT_EQ(full.err,
            "upesprobe: Cannot write file /dev/full: No space left on device; the message stays on "
            "queue UPES.Q at queue manager QM1\n");
  EXPECT_EQ(Depth("OUT.Q"), 0);
  ProcessResult answered = Upes({"-u", "UPES.Q", "-m", "QM1", "-a", "saved.xml", "-r", "skel.xml"});
  EXPECT_EQ(answered.status, 0) << answered.err;
  EXPECT_EQ(File("saved.xml"), kRequest);
  EXPECT_EQ(Take("OUT.Q"), kResponse);
}

// A finite wait that runs out writes nothing, says what it waited for, and ends with 124.
TEST_F(QueueToolsTest, FiniteWaitThatRunsOutEndsWith124AndWritesNothing) {
  ProcessResult req = Req({"-i", "req.xml", "-r", "IN.Q", "-s", "QM1", "-t", "OUT.Q", "-u", "QM1",
                           "-o", "reply.xml", "-w", "50"});
  EXPECT_EQ(req.out, "");
  EXPECT_EQ(req.err,
            "reqprobe: waiting for the reply: no message arrived on queue OUT.Q at queue manager "
            "QM1 within 50 ms\n");
  EXPECT_EQ(req.status, 124);
  EXPECT_FALSE(Exists("reply.xml"));
  EXPECT_EQ(Depth("IN.Q"), 1);  // the request went out before the wait

  WriteWholeFile(_dir + "/upes.ini",
                 "UPESQueue=UPES.Q\nUPESQueueManager=QM1\n"
                 "ActivityImplXMLFile=saved.xml\n"
                 "ActivityResponseXMLFile=skel.xml\nWaitInterval = 0\n");
  ProcessResult upes = Upes({"-l", "upes.ini"});
  EXPECT_EQ(upes.out, "");
  EXPECT_EQ(upes.err,
            "upesprobe: waiting for a request: no message arrived on queue UPES.Q at queue "
            "manager QM1 within 0 ms\n");
  EXPECT_EQ(upes.status, 124);
  EXPECT_FALSE(Exists("saved.xml"));
}

// A message that is there in time is taken as without a limit; -w after -l overrides the
// file's WaitInterval, and -l without the key waits without limit again.
TEST_F(QueueToolsTest, FiniteWaitTakesAMessageThatIsThere) {
  Rvqm({"put", "QM1", "OUT.Q", "skel.xml"});
  WriteWholeFile(_dir + "/req.ini",
                 "InputXMLFile=req.xml\nInputQueue=IN.Q\n"
                 "InputQueueManager=QM1\nOutputQueue=OUT.Q\n"
                 "OutputQueueManager=QM1\nOutputXMLFile=reply.xml\n"
                 "WaitInterval=abc\n");
  ProcessResult r = Req({"-l", "req.ini", "-w", "60000"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(File("reply.xml"), kSkeleton);

  Rvqm({"put", "QM1", "UPES.Q", "req.xml", "--reply-to", "OUT.Q", "--reply-to-qmgr", "QM1"});
  ProcessResult upes = Upes(
      {"-w", "x", "-u", "UPES.Q", "-m", "QM1", "-a", "saved.xml", "-r", "skel.xml", "-W", "60000"});
  EXPECT_EQ(upes.status, 0) << upes.err;
  EXPECT_EQ(File("saved.xml"), kRequest);
}

// A wait that is not a number of milliseconds in range is refused before anything moves.
TEST_F(QueueToolsTest, BadWaitIntervalIsRefusedBeforeAnyQueueIsTouched) {
  Rvqm({"put", "QM1", "UPES.Q", "req.xml", "--reply-to", "OUT.Q", "--reply-to-qmgr", "QM1"});
  // A negative value can only be given in the option's own word: "-w -5" reads "-5" as an
  // option.
  for (const std::string bad : {"abc", "-5", "2147483648", "99999999999", "1.5", "+7"}) {
    ProcessResult req = Req({"-i", "req.xml", "-r", "IN.Q", "-s", "QM1", "-t", "OUT.Q", "-u", "QM1",
                             "-o", "reply.xml", "-w" + bad});
    EXPECT_EQ(req.out, kUnknownError) << bad;
    EXPECT_EQ(req.err, std::string("reqprobe: -w takes a wait in milliseconds from 0 to "
                                   "2147483647, not \"") +
                           bad + "\"\n");
    EXPECT_EQ(req.status, 1);
  }
  WriteWholeFile(_dir + "/upes.ini",
                 "UPESQueue=UPES.Q\nUPESQueueManager=QM1\n"
                 "ActivityImplXMLFile=saved.xml\n"
                 "ActivityResponseXMLFile=skel.xml\nWaitInterval=soon\n");
  ProcessResult upes = Upes({"-l", "upes.ini"});
  EXPECT_EQ(upes.out, kUnknownError);
  EXPECT_EQ(upes.err,
            "upesprobe: WaitInterval in upes.ini takes a wait in milliseconds from 0 to "
            "2147483647, not \"soon\"\n");
  EXPECT_EQ(upes.status, 1);
  EXPECT_EQ(Depth("IN.Q"), 0);
  EXPECT_EQ(Depth("UPES.Q"), 1);
  EXPECT_FALSE(Exists("saved.xml"));
}

TEST_F(QueueToolsTest, RequestWithoutCorrelationElementIsAnsweredWithTheSkeletonAndAWarning) {
  WriteWholeFile(_dir + "/plain.xml", "<?xml version=\"1.0\"?><WfMessage/>\n");
  Rvqm({"put", "QM1", "UPES.Q", "plain.xml", "--reply-to", "OUT.Q", "--reply-to-qmgr", "QM1"});
  ProcessResult r = Upes({"-u", "UPES.Q", "-m", "QM1", "-a", "saved.xml", "-r", "skel.xml"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Warning: the request holds no <ActImplCorrelID>; the response is the skeleton "
            "unchanged\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Take("OUT.Q"), kSkeleton);
}

TEST_F(QueueToolsTest, TraceLevelThatAdmitsNoRecordIsReported) {
  ProcessResult r =
      Tool(REQPROBE, {"-i", "req.xml", "-r", "IN.Q", "-s", "QM1"}).Env("KES_TRACE", "1").Run();
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "KES_TRACE: level 1 admits no record (records have level 10 or more); nothing will be "
            "traced\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Take("IN.Q"), kRequest);
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
    ProcessRunner upes =
        Tool(UPESPROBE, {"-u", "UPES.Q", "-m", "QM1", "-a", "saved.xml", "-r", "skel.xml"});
    ProcessRunner req = Tool(REQPROBE, {"-i", "req.xml", "-r", "UPES.Q", "-s", "QM1", "-t", "OUT.Q",
                                        "-u", "QM1", "-o", "reply.xml"});
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
