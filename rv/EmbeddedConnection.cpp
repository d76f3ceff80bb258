#include "EmbeddedConnection.h"

#include <sys/stat.h>

#include "AmqpConnection.h"
#include "AmqpSettings.h"
#include "DataRoot.h"
#include "EmbeddedQueue.h"
#include "FileSystem.h"
#include "ObjectName.h"

namespace rv {

Status Connection::Connect(const std::string& name, std::unique_ptr<Connection>* connection) {
  if (!name.empty() && !ObjectName::IsValid(name)) {
    return Status::Error(RVRC_Q_MGR_NAME_ERROR, "queue manager name \"" + name + "\" is not valid");
  }
  DataRoot root;
  Status s = DataRoot::Open(false, &root);
  if (!s.ok()) return s;
  std::string qmName = name;
  if (qmName.empty()) {
    s = root.DefaultQueueManager(&qmName);
    if (!s.ok()) return s;
  }
  DataRoot::QueueManagerDefinition definition;
  UniqueFd dir;
  s = root.OpenQueueManager(qmName, &definition, &dir);
  if (!s.ok()) return s;
  if (DataRoot::IsQuiescing(dir.get())) {
    return Status::Error(RVRC_Q_MGR_QUIESCING, "queue manager " + qmName + " is quiescing");
  }
  if (definition.backend == "embedded") {
    connection->reset(new EmbeddedConnection(qmName, std::move(dir)));
    return Status::Ok();
  }
  if (definition.backend == AmqpSettings::kBackend) {
    return AmqpConnection::Connect(qmName, std::move(dir), connection);
  }
  return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "queue manager " + qmName + " uses backend \"" +
                                                     definition.backend +
                                                     "\", which this library does not have");
}

Status EmbeddedConnection::Open(const std::string& queueName, RVLONG options,
                                std::unique_ptr<OpenQueue>* queue) {
  struct stat st;
  if (Fs().Fstat(_qmDir.get(), &st) == 0 && st.st_nlink == 0) {
    return Status::Error(RVRC_CONNECTION_BROKEN, "queue manager " + _name + " was deleted");
  }
  if ((options & RVOO_FAIL_IF_QUIESCING) && DataRoot::IsQuiescing(_qmDir.get())) {
    return Status::Error(RVRC_Q_MGR_QUIESCING, "queue manager " + _name + " is quiescing");
  }
  std::unique_ptr<EmbeddedQueue> q;
  Status s = EmbeddedQueue::Open(_qmDir.get(), _name, queueName, options, &q);
  if (s.ok()) *queue = std::move(q);
  return s;
}

Status EmbeddedConnection::Disconnect() {
  _qmDir.Reset();
  return Status::Ok();
}

}  // namespace rv
