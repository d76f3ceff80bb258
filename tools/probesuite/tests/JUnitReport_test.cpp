// JUnitReport: one testsuite per folder, an element per outcome, counts that agree, and
// text that stays well-formed whatever bytes a reply put into a case's detail.
#include "JUnitReport.h"

#include <gtest/gtest.h>

#include "JUnitCheck.h"

namespace {

using Outcome = CaseResult::Outcome;

TEST(JUnitReportTest, EveryOutcomeInItsFolderWithConsistentCounts) {
  const std::string hostile = std::string("got \"<x>\" & ]]> \x01\xFF") + " end";
  std::vector<CaseResult> results = {
      {"s1/pass", "s1", Outcome::kPass, "", 0.012},
      {"s2/diff", "s2", Outcome::kFail, "/m/rc: expected \"0\", got \"1\"", 0.02},
      {"s1/slow", "s1", Outcome::kTimeout, "no reply within 300 ms", 0.3},
      {"s2/bad", "s2", Outcome::kError, hostile, 0.01},
      {"s1/left", "s1", Outcome::kSkipped, "not run", 0},
      {"top", ".", Outcome::kPass, "", 0.001},
  };
  std::string text = JUnitReport::Render(results, {"reply on queue OUT.Q: \x02stray"}, 1.5);
  std::vector<JUnitCase> cases = ReadJUnit(text);
  ASSERT_EQ(cases.size(), 7u);
  const struct {
    const char* suite;
    const char* name;
    const char* outcome;
    const char* type;
  } want[] = {
      {"s1", "pass", "pass", ""},
      {"s1", "slow", "failure", "timeout"},
      {"s1", "left", "skipped", ""},
      {"s2", "diff", "failure", "difference"},
      {"s2", "bad", "error", "error"},
      {".", "top", "pass", ""},
      {"probesuite", "unmatched replies", "error", "unmatched"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(cases[i].suite, want[i].suite) << i;
    EXPECT_EQ(cases[i].classname, want[i].suite) << i;
    EXPECT_EQ(cases[i].name, want[i].name) << i;
    EXPECT_EQ(cases[i].outcome, want[i].outcome) << i;
    EXPECT_EQ(cases[i].type, want[i].type) << i;
  }
  EXPECT_EQ(cases[3].message, "/m/rc: expected \"0\", got \"1\"");
  // Markup survives as text; bytes that XML cannot hold become U+FFFD.
  EXPECT_EQ(cases[4].message, "got \"<x>\" & ]]> \xEF\xBF\xBD\xEF\xBF\xBD end");
  EXPECT_EQ(cases[6].message, "1 reply matched no request");
}

}  // namespace
