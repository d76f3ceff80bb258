// EmbeddedConnection: a connection to a queue manager kept in the data root. It shares the
// queue manager's open folder and the data root's file system; queues are opened and
// administered below it. Used by one thread at a time.
#pragma once

#include "Backend.h"
#include "Connection.h"

namespace rv {

class EmbeddedConnection : public Connection {
 public:
  explicit EmbeddedConnection(QueueManagerDir qm) : _qm(std::move(qm)) {}

  // RVRC_CONNECTION_BROKEN once the queue manager has been deleted.
  Status Open(const std::string& queueName, RVLONG options,
              std::unique_ptr<OpenQueue>* queue) override;
  Status Disconnect() override;
  Status Define(const QueueAttributes& queue) override;
  Status Undefine(const std::string& queueName) override;
  Status UndefineForced(const std::string& queueName, int64_t* removed) override;
  Status List(std::vector<QueueSummary>* queues) override;
  Status Clear(const std::string& queueName, int64_t* removed) override;

 private:
  QueueManagerDir _qm;
};

}  // namespace rv
