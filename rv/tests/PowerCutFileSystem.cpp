#include "PowerCutFileSystem.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "FolderTree.h"
#include "UniqueFd.h"

namespace rvtest {

namespace {

constexpr char kBootPattern[] = "00000000-0000-4000-8000-%012x";

// The whole content of the file.
std::string Content(int fd) {
  std::string content;
  char buf[65536];
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n <= 0) return content;
    content.append(buf, static_cast<size_t>(n));
    at += n;
  }
}

}  // namespace

PowerCutFileSystem::PowerCutFileSystem(const std::string& stash) : _stashPath(stash) {
  _stash = ::open(stash.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (_stash < 0) throw std::runtime_error("cannot open the stash folder " + stash);
  char boot[40];
  std::snprintf(boot, sizeof boot, kBootPattern, static_cast<unsigned>(_boots));
  _bootId = boot;
}

PowerCutFileSystem::~PowerCutFileSystem() {
  CutAt(0);
  ::close(_stash);
}

void PowerCutFileSystem::CutAt(int n) {
  // Whatever happened before counts as durable.
  for (auto& c : _log) {
    if (c.dirA >= 0) ::close(c.dirA);
    if (c.dirB >= 0) ::close(c.dirB);
  }
  for (auto& [key, w] : _written) ::close(w.fd);
  _log.clear();
  _written.clear();
  _cutAt = n;
  _changes = 0;
  _cut = false;
}

bool PowerCutFileSystem::Before(const char* call) {
  (void)call;
  if (!_cut) return true;
  errno = EIO;
  return false;
}

bool PowerCutFileSystem::Changing() {
  if (!_cut) {
    ++_changes;
    _cut = _cutAt > 0 && _changes >= _cutAt;
  }
  if (!_cut) return true;
  errno = EIO;
  return false;
}

bool PowerCutFileSystem::KeyOf(int fd, Key* key) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  *key = {st.st_dev, st.st_ino};
  return true;
}

bool PowerCutFileSystem::KeyAt(int dirFd, const std::string& name, Key* key) {
  struct stat st;
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  *key = {st.st_dev, st.st_ino};
  return true;
}

void PowerCutFileSystem::Track(int fd, bool fresh) {
  Key key;
  if (!KeyOf(fd, &key) || _written.count(key) != 0) return;
  Written w;
  // A descriptor of its own that can read and write, whatever fd was opened for.
  w.fd = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDWR | O_CLOEXEC);
  if (w.fd < 0) throw std::runtime_error("cannot keep a descriptor of a written file");
  if (!fresh) w.durable = Content(w.fd);
  _written.emplace(key, std::move(w));
}

PowerCutFileSystem::Change& PowerCutFileSystem::Log(Kind kind, Key node, int dirA,
                                                    const std::string& nameA) {
  Change c;
  c.kind = kind;
  c.node = node;
  c.dirA = ::fcntl(dirA, F_DUPFD_CLOEXEC, 0);
  c.nameA = nameA;
  KeyOf(dirA, &c.keyA);
  _log.push_back(std::move(c));
  return _log.back();
}

std::string PowerCutFileSystem::NextStashName() {
  return "s" + std::to_string(++_stashCount);
}

int PowerCutFileSystem::OpenAt(int dirFd, const std::string& name, int flags, mode_t mode) {
  if ((flags & O_CREAT) == 0) return ForwardingFileSystem::OpenAt(dirFd, name, flags, mode);
  if (!Changing()) return -1;
  Key before;
  const bool existed = KeyAt(dirFd, name, &before);
  if (existed && (flags & O_TRUNC) != 0) {
    rv::UniqueFd old(_real.OpenAt(dirFd, name, O_RDONLY | O_NONBLOCK, 0));
    if (old.valid()) Track(old.get(), false);
  }
  int fd = _real.OpenAt(dirFd, name, flags, mode);
  Key node;
  if (fd >= 0 && !existed && KeyOf(fd, &node)) {
    Log(Kind::kCreate, node, dirFd, name);
    Track(fd, true);
  }
  return fd;
}

int PowerCutFileSystem::WriteAll(int fd, const void* data, size_t length) {
  if (!Changing()) return -1;
  Track(fd, false);
  return _real.WriteAll(fd, data, length);
}

int PowerCutFileSystem::WriteAt(int fd, const void* data, size_t length, off_t offset) {
  if (!Changing()) return -1;
  Track(fd, false);
  return _real.WriteAt(fd, data, length, offset);
}

int PowerCutFileSystem::Truncate(int fd, off_t length) {
  if (!Changing()) return -1;
  Track(fd, false);
  return _real.Truncate(fd, length);
}

int PowerCutFileSystem::Sync(int fd) {
  if (!Changing()) return -1;
  // Only recorded: the power never really goes, so the real flush would only cost time.
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  const Key key{st.st_dev, st.st_ino};
  if (S_ISDIR(st.st_mode)) {
    for (size_t i = 0; i < _log.size(); ++i) {
      if (_log[i].keyA == key || (_log[i].dirB >= 0 && _log[i].keyB == key)) MakeDurable(i);
    }
    return 0;
  }
  auto it = _written.find(key);
  if (it != _written.end()) {
    it->second.durable = Content(it->second.fd);
  }
  return 0;
}

void PowerCutFileSystem::MakeDurable(size_t index) {
  if (_log[index].durable) return;
  _log[index].durable = true;
  const Change c = _log[index];
  for (size_t j = 0; j < index; ++j) {
    // The earlier changes of the same file or folder, and those of the folders it was in.
    const Key node = _log[j].node;
    if (node == c.node || node == c.keyA || (c.dirB >= 0 && node == c.keyB)) MakeDurable(j);
  }
}

int PowerCutFileSystem::RenameAt(int fromDir, const std::string& from, int toDir,
                                 const std::string& to, bool noReplace) {
  if (!Changing()) return -1;
  Key node, target;
  if (!KeyAt(fromDir, from, &node) || (noReplace && KeyAt(toDir, to, &target))) {
    return _real.RenameAt(fromDir, from, toDir, to, noReplace);
  }
  std::string stashed;
  if (!noReplace && KeyAt(toDir, to, &target)) {
    // The replaced target is kept, so that the rename can be undone.
    stashed = NextStashName();
    if (_real.RenameAt(toDir, to, _stash, stashed, true) != 0) return -1;
  }
  if (_real.RenameAt(fromDir, from, toDir, to, true) != 0) {
    const int error = errno;
    if (!stashed.empty()) _real.RenameAt(_stash, stashed, toDir, to, true);
    errno = error;
    return -1;
  }
  Change& c = Log(Kind::kRename, node, fromDir, from);
  c.dirB = ::fcntl(toDir, F_DUPFD_CLOEXEC, 0);
  c.nameB = to;
  KeyOf(toDir, &c.keyB);
  c.stashed = stashed;
  return 0;
}

int PowerCutFileSystem::UnlinkAt(int dirFd, const std::string& name, bool directory) {
  if (!Changing()) return -1;
  struct stat st;
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (directory != S_ISDIR(st.st_mode)) {
    errno = directory ? ENOTDIR : EISDIR;
    return -1;
  }
  if (directory) {
    rv::UniqueFd dir(_real.OpenAt(dirFd, name, O_RDONLY | O_DIRECTORY, 0));
    std::vector<std::string> entries;
    if (!dir.valid() || _real.List(dir.get(), &entries) != 0) return -1;
    if (!entries.empty()) {
      errno = ENOTEMPTY;
      return -1;
    }
  }
  const std::string stashed = NextStashName();
  if (_real.RenameAt(dirFd, name, _stash, stashed, true) != 0) return -1;
  const Key node{st.st_dev, st.st_ino};
  Log(Kind::kUnlink, node, dirFd, name).stashed = stashed;
  _removed.insert(node);
  return 0;
}

int PowerCutFileSystem::MkdirAt(int dirFd, const std::string& name, mode_t mode) {
  if (!Changing()) return -1;
  if (_real.MkdirAt(dirFd, name, mode) != 0) return -1;
  Key node;
  // A path from the working folder (the data root's own folders) counts as durable at once.
  if (dirFd != AT_FDCWD && KeyAt(dirFd, name, &node)) Log(Kind::kMkdir, node, dirFd, name);
  return 0;
}

int PowerCutFileSystem::Fstat(int fd, struct stat* st) {
  if (ForwardingFileSystem::Fstat(fd, st) != 0) return -1;
  if (_removed.count({st->st_dev, st->st_ino}) != 0) st->st_nlink = 0;
  return 0;
}

void* PowerCutFileSystem::Map(int fd, off_t offset, size_t length) {
  if (!Before("map")) return nullptr;
  // Written through the mapping from now on, without a call to see.
  Track(fd, false);
  return _real.Map(fd, offset, length);
}

bool PowerCutFileSystem::Undo(const Change& c) {
  switch (c.kind) {
    case Kind::kCreate:
      return ::unlinkat(c.dirA, c.nameA.c_str(), 0) == 0;
    case Kind::kMkdir:
      return rv::FolderTree::Remove(_real, c.dirA, c.nameA).ok();
    case Kind::kRename:
      if (_real.RenameAt(c.dirB, c.nameB, c.dirA, c.nameA, true) != 0) return false;
      return c.stashed.empty() || _real.RenameAt(_stash, c.stashed, c.dirB, c.nameB, true) == 0;
    case Kind::kUnlink:
      _removed.erase(c.node);
      return _real.RenameAt(_stash, c.stashed, c.dirA, c.nameA, true) == 0;
  }
  return false;
}

bool PowerCutFileSystem::Restart() {
  _why.clear();
  for (size_t i = _log.size(); i-- > 0;) {
    const Change& c = _log[i];
    if (!c.durable && !Undo(c) && _why.empty()) {
      _why = "cannot undo a change of " + c.nameA + " (" + std::to_string(errno) + ")";
    }
  }
  for (auto& [key, w] : _written) {
    if (::ftruncate(w.fd, 0) != 0 || ::pwrite(w.fd, w.durable.data(), w.durable.size(), 0) !=
                                         static_cast<ssize_t>(w.durable.size())) {
      if (_why.empty()) _why = "cannot restore the data of a file";
    }
  }
  CutAt(0);
  char boot[40];
  std::snprintf(boot, sizeof boot, kBootPattern, static_cast<unsigned>(++_boots));
  _bootId = boot;
  return _why.empty();
}

}  // namespace rvtest
