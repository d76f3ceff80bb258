// EmbeddedConnection: a connection to a queue manager kept in the data root. It holds the queue
// manager's folder open; queues are opened below it. Used by one thread at a time.
#pragma once

#include <string>

#include "Connection.h"
#include "UniqueFd.h"

namespace rv {

class EmbeddedConnection : public Connection {
 public:
  EmbeddedConnection(std::string name, UniqueFd qmDir)
      : _name(std::move(name)), _qmDir(std::move(qmDir)) {}

  const std::string& queueManagerName() const override { return _name; }
  Status Open(const std::string& queueName, RVLONG options,
              std::unique_ptr<OpenQueue>* queue) override;
  Status Disconnect() override;

 private:
  std::string _name;
  UniqueFd _qmDir;
};

}  // namespace rv
