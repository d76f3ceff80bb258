// Small helpers the queue utility's tests share: a buffer's bytes as a string, and the text
// of the KesException that a call throws.
#pragma once

#include <functional>
#include <string>

#include "KesBinary.h"
#include "KesException.h"

inline std::string AsString(const KesBinary& b) {
  return b.IsNull() ? std::string("<null buffer>")
                    : std::string(reinterpret_cast<const char*>(b.Data()), b.Length());
}

// The exception's text, or "(no exception)" when the call returns.
inline std::string ExceptionText(const std::function<void()>& call) {
  try {
    call();
  } catch (const KesException& e) {
    return e.what();
  }
  return "(no exception)";
}
