// Connection: one connection to a queue manager, whatever backend serves it. The queue manager's
// definition in the data root names the backend ("embedded" keeps the queues in the data root
// itself); Connect reads it and builds the matching connection. Owned by the C layer's handle
// table; used by one thread at a time.
#pragma once

#include <memory>
#include <string>

#include "OpenQueue.h"
#include "Status.h"
#include "rvic.h"

namespace rv {

class Connection {
 public:
  virtual ~Connection() = default;

  // name: trailing blanks and NULs already removed; empty means the default queue manager.
  // Reasons: RVRC_Q_MGR_NAME_ERROR, RVRC_Q_MGR_NOT_AVAILABLE, RVRC_Q_MGR_QUIESCING, and
  // RVRC_RESOURCE_PROBLEM for an unusable data root.
  static Status Connect(const std::string& name, std::unique_ptr<Connection>* connection);

  virtual const std::string& queueManagerName() const = 0;
  // Opens the queue named (already checked by ObjectName::IsValid) with the given options.
  virtual Status Open(const std::string& queueName, RVLONG options,
                      std::unique_ptr<OpenQueue>* queue) = 0;
  virtual Status Disconnect() = 0;
};

}  // namespace rv
