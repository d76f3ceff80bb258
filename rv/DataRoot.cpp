#include "DataRoot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "FileSystem.h"
#include "ObjectName.h"
#include "SmallFile.h"

namespace rv {

namespace {

constexpr long kNfsMagic = 0x6969;
constexpr long kSmbMagic = 0x517B;
constexpr long kCifsMagic = static_cast<long>(0xFF534D42u);
constexpr long kSmb2Magic = static_cast<long>(0xFE534D42u);

// mkdir -p with mode 0700 for every folder it makes.
Status MakeFolders(const std::string& path) {
  std::string sofar;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    sofar = path.substr(0, next);
    pos = next + 1;
    if (sofar.empty()) continue;
    if (::mkdir(sofar.c_str(), 0700) != 0 && errno != EEXIST) {
      return Status::FromErrno(errno, "cannot create the data folder " + sofar);
    }
  }
  return Status::Ok();
}

Status OpenFolder(int dirFd, const std::string& name, UniqueFd* fd) {
  fd->Reset(Fs().OpenAt(dirFd, name, O_RDONLY | O_DIRECTORY, 0));
  if (!fd->valid()) return Status::FromErrno(errno, "cannot open " + name);
  return Status::Ok();
}

}  // namespace

std::string DataRoot::Location() {
  const char* dir = std::getenv("RV_DATA_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && *state != '\0') return std::string(state) + "/rv";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr && *home != '\0' ? home : ".") + "/.local/state/rv";
}

Status DataRoot::Open(bool create, DataRoot* root) {
  root->_path = Location();
  if (create) {
    Status s = MakeFolders(root->_path);
    if (!s.ok()) return s;
  }
  root->_fd.Reset(Fs().OpenAt(AT_FDCWD, root->_path, O_RDONLY | O_DIRECTORY, 0));
  if (!root->_fd.valid()) {
    if (errno == ENOENT) {
      return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "the data folder " + root->_path +
                                                         " does not exist (rvqm create makes it)");
    }
    return Status::FromErrno(errno, "cannot open the data folder " + root->_path);
  }
  long type = 0;
  if (Fs().FsType(root->_fd.get(), &type) != 0) {
    return Status::FromErrno(errno, "cannot examine the data folder " + root->_path);
  }
  if (type == kNfsMagic || type == kSmbMagic || type == kCifsMagic || type == kSmb2Magic) {
    return Status::Error(RVRC_RESOURCE_PROBLEM,
                         "the data folder " + root->_path +
                             " is on a network file system, where file locks and renames are "
                             "not safe; set RV_DATA_DIR to a local folder");
  }
  if (create && Fs().MkdirAt(root->_fd.get(), "qmgrs", 0700) != 0 && errno != EEXIST) {
    return Status::FromErrno(errno, "cannot create " + root->_path + "/qmgrs");
  }
  root->_qmgrs.Reset(Fs().OpenAt(root->_fd.get(), "qmgrs", O_RDONLY | O_DIRECTORY, 0));
  if (!root->_qmgrs.valid()) {
    if (errno == ENOENT) {
      return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "no queue manager exists in " + root->_path);
    }
    return Status::FromErrno(errno, "cannot open " + root->_path + "/qmgrs");
  }
  return Status::Ok();
}

Status DataRoot::DefaultQueueManager(std::string* name) const {
  std::map<std::string, std::string> settings;
  Status s = SmallFile::ReadSettings(_fd.get(), "default.ini", &settings);
  if (s.reason() == RVRC_UNKNOWN_OBJECT_NAME || (s.ok() && settings["name"].empty())) {
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                         "no default queue manager is set (rvqm create QM --default)");
  }
  if (!s.ok()) return s;
  *name = settings["name"];
  return Status::Ok();
}

Status DataRoot::OpenQueueManager(const std::string& name, QueueManagerDefinition* definition,
                                  UniqueFd* dir) const {
  dir->Reset(Fs().OpenAt(_qmgrs.get(), ObjectName::Encode(name), O_RDONLY | O_DIRECTORY, 0));
  if (!dir->valid()) {
    if (errno == ENOENT) {
      return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "queue manager " + name + " does not exist");
    }
    return Status::FromErrno(errno, "cannot open queue manager " + name);
  }
  std::map<std::string, std::string> settings;
  Status s = SmallFile::ReadSettings(dir->get(), "qmgr.ini", &settings);
  if (s.reason() == RVRC_UNKNOWN_OBJECT_NAME) {
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                         "queue manager " + name + " has no definition (qmgr.ini)");
  }
  if (!s.ok()) return s;
  definition->name = name;
  definition->backend = settings["backend"];
  return Status::Ok();
}

Status DataRoot::ListQueueManagers(std::vector<std::string>* names) const {
  std::vector<std::string> folders;
  if (Fs().List(_qmgrs.get(), &folders) != 0) {
    return Status::FromErrno(errno, "cannot list " + _path + "/qmgrs");
  }
  names->clear();
  for (const auto& f : folders) {
    std::string name;
    if (ObjectName::Decode(f, &name)) names->push_back(name);
  }
  std::sort(names->begin(), names->end());
  return Status::Ok();
}

Status DataRoot::CreateQueueManager(const std::string& name, bool makeDefault,
                                    const std::map<std::string, std::string>& settings,
                                    const std::function<Status(int qmDirFd)>& prepare) {
  std::string folder = ObjectName::Encode(name);
  if (Fs().MkdirAt(_qmgrs.get(), folder, 0700) != 0) {
    if (errno == EEXIST) {
      return Status::Error(RVRC_OBJECT_NAME_ERROR, "queue manager " + name + " already exists");
    }
    return Status::FromErrno(errno, "cannot create queue manager " + name);
  }
  UniqueFd dir;
  Status s = OpenFolder(_qmgrs.get(), folder, &dir);
  if (s.ok() && Fs().MkdirAt(dir.get(), kQueuesFolder, 0700) != 0) {
    s = Status::FromErrno(errno, "cannot create the queues folder of " + name);
  }
  if (s.ok() && prepare) s = prepare(dir.get());
  // The definition is written last: a queue manager without it does not exist for RVCONNX.
  std::map<std::string, std::string> definition = settings;
  definition["name"] = name;
  if (s.ok()) s = SmallFile::WriteSettings(dir.get(), "qmgr.ini", definition);
  if (s.ok() && Fs().Sync(_qmgrs.get()) != 0) s = Status::FromErrno(errno, "cannot flush " + _path);
  if (s.ok() && makeDefault)
    s = SmallFile::WriteSettings(_fd.get(), "default.ini", {{"name", name}});
  return s;
}

Status DataRoot::DeleteQueueManager(const std::string& name) {
  // Renaming first makes the deletion atomic for RVCONNX, which then no longer finds it.
  std::string doomed = ".deleting-" + ObjectName::Encode(name) + "-" + std::to_string(::getpid());
  if (Fs().RenameAt(_qmgrs.get(), ObjectName::Encode(name), _qmgrs.get(), doomed, true) != 0) {
    if (errno == ENOENT) {
      return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "queue manager " + name + " does not exist");
    }
    return Status::FromErrno(errno, "cannot delete queue manager " + name);
  }
  std::error_code ec;
  std::filesystem::remove_all(_path + "/qmgrs/" + doomed, ec);
  if (ec)
    return Status::Error(RVRC_RESOURCE_PROBLEM, "cannot remove " + doomed + ": " + ec.message());
  std::string current;
  if (DefaultQueueManager(&current).ok() && current == name) {
    Fs().UnlinkAt(_fd.get(), "default.ini", false);
  }
  return Status::Ok();
}

Status DataRoot::SetQuiescing(const std::string& name, bool quiescing) {
  QueueManagerDefinition def;
  UniqueFd dir;
  Status s = OpenQueueManager(name, &def, &dir);
  if (!s.ok()) return s;
  if (quiescing) {
    UniqueFd fd(Fs().OpenAt(dir.get(), kQuiescingFile, O_WRONLY | O_CREAT, 0600));
    if (!fd.valid()) return Status::FromErrno(errno, "cannot quiesce queue manager " + name);
  } else if (Fs().UnlinkAt(dir.get(), kQuiescingFile, false) != 0 && errno != ENOENT) {
    return Status::FromErrno(errno, "cannot start queue manager " + name);
  }
  if (Fs().Sync(dir.get()) != 0)
    return Status::FromErrno(errno, "cannot flush queue manager " + name);
  return Status::Ok();
}

bool DataRoot::IsQuiescing(int qmDirFd) {
  struct stat st;
  return Fs().StatAt(qmDirFd, kQuiescingFile, &st) == 0;
}

void DataRoot::LogError(int qmDirFd, const std::string& text) {
  UniqueFd fd(Fs().OpenAt(qmDirFd, "errors.log", O_WRONLY | O_CREAT | O_APPEND, 0600));
  if (!fd.valid()) return;
  time_t now = ::time(nullptr);
  struct tm tm;
  ::gmtime_r(&now, &tm);
  char stamp[32];
  ::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::string line = std::string(stamp) + " pid " + std::to_string(::getpid()) + ": " + text + "\n";
  Fs().WriteAll(fd.get(), line.data(), line.size());
}

}  // namespace rv
