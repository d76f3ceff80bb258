// Backend: one kind of queue manager, named in the queue manager's definition in the data root
// ("embedded" keeps its queues in the data root itself, "amqp" stands for a broker). The
// Registry finds it; the C calls and the administration calls do everything that does not
// depend on the kind and hand it the rest: checking the settings of a new queue manager,
// connecting, and what deleting one must respect. A backend object lives as long as the
// process, keeps no state of its own and may be used from any thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Connection.h"
#include "DataRoot.h"
#include "FileSystem.h"
#include "Status.h"
#include "UniqueFd.h"

namespace rv {

// An opened queue manager: its name and its folder in the data root, shared by the connection
// and the queue handles that work on it, and the file system of the data root it was found in.
struct QueueManagerDir {
  std::string name;
  std::shared_ptr<UniqueFd> dir;
  FileSystem* fs = &FileSystem::Real();
};

class Backend {
 public:
  // A step run in the folder of a new queue manager before its definition is written.
  using Prepare = std::function<Status(int qmDirFd)>;

  virtual ~Backend() = default;

  // The name that a queue manager's definition gives for this kind.
  virtual const char* name() const = 0;
  // The RVQMF_* flags of rvadmin.h that all queue managers of this kind have.
  virtual RVLONG flags() const = 0;
  // Checks the settings of a new queue manager (key and value, as rvadmin.h documents them for
  // the kind): *definition receives the entries for its definition, *prepare what else its
  // folder needs (or nothing). RVRC_OPTIONS_ERROR or the settings' own reason when they do not do.
  virtual Status Configure(const std::map<std::string, std::string>& settings,
                           std::map<std::string, std::string>* definition, Prepare* prepare) = 0;
  // Connects to the queue manager. Quiescing is the caller's concern.
  virtual Status Connect(const QueueManagerDir& qm, std::unique_ptr<Connection>* connection) = 0;
  // Refuses (RVRC_OPTIONS_ERROR) to have the queue manager deleted while it would lose
  // messages with it.
  virtual Status CheckDelete(const QueueManagerDir& qm) = 0;
  // The settings of the queue manager as a user may see them (name and text), never a secret.
  // A kind without settings of its own has none.
  virtual Status Describe(const QueueManagerDir& qm,
                          std::vector<std::pair<std::string, std::string>>* settings) {
    (void)qm;
    settings->clear();
    return Status::Ok();
  }
  // Changes settings of an existing queue manager (key and value, as rvadmin.h documents them
  // for the kind). RVRC_OPTIONS_ERROR for a setting that cannot be changed.
  virtual Status Update(const QueueManagerDir& qm,
                        const std::map<std::string, std::string>& settings) {
    (void)settings;
    return Status::Error(RVRC_OPTIONS_ERROR, "queue manager " + qm.name + " of backend " + name() +
                                                 " has no settings to change");
  }
  // Deletes the queue manager from root. Without force it refuses as CheckDelete does; with
  // force *removed counts the messages that went with it (as far as the backend keeps them).
  virtual Status Delete(DataRoot& root, const QueueManagerDir& qm, bool force, int64_t* removed) {
    *removed = 0;
    if (!force) {
      Status s = CheckDelete(qm);
      if (!s.ok()) return s;
    }
    return root.DeleteQueueManager(qm.name);
  }
};

}  // namespace rv
