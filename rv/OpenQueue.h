// OpenQueue: one open queue handle of some backend, as the C calls see it. The C layer has
// already checked the records and options and filled the descriptor's put fields; a backend
// stores and delivers. Owned by its Connection's handle table; used by one thread at a time.
#pragma once

#include "Status.h"
#include "rvic.h"

namespace rv {

class OpenQueue {
 public:
  virtual ~OpenQueue() = default;

  // Puts one message with the descriptor as given (priority may still be "as queue default";
  // the backend resolves it and writes the stored value back into md).
  virtual Status Put(RVMD* md, const RVPMO& pmo, const void* data, size_t length) = 0;
  // Gets a message as gmo says. RVRC_TRUNCATED_MSG_FAILED is a warning: md and *dataLen are then
  // set and the message is held for this handle. On other failures *dataLen is not touched.
  virtual Status Get(RVMD* md, RVGMO* gmo, RVLONG bufLen, void* buf, RVLONG* dataLen) = 0;
  // Releases the handle; a held message goes back to the queue.
  virtual Status Close() = 0;
};

}  // namespace rv
