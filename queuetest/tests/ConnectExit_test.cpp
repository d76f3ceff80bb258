// A failed connect ends the process: one line on standard output and the reason code
// as exit status, never a status that reads as success, and one line on standard error that
// says why.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TraceCapture.h"

namespace {

struct ExitCase {
  const char* reason;
  int status;  // what the parent sees: the low 8 bits, or 255 when they are all zero
};

TEST(ConnectExitTest, FailedConnectPrintsOneLineAndExitsWithTheReasonCode) {
  const ExitCase cases[] = {
      {"2059", 2059 & 0xff}, {"2035", 2035 & 0xff}, {"2058", 2058 & 0xff},
      {"2048", 255},         {"256", 255},          {"0", 255},
      {"-1", 255},
  };
  for (const char* method : {"put", "get"}) {
    for (const ExitCase& c : cases) {
      TraceCapture trace;
      ProcessResult r = ProcessRunner(QUEUETEST_CONNECT_HELPER, {method, c.reason})
                            .Env("KES_TRACE", "10:4:1")
                            .Env("KES_TRACE_FILE", trace.File())
                            .Run();
      std::string label = std::string(method) + " " + c.reason;
      EXPECT_EQ(r.out, std::string("RVCONN ended with reason code ") + c.reason + "\n") << label;
      EXPECT_EQ(r.status, c.status) << label;
      EXPECT_EQ(r.err, std::string("Cannot connect to queue manager QM1: reason code ") + c.reason +
                           " (FAKE_REASON_" + c.reason + ": reason text of the fake)\n")
          << label;
      // Nothing is traced for the failure and no later step runs.
      std::string entry = std::string(method) == "put" ? "Put| >entry" : "Get| >entry";
      EXPECT_EQ(trace.Timeline(), (std::vector<std::string>{entry, "Connect| >entry",
                                                            "Connect|target queue manager is:QM1",
                                                            "fake|call RVCONNX"}))
          << label;
    }
  }
}

TEST(ConnectExitTest, StandardErrorGivesTheLibrarysTextOnce) {
  struct Case {
    const char* text;
    const char* line;
  };
  const Case cases[] = {
      {"queue manager QM1: cannot reach the broker amqp://u@h:1/v: Connection refused",
       "Cannot connect to queue manager QM1: cannot reach the broker amqp://u@h:1/v: Connection "
       "refused\n"},
      {"queue manager QM1 does not exist",
       "Cannot connect to queue manager QM1: queue manager QM1 "
       "does not exist\n"},
      {"queue manager QM10: x", "Cannot connect to queue manager QM1: queue manager QM10: x\n"},
  };
  for (const Case& c : cases) {
    TraceCapture trace;  // the helper traces the calls; keep them off standard error
    ProcessResult r = ProcessRunner(QUEUETEST_CONNECT_HELPER, {"get", "2059", c.text})
                          .Env("KES_TRACE", "10:4:1")
                          .Env("KES_TRACE_FILE", trace.File())
                          .Run();
    EXPECT_EQ(r.out, "RVCONN ended with reason code 2059\n") << c.text;
    EXPECT_EQ(r.err, c.line);
    EXPECT_EQ(r.status, 2059 & 0xff);
  }
}

}  // namespace
