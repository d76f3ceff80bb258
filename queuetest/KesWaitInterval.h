// KesWaitInterval: the finite wait of the queue tools (-w and the parameter-file key
// WaitInterval), and the exception that ends a wait that ran out. Without either, the tools
// wait without limit. Stateless; safe from any thread.
#pragma once

#include <string>

#include "KesException.h"
#include "KesString.h"

class KesWaitInterval {
 public:
  // Exit status of a tool whose wait ran out: the one timeout(1) uses, and not a value
  // that a queue tool gives for anything else.
  static constexpr int kExitExpired = 124;
  // No limit: the wait the tools make when no interval is given.
  static constexpr long kUnlimited = -1;

  // The interval that text gives, in milliseconds (0 to 2147483647, decimal digits only);
  // kUnlimited for a null text. source names where the text came from in the message of
  // the KesException thrown for anything else ("-w", or the key and its file).
  static long Parse(const KesString& text, const std::string& source);
};

// Thrown by KesRVXMLTestUtility::Get when a finite wait ends without a message. Its text
// says what was awaited, on which queue and for how long.
class KesWaitExpired : public KesException {
 public:
  using KesException::KesException;
};
