#include "CaseResult.h"

#include <cstdio>

const char* CaseResult::Label(Outcome outcome) {
  switch (outcome) {
    case Outcome::kPass:
      return "PASS";
    case Outcome::kFail:
      return "FAIL";
    case Outcome::kTimeout:
      return "TIMEOUT";
    case Outcome::kError:
      return "ERROR";
    case Outcome::kSkipped:
      break;
  }
  return "SKIPPED";
}

std::string CaseResult::Line() const {
  char head[32];
  std::snprintf(head, sizeof head, "%-7s ", Label(outcome));
  char time[32];
  std::snprintf(time, sizeof time, " %.3f s", seconds);
  std::string line = head + name + time;
  if (outcome != Outcome::kPass && !detail.empty()) line += "  " + detail;
  return line;
}
