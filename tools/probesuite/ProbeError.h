// ProbeError is the failure that ends a probesuite command: a text for standard error and
// the exit status the command ends with. The statuses are the program's documented ones
// (README and probesuite.1); keep the three in step.
#pragma once

#include <stdexcept>
#include <string>

class ProbeError : public std::runtime_error {
 public:
  // Exit statuses of probesuite.
  static constexpr int kPassed = 0;   // everything passed, or serve ended as asked
  static constexpr int kFailed = 1;   // a case or request did not pass
  static constexpr int kUsage = 2;    // bad command line
  static constexpr int kNoStart = 3;  // a file, queue manager or queue could not be used

  ProbeError(int status, const std::string& text) : std::runtime_error(text), _status(status) {}

  int status() const { return _status; }

 private:
  int _status;
};
