// LastError: the message text of the last failed call of the C interface in this thread, so that
// tools built on the library (rvqm) can say what failed, where and why, beyond the reason code.
// Thread-local; each thread sees its own.
#pragma once

#include <string>

namespace rv {

class LastError {
 public:
  static const std::string& Text();
  static void Set(std::string text);
};

}  // namespace rv
