#include "KesWaitInterval.h"

#include <climits>
#include <string>

long KesWaitInterval::Parse(const KesString& text, const std::string& source) {
  if (text.IsNull()) return kUnlimited;
  const std::string digits(text.Chars(), text.LengthChar());
  long value = 0;
  bool valid = !digits.empty() && digits.size() <= 10;
  for (char c : digits) {
    if (c < '0' || c > '9') {
      valid = false;
      break;
    }
    value = value * 10 + (c - '0');
  }
  if (!valid || value > INT_MAX) {
    const std::string message = source + " takes a wait in milliseconds from 0 to " +
                                std::to_string(INT_MAX) + ", not \"" + digits + "\"";
    throw KesException(KesString(message.c_str()));
  }
  return value;
}
