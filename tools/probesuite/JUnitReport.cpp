#include "JUnitReport.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <sstream>

#include "TextEscape.h"

namespace {

using Outcome = CaseResult::Outcome;

struct Counts {
  size_t tests = 0;
  size_t failures = 0;
  size_t errors = 0;
  size_t skipped = 0;
  double seconds = 0;

  void Add(const CaseResult& r) {
    ++tests;
    failures += r.outcome == Outcome::kFail || r.outcome == Outcome::kTimeout;
    errors += r.outcome == Outcome::kError;
    skipped += r.outcome == Outcome::kSkipped;
    seconds += r.seconds;
  }
  std::string Attributes() const {
    std::ostringstream out;
    out << "tests=\"" << tests << "\" failures=\"" << failures << "\" errors=\"" << errors
        << "\" skipped=\"" << skipped << "\"";
    return out.str();
  }
};

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

std::string Attribute(const char* name, const std::string& value) {
  return std::string(" ") + name + "=\"" + TextEscape::Xml(value) + "\"";
}

std::string Timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

// The case's name within its folder.
std::string ShortName(const CaseResult& r) {
  if (r.suite != "." && r.name.size() > r.suite.size() + 1 &&
      r.name.compare(0, r.suite.size() + 1, r.suite + "/") == 0) {
    return r.name.substr(r.suite.size() + 1);
  }
  return r.name;
}

void TestCase(std::ostringstream& out, const CaseResult& r) {
  out << "    <testcase" << Attribute("name", ShortName(r)) << Attribute("classname", r.suite)
      << Attribute("time", Seconds(r.seconds));
  const char* element = nullptr;
  const char* type = nullptr;
  switch (r.outcome) {
    case Outcome::kPass:
      out << "/>\n";
      return;
    case Outcome::kSkipped:
      out << ">\n      <skipped" << Attribute("message", r.detail) << "/>\n    </testcase>\n";
      return;
    case Outcome::kFail:
      element = "failure";
      type = "difference";
      break;
    case Outcome::kTimeout:
      element = "failure";
      type = "timeout";
      break;
    case Outcome::kError:
      element = "error";
      type = "error";
      break;
  }
  out << ">\n      <" << element << Attribute("message", r.detail) << Attribute("type", type) << ">"
      << TextEscape::Xml(r.detail) << "</" << element << ">\n    </testcase>\n";
}

}  // namespace

std::string JUnitReport::Render(const std::vector<CaseResult>& results,
                                const std::vector<std::string>& unmatched, double seconds) {
  // The folders in the order they first come, each with its cases.
  std::vector<std::string> order;
  std::map<std::string, std::vector<const CaseResult*>> suites;
  Counts total;
  for (const CaseResult& r : results) {
    if (suites.count(r.suite) == 0) order.push_back(r.suite);
    suites[r.suite].push_back(&r);
    total.Add(r);
  }
  if (!unmatched.empty()) {
    ++total.tests;
    ++total.errors;
  }

  const std::string timestamp = Timestamp();
  const std::string host = HostName();
  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<testsuites" << Attribute("name", "probesuite") << " " << total.Attributes()
      << Attribute("time", Seconds(seconds)) << ">\n";
  for (const std::string& suite : order) {
    Counts counts;
    for (const CaseResult* r : suites[suite]) counts.Add(*r);
    out << "  <testsuite" << Attribute("name", suite) << " " << counts.Attributes()
        << Attribute("time", Seconds(counts.seconds)) << Attribute("timestamp", timestamp)
        << Attribute("hostname", host) << ">\n";
    for (const CaseResult* r : suites[suite]) TestCase(out, *r);
    out << "  </testsuite>\n";
  }
  if (!unmatched.empty()) {
    std::string list;
    for (const std::string& line : unmatched) list += line + "\n";
    std::string message = std::to_string(unmatched.size()) + " repl" +
                          (unmatched.size() == 1 ? "y" : "ies") + " matched no request";
    out << "  <testsuite" << Attribute("name", "probesuite")
        << " tests=\"1\" failures=\"0\" errors=\"1\" skipped=\"0\"" << Attribute("time", "0.000")
        << Attribute("timestamp", timestamp) << Attribute("hostname", host) << ">\n"
        << "    <testcase" << Attribute("name", "unmatched replies")
        << Attribute("classname", "probesuite") << Attribute("time", "0.000") << ">\n"
        << "      <error" << Attribute("message", message) << Attribute("type", "unmatched") << ">"
        << TextEscape::Xml(list) << "</error>\n    </testcase>\n  </testsuite>\n";
  }
  out << "</testsuites>\n";
  return out.str();
}
