#include "QueueStore.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>

#include "DataRoot.h"
#include "FileSystem.h"
#include "ObjectName.h"
#include "SmallFile.h"

namespace rv {

namespace {

const char* const kFolders[] = {"msg", "tmp", "claim", "owners", "damaged"};

Status OpenFolder(int dirFd, const std::string& name, const std::string& what, UniqueFd* fd) {
  fd->Reset(Fs().OpenAt(dirFd, name, O_RDONLY | O_DIRECTORY, 0));
  if (!fd->valid()) return Status::FromErrno(errno, "cannot open " + what);
  return Status::Ok();
}

Status QueuesFolder(int qmDirFd, UniqueFd* fd) {
  return OpenFolder(qmDirFd, DataRoot::kQueuesFolder, "the queues folder", fd);
}

Status ReadDefinition(int queueDirFd, QueueStore::Definition* def) {
  std::map<std::string, std::string> settings;
  Status s = SmallFile::ReadSettings(queueDirFd, "queue.ini", &settings);
  if (!s.ok()) return s;
  def->name = settings["name"];
  try {
    if (settings.count("maxdepth")) def->maxDepth = std::stoll(settings["maxdepth"]);
    if (settings.count("maxmsgl")) def->maxMessageLength = std::stoll(settings["maxmsgl"]);
  } catch (const std::exception&) {
    return Status::Error(RVRC_UNEXPECTED_ERROR, "queue.ini of " + def->name + " is damaged");
  }
  return Status::Ok();
}

Status CountMessages(int queueDirFd, size_t* depth) {
  UniqueFd msg;
  Status s = OpenFolder(queueDirFd, "msg", "msg", &msg);
  if (!s.ok()) return s;
  std::vector<std::string> names;
  if (Fs().List(msg.get(), &names) != 0) return Status::FromErrno(errno, "cannot list messages");
  MessageFile::Name parsed;
  *depth = static_cast<size_t>(std::count_if(names.begin(), names.end(), [&](const std::string& n) {
    return MessageFile::ParseName(n, &parsed);
  }));
  return Status::Ok();
}

}  // namespace

QueueStore::~QueueStore() {
  if (_sequence != nullptr) ::munmap(_sequence, sizeof(uint64_t));
}

Status QueueStore::Define(int qmDirFd, const Definition& definition) {
  UniqueFd queues;
  Status s = QueuesFolder(qmDirFd, &queues);
  if (!s.ok()) return s;
  std::string folder = ObjectName::Encode(definition.name);
  std::string staging = ".new-" + folder + "-" + std::to_string(::getpid());
  // Built under a hidden name and renamed in one step, so that a half-made queue never opens.
  std::error_code ec;
  if (Fs().MkdirAt(queues.get(), staging, 0700) != 0) {
    return Status::FromErrno(errno, "cannot create queue " + definition.name);
  }
  UniqueFd dir;
  s = OpenFolder(queues.get(), staging, "queue " + definition.name, &dir);
  for (const char* f : kFolders) {
    if (s.ok() && Fs().MkdirAt(dir.get(), f, 0700) != 0) {
      s = Status::FromErrno(errno, std::string("cannot create ") + f + " of " + definition.name);
    }
  }
  if (s.ok()) {
    UniqueFd seq(Fs().OpenAt(dir.get(), "seq", O_RDWR | O_CREAT | O_EXCL, 0600));
    uint64_t zero = 0;
    if (!seq.valid() || Fs().WriteAll(seq.get(), &zero, sizeof zero) != 0) {
      s = Status::FromErrno(errno, "cannot create the counter of " + definition.name);
    }
  }
  if (s.ok()) {
    s = SmallFile::WriteSettings(dir.get(), "queue.ini",
                                 {{"name", definition.name},
                                  {"maxdepth", std::to_string(definition.maxDepth)},
                                  {"maxmsgl", std::to_string(definition.maxMessageLength)}});
  }
  if (s.ok() && Fs().RenameAt(queues.get(), staging, queues.get(), folder, true) != 0) {
    s = errno == EEXIST || errno == ENOTEMPTY
            ? Status::Error(RVRC_OBJECT_NAME_ERROR, "queue " + definition.name + " already exists")
            : Status::FromErrno(errno, "cannot create queue " + definition.name);
  }
  if (s.ok() && Fs().Sync(queues.get()) != 0) {
    s = Status::FromErrno(errno, "cannot flush the queues folder");
  }
  if (!s.ok()) {
    std::filesystem::remove_all(
        std::filesystem::path("/proc/self/fd") / std::to_string(queues.get()) / staging, ec);
  }
  return s;
}

Status QueueStore::Undefine(int qmDirFd, const std::string& name, bool force) {
  UniqueFd queues;
  Status s = QueuesFolder(qmDirFd, &queues);
  if (!s.ok()) return s;
  std::string folder = ObjectName::Encode(name);
  UniqueFd dir;
  dir.Reset(Fs().OpenAt(queues.get(), folder, O_RDONLY | O_DIRECTORY, 0));
  if (!dir.valid()) {
    if (errno == ENOENT)
      return Status::Error(RVRC_UNKNOWN_OBJECT_NAME, "queue " + name + " is not defined");
    return Status::FromErrno(errno, "cannot open queue " + name);
  }
  size_t depth = 0;
  s = CountMessages(dir.get(), &depth);
  if (!s.ok()) return s;
  if (depth > 0 && !force) {
    return Status::Error(RVRC_OPTIONS_ERROR, "queue " + name + " holds " + std::to_string(depth) +
                                                 " messages (clear it first)");
  }
  std::string doomed = ".deleting-" + folder + "-" + std::to_string(::getpid());
  if (Fs().RenameAt(queues.get(), folder, queues.get(), doomed, true) != 0) {
    return Status::FromErrno(errno, "cannot remove queue " + name);
  }
  std::error_code ec;
  std::filesystem::remove_all(
      std::filesystem::path("/proc/self/fd") / std::to_string(queues.get()) / doomed, ec);
  if (ec)
    return Status::Error(RVRC_RESOURCE_PROBLEM,
                         "cannot remove queue " + name + ": " + ec.message());
  return Status::Ok();
}

Status QueueStore::List(int qmDirFd, std::vector<Summary>* queues) {
  UniqueFd folder;
  Status s = QueuesFolder(qmDirFd, &folder);
  if (!s.ok()) return s;
  std::vector<std::string> names;
  if (Fs().List(folder.get(), &names) != 0) return Status::FromErrno(errno, "cannot list queues");
  queues->clear();
  for (const auto& f : names) {
    Summary q;
    if (!ObjectName::Decode(f, &q.name)) continue;
    UniqueFd dir;
    s = OpenFolder(folder.get(), f, "queue " + q.name, &dir);
    if (s.ok()) s = ReadDefinition(dir.get(), &q.definition);
    if (s.ok()) s = CountMessages(dir.get(), &q.depth);
    if (!s.ok()) return s;
    queues->push_back(q);
  }
  std::sort(queues->begin(), queues->end(),
            [](const Summary& a, const Summary& b) { return a.name < b.name; });
  return Status::Ok();
}

Status QueueStore::Open(int qmDirFd, const std::string& name, std::unique_ptr<QueueStore>* store) {
  std::unique_ptr<QueueStore> q(new QueueStore());
  q->_qmDir.Reset(::fcntl(qmDirFd, F_DUPFD_CLOEXEC, 0));
  if (!q->_qmDir.valid()) return Status::FromErrno(errno, "cannot keep the queue manager folder");
  UniqueFd queues;
  Status s = QueuesFolder(qmDirFd, &queues);
  if (!s.ok()) return s;
  q->_queueDir.Reset(
      Fs().OpenAt(queues.get(), ObjectName::Encode(name), O_RDONLY | O_DIRECTORY, 0));
  if (!q->_queueDir.valid()) {
    if (errno == ENOENT) {
      return Status::Error(RVRC_UNKNOWN_OBJECT_NAME, "queue " + name + " is not defined");
    }
    return Status::FromErrno(errno, "cannot open queue " + name);
  }
  s = ReadDefinition(q->_queueDir.get(), &q->_definition);
  if (s.reason() == RVRC_UNKNOWN_OBJECT_NAME) {
    return Status::Error(RVRC_UNKNOWN_OBJECT_NAME, "queue " + name + " has no definition");
  }
  if (!s.ok()) return s;
  UniqueFd* dirs[] = {&q->_msgDir, &q->_tmpDir, &q->_claimDir, &q->_ownersDir, &q->_damagedDir};
  for (size_t i = 0; i < 5 && s.ok(); ++i) {
    s = OpenFolder(q->_queueDir.get(), kFolders[i], std::string(kFolders[i]) + " of " + name,
                   dirs[i]);
  }
  if (!s.ok()) return s;
  UniqueFd seq(Fs().OpenAt(q->_queueDir.get(), "seq", O_RDWR, 0));
  if (!seq.valid()) return Status::FromErrno(errno, "cannot open the counter of " + name);
  void* map = ::mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, seq.get(), 0);
  if (map == MAP_FAILED) return Status::FromErrno(errno, "cannot map the counter of " + name);
  q->_sequence = static_cast<uint64_t*>(map);
  // After a power failure the counter may lag behind the names on disk; never reuse a number.
  std::vector<std::string> names;
  s = q->ListMessages(&names);
  if (!s.ok()) return s;
  if (!names.empty()) {
    uint64_t top = 0;
    MessageFile::Name parsed;
    for (const auto& n : names) {
      if (MessageFile::ParseName(n, &parsed)) top = std::max(top, parsed.sequence);
    }
    q->RaiseSequence(top + 1);
  }
  *store = std::move(q);
  return Status::Ok();
}

Status QueueStore::ListMessages(std::vector<std::string>* names) const {
  std::vector<std::string> all;
  if (Fs().List(_msgDir.get(), &all) != 0) {
    return Status::FromErrno(errno, "cannot list the messages of " + _definition.name);
  }
  names->clear();
  MessageFile::Name parsed;
  for (auto& n : all) {
    if (MessageFile::ParseName(n, &parsed)) names->push_back(std::move(n));
  }
  std::sort(names->begin(), names->end());
  return Status::Ok();
}

bool QueueStore::Gone() const {
  struct stat st;
  if (Fs().Fstat(_queueDir.get(), &st) == 0 && st.st_nlink == 0) return true;
  return Fs().Fstat(_qmDir.get(), &st) == 0 && st.st_nlink == 0;
}

uint64_t QueueStore::NextSequence() {
  return __atomic_fetch_add(_sequence, 1, __ATOMIC_SEQ_CST);
}

void QueueStore::RaiseSequence(uint64_t atLeast) {
  uint64_t current = __atomic_load_n(_sequence, __ATOMIC_SEQ_CST);
  while (current < atLeast && !__atomic_compare_exchange_n(_sequence, &current, atLeast, false,
                                                           __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
  }
}

Status QueueStore::Publish(const std::string& tempPrefix, const RVMD& md, const void* data,
                           size_t length, int priority, int64_t expiryMs, int64_t putTimeMs,
                           std::string* fileName) {
  const std::string& q = _definition.name;
  std::string temp = tempPrefix + "." + std::to_string(++_tempCounter);
  UniqueFd fd(Fs().OpenAt(_tmpDir.get(), temp, O_WRONLY | O_CREAT | O_EXCL, 0600));
  if (!fd.valid()) return Status::FromErrno(errno, "cannot create a message file on " + q);
  std::string prefix = MessageFile::EncodePrefix(md, data, length, expiryMs, putTimeMs);
  Status s;
  if (Fs().WriteAll(fd.get(), prefix.data(), prefix.size()) != 0 ||
      (length > 0 && Fs().WriteAll(fd.get(), data, length) != 0)) {
    s = Status::FromErrno(errno, "cannot write a message on " + q);
  } else if (Fs().Sync(fd.get()) != 0) {
    // A failed flush is final: the page cache may have dropped the data, so never retry it.
    s = Status::FromErrno(errno, "cannot flush a message on " + q);
  }
  fd.Reset();
  for (int attempt = 0; s.ok(); ++attempt) {
    MessageFile::Name n{priority, NextSequence(), expiryMs};
    *fileName = MessageFile::FormatName(n);
    if (Fs().RenameAt(_tmpDir.get(), temp, _msgDir.get(), *fileName, true) == 0) break;
    if (errno != EEXIST || attempt > 8) {
      s = Status::FromErrno(errno, "cannot publish a message on " + q);
    }
  }
  if (!s.ok()) {
    Fs().UnlinkAt(_tmpDir.get(), temp, false);
    return s;
  }
  if (Fs().Sync(_msgDir.get()) != 0) {
    s = Status::FromErrno(errno, "cannot flush the message folder of " + q);
    // The put reports failure, so take the message back if no getter has it yet.
    Fs().UnlinkAt(_msgDir.get(), *fileName, false);
    return s;
  }
  return Status::Ok();
}

Status QueueStore::ReturnClaim(int claimDirFd, const std::string& name) {
  if (Fs().RenameAt(claimDirFd, name, _msgDir.get(), name, true) == 0) return Status::Ok();
  if (errno == EEXIST) {
    // Only after a counter reset by a power failure: keep the message under a fresh number.
    MessageFile::Name parsed;
    if (MessageFile::ParseName(name, &parsed)) {
      parsed.sequence = NextSequence();
      if (Fs().RenameAt(claimDirFd, name, _msgDir.get(), MessageFile::FormatName(parsed), true) ==
          0) {
        return Status::Ok();
      }
    }
  }
  return Status::FromErrno(errno, "cannot return message " + name + " to " + _definition.name);
}

Status QueueStore::RecoverOwner(const std::string& id, const std::vector<std::string>& temps,
                                bool* live, size_t* recovered) {
  *live = false;
  UniqueFd lock(Fs().OpenAt(_ownersDir.get(), id, O_RDWR, 0));
  if (!lock.valid() && errno != ENOENT) {
    return Status::FromErrno(errno, "cannot open owner " + id + " of " + _definition.name);
  }
  if (lock.valid() && Fs().Lock(lock.get(), true, false) != 0) {
    if (errno == EWOULDBLOCK) {
      *live = true;
      return Status::Ok();
    }
    return Status::FromErrno(errno, "cannot lock owner " + id + " of " + _definition.name);
  }
  // Nobody holds the lock: its process is gone. Hand its claims back before anything else.
  UniqueFd claimDir(Fs().OpenAt(_claimDir.get(), id, O_RDONLY | O_DIRECTORY, 0));
  if (claimDir.valid()) {
    std::vector<std::string> held;
    if (Fs().List(claimDir.get(), &held) != 0) {
      return Status::FromErrno(errno, "cannot list the claims of " + id);
    }
    for (const auto& name : held) {
      Status s = ReturnClaim(claimDir.get(), name);
      if (!s.ok()) return s;
      ++*recovered;
    }
    if (Fs().UnlinkAt(_claimDir.get(), id, true) != 0 && errno != ENOENT) {
      return Status::FromErrno(errno, "cannot remove the claims folder of " + id);
    }
  } else if (errno != ENOENT) {
    return Status::FromErrno(errno, "cannot open the claims of " + id);
  }
  for (const auto& t : temps) {
    if (t.compare(0, id.size() + 1, id + ".") == 0 && Fs().UnlinkAt(_tmpDir.get(), t, false) != 0 &&
        errno != ENOENT) {
      return Status::FromErrno(errno, "cannot remove " + t);
    }
  }
  if (lock.valid() && Fs().UnlinkAt(_ownersDir.get(), id, false) != 0 && errno != ENOENT) {
    return Status::FromErrno(errno, "cannot remove owner " + id);
  }
  return Status::Ok();
}

Status QueueStore::RecoverClaims(const std::string& ownId, size_t* recovered) {
  *recovered = 0;
  std::vector<std::string> claims;
  if (Fs().List(_claimDir.get(), &claims) != 0) {
    return Status::FromErrno(errno, "cannot list the claims of " + _definition.name);
  }
  for (const auto& id : claims) {
    if (id == ownId) continue;
    bool live;
    Status s = RecoverOwner(id, {}, &live, recovered);
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

Status QueueStore::Recover(const std::string& ownId, size_t* recovered) {
  *recovered = 0;
  std::vector<std::string> owners, claims, temps;
  if (Fs().List(_ownersDir.get(), &owners) != 0 || Fs().List(_claimDir.get(), &claims) != 0 ||
      Fs().List(_tmpDir.get(), &temps) != 0) {
    return Status::FromErrno(errno, "cannot list the owners of " + _definition.name);
  }
  std::set<std::string> ids(owners.begin(), owners.end());
  ids.insert(claims.begin(), claims.end());
  for (const auto& id : ids) {
    if (id == ownId) continue;
    bool live;
    Status s = RecoverOwner(id, temps, &live, recovered);
    if (!s.ok()) return s;
  }
  // Temporary files of owners that no longer have a lock file at all.
  for (const auto& t : temps) {
    std::string id = t.substr(0, t.find('.'));
    if (ids.count(id)) continue;
    struct stat st;
    if (Fs().StatAt(_ownersDir.get(), id, &st) == 0) continue;
    if (Fs().UnlinkAt(_tmpDir.get(), t, false) != 0 && errno != ENOENT) {
      return Status::FromErrno(errno, "cannot remove " + t);
    }
  }
  return Status::Ok();
}

void QueueStore::Quarantine(int fromDirFd, const std::string& name, const std::string& why) {
  std::string target =
      name + "." + std::to_string(::time(nullptr)) + "." + std::to_string(::getpid());
  bool moved = Fs().RenameAt(fromDirFd, name, _damagedDir.get(), target, true) == 0;
  DataRoot::LogError(_qmDir.get(),
                     "queue " + _definition.name + ": " + why +
                         (moved ? "; moved to damaged/" + target : "; could not move it aside"));
}

Status QueueStore::Clear(size_t* removed) {
  std::vector<std::string> names;
  Status s = ListMessages(&names);
  if (!s.ok()) return s;
  *removed = 0;
  for (const auto& n : names) {
    if (Fs().UnlinkAt(_msgDir.get(), n, false) == 0) {
      ++*removed;
    } else if (errno != ENOENT) {
      return Status::FromErrno(errno, "cannot remove message " + n);
    }
  }
  return Status::Ok();
}

}  // namespace rv
