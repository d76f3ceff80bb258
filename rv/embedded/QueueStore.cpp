#include "QueueStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "DataRoot.h"
#include "FolderTree.h"
#include "ObjectName.h"
#include "SmallFile.h"

namespace rv {

namespace {

const char* const kFolders[] = {"msg", "tmp", "claim", "owners", "damaged"};
// In the queue manager's folder: shared by a define, exclusive while the queue manager is
// being deleted. A deleted queue manager has lost its definition first (DataRoot).
constexpr const char* kQmLock = "qm.lock";
constexpr const char* kQmDefinition = "qmgr.ini";
// Marks a claimed message that a get has taken for good (see Remove).
constexpr const char* kTakenPrefix = "taken-";
// Names a getter tries in a row before it lists the folder to find the next one.
constexpr int kMaxMisses = 32;

Status OpenFolder(FileSystem& fs, int dirFd, const std::string& name, const std::string& what,
                  UniqueFd* fd) {
  fd->Reset(fs.OpenAt(dirFd, name, O_RDONLY | O_DIRECTORY, 0));
  if (!fd->valid()) return Status::FromErrno(errno, "cannot open " + what);
  return Status::Ok();
}

Status QueuesFolder(FileSystem& fs, int qmDirFd, UniqueFd* fd) {
  return OpenFolder(fs, qmDirFd, DataRoot::kQueuesFolder, "the queues folder", fd);
}

// The path of an open folder, for messages a user acts on.
std::string PathOf(int fd) {
  char path[4096];
  ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : "(unknown)";
}

Status ReadDefinition(FileSystem& fs, int queueDirFd, const std::string& name,
                      QueueStore::Definition* def) {
  std::map<std::string, std::string> settings;
  Status s = SmallFile::ReadSettings(queueDirFd, "queue.ini", &settings, fs);
  if (s.reason() == RVRC_UNKNOWN_OBJECT_NAME) {
    return Status::Error(RVRC_UNKNOWN_OBJECT_NAME, "queue " + name + " has no definition");
  }
  if (!s.ok()) return Status::Error(s.reason(), "queue " + name + ": " + s.message());
  def->name = settings["name"].empty() ? name : settings["name"];
  for (auto [key, field] :
       {std::pair{"maxdepth", &def->maxDepth}, std::pair{"maxmsgl", &def->maxMessageLength}}) {
    auto it = settings.find(key);
    if (it == settings.end()) continue;
    size_t used = 0;
    long long value = -1;
    try {
      value = std::stoll(it->second, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != it->second.size() || value < 0) {
      return Status::Error(RVRC_UNEXPECTED_ERROR, "queue.ini of queue " + name +
                                                      " is damaged: " + key + " is \"" +
                                                      it->second + "\", not a number");
    }
    *field = value;
  }
  return Status::Ok();
}

// Counts the messages of a queue folder by its names: waiting and claimed.
Status CountMessages(FileSystem& fs, int queueDirFd, int64_t* depth) {
  UniqueFd msg, claims;
  Status s = OpenFolder(fs, queueDirFd, "msg", "msg", &msg);
  if (s.ok()) s = OpenFolder(fs, queueDirFd, "claim", "claim", &claims);
  if (!s.ok()) return s;
  std::vector<std::string> names, owners;
  if (fs.List(msg.get(), &names) != 0 || fs.List(claims.get(), &owners) != 0) {
    return Status::FromErrno(errno, "cannot list messages");
  }
  for (const auto& o : owners) {
    UniqueFd dir(fs.OpenAt(claims.get(), o, O_RDONLY | O_DIRECTORY, 0));
    std::vector<std::string> held;
    if (dir.valid() && fs.List(dir.get(), &held) == 0)
      names.insert(names.end(), held.begin(), held.end());
  }
  MessageFile::Name parsed;
  *depth = std::count_if(names.begin(), names.end(),
                         [&](const std::string& n) { return MessageFile::ParseName(n, &parsed); });
  return Status::Ok();
}

// Holds an flock until it goes out of scope.
class ControlLock {
 public:
  ControlLock(QueueControl& control, bool exclusive) : _control(control) {
    _status = exclusive ? control.LockExclusive() : control.LockShared();
  }
  ~ControlLock() {
    if (_status.ok()) _control.Unlock();
  }
  const Status& status() const { return _status; }

 private:
  QueueControl& _control;
  Status _status;
};

}  // namespace

QueueStore::~QueueStore() = default;

Status QueueStore::Define(FileSystem& fs, int qmDirFd, const Definition& definition) {
  const std::string& name = definition.name;
  UniqueFd queues;
  Status s = QueuesFolder(fs, qmDirFd, &queues);
  if (!s.ok()) return s;
  UniqueFd qmLock(fs.OpenAt(qmDirFd, kQmLock, O_RDWR | O_CREAT | O_NONBLOCK, 0600));
  if (!qmLock.valid() || fs.Lock(qmLock.get(), false, true) != 0) {
    return Status::FromErrno(errno, "cannot lock the queue manager to define queue " + name);
  }
  struct stat st;
  if (fs.StatAt(qmDirFd, kQmDefinition, &st) != 0) {
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "the queue manager has been deleted");
  }
  const std::string folder = ObjectName::Encode(name);
  const Status exists = Status::Error(RVRC_OBJECT_NAME_ERROR, "queue " + name + " already exists");
  if (fs.StatAt(queues.get(), folder, &st) == 0) return exists;
  // Built under a hidden name and renamed in one step, so that a half-made queue never opens.
  const std::string staging = FolderTree::PassingName("new", folder);
  if (fs.MkdirAt(queues.get(), staging, 0700) != 0) {
    return Status::FromErrno(errno, "cannot create queue " + name);
  }
  UniqueFd dir;
  s = OpenFolder(fs, queues.get(), staging, "queue " + name, &dir);
  for (const char* f : kFolders) {
    if (s.ok() && fs.MkdirAt(dir.get(), f, 0700) != 0) {
      s = Status::FromErrno(errno, std::string("cannot create ") + f + " of " + name);
    }
  }
  if (s.ok()) {
    s = SmallFile::Create(dir.get(), "queue.ini",
                          {{"name", name},
                           {"maxdepth", std::to_string(definition.maxDepth)},
                           {"maxmsgl", std::to_string(definition.maxMessageLength)}},
                          fs);
  }
  QueueControl::Definition cached{definition.maxDepth, definition.maxMessageLength, {}};
  if (s.ok() && fs.StatAt(dir.get(), "queue.ini", &cached.file) != 0) {
    s = Status::FromErrno(errno, "cannot examine the definition of " + name);
  }
  std::unique_ptr<QueueControl> control;
  if (s.ok()) s = QueueControl::Create(fs, qmDirFd, dir.get(), name, cached, &control);
  if (s.ok() && fs.Sync(dir.get()) != 0) s = Status::FromErrno(errno, "cannot flush " + name);
  dir.Reset();
  if (s.ok() && fs.RenameAt(queues.get(), staging, queues.get(), folder, true) != 0) {
    s = errno == EEXIST || errno == ENOTEMPTY ? exists
                                              : Status::FromErrno(errno, "cannot create " + name);
  }
  if (!s.ok()) {
    FolderTree::Remove(fs, queues.get(), staging);
    if (control) control->Free();
    return s;
  }
  if (fs.Sync(queues.get()) != 0) {
    // Not known to be on disk: take it back, so that a failed define leaves nothing. A handle
    // opened meanwhile sees the queue deleted, as after an undefine.
    s = Status::FromErrno(errno, "cannot flush the queues folder");
    control->MarkDeleted();
    const std::string doomed = FolderTree::PassingName("deleting", folder);
    if (fs.RenameAt(queues.get(), folder, queues.get(), doomed, true) == 0 &&
        FolderTree::Remove(fs, queues.get(), doomed).ok()) {
      control->Free();
    }
    return s;
  }
  control->Commit();
  return s;
}

Status QueueStore::MarkDeleted(bool force, int64_t* removed) {
  ControlLock lock(*_control, true);
  if (!lock.status().ok()) return lock.status();
  if (!_control->Trusted()) {
    Status s = Recount();
    if (!s.ok()) return s;
  }
  const int64_t depth = _control->depth();
  if (depth > 0 && !force) {
    return Status::Error(RVRC_OPTIONS_ERROR, "queue " + _definition.name + " holds " +
                                                 std::to_string(depth) +
                                                 (depth == 1 ? " message" : " messages") +
                                                 " (clear it first, or use --force)");
  }
  _control->MarkDeleted();
  *removed += depth;
  return Status::Ok();
}

Status QueueStore::Undefine(FileSystem& fs, int qmDirFd, const std::string& name, bool force,
                            int64_t* removed) {
  *removed = 0;
  UniqueFd queues;
  Status s = QueuesFolder(fs, qmDirFd, &queues);
  if (!s.ok()) return s;
  FolderTree::Sweep(fs, queues.get());
  std::unique_ptr<QueueStore> store;
  s = Open(fs, qmDirFd, name, &store);
  if (s.ok()) {
    s = store->MarkDeleted(force, removed);
  } else if (force && s.reason() == RVRC_UNEXPECTED_ERROR) {
    s = Status::Ok();  // a damaged queue cannot be opened, so no put reaches it: force removes it
  }
  if (!s.ok()) return s;
  // No put gets through from here on: the folder can go.
  const std::string folder = ObjectName::Encode(name);
  const std::string doomed = FolderTree::PassingName("deleting", folder);
  if (fs.RenameAt(queues.get(), folder, queues.get(), doomed, true) != 0) {
    s = Status::FromErrno(errno, "cannot remove queue " + name);
  } else if (fs.Sync(queues.get()) != 0) {
    // Undefined only once the rename is on disk, so that no power cut brings the queue back.
    s = Status::FromErrno(errno, "cannot flush the queues folder to remove queue " + name);
    if (fs.RenameAt(queues.get(), doomed, queues.get(), folder, true) != 0) {
      // It could not be put back either: it is gone, though not known to be gone on disk.
      s = Status::Ok();
    }
  }
  if (!s.ok()) {
    // Nothing is gone: the queue goes on as it was.
    if (store) store->control().UnmarkDeleted();
    *removed = 0;
    return s;
  }
  // The queue is undefined from here on. What a failure leaves of its folder is hidden, and
  // swept up by a later undefine; its slot, marked deleted, is taken back by a later define.
  if (FolderTree::Remove(fs, queues.get(), doomed).ok() && store) store->control().Free();
  return Status::Ok();
}

Status QueueStore::DeleteAll(FileSystem& fs, int qmDirFd, const std::string& qmName, bool force,
                             int64_t* removed, const std::function<Status()>& remove) {
  *removed = 0;
  UniqueFd qmLock(fs.OpenAt(qmDirFd, kQmLock, O_RDWR | O_CREAT | O_NONBLOCK, 0600));
  if (!qmLock.valid() || fs.Lock(qmLock.get(), true, true) != 0) {
    return Status::FromErrno(errno, "cannot lock queue manager " + qmName);
  }
  UniqueFd queues;
  std::vector<std::string> folders;
  Status s = QueuesFolder(fs, qmDirFd, &queues);
  if (s.ok() && fs.List(queues.get(), &folders) != 0) {
    s = Status::FromErrno(errno, "cannot list the queues of " + qmName);
  }
  if (!s.ok()) return s;
  std::vector<std::unique_ptr<QueueStore>> stores;
  for (const auto& f : folders) {
    std::string name;
    if (!ObjectName::Decode(f, &name)) continue;
    std::unique_ptr<QueueStore> store;
    s = Open(fs, qmDirFd, name, &store);
    // A queue that cannot be opened takes no put either; force removes it all the same.
    if (s.reason() == RVRC_UNKNOWN_OBJECT_NAME || (!s.ok() && force)) continue;
    if (!s.ok()) return s;
    stores.push_back(std::move(store));
  }
  // A first look refuses without marking anything; a put may still land before the marks,
  // which the second pass sees under each queue's lock.
  if (!force) {
    for (const auto& store : stores) {
      ControlLock lock(store->control(), true);
      if (!lock.status().ok()) return lock.status();
      if (!store->control().Trusted()) s = store->Recount();
      if (s.ok() && store->control().depth() > 0) {
        s = Status::Error(RVRC_OPTIONS_ERROR, "queue " + store->definition().name + " of " +
                                                  qmName + " holds " +
                                                  std::to_string(store->control().depth()) +
                                                  " messages (use --force to delete anyway)");
      }
      if (!s.ok()) return s;
    }
  }
  size_t marked = 0;
  for (; s.ok() && marked < stores.size(); ++marked) {
    s = stores[marked]->MarkDeleted(force, removed);
    if (!s.ok()) break;
  }
  // The lock keeps defines out until the folder is gone.
  if (s.ok()) s = remove();
  if (!s.ok()) {
    for (size_t i = 0; i < marked; ++i) stores[i]->control().UnmarkDeleted();
    *removed = 0;
  }
  return s;
}

Status QueueStore::List(FileSystem& fs, int qmDirFd, std::vector<Summary>* queues) {
  UniqueFd folder;
  Status s = QueuesFolder(fs, qmDirFd, &folder);
  if (!s.ok()) return s;
  std::vector<std::string> names;
  if (fs.List(folder.get(), &names) != 0) return Status::FromErrno(errno, "cannot list queues");
  queues->clear();
  queues->reserve(names.size());
  QueueControl::Slots slots;
  QueueControl::ReadSlots(fs, qmDirFd, &slots);
  for (const auto& f : names) {
    Summary q;
    if (!ObjectName::Decode(f, &q.name)) continue;
    // The queue's slot holds the depth and, while queue.ini is the one it was read from, the
    // definition: then queue.ini is only examined, and the folder is not opened.
    struct stat ini;
    const bool haveIni = fs.StatAt(folder.get(), f + "/queue.ini", &ini) == 0;
    QueueControl::Listing cached;
    const bool trusted =
        QueueControl::ReadListing(q.name, slots, haveIni ? &ini : nullptr, &cached);
    s = Status::Ok();
    if (!trusted || !cached.definitionKnown) {
      UniqueFd dir;
      s = OpenFolder(fs, folder.get(), f, "queue " + q.name, &dir);
      if (s.ok() && !cached.definitionKnown) {
        s = ReadDefinition(fs, dir.get(), q.name, &q.definition);
      }
      if (s.ok() && !trusted) s = CountMessages(fs, dir.get(), &q.depth);
    }
    if (cached.definitionKnown) {
      q.definition = {q.name, cached.maxDepth, cached.maxMessageLength};
    }
    if (trusted) q.depth = cached.depth;
    if (!s.ok()) q.problem = s.message();
    queues->push_back(std::move(q));
  }
  std::sort(queues->begin(), queues->end(),
            [](const Summary& a, const Summary& b) { return a.name < b.name; });
  return Status::Ok();
}

Status QueueStore::OpenFolders(FileSystem& fs, int qmDirFd, const std::string& name,
                               std::unique_ptr<QueueStore>* store) {
  std::unique_ptr<QueueStore> q(new QueueStore(fs));
  q->_qmDir.Reset(::fcntl(qmDirFd, F_DUPFD_CLOEXEC, 0));
  if (!q->_qmDir.valid()) return Status::FromErrno(errno, "cannot keep the queue manager folder");
  UniqueFd queues;
  Status s = QueuesFolder(fs, qmDirFd, &queues);
  if (!s.ok()) return s;
  q->_queueDir.Reset(fs.OpenAt(queues.get(), ObjectName::Encode(name), O_RDONLY | O_DIRECTORY, 0));
  if (!q->_queueDir.valid()) {
    if (errno == ENOENT) {
      return Status::Error(RVRC_UNKNOWN_OBJECT_NAME, "queue " + name + " is not defined");
    }
    return Status::FromErrno(errno, "cannot open queue " + name);
  }
  s = DataRoot::CheckPrivate(fs, q->_queueDir.get(), "the folder of queue " + name,
                             PathOf(q->_queueDir.get()));
  // Examined before it is read: should it change in between, the cached copy names the old
  // file and a listing reads the new one itself.
  QueueControl::Definition cached;
  if (s.ok() && fs.StatAt(q->_queueDir.get(), "queue.ini", &cached.file) != 0) {
    cached.file.st_ino = 0;
  }
  if (s.ok()) s = ReadDefinition(fs, q->_queueDir.get(), name, &q->_definition);
  UniqueFd* dirs[] = {&q->_msgDir, &q->_tmpDir, &q->_claimDir, &q->_ownersDir, &q->_damagedDir};
  for (size_t i = 0; i < 5 && s.ok(); ++i) {
    s = OpenFolder(fs, q->_queueDir.get(), kFolders[i], std::string(kFolders[i]) + " of " + name,
                   dirs[i]);
  }
  if (s.ok()) s = QueueControl::Open(fs, qmDirFd, q->_queueDir.get(), name, &q->_control);
  if (!s.ok()) return s;
  if (cached.file.st_ino != 0) {
    cached.maxDepth = q->_definition.maxDepth;
    cached.maxMessageLength = q->_definition.maxMessageLength;
    q->_control->CacheDefinition(cached);
  }
  *store = std::move(q);
  return Status::Ok();
}

Status QueueStore::Open(FileSystem& fs, int qmDirFd, const std::string& name,
                        std::unique_ptr<QueueStore>* store) {
  std::unique_ptr<QueueStore> q;
  Status s = OpenFolders(fs, qmDirFd, name, &q);
  if (s.ok()) s = q->RecountIfNeeded();
  if (!s.ok()) return s;
  *store = std::move(q);
  return Status::Ok();
}

Status QueueStore::ListMessages(std::vector<std::string>* names) const {
  std::vector<std::string> all;
  if (_fs.List(_msgDir.get(), &all) != 0) {
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
  if (_control->Deleted()) return true;
  struct stat st;
  if (_fs.Fstat(_queueDir.get(), &st) == 0 && st.st_nlink == 0) return true;
  return _fs.Fstat(_qmDir.get(), &st) == 0 && st.st_nlink == 0;
}

Status QueueStore::Publish(const std::string& tempPrefix, const RVMD& md, const void* data,
                           size_t length, int priority, int64_t expiryMs, int64_t putTimeMs) {
  const std::string& q = _definition.name;
  const Status deleted =
      Status::Error(RVRC_CONNECTION_BROKEN, "queue " + q + " or its queue manager was deleted");
  if (Gone()) return deleted;
  std::string temp = tempPrefix + "." + std::to_string(++_tempCounter);
  UniqueFd fd(_fs.OpenAt(_tmpDir.get(), temp, O_WRONLY | O_CREAT | O_EXCL, 0600));
  if (!fd.valid()) {
    Status s = Status::FromErrno(errno, "cannot create a message file on " + q);
    return Gone() ? deleted : s;
  }
  std::string prefix = MessageFile::EncodePrefix(md, data, length, expiryMs, putTimeMs);
  Status s;
  if (_fs.WriteAll(fd.get(), prefix.data(), prefix.size()) != 0 ||
      (length > 0 && _fs.WriteAll(fd.get(), data, length) != 0)) {
    s = Status::FromErrno(errno, "cannot write a message on " + q);
  }
  std::string name;
  if (s.ok()) {
    // The place on the queue and the name are taken together under the shared lock, so that a
    // recount, an undefine or a delete never sees one without the other.
    ControlLock lock(*_control, false);
    s = lock.status();
    if (s.ok() && _control->Deleted()) {
      s = deleted;
    } else if (s.ok() && !_control->Reserve(_definition.maxDepth)) {
      s = Status::Error(RVRC_Q_FULL, "queue " + q + " holds its maximum of " +
                                         std::to_string(_definition.maxDepth) + " messages");
    } else if (s.ok()) {
      for (int attempt = 0;; ++attempt) {
        const uint64_t sequence = _control->TakeSequence(priority);
        name = MessageFile::FormatName(priority, sequence);
        if (_fs.RenameAt(_tmpDir.get(), temp, _msgDir.get(), name, true) == 0) {
          _control->LowerHead(priority, sequence);
          break;
        }
        // A name that exists was left by a recount of a damaged counter: take the next.
        if (errno != EEXIST || attempt >= 8) {
          s = Status::FromErrno(errno, "cannot publish a message on " + q);
          _control->Release();
          break;
        }
      }
    }
  }
  if (!s.ok()) {
    _fs.UnlinkAt(_tmpDir.get(), temp, false);
    // A folder deleted under the put is the reason, whatever call noticed it.
    return s.reason() == RVRC_RESOURCE_PROBLEM && Gone() ? deleted : s;
  }
  // Visible whole from here on, and a getter may take it while it is flushed: the put reports
  // success only once the data and the name are on disk, but nobody waits for that who need
  // not. (A crash before the flush may leave a file that fails its checksum: a message whose
  // put never succeeded, moved aside by the getter that finds it.)
  _control->Wake();
  if (_fs.Sync(fd.get()) != 0 || _fs.Sync(_msgDir.get()) != 0) {
    // A failed flush is final: the page cache may have dropped the data, so never retry it.
    s = Status::FromErrno(errno, "cannot flush a message on " + q);
    // The put reports failure, so take the message back if no getter has it yet.
    ControlLock lock(*_control, false);
    if (lock.status().ok() && _fs.UnlinkAt(_msgDir.get(), name, false) == 0) _control->Release();
    return s;
  }
  return Status::Ok();
}

Status QueueStore::Claim(int claimDirFd, const std::string& name, bool* claimed) {
  *claimed = false;
  if (_fs.RenameAt(_msgDir.get(), name, claimDirFd, name, true) == 0) {
    *claimed = true;
    return Status::Ok();
  }
  if (errno == ENOENT) return Status::Ok();  // another getter was first
  return Status::FromErrno(errno, "cannot take message " + name + " of " + _definition.name);
}

Status QueueStore::ClaimNext(int claimDirFd, std::string* name) {
  name->clear();
  for (int p = QueueControl::kPriorities - 1; p >= 0; --p) {
    int misses = 0;
    for (;;) {
      const uint64_t word = _control->Head(p);
      const uint64_t head = QueueControl::HeadSequence(word);
      if (head >= _control->Next(p)) break;
      const std::string candidate = MessageFile::FormatName(p, head);
      bool claimed = false;
      Status s = Claim(claimDirFd, candidate, &claimed);
      if (!s.ok()) return s;
      if (claimed) {
        _control->AdvanceHead(p, word, head + 1);
        *name = candidate;
        return Status::Ok();
      }
      uint64_t to = head + 1;
      // A long run of names that are gone (taken out of turn, or puts that failed): one
      // listing finds the next one instead.
      if (++misses > kMaxMisses) {
        s = LowestWaiting(p, head, &to);
        if (!s.ok()) return s;
        misses = 0;
      }
      _control->AdvanceHead(p, word, std::max(to, head));
    }
  }
  return Status::Ok();
}

Status QueueStore::Remove(int claimDirFd, const std::string& name) {
  ControlLock lock(*_control, false);
  if (!lock.status().ok()) return lock.status();
  // Renamed to a name that is no message and flushed before it goes: once the get returns, no
  // crash brings the message back, and a flush that fails leaves it claimed as it was.
  const std::string taken = kTakenPrefix + name;
  if (_fs.RenameAt(claimDirFd, name, claimDirFd, taken, true) != 0) {
    return Status::FromErrno(errno, "cannot remove message " + name);
  }
  if (_fs.Sync(claimDirFd) != 0) {
    // Not known to be on disk: the get fails, and the message stays claimed for it to give back.
    // Should even the rename back fail, the message is taken: the caller gets it.
    Status s = Status::FromErrno(errno, "cannot flush the removal of message " + name);
    if (_fs.RenameAt(claimDirFd, taken, claimDirFd, name, true) == 0) return s;
  }
  // Removed for good; a file that cannot be unlinked now goes with its owner's claims.
  _fs.UnlinkAt(claimDirFd, taken, false);
  _control->Release();
  return Status::Ok();
}

Status QueueStore::ReturnClaim(int claimDirFd, const std::string& name) {
  if (name.compare(0, std::strlen(kTakenPrefix), kTakenPrefix) == 0) {
    // A message that a get removed for good: only its file is left to go.
    if (_fs.UnlinkAt(claimDirFd, name, false) != 0 && errno != ENOENT) {
      return Status::FromErrno(errno, "cannot remove " + name);
    }
    return Status::Ok();
  }
  MessageFile::Name parsed;
  if (!MessageFile::ParseName(name, &parsed)) {
    return Status::Error(RVRC_UNEXPECTED_ERROR, "claimed entry " + name + " is no message");
  }
  ControlLock lock(*_control, false);
  if (!lock.status().ok()) return lock.status();
  std::string target = MessageFile::FormatName(parsed.priority, parsed.sequence);
  int r = _fs.RenameAt(claimDirFd, name, _msgDir.get(), target, true);
  if (r != 0 && errno == EEXIST) {
    // Only after a recount of a damaged counter: keep the message under a fresh number.
    parsed.sequence = _control->TakeSequence(parsed.priority);
    target = MessageFile::FormatName(parsed.priority, parsed.sequence);
    r = _fs.RenameAt(claimDirFd, name, _msgDir.get(), target, true);
  }
  if (r != 0) {
    return Status::FromErrno(errno, "cannot return message " + name + " to " + _definition.name);
  }
  _control->LowerHead(parsed.priority, parsed.sequence);
  _control->Wake();
  return Status::Ok();
}

Status QueueStore::LowestWaiting(int priority, uint64_t from, uint64_t* sequence) const {
  uint64_t lowest = _control->Next(priority);
  std::vector<std::string> names;
  if (_fs.List(_msgDir.get(), &names) != 0) {
    return Status::FromErrno(errno, "cannot list the messages of " + _definition.name);
  }
  MessageFile::Name parsed;
  for (const auto& n : names) {
    if (MessageFile::ParseName(n, &parsed) && parsed.priority == priority &&
        parsed.sequence >= from) {
      lowest = std::min(lowest, parsed.sequence);
    }
  }
  *sequence = lowest;
  return Status::Ok();
}

Status QueueStore::Resync(bool* changed) {
  *changed = false;
  QueueControl& c = *_control;
  uint64_t words[QueueControl::kPriorities], next[QueueControl::kPriorities];
  for (int p = 0; p < QueueControl::kPriorities; ++p) {
    words[p] = c.Head(p);
    next[p] = c.Next(p);
  }
  std::vector<std::string> names;
  if (_fs.List(_msgDir.get(), &names) != 0) {
    return Status::FromErrno(errno, "cannot list the messages of " + _definition.name);
  }
  uint64_t lowest[QueueControl::kPriorities], highest[QueueControl::kPriorities] = {};
  bool any[QueueControl::kPriorities] = {};
  MessageFile::Name parsed;
  for (const auto& n : names) {
    if (!MessageFile::ParseName(n, &parsed)) continue;
    int p = parsed.priority;
    lowest[p] = any[p] ? std::min(lowest[p], parsed.sequence) : parsed.sequence;
    highest[p] = std::max(highest[p], parsed.sequence);
    any[p] = true;
  }
  for (int p = 0; p < QueueControl::kPriorities; ++p) {
    const uint64_t head = QueueControl::HeadSequence(words[p]);
    if (!any[p]) {
      if (head < next[p]) c.AdvanceHead(p, words[p], next[p]);
      continue;
    }
    if (highest[p] >= next[p]) {
      c.RaiseNext(p, highest[p] + 1);
      *changed = true;
    }
    if (lowest[p] < head) {
      c.LowerHead(p, lowest[p]);
      *changed = true;
    } else if (lowest[p] > head) {
      c.AdvanceHead(p, words[p], lowest[p]);
    }
  }
  return RecountIfNeeded();
}

Status QueueStore::RecountIfNeeded() {
  if (_control->Trusted()) return Status::Ok();
  ControlLock lock(*_control, true);
  if (!lock.status().ok()) return lock.status();
  // Another process may have done it while this one waited for the lock.
  return _control->Trusted() ? Status::Ok() : Recount();
}

Status QueueStore::Recount() {
  std::vector<std::string> names;
  if (_fs.List(_msgDir.get(), &names) != 0) {
    return Status::FromErrno(errno, "cannot list the messages of " + _definition.name);
  }
  uint64_t next[QueueControl::kPriorities] = {}, lowest[QueueControl::kPriorities];
  bool any[QueueControl::kPriorities] = {};
  std::set<std::string> seen;
  MessageFile::Name parsed;
  for (const auto& n : names) {
    if (!MessageFile::ParseName(n, &parsed)) continue;
    const int p = parsed.priority;
    lowest[p] = any[p] ? std::min(lowest[p], parsed.sequence) : parsed.sequence;
    any[p] = true;
    next[p] = std::max(next[p], parsed.sequence + 1);
    seen.insert(n);
  }
  // Claimed messages count too. A getter may claim while this runs (claims take no lock): a
  // name seen in both listings is one message.
  std::vector<std::string> owners;
  if (_fs.List(_claimDir.get(), &owners) != 0) {
    return Status::FromErrno(errno, "cannot list the claims of " + _definition.name);
  }
  int64_t claimed = 0;
  for (const auto& o : owners) {
    UniqueFd dir(_fs.OpenAt(_claimDir.get(), o, O_RDONLY | O_DIRECTORY, 0));
    std::vector<std::string> held;
    if (!dir.valid() || _fs.List(dir.get(), &held) != 0) {
      if (errno == ENOENT) continue;
      return Status::FromErrno(errno, "cannot list the claims of " + o);
    }
    for (const auto& n : held) {
      if (!MessageFile::ParseName(n, &parsed) || seen.count(n) != 0) continue;
      next[parsed.priority] = std::max(next[parsed.priority], parsed.sequence + 1);
      ++claimed;
    }
  }
  for (int p = 0; p < QueueControl::kPriorities; ++p) {
    if (!any[p]) lowest[p] = next[p];
  }
  _control->Rebuild(static_cast<int64_t>(seen.size()) + claimed, next, lowest);
  _control->Wake();
  return Status::Ok();
}

Status QueueStore::RecoverOwner(const std::string& id, const std::vector<std::string>& temps,
                                bool* live, size_t* recovered) {
  *live = false;
  UniqueFd lock(_fs.OpenAt(_ownersDir.get(), id, O_RDWR | O_NONBLOCK, 0));
  if (!lock.valid() && errno != ENOENT) {
    return Status::FromErrno(errno, "cannot open owner " + id + " of " + _definition.name);
  }
  if (lock.valid() && _fs.Lock(lock.get(), true, false) != 0) {
    if (errno == EWOULDBLOCK) {
      *live = true;
      return Status::Ok();
    }
    return Status::FromErrno(errno, "cannot lock owner " + id + " of " + _definition.name);
  }
  // Nobody holds the lock: its process is gone. Hand its claims back before anything else.
  UniqueFd claimDir(_fs.OpenAt(_claimDir.get(), id, O_RDONLY | O_DIRECTORY, 0));
  if (claimDir.valid()) {
    std::vector<std::string> held;
    if (_fs.List(claimDir.get(), &held) != 0) {
      return Status::FromErrno(errno, "cannot list the claims of " + id);
    }
    for (const auto& name : held) {
      Status s = ReturnClaim(claimDir.get(), name);
      if (s.reason() == RVRC_UNEXPECTED_ERROR) {
        Quarantine(claimDir.get(), name, "entry " + name + " in the claims of " + id);
        continue;
      }
      if (!s.ok()) return s;
      ++*recovered;
    }
    if (_fs.UnlinkAt(_claimDir.get(), id, true) != 0 && errno != ENOENT) {
      return Status::FromErrno(errno, "cannot remove the claims folder of " + id);
    }
  } else if (errno != ENOENT) {
    return Status::FromErrno(errno, "cannot open the claims of " + id);
  }
  for (const auto& t : temps) {
    if (t.compare(0, id.size() + 1, id + ".") == 0 && _fs.UnlinkAt(_tmpDir.get(), t, false) != 0 &&
        errno != ENOENT) {
      return Status::FromErrno(errno, "cannot remove " + t);
    }
  }
  if (lock.valid() && _fs.UnlinkAt(_ownersDir.get(), id, false) != 0 && errno != ENOENT) {
    return Status::FromErrno(errno, "cannot remove owner " + id);
  }
  // It may have died between a name and a counter.
  _control->RequestRecount();
  return Status::Ok();
}

Status QueueStore::RecoverClaims(const std::string& ownId, size_t* recovered) {
  *recovered = 0;
  std::vector<std::string> claims;
  if (_fs.List(_claimDir.get(), &claims) != 0) {
    return Status::FromErrno(errno, "cannot list the claims of " + _definition.name);
  }
  for (const auto& id : claims) {
    if (id == ownId) continue;
    bool live;
    Status s = RecoverOwner(id, {}, &live, recovered);
    if (!s.ok()) return s;
  }
  return RecountIfNeeded();
}

Status QueueStore::Recover(const std::string& ownId, size_t* recovered) {
  *recovered = 0;
  std::vector<std::string> owners, claims, temps;
  if (_fs.List(_ownersDir.get(), &owners) != 0 || _fs.List(_claimDir.get(), &claims) != 0 ||
      _fs.List(_tmpDir.get(), &temps) != 0) {
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
    if (_fs.StatAt(_ownersDir.get(), id, &st) == 0) continue;
    if (_fs.UnlinkAt(_tmpDir.get(), t, false) != 0 && errno != ENOENT) {
      return Status::FromErrno(errno, "cannot remove " + t);
    }
  }
  return RecountIfNeeded();
}

void QueueStore::Quarantine(int fromDirFd, const std::string& name, const std::string& why) {
  static std::atomic<unsigned> counter{0};
  std::string target = name + "." + std::to_string(::time(nullptr)) + "." +
                       std::to_string(::getpid()) + "." + std::to_string(counter++);
  bool moved = _fs.RenameAt(fromDirFd, name, _damagedDir.get(), target, true) == 0;
  // It counted as a message (if a put had made it): the depth is counted again.
  _control->RequestRecount();
  DataRoot::LogError(_qmDir.get(),
                     "queue " + _definition.name + ": " + why +
                         (moved ? "; moved to damaged/" + target : "; could not move it aside"),
                     _fs);
}

Status QueueStore::Clear(int64_t* removed) {
  *removed = 0;
  ControlLock lock(*_control, true);
  if (!lock.status().ok()) return lock.status();
  // Should this be cut short, the depth is counted again.
  _control->RequestRecount();
  std::vector<std::string> names;
  Status s = ListMessages(&names);
  for (size_t i = 0; s.ok() && i < names.size(); ++i) {
    if (_fs.UnlinkAt(_msgDir.get(), names[i], false) == 0) {
      ++*removed;
    } else if (errno != ENOENT) {
      s = Status::FromErrno(errno, "cannot remove message " + names[i]);
    }
  }
  // Cleared only once the removals are on disk.
  if (*removed > 0 && _fs.Sync(_msgDir.get()) != 0) {
    s = Status::FromErrno(errno, "cannot flush the messages of " + _definition.name);
  }
  Status counted = Recount();
  return s.ok() ? counted : s;
}

}  // namespace rv
