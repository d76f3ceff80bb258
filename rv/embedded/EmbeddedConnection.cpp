#include "EmbeddedConnection.h"

#include <sys/stat.h>

#include "EmbeddedQueue.h"
#include "QueueStore.h"

namespace rv {

Status EmbeddedConnection::Open(const std::string& queueName, RVLONG options,
                                std::unique_ptr<OpenQueue>* queue) {
  struct stat st;
  if (_qm.fs->Fstat(_qm.dir->get(), &st) == 0 && st.st_nlink == 0) {
    return Status::Error(RVRC_CONNECTION_BROKEN, "queue manager " + _qm.name + " was deleted");
  }
  std::unique_ptr<EmbeddedQueue> q;
  Status s = EmbeddedQueue::Open(*_qm.fs, _qm.dir->get(), _qm.name, queueName, options, &q);
  if (s.ok()) *queue = std::move(q);
  return s;
}

Status EmbeddedConnection::Disconnect() {
  _qm.dir.reset();
  return Status::Ok();
}

Status EmbeddedConnection::Define(const QueueAttributes& queue) {
  QueueStore::Definition definition;
  definition.name = queue.name;
  definition.maxDepth = queue.maxDepth;
  if (queue.maxMessageLength >= 0) definition.maxMessageLength = queue.maxMessageLength;
  return QueueStore::Define(*_qm.fs, _qm.dir->get(), definition);
}

Status EmbeddedConnection::Undefine(const std::string& queueName) {
  int64_t removed = 0;
  return QueueStore::Undefine(*_qm.fs, _qm.dir->get(), queueName, false, &removed);
}

Status EmbeddedConnection::UndefineForced(const std::string& queueName, int64_t* removed) {
  return QueueStore::Undefine(*_qm.fs, _qm.dir->get(), queueName, true, removed);
}

Status EmbeddedConnection::List(std::vector<QueueSummary>* queues) {
  std::vector<QueueStore::Summary> stored;
  Status s = QueueStore::List(*_qm.fs, _qm.dir->get(), &stored);
  if (!s.ok()) return s;
  queues->clear();
  queues->reserve(stored.size());
  for (auto& q : stored) {
    queues->push_back({std::move(q.name), q.depth, q.definition.maxDepth,
                       q.definition.maxMessageLength, std::move(q.problem)});
  }
  return Status::Ok();
}

Status EmbeddedConnection::Clear(const std::string& queueName, int64_t* removed) {
  std::unique_ptr<QueueStore> store;
  Status s = QueueStore::Open(*_qm.fs, _qm.dir->get(), queueName, &store);
  *removed = 0;
  if (s.ok()) s = store->Clear(removed);
  return s;
}

}  // namespace rv
