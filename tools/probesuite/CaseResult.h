// CaseResult is what one case of a run came to: its outcome, the text that explains it and
// how long it took. The run prints it as one line and the JUnit report holds it as one
// testcase. A plain value.
#pragma once

#include <string>

struct CaseResult {
  enum class Outcome { kPass, kFail, kTimeout, kError, kSkipped };

  std::string name;   // as SuiteCase::name
  std::string suite;  // as SuiteCase::suite
  Outcome outcome = Outcome::kSkipped;
  std::string detail;  // kFail: "PATH: expected X, got Y"; otherwise what happened
  double seconds = 0;

  // "PASS", "FAIL", "TIMEOUT", "ERROR", "SKIPPED".
  static const char* Label(Outcome outcome);
  // The result line without its line end: the label padded to 7 characters, the name, the
  // time in seconds with 3 decimals and, unless the case passed, the detail.
  std::string Line() const;
};
