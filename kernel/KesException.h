// KesException carries a message text from the place of a failure to the tool's own
// handler: what failed, on which file, queue or check, and why. Copies share the text.
#pragma once

#include <exception>

#include "KesString.h"

class KesException : public std::exception {
 public:
  explicit KesException(const KesString& text) : _text(text) {}

  // The message text; may be null.
  KesString AsString() const { return _text; }
  const char* what() const noexcept override;

 private:
  KesString _text;
};
