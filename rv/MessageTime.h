// MessageTime: the clock of message descriptors: the put date and time fields and the expiry
// arithmetic, written once for the C calls and every backend. Stateless; safe from any thread.
#pragma once

#include <cstdint>

#include "rvic.h"

namespace rv {

class MessageTime {
 public:
  // Milliseconds since the epoch, from the real-time clock.
  static int64_t NowMs();
  // Sets md's putDate ("YYYYMMDD") and putTime ("HHMMSSTH", hundredths), in UTC, to ms.
  static void SetPutDateTime(int64_t ms, RVMD* md);
  // When a message put at putMs with expiry (tenths of a second) expires; 0 (never) for an
  // expiry that is not positive.
  static int64_t ExpiresAt(int64_t putMs, RVLONG expiry);
  // What a get reports as the expiry of a message that expires at expiresMs: the tenths of a
  // second left at nowMs, rounded up, at least 1.
  static RVLONG ExpiryLeft(int64_t expiresMs, int64_t nowMs);
};

}  // namespace rv
