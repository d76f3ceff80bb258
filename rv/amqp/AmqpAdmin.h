// AmqpAdmin: the administration of a broker queue manager's queues for rvqm: define (a durable
// queue), undefine, clear, and the list of the queues defined so far with their depths.
// AMQP 0-9-1 has no way to list a vhost's queues, so the queue manager's folder keeps the names
// that define declared (file "amqp-queues": one line "NAME MAXDEPTH" each); list shows those,
// with the depth and the number of waiting getters that the broker reports for each.
// A queue is declared durable with x-max-priority 9, so that the broker hands out higher
// priorities first as the embedded queues do, and with x-max-length and x-overflow
// reject-publish for its maximum depth, so that a put to a full queue is refused.
// One object holds one connection; one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AmqpSession.h"
#include "Status.h"

namespace rv {

class AmqpAdmin {
 public:
  struct Summary {
    std::string name;
    int64_t maxDepth = 0;
    bool exists = false;  // false: defined here, but no longer on the broker
    uint32_t depth = 0;
    uint32_t getters = 0;
  };
  static constexpr const char* kQueuesFile = "amqp-queues";

  // True when the queue manager folder's definition names the broker backend.
  static bool IsBroker(int qmDirFd);
  // Connects as RVCONNX would (same settings, same 10 s limit and reasons).
  static Status Connect(const std::string& qmName, int qmDirFd, std::unique_ptr<AmqpAdmin>* admin);

  // Declares a durable queue. A queue that exists already with other settings gives
  // RVRC_OPTIONS_ERROR (the broker cannot change them; undefine it first).
  Status Define(const std::string& queue, int64_t maxDepth);
  // Deletes the queue on the broker; refuses (RVRC_OPTIONS_ERROR) while it holds messages.
  Status Undefine(const std::string& queue);
  // Removes every ready message (messages held unacknowledged by getters stay).
  Status Clear(const std::string& queue, uint32_t* removed);
  Status List(std::vector<Summary>* queues);

 private:
  AmqpAdmin(std::string qmName, int qmDirFd, std::unique_ptr<AmqpSession> session)
      : _qmName(std::move(qmName)), _qmDirFd(qmDirFd), _session(std::move(session)) {}
  Status Channel(amqp_channel_t* channel);
  Status Record(const std::string& queue, int64_t maxDepth, bool add);
  Status Recorded(std::vector<Summary>* queues) const;

  std::string _qmName;
  int _qmDirFd;
  std::unique_ptr<AmqpSession> _session;
};

}  // namespace rv
