// Status: the outcome of an operation inside the RV library, a reason code (RVRC_*) and a message
// that names what failed, on which queue or file, and the system's reason. It travels up from the
// store to the C entry points, which hand out the reason code. A plain value; no shared state.
#pragma once

#include <string>
#include <utility>

#include "rvic.h"

namespace rv {

class Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Error(RVLONG reason, std::string message) {
    Status s;
    s._reason = reason;
    s._message = std::move(message);
    return s;
  }
  // Maps an errno value of a failed file-system call: permissions give RVRC_NOT_AUTHORIZED,
  // everything else (EIO, ENOSPC, EMFILE...) RVRC_RESOURCE_PROBLEM.
  static Status FromErrno(int err, const std::string& what);
  // The system's text for an errno value ("No such file or directory"); safe from any thread.
  static std::string SystemText(int err);

  bool ok() const { return _reason == RVRC_NONE; }
  RVLONG reason() const { return _reason; }
  const std::string& message() const { return _message; }

 private:
  RVLONG _reason = RVRC_NONE;
  std::string _message;
};

}  // namespace rv
