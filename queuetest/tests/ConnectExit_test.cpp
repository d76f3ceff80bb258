// A failed connect ends the process: one line on standard output and the reason code
// as exit status, never a status that reads as success.
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
      EXPECT_EQ(r.err, "") << label;
      // Nothing is traced for the failure and no later step runs.
      std::string entry = std::string(method) == "put" ? "Put| >entry" : "Get| >entry";
      EXPECT_EQ(trace.Timeline(), (std::vector<std::string>{entry, "Connect| >entry",
                                                            "Connect|target queue manager is:QM1",
                                                            "fake|call RVCONNX"}))
          << label;
    }
  }
}

}  // namespace
