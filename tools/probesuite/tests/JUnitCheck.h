// JUnitCheck reads a JUnit XML report back for the tests: every testcase with its outcome,
// after checking the elements and attributes that CI systems require and that the counts of
// each testsuite and of testsuites agree with what they hold (as gtest failures).
#pragma once

#include <string>
#include <vector>

struct JUnitCase {
  std::string suite;  // the enclosing testsuite's name
  std::string name;
  std::string classname;
  std::string outcome;  // "pass", "failure", "error" or "skipped"
  std::string type;     // the failure's or error's type attribute
  std::string message;
};

std::vector<JUnitCase> ReadJUnit(const std::string& text);
