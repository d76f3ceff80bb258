#include "EmbeddedBackend.h"

#include "EmbeddedConnection.h"
#include "QueueStore.h"

namespace rv {

Backend& EmbeddedBackend::Instance() {
  static EmbeddedBackend backend;
  return backend;
}

Status EmbeddedBackend::Configure(const std::map<std::string, std::string>& settings,
                                  std::map<std::string, std::string>*, Prepare*) {
  if (!settings.empty()) {
    return Status::Error(RVRC_OPTIONS_ERROR, "setting \"" + settings.begin()->first +
                                                 "\" is not one of backend embedded");
  }
  return Status::Ok();
}

Status EmbeddedBackend::Connect(const QueueManagerDir& qm,
                                std::unique_ptr<Connection>* connection) {
  connection->reset(new EmbeddedConnection(qm));
  return Status::Ok();
}

Status EmbeddedBackend::CheckDelete(const QueueManagerDir& qm) {
  std::vector<QueueStore::Summary> queues;
  Status s = QueueStore::List(*qm.fs, qm.dir->get(), &queues);
  if (!s.ok()) return s;
  for (const auto& q : queues) {
    if (q.depth > 0) {
      return Status::Error(RVRC_OPTIONS_ERROR, "queue " + q.name + " of " + qm.name + " holds " +
                                                   std::to_string(q.depth) +
                                                   " messages (use --force to delete anyway)");
    }
  }
  return Status::Ok();
}

Status EmbeddedBackend::Delete(DataRoot& root, const QueueManagerDir& qm, bool force,
                               int64_t* removed) {
  return QueueStore::DeleteAll(*qm.fs, qm.dir->get(), qm.name, force, removed,
                               [&] { return root.DeleteQueueManager(qm.name); });
}

}  // namespace rv
