// ErrorText: this thread's text of the last failed call of the C interface (RVErrorText), and
// the frame that every C call runs its body in: it clears the text when the call starts, turns
// an exception into a reason code, since none may leave a C call, and keeps the message of a
// failure (and only of a failure: the calls that a call makes inside leave none behind).
// Thread-local; each thread sees its own.
#pragma once

#include <new>
#include <string>

#include "Status.h"

namespace rv {

class ErrorText {
 public:
  static const char* Get();

  // Runs body, a callable that returns a Status, as one C call.
  template <typename Body>
  static Status Run(Body&& body) noexcept {
    Status s;
    try {
      Text().clear();
      s = body();
    } catch (const std::bad_alloc&) {
      s = Status::Error(RVRC_RESOURCE_PROBLEM, "out of memory");
    } catch (const std::exception& e) {
      s = Status::Error(RVRC_UNEXPECTED_ERROR, e.what());
    } catch (...) {
      s = Status::Error(RVRC_UNEXPECTED_ERROR, "unexpected failure");
    }
    try {
      Text() = s.message();
    } catch (...) {
      Text().clear();
    }
    return s;
  }

 private:
  static std::string& Text();
};

}  // namespace rv
