#include "DataRoot.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "FolderTree.h"
#include "ObjectName.h"
#include "SmallFile.h"

namespace rv {

namespace {

constexpr long kNfsMagic = 0x6969;
constexpr long kSmbMagic = 0x517B;
constexpr long kCifsMagic = static_cast<long>(0xFF534D42u);
constexpr long kSmb2Magic = static_cast<long>(0xFE534D42u);
constexpr long kTmpfsMagic = 0x01021994;
constexpr long kRamfsMagic = static_cast<long>(0x858458F6u);

// mkdir -p with mode 0700 for every folder it makes.
Status MakeFolders(FileSystem& fs, const std::string& path) {
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    std::string sofar = path.substr(0, next);
    pos = next + 1;
    if (sofar.empty()) continue;
    if (fs.MkdirAt(AT_FDCWD, sofar, 0700) != 0 && errno != EEXIST) {
      return Status::FromErrno(errno, "cannot create the data folder " + sofar);
    }
  }
  return Status::Ok();
}

Status OpenFolder(FileSystem& fs, int dirFd, const std::string& name, UniqueFd* fd) {
  fd->Reset(fs.OpenAt(dirFd, name, O_RDONLY | O_DIRECTORY, 0));
  if (!fd->valid()) return Status::FromErrno(errno, "cannot open " + name);
  return Status::Ok();
}

std::string UserName(uid_t uid) {
  struct passwd pw, *found = nullptr;
  char buf[1024];
  if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) {
    return std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
  }
  return "uid " + std::to_string(uid);
}

bool IsUserOrRoot(uid_t uid) {
  return uid == ::geteuid() || uid == 0;
}

std::string Mode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// The symbolic link at link (in folder, on the way to the data folder path), which lstat
// described as st, is safe to follow when it belongs to this user or root and lies in a folder
// that only they may change: anyone else could point it, or a link put in its place, at a
// folder of theirs.
Status CheckLink(FileSystem& fs, const std::string& link, const struct stat& st,
                 const std::string& folder, const std::string& path) {
  const std::string what =
      "the data folder " + path + " is reached through the symbolic link " + link + ", which ";
  const std::string risk = " and take, change or forge your messages; ";
  const std::string fix =
      "set RV_DATA_DIR to a path without the link, or replace it with a link or folder of your "
      "own";
  if (!IsUserOrRoot(st.st_uid)) {
    return Status::Error(RVRC_NOT_AUTHORIZED, what + "belongs to user " + UserName(st.st_uid) +
                                                  ", not to you (" + UserName(::geteuid()) +
                                                  ") or root: its owner could point it at a "
                                                  "folder of theirs" +
                                                  risk + fix);
  }
  struct stat dir;
  if (fs.StatAt(AT_FDCWD, folder + "/.", &dir) != 0) {
    return Status::FromErrno(errno, "cannot examine " + folder);
  }
  if (!IsUserOrRoot(dir.st_uid)) {
    return Status::Error(RVRC_NOT_AUTHORIZED,
                         what + "is in the folder " + folder + " of user " + UserName(dir.st_uid) +
                             ", not yours (" + UserName(::geteuid()) +
                             ") or root's: its owner could replace the link" + risk + fix);
  }
  if ((dir.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (dir.st_mode & S_ISVTX) == 0) {
    return Status::Error(RVRC_NOT_AUTHORIZED, what + "is in the folder " + folder +
                                                  ", which other users may write (mode " +
                                                  Mode(dir.st_mode) +
                                                  "): they could replace the link" + risk +
                                                  "chmod go-w " + folder + ", or " + fix);
  }
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

Status DataRoot::Open(bool create, DataRoot* root, FileSystem& fs) {
  root->_fs = &fs;
  root->_path = Location();
  if (create) {
    Status s = MakeFolders(fs, root->_path);
    if (!s.ok()) return s;
  }
  Status checked = CheckLinks(fs, root->_path);
  if (!checked.ok()) return checked;
  root->_fd.Reset(fs.OpenPath(root->_path, O_RDONLY | O_DIRECTORY));
  if (!root->_fd.valid()) {
    if (errno == ENOENT) {
      return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "the data folder " + root->_path +
                                                         " does not exist (rvqm create makes it)");
    }
    return Status::FromErrno(errno, "cannot open the data folder " + root->_path);
  }
  Status s = CheckPrivate(fs, root->_fd.get(), "the data folder", root->_path);
  if (!s.ok()) return s;
  long type = 0;
  if (fs.FsType(root->_fd.get(), &type) != 0) {
    return Status::FromErrno(errno, "cannot examine the data folder " + root->_path);
  }
  if (type == kNfsMagic || type == kSmbMagic || type == kCifsMagic || type == kSmb2Magic) {
    return Status::Error(RVRC_RESOURCE_PROBLEM,
                         "the data folder " + root->_path +
                             " is on a network file system, where file locks and renames are "
                             "not safe; set RV_DATA_DIR to a local folder");
  }
  root->_inMemory = type == kTmpfsMagic || type == kRamfsMagic;
  if (create && fs.MkdirAt(root->_fd.get(), "qmgrs", 0700) != 0 && errno != EEXIST) {
    return Status::FromErrno(errno, "cannot create " + root->_path + "/qmgrs");
  }
  root->_qmgrs.Reset(fs.OpenAt(root->_fd.get(), "qmgrs", O_RDONLY | O_DIRECTORY, 0));
  if (!root->_qmgrs.valid()) {
    if (errno == ENOENT) {
      return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "no queue manager exists in " + root->_path);
    }
    return Status::FromErrno(errno, "cannot open " + root->_path + "/qmgrs");
  }
  return CheckPrivate(fs, root->_qmgrs.get(), "the folder", root->_path + "/qmgrs");
}

Status DataRoot::CheckLinks(FileSystem& fs, const std::string& path) {
  size_t end = 0;
  while (true) {
    const size_t start = path.find_first_not_of('/', end);
    if (start == std::string::npos) return Status::Ok();
    end = std::min(path.find('/', start), path.size());
    struct stat st;
    // What does not exist (yet) is no link; what cannot be examined, OpenPath reports.
    if (fs.StatAt(AT_FDCWD, path.substr(0, end), &st) != 0) return Status::Ok();
    if (!S_ISLNK(st.st_mode)) continue;
    // The folder as written, without its trailing slashes; its own links are checked already.
    std::string folder = path.substr(0, start);
    const size_t last = folder.find_last_not_of('/');
    folder = folder.empty() ? "." : last == std::string::npos ? "/" : folder.substr(0, last + 1);
    Status s = CheckLink(fs, path.substr(0, end), st, folder, path);
    if (!s.ok()) return s;
  }
}

Status DataRoot::CheckPrivate(FileSystem& fs, int fd, const std::string& what,
                              const std::string& path) {
  struct stat st;
  if (fs.Fstat(fd, &st) != 0) return Status::FromErrno(errno, "cannot examine " + path);
  if (st.st_uid != ::geteuid()) {
    return Status::Error(RVRC_NOT_AUTHORIZED,
                         what + " " + path + " belongs to user " + UserName(st.st_uid) +
                             ", not to you (" + UserName(::geteuid()) +
                             "): its owner could take, change or forge your messages; use a "
                             "data folder of your own (RV_DATA_DIR)");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return Status::Error(RVRC_NOT_AUTHORIZED,
                         what + " " + path + " may be written by other users (mode " +
                             Mode(st.st_mode) +
                             "): they could take, change or forge your messages; make it "
                             "private with chmod go-w " +
                             path);
  }
  return Status::Ok();
}

Status DataRoot::DefaultQueueManager(std::string* name) const {
  std::map<std::string, std::string> settings;
  Status s = SmallFile::ReadSettings(_fd.get(), "default.ini", &settings, *_fs);
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
  const std::string folder = ObjectName::Encode(name);
  dir->Reset(_fs->OpenAt(_qmgrs.get(), folder, O_RDONLY | O_DIRECTORY, 0));
  if (!dir->valid()) {
    if (errno == ENOENT) {
      return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "queue manager " + name + " does not exist");
    }
    return Status::FromErrno(errno, "cannot open queue manager " + name);
  }
  Status s = CheckPrivate(*_fs, dir->get(), "the folder of queue manager " + name,
                          _path + "/qmgrs/" + folder);
  if (!s.ok()) return s;
  std::map<std::string, std::string> settings;
  s = SmallFile::ReadSettings(dir->get(), "qmgr.ini", &settings, *_fs);
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
  if (_fs->List(_qmgrs.get(), &folders) != 0) {
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
  FileSystem& fs = *_fs;
  const std::string folder = ObjectName::Encode(name);
  const Status exists =
      Status::Error(RVRC_OBJECT_NAME_ERROR, "queue manager " + name + " already exists");
  struct stat st;
  if (fs.StatAt(_qmgrs.get(), folder, &st) == 0) return exists;
  // Built under a hidden name (which no listing shows) and renamed into place in one step.
  const std::string staging = FolderTree::PassingName("new", folder);
  if (fs.MkdirAt(_qmgrs.get(), staging, 0700) != 0) {
    return Status::FromErrno(errno, "cannot create queue manager " + name);
  }
  UniqueFd dir;
  Status s = OpenFolder(fs, _qmgrs.get(), staging, &dir);
  if (s.ok() && fs.MkdirAt(dir.get(), kQueuesFolder, 0700) != 0) {
    s = Status::FromErrno(errno, "cannot create the queues folder of " + name);
  }
  if (s.ok() && prepare) s = prepare(dir.get());
  std::map<std::string, std::string> definition = settings;
  definition["name"] = name;
  if (s.ok()) s = SmallFile::Create(dir.get(), "qmgr.ini", definition, fs);
  if (s.ok() && fs.Sync(dir.get()) != 0) {
    s = Status::FromErrno(errno, "cannot flush queue manager " + name);
  }
  dir.Reset();
  if (s.ok() && fs.RenameAt(_qmgrs.get(), staging, _qmgrs.get(), folder, true) != 0) {
    s = errno == EEXIST || errno == ENOTEMPTY
            ? exists
            : Status::FromErrno(errno, "cannot create queue manager " + name);
  }
  if (!s.ok()) {
    FolderTree::Remove(fs, _qmgrs.get(), staging);
    return s;
  }
  if (fs.Sync(_qmgrs.get()) != 0) s = Status::FromErrno(errno, "cannot flush " + _path);
  if (s.ok() && makeDefault) {
    s = SmallFile::WriteSettings(_fd.get(), "default.ini", {{"name", name}}, fs);
  }
  // Half a success is none: a queue manager that could not be made the default, or not be
  // flushed, goes again, so that the same command can simply be run again.
  if (!s.ok()) DeleteQueueManager(name);
  return s;
}

Status DataRoot::DeleteQueueManager(const std::string& name) {
  FileSystem& fs = *_fs;
  // Renaming first makes the deletion atomic for RVCONNX, which then no longer finds it.
  const std::string folder = ObjectName::Encode(name);
  const std::string doomed = FolderTree::PassingName("deleting", folder);
  if (fs.RenameAt(_qmgrs.get(), folder, _qmgrs.get(), doomed, true) != 0) {
    if (errno == ENOENT) {
      return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "queue manager " + name + " does not exist");
    }
    return Status::FromErrno(errno, "cannot delete queue manager " + name);
  }
  // Gone only once the rename is on disk; a power cut must not bring it back with its queues.
  if (fs.Sync(_qmgrs.get()) != 0) {
    Status s = Status::FromErrno(errno, "cannot flush " + _path + "/qmgrs");
    if (fs.RenameAt(_qmgrs.get(), doomed, _qmgrs.get(), folder, true) == 0) return s;
    // It could not be put back either: it is gone, though not known to be gone on disk.
  }
  // Without its definition, a folder that could not be removed is no queue manager: nothing
  // that still holds it open defines a queue in it.
  UniqueFd dir(fs.OpenAt(_qmgrs.get(), doomed, O_RDONLY | O_DIRECTORY, 0));
  if (dir.valid()) fs.UnlinkAt(dir.get(), "qmgr.ini", false);
  dir.Reset();
  std::string current;
  if (DefaultQueueManager(&current).ok() && current == name &&
      fs.UnlinkAt(_fd.get(), "default.ini", false) == 0) {
    // Best effort: a default that comes back after a power cut names no queue manager.
    fs.Sync(_fd.get());
  }
  // Deleted from here on. What a failure leaves of its folder is hidden, and swept up later.
  FolderTree::Remove(fs, _qmgrs.get(), doomed);
  FolderTree::Sweep(fs, _qmgrs.get());
  return Status::Ok();
}

Status DataRoot::SetQuiescing(const std::string& name, bool quiescing) {
  QueueManagerDefinition def;
  UniqueFd dir;
  Status s = OpenQueueManager(name, &def, &dir);
  if (!s.ok()) return s;
  FileSystem& fs = *_fs;
  if (quiescing) {
    UniqueFd fd(fs.OpenAt(dir.get(), kQuiescingFile, O_WRONLY | O_CREAT | O_NONBLOCK, 0600));
    if (!fd.valid()) return Status::FromErrno(errno, "cannot quiesce queue manager " + name);
  } else if (fs.UnlinkAt(dir.get(), kQuiescingFile, false) != 0 && errno != ENOENT) {
    return Status::FromErrno(errno, "cannot start queue manager " + name);
  }
  if (fs.Sync(dir.get()) != 0)
    return Status::FromErrno(errno, "cannot flush queue manager " + name);
  return Status::Ok();
}

bool DataRoot::IsQuiescing(int qmDirFd, FileSystem& fs) {
  struct stat st;
  return fs.StatAt(qmDirFd, kQuiescingFile, &st) == 0;
}

void DataRoot::LogError(int qmDirFd, const std::string& text, FileSystem& fs) {
  UniqueFd fd(fs.OpenAt(qmDirFd, "errors.log", O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK, 0600));
  if (!fd.valid()) return;
  time_t now = ::time(nullptr);
  struct tm tm;
  ::gmtime_r(&now, &tm);
  char stamp[32];
  ::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
  std::string line = std::string(stamp) + " pid " + std::to_string(::getpid()) + ": " + text + "\n";
  fs.WriteAll(fd.get(), line.data(), line.size());
}

}  // namespace rv
