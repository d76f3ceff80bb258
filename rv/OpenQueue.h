// OpenQueue: one open queue handle of some backend, as the C calls see it. The C calls have
// already checked the records, the options and what does not depend on the backend (open for
// output, input or browsing, quiescing, the queue's maximum message length), filled the put
// fields of the descriptor, and turn a delivery into the caller's descriptor, lengths and
// reason: a backend only stores and delivers. Owned by its connection's handle table; used by
// one thread at a time.
#pragma once

#include <cstdint>

#include "MatchCriteria.h"
#include "Status.h"
#include "rvic.h"

namespace rv {

// A message that a get found.
struct Delivery {
  RVMD md;                // the descriptor as it was stored
  int64_t expiresMs = 0;  // when the message expires, in ms since the epoch; 0: never
  int64_t length = 0;     // of the whole message, also when more than the buffer took
};

class OpenQueue {
 public:
  virtual ~OpenQueue() = default;

  // The longest message that a put to this queue may carry.
  virtual int64_t maxMessageLength() const = 0;
  // Stores one message. md is complete (priority 0 to 9); putMs is its put time and expiresMs
  // 0 or the time it expires, both in ms since the epoch.
  virtual Status Put(const RVMD& md, const void* data, size_t length, int64_t putMs,
                     int64_t expiresMs) = 0;
  // Whether Get takes RVGMO_HOLD.
  virtual bool CanHold() const { return false; }
  // Takes the next message that criteria select, or with RVGMO_BROWSE_FIRST/NEXT looks at it,
  // as gmo's options and wait interval say, and copies at most bufLen bytes of its data into
  // buf. A message longer than bufLen is not taken: it stays held for this handle, so that the
  // next get takes exactly that one (a browse stays on it), until the handle is closed. With
  // RVGMO_HOLD a message that fits is held in the same way after its delivery.
  virtual Status Get(const RVGMO& gmo, const MatchCriteria& criteria, void* buf, RVLONG bufLen,
                     Delivery* delivery) = 0;
  // Releases the handle; a held message goes back to its place on the queue.
  virtual Status Close() = 0;
};

}  // namespace rv
