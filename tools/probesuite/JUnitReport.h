// JUnitReport writes the results of a run as the JUnit XML report that CI systems read: one
// <testsuites> with a <testsuite> per case folder (in the order the folders first come) and
// a <testcase> per case with name, classname (the folder) and time in seconds. A failed
// case or one that timed out holds a <failure>, a case that could not be judged an
// <error>, one that did not run a <skipped/>; the message attribute is the case's detail.
// Unmatched replies are one more testcase, "unmatched replies", in a testsuite "probesuite"
// with an <error> that lists them. The tests, failures, errors and skipped counts of each
// element are those of what it holds. Text is escaped and made valid UTF-8.
#pragma once

#include <string>
#include <vector>

#include "CaseResult.h"

class JUnitReport {
 public:
  // The report as text. unmatched: one line per reply that matched no request.
  static std::string Render(const std::vector<CaseResult>& results,
                            const std::vector<std::string>& unmatched, double seconds);
};
