// The calls of rvadmin.h. Each checks its names, opens the data root and the queue manager,
// finds the backend that serves it through the Registry and hands it the work. The text of a
// failure names the step that failed ("cannot open queue manager QM1: ...") before the cause.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Backend.h"
#include "DataRoot.h"
#include "ErrorText.h"
#include "ObjectName.h"
#include "Registry.h"
#include "rvadmin.h"

namespace rv {

namespace {

Status Failed(const Status& s, const std::string& what) {
  return s.ok() ? s : Status::Error(s.reason(), what + ": " + s.message());
}

Status CheckName(const char* name, const std::string& what, RVLONG reason) {
  if (name != nullptr && ObjectName::IsValid(name)) return Status::Ok();
  return Status::Error(reason, what + "name \"" + (name != nullptr ? name : "") +
                                   "\" is not valid: use 1 to 48 characters from A-Z a-z 0-9 . "
                                   "_ / %, no empty, \".\" or \"..\" part between slashes and "
                                   "no %XX escape");
}

Status CheckQueueManagerName(const char* name) {
  return CheckName(name, "queue manager ", RVRC_Q_MGR_NAME_ERROR);
}

Status CheckQueueName(const char* name) {
  return CheckName(name, "queue ", RVRC_OBJECT_NAME_ERROR);
}

// RVRC_OPTIONS_ERROR for a pointer that the call needs and did not get.
Status Given(const void* pointer, const char* what) {
  if (pointer != nullptr) return Status::Ok();
  return Status::Error(RVRC_OPTIONS_ERROR, std::string("the ") + what + " pointer is null");
}

// The count settings of a call as a map; what names the call for the message of a setting
// without key or value.
Status SettingsMap(const RVSETTING* settings, size_t count, const std::string& what,
                   std::map<std::string, std::string>* given) {
  Status s = count > 0 ? Given(settings, "settings") : Status::Ok();
  for (size_t i = 0; s.ok() && i < count; ++i) {
    if (settings[i].key == nullptr || settings[i].value == nullptr) {
      return Status::Error(RVRC_OPTIONS_ERROR,
                           what + ": setting " + std::to_string(i) + " has no key or no value");
    }
    (*given)[settings[i].key] = settings[i].value;
  }
  return s;
}

Status OpenRoot(bool create, DataRoot* root) {
  return Failed(DataRoot::Open(create, root), "cannot use the data folder");
}

// The queue manager that a call works on, opened, with its backend and, when the call works on
// its queues, a connection (for a broker: a session with it).
struct Target {
  DataRoot root;
  QueueManagerDir qm;
  Backend* backend = nullptr;
  std::unique_ptr<Connection> connection;
};

Status ConnectTarget(Target* t) {
  return Failed(t->backend->Connect(t->qm, &t->connection),
                "cannot connect to queue manager " + t->qm.name);
}

// qmName NULL or "" stands for the default queue manager where orDefault is set.
Status OpenTarget(const char* qmName, bool orDefault, bool connect, Target* t) {
  std::string name = qmName != nullptr ? qmName : "";
  Status s = orDefault && name.empty() ? Status::Ok() : CheckQueueManagerName(qmName);
  if (s.ok()) s = OpenRoot(false, &t->root);
  if (s.ok() && name.empty()) {
    s = Failed(t->root.DefaultQueueManager(&name), "no queue manager named");
  }
  if (s.ok()) {
    s = Failed(Registry::Open(t->root, name, &t->qm, &t->backend),
               "cannot open queue manager " + name);
  }
  if (s.ok() && connect) s = ConnectTarget(t);
  return s;
}

template <typename T>
void CopyName(const std::string& name, T& field) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, name.data(), std::min(name.size(), sizeof field - 1));
}

void Describe(const DataRoot& root, const std::string& name, const std::string& backendName,
              RVLONG backendFlags, int qmDirFd, RVQMINFO* info) {
  CopyName(name, info->name);
  CopyName(backendName, info->backend);
  info->flags = backendFlags;
  std::string defaultName;
  if (root.DefaultQueueManager(&defaultName).ok() && defaultName == name) {
    info->flags |= RVQMF_DEFAULT;
  }
  if (DataRoot::IsQuiescing(qmDirFd)) info->flags |= RVQMF_QUIESCING;
  if (root.inMemory()) info->flags |= RVQMF_VOLATILE;
}

// The outcome of a call made through rvic.h, as the text of a failure that an administration
// call gives.
Status CallFailed(const std::string& what, RVLONG reason) {
  std::string detail = ErrorText::Get();
  return Status::Error(
      reason, what + ": " + RVReasonText(reason) + (detail.empty() ? "" : " (" + detail + ")"));
}

// Browses with the calls of rvic.h, growing the buffer to the length that a 2080 reports.
Status Browse(const std::string& qm, const std::string& queue, RVMSGFN fn, void* context) {
  RVCNO cno;
  RVInitCNO(&cno);
  RVHCONN hconn = RVHC_UNUSABLE_HCONN;
  RVLONG cc, rc;
  RVCONNX(qm.c_str(), &cno, &hconn, &cc, &rc);
  if (cc == RVCC_FAILED) return CallFailed("cannot connect to queue manager " + qm, rc);
  RVOD od;
  RVInitOD(&od);
  std::memcpy(od.objectName, queue.data(), queue.size());
  RVHOBJ hobj = RVHO_UNUSABLE_HOBJ;
  RVOPEN(hconn, &od, RVOO_BROWSE, &hobj, &cc, &rc);
  Status s;
  if (cc == RVCC_FAILED) s = CallFailed("cannot open queue " + queue + " of " + qm, rc);
  std::vector<char> data(4096);
  RVLONG option = RVGMO_BROWSE_FIRST;
  while (s.ok()) {
    RVMD md;
    RVInitMD(&md);
    RVGMO gmo;
    RVInitGMO(&gmo);
    gmo.options = option;
    RVLONG length = 0;
    RVGET(hconn, hobj, &md, &gmo, static_cast<RVLONG>(data.size()), data.data(), &length, &cc, &rc);
    if (rc == RVRC_TRUNCATED_MSG_FAILED) {
      data.resize(static_cast<size_t>(length));
      continue;
    }
    if (rc == RVRC_NO_MSG_AVAILABLE) break;
    if (cc == RVCC_FAILED) {
      s = CallFailed("cannot get a message", rc);
    } else if (fn(context, &md, data.data(), length) != 0) {
      break;
    }
    option = RVGMO_BROWSE_NEXT;
  }
  if (hobj != RVHO_UNUSABLE_HOBJ) RVCLOSE(hconn, &hobj, RVCO_NONE, &cc, &rc);
  RVDISC(&hconn, &cc, &rc);
  return s;
}

template <typename Body>
RVLONG Admin(Body&& body) {
  return ErrorText::Run(body).reason();
}

}  // namespace

}  // namespace rv

using namespace rv;

extern "C" {

RVLONG RVAdminCheckName(const char* name) {
  return Admin([&] { return CheckName(name, "", RVRC_OBJECT_NAME_ERROR); });
}

RVLONG RVAdminCreateQM(const char* qmName, int makeDefault, const char* backendName,
                       const RVSETTING* settings, size_t count) {
  return Admin([&] {
    Status s = CheckQueueManagerName(qmName);
    if (!s.ok()) return s;
    const std::string what = std::string("cannot create queue manager ") + qmName;
    std::map<std::string, std::string> given;
    s = SettingsMap(settings, count, what, &given);
    if (!s.ok()) return s;
    std::string kind =
        backendName != nullptr && *backendName != '\0' ? backendName : Registry::kDefaultBackend;
    Backend* backend = nullptr;
    std::map<std::string, std::string> definition;
    Backend::Prepare prepare;
    s = Registry::Find(kind, &backend);
    if (s.ok()) s = backend->Configure(given, &definition, &prepare);
    if (!s.ok()) return Failed(s, what);
    definition["backend"] = kind;
    DataRoot root;
    s = OpenRoot(true, &root);
    if (!s.ok()) return s;
    return Failed(root.CreateQueueManager(qmName, makeDefault != 0, definition, prepare), what);
  });
}

RVLONG RVAdminDeleteQMEx(const char* qmName, int force, long long* removed) {
  return Admin([&] {
    DataRoot root;
    Status s = CheckQueueManagerName(qmName);
    if (s.ok()) s = OpenRoot(false, &root);
    if (!s.ok()) return s;
    const std::string what = std::string("cannot delete queue manager ") + qmName;
    QueueManagerDir qm;
    Backend* backend = nullptr;
    int64_t count = 0;
    s = Registry::Open(root, qmName, &qm, &backend);
    // A queue manager whose backend cannot be loaded can still be deleted by force.
    if (!s.ok() && force && s.reason() == RVRC_Q_MGR_NOT_AVAILABLE) {
      return Failed(root.DeleteQueueManager(qmName), what);
    }
    if (s.ok()) s = backend->Delete(root, qm, force != 0, &count);
    if (s.ok() && removed != nullptr) *removed = count;
    return Failed(s, what);
  });
}

RVLONG RVAdminDeleteQM(const char* qmName, int force) {
  return RVAdminDeleteQMEx(qmName, force, nullptr);
}

RVLONG RVAdminDescribeQM(const char* qmName, RVQMINFO* info) {
  return Admin([&] {
    Target t;
    Status s = Given(info, "description");
    if (s.ok()) s = OpenTarget(qmName, true, false, &t);
    if (s.ok()) {
      Describe(t.root, t.qm.name, t.backend->name(), t.backend->flags(), t.qm.dir->get(), info);
    }
    return s;
  });
}

RVLONG RVAdminQMSettings(const char* qmName, RVSETTINGFN fn, void* context) {
  return Admin([&] {
    Target t;
    std::vector<std::pair<std::string, std::string>> settings;
    Status s = Given(reinterpret_cast<const void*>(fn), "callback");
    if (s.ok()) s = OpenTarget(qmName, true, false, &t);
    if (s.ok()) {
      s = Failed(t.backend->Describe(t.qm, &settings),
                 "cannot read the settings of queue manager " + t.qm.name);
    }
    for (size_t i = 0; s.ok() && i < settings.size(); ++i) {
      const RVSETTING setting = {settings[i].first.c_str(), settings[i].second.c_str()};
      if (fn(context, &setting) != 0) break;
    }
    return s;
  });
}

RVLONG RVAdminUpdateQM(const char* qmName, const RVSETTING* settings, size_t count) {
  return Admin([&] {
    Target t;
    Status s = CheckQueueManagerName(qmName);
    if (!s.ok()) return s;
    const std::string what = std::string("cannot change queue manager ") + qmName;
    std::map<std::string, std::string> given;
    s = SettingsMap(settings, count, what, &given);
    if (s.ok()) s = OpenTarget(qmName, false, false, &t);
    if (!s.ok()) return s;
    return Failed(t.backend->Update(t.qm, given), what);
  });
}

RVLONG RVAdminListQMs(RVQMFN fn, void* context) {
  return Admin([&] {
    DataRoot root;
    std::vector<std::string> names;
    Status s = Given(reinterpret_cast<const void*>(fn), "callback");
    if (s.ok()) s = OpenRoot(false, &root);
    if (s.ok()) s = Failed(root.ListQueueManagers(&names), "cannot list the queue managers");
    for (size_t i = 0; s.ok() && i < names.size(); ++i) {
      DataRoot::QueueManagerDefinition definition;
      UniqueFd dir;
      // A folder without a definition is a queue manager still being made or deleted.
      if (!root.OpenQueueManager(names[i], &definition, &dir).ok()) continue;
      // A queue manager whose backend's module cannot be loaded still shows, without the
      // backend's flags.
      Backend* backend = nullptr;
      RVQMINFO info;
      if (Registry::Find(definition.backend, &backend).ok()) {
        Describe(root, names[i], backend->name(), backend->flags(), dir.get(), &info);
      } else {
        Describe(root, names[i], definition.backend, 0, dir.get(), &info);
      }
      if (fn(context, &info) != 0) break;
    }
    return s;
  });
}

RVLONG RVAdminSetQuiescing(const char* qmName, int quiescing) {
  return Admin([&] {
    DataRoot root;
    Status s = CheckQueueManagerName(qmName);
    if (s.ok()) s = OpenRoot(false, &root);
    if (!s.ok()) return s;
    return Failed(root.SetQuiescing(qmName, quiescing != 0),
                  std::string(quiescing != 0 ? "cannot quiesce " : "cannot start ") + qmName);
  });
}

RVLONG RVAdminDefineQueue(const char* qmName, const char* queue, long long maxDepth,
                          long long maxMsgLength) {
  return RVAdminDefineQueueOfType(qmName, queue, maxDepth, maxMsgLength, nullptr);
}

RVLONG RVAdminDefineQueueOfType(const char* qmName, const char* queue, long long maxDepth,
                                long long maxMsgLength, const char* type) {
  return Admin([&] {
    Target t;
    std::string kind = type != nullptr && std::strcmp(type, "classic") != 0 ? type : "";
    Status s = CheckQueueName(queue);
    if (s.ok() &&
        (maxDepth == 0 || maxDepth < -1 || maxMsgLength < -1 || maxMsgLength > INT32_MAX)) {
      s = Status::Error(RVRC_OPTIONS_ERROR, "a maximum depth of " + std::to_string(maxDepth) +
                                                " or message length of " +
                                                std::to_string(maxMsgLength) + " is not valid");
    }
    if (s.ok()) s = OpenTarget(qmName, false, false, &t);
    // Other types of queue are the broker's; an embedded queue manager has the one.
    if (s.ok() && !kind.empty() && !(t.backend->flags() & RVQMF_BROKER)) {
      s = Status::Error(RVRC_OPTIONS_ERROR, "queue type \"" + kind + "\" is not available on " +
                                                t.qm.name + ", whose queues are not on a broker");
    }
    if (s.ok()) s = ConnectTarget(&t);
    if (!s.ok()) return s;
    QueueAttributes attributes;
    attributes.name = queue;
    if (maxDepth != -1) attributes.maxDepth = maxDepth;
    attributes.maxMessageLength = maxMsgLength;
    attributes.type = kind;
    return Failed(t.connection->Define(attributes),
                  "cannot define queue " + attributes.name + " on " + t.qm.name);
  });
}

RVLONG RVAdminUndefineQueueEx(const char* qmName, const char* queue, int force,
                              long long* removed) {
  return Admin([&] {
    Target t;
    Status s = CheckQueueName(queue);
    if (s.ok()) s = OpenTarget(qmName, false, true, &t);
    if (!s.ok()) return s;
    int64_t count = 0;
    s = force != 0 ? t.connection->UndefineForced(queue, &count) : t.connection->Undefine(queue);
    if (s.ok() && removed != nullptr) *removed = count;
    return Failed(s, std::string("cannot undefine queue ") + queue + " on " + t.qm.name);
  });
}

RVLONG RVAdminUndefineQueue(const char* qmName, const char* queue) {
  return RVAdminUndefineQueueEx(qmName, queue, 0, nullptr);
}

RVLONG RVAdminListQueues(const char* qmName, RVQFN fn, void* context) {
  return Admin([&] {
    Target t;
    std::vector<QueueSummary> queues;
    Status s = Given(reinterpret_cast<const void*>(fn), "callback");
    if (s.ok()) s = OpenTarget(qmName, true, true, &t);
    if (s.ok()) s = Failed(t.connection->List(&queues), "cannot list the queues of " + t.qm.name);
    // A queue whose definition cannot be read is reported after the others have been listed.
    std::string problems;
    for (size_t i = 0; s.ok() && i < queues.size(); ++i) {
      if (!queues[i].problem.empty()) {
        problems += (problems.empty() ? "" : "; ") + queues[i].problem;
        continue;
      }
      RVQINFO info;
      CopyName(queues[i].name, info.name);
      info.depth = queues[i].depth;
      info.maxDepth = queues[i].maxDepth;
      info.maxMsgLength = queues[i].maxMessageLength;
      if (fn(context, &info) != 0) break;
    }
    if (s.ok() && !problems.empty()) {
      s = Status::Error(RVRC_UNEXPECTED_ERROR,
                        "cannot list every queue of " + t.qm.name + ": " + problems);
    }
    return s;
  });
}

RVLONG RVAdminClearQueue(const char* qmName, const char* queue, long long* removed) {
  return Admin([&] {
    Target t;
    Status s = CheckQueueName(queue);
    if (s.ok()) s = OpenTarget(qmName, false, true, &t);
    if (!s.ok()) return s;
    int64_t count = 0;
    s = Failed(t.connection->Clear(queue, &count), std::string("cannot clear queue ") + queue);
    if (s.ok() && removed != nullptr) *removed = count;
    return s;
  });
}

RVLONG RVAdminBrowse(const char* qmName, const char* queue, RVMSGFN fn, void* context) {
  return Admin([&] {
    Status s = CheckQueueManagerName(qmName);
    if (s.ok()) s = CheckQueueName(queue);
    if (s.ok()) s = Given(reinterpret_cast<const void*>(fn), "callback");
    if (!s.ok()) return s;
    return Browse(qmName, queue, fn, context);
  });
}

}  // extern "C"
