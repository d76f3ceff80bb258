// Connection: one connection to a queue manager, whatever backend serves it: the queues that
// the C calls open through it, and the administration of its queues. Owned by the C calls'
// handle table or by one administration call; used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OpenQueue.h"
#include "Status.h"
#include "rvic.h"

namespace rv {

// What a new queue may hold; -1 stands for the backend's default.
struct QueueAttributes {
  static constexpr int64_t kDefaultMaxDepth = 50000;

  std::string name;
  int64_t maxDepth = kDefaultMaxDepth;
  int64_t maxMessageLength = -1;
  std::string type;  // empty: the backend's usual kind of queue; others only where flags allow
};

// One queue of a listing.
struct QueueSummary {
  std::string name;
  int64_t depth = -1;  // -1: not known (a broker no longer has the queue)
  int64_t maxDepth = 0;
  int64_t maxMessageLength = 0;
  std::string problem;  // why the queue's definition cannot be read; the numbers are then unknown
};

class Connection {
 public:
  virtual ~Connection() = default;

  // Opens the queue named (already checked by ObjectName::IsValid) with the given options.
  // RVRC_UNKNOWN_OBJECT_NAME when it does not exist.
  virtual Status Open(const std::string& queueName, RVLONG options,
                      std::unique_ptr<OpenQueue>* queue) = 0;
  virtual Status Disconnect() = 0;

  // The administration of the queues; names are valid. Define refuses a queue that exists,
  // Undefine one that holds messages.
  virtual Status Define(const QueueAttributes& queue) = 0;
  virtual Status Undefine(const std::string& queueName) = 0;
  // Removes a queue with the messages on it; *removed counts them. A backend that cannot
  // refuses with RVRC_OPTIONS_ERROR.
  virtual Status UndefineForced(const std::string& queueName, int64_t* removed) {
    *removed = 0;
    return Status::Error(RVRC_OPTIONS_ERROR,
                         "queue " + queueName + " cannot be removed with its messages here");
  }
  // Every queue, sorted by name.
  virtual Status List(std::vector<QueueSummary>* queues) = 0;
  // Removes every message that no handle holds; *removed counts them.
  virtual Status Clear(const std::string& queueName, int64_t* removed) = 0;
};

}  // namespace rv
