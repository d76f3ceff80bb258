#include "FolderTree.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "UniqueFd.h"

namespace rv {

Status FolderTree::Remove(FileSystem& fs, int dirFd, const std::string& name) {
  UniqueFd dir(fs.OpenAt(dirFd, name, O_RDONLY | O_DIRECTORY | O_NONBLOCK, 0));
  if (!dir.valid()) {
    if (errno == ENOENT) return Status::Ok();
    if (errno != ENOTDIR && errno != ELOOP) return Status::FromErrno(errno, "cannot open " + name);
    // Not a folder (or a link to one): the entry itself goes.
    if (fs.UnlinkAt(dirFd, name, false) != 0 && errno != ENOENT) {
      return Status::FromErrno(errno, "cannot remove " + name);
    }
    return Status::Ok();
  }
  std::vector<std::string> entries;
  if (fs.List(dir.get(), &entries) != 0) return Status::FromErrno(errno, "cannot list " + name);
  for (const auto& e : entries) {
    struct stat st;
    if (fs.StatAt(dir.get(), e, &st) != 0) {
      if (errno == ENOENT) continue;
      return Status::FromErrno(errno, "cannot examine " + name + "/" + e);
    }
    Status s = S_ISDIR(st.st_mode) ? Remove(fs, dir.get(), e) : Status::Ok();
    if (!s.ok()) return s;
    if (!S_ISDIR(st.st_mode) && fs.UnlinkAt(dir.get(), e, false) != 0 && errno != ENOENT) {
      return Status::FromErrno(errno, "cannot remove " + name + "/" + e);
    }
  }
  dir.Reset();
  if (fs.UnlinkAt(dirFd, name, true) != 0 && errno != ENOENT) {
    return Status::FromErrno(errno, "cannot remove " + name);
  }
  return Status::Ok();
}

std::string FolderTree::PassingName(const char* kind, const std::string& folder) {
  static std::atomic<unsigned> counter{0};
  return std::string(".") + kind + "-" + folder + "-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter++);
}

void FolderTree::Sweep(FileSystem& fs, int dirFd) {
  std::vector<std::string> names;
  if (fs.List(dirFd, &names) != 0) return;
  for (const auto& n : names) {
    if (n.rfind(".new-", 0) != 0 && n.rfind(".deleting-", 0) != 0) continue;
    // ".kind-folder-pid-n": the pid is the last but one part.
    size_t last = n.rfind('-');
    size_t before =
        last == std::string::npos || last == 0 ? std::string::npos : n.rfind('-', last - 1);
    if (before == std::string::npos) continue;
    long pid = std::strtol(n.c_str() + before + 1, nullptr, 10);
    if (pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
      Remove(fs, dirFd, n);
    }
  }
}

}  // namespace rv
