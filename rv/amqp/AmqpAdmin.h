// AmqpAdmin: the administration of a broker queue manager's queues: define (a durable queue),
// undefine, clear, and the list of the queues defined so far with their depths.
// AMQP 0-9-1 has no way to list a vhost's queues, so the queue manager's folder keeps the names
// that define declared (file "amqp-queues": one line "NAME MAXDEPTH [TYPE]" each); list shows
// those, with the depth that the broker reports for each.
// A queue is declared durable with x-max-length and x-overflow reject-publish for its maximum
// depth, so that a put to a full queue is refused. A classic queue gets x-max-priority 9, so
// that the broker hands out higher priorities first as the embedded queues do; a quorum queue
// (x-queue-type quorum: replicated over the nodes of a cluster) has no priorities.
// Works on the session of its AmqpConnection; one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AmqpSession.h"
#include "Connection.h"
#include "Status.h"

namespace rv {

class AmqpAdmin {
 public:
  static constexpr const char* kQueuesFile = "amqp-queues";
  static constexpr const char* kQuorum = "quorum";

  AmqpAdmin(std::string qmName, int qmDirFd, std::shared_ptr<AmqpSession> session)
      : _qmName(std::move(qmName)), _qmDirFd(qmDirFd), _session(std::move(session)) {}

  // Declares a durable queue, classic (type empty) or quorum. A queue that exists already with
  // other settings or of another type gives RVRC_OPTIONS_ERROR (the broker cannot change them;
  // undefine it first), and so do a maximum message length, which a broker queue cannot have,
  // and an unknown type.
  Status Define(const QueueAttributes& queue);
  // Deletes the queue on the broker; refuses (RVRC_OPTIONS_ERROR) while it holds messages.
  Status Undefine(const std::string& queue);
  // Removes every ready message (messages held unacknowledged by getters stay).
  Status Clear(const std::string& queue, int64_t* removed);
  Status List(std::vector<QueueSummary>* queues);
  // The maximum depth that define gave a queue of the queue manager in folder qmDirFd; 0 when
  // it is not known.
  static int64_t MaxDepth(int qmDirFd, const std::string& queue);

 private:
  struct Recorded : QueueSummary {
    std::string type;  // empty: classic
  };

  Status Channel(amqp_channel_t* channel);
  Status Record(const std::string& queue, int64_t maxDepth, const std::string& type, bool add);
  // The queues that define declared, with their maximum depths and types.
  static Status ReadRecords(int qmDirFd, std::vector<Recorded>* queues);

  std::string _qmName;
  int _qmDirFd;
  std::shared_ptr<AmqpSession> _session;
};

}  // namespace rv
