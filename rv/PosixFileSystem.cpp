#include "PosixFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace rv {

int PosixFileSystem::OpenAt(int dirFd, const std::string& name, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(dirFd, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int PosixFileSystem::OpenPath(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

namespace {

// Writes all of the bytes with write(done, p, n), which writes from p (done bytes in) and
// returns what write(2) or pwrite(2) returns; retries short and interrupted writes.
template <typename Write>
int WriteAllWith(const void* data, size_t length, Write write) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < length) {
    ssize_t n = write(done, p + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = ENOSPC;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int PosixFileSystem::WriteAll(int fd, const void* data, size_t length) {
  return WriteAllWith(data, length,
                      [fd](size_t, const char* p, size_t n) { return ::write(fd, p, n); });
}

ssize_t PosixFileSystem::ReadAt(int fd, void* data, size_t length, off_t offset) {
  size_t done = 0;
  char* p = static_cast<char*>(data);
  while (done < length) {
    ssize_t n = ::pread(fd, p + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

int PosixFileSystem::WriteAt(int fd, const void* data, size_t length, off_t offset) {
  return WriteAllWith(data, length, [fd, offset](size_t done, const char* p, size_t n) {
    return ::pwrite(fd, p, n, offset + static_cast<off_t>(done));
  });
}

int PosixFileSystem::Sync(int fd) {
  return ::fsync(fd);
}

int PosixFileSystem::Truncate(int fd, off_t length) {
  int r;
  do {
    r = ::ftruncate(fd, length);
  } while (r != 0 && errno == EINTR);
  return r;
}

int PosixFileSystem::RenameAt(int fromDir, const std::string& from, int toDir,
                              const std::string& to, bool noReplace) {
  if (!noReplace) return ::renameat(fromDir, from.c_str(), toDir, to.c_str());
  int r = ::renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE);
  if (r == 0 || (errno != EINVAL && errno != ENOSYS)) return r;
  // File systems without RENAME_NOREPLACE: link refuses to replace, then drop the old name.
  if (::linkat(fromDir, from.c_str(), toDir, to.c_str(), 0) != 0) return -1;
  return ::unlinkat(fromDir, from.c_str(), 0);
}

int PosixFileSystem::UnlinkAt(int dirFd, const std::string& name, bool directory) {
  return ::unlinkat(dirFd, name.c_str(), directory ? AT_REMOVEDIR : 0);
}

int PosixFileSystem::MkdirAt(int dirFd, const std::string& name, mode_t mode) {
  return ::mkdirat(dirFd, name.c_str(), mode);
}

int PosixFileSystem::List(int dirFd, std::vector<std::string>* names) {
  // A fresh descriptor: readdir state must not be shared with the caller's descriptor.
  int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  names->clear();
  errno = 0;
  while (struct dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names->emplace_back(e->d_name);
  }
  int err = errno;
  ::closedir(dir);
  if (err != 0) {
    errno = err;
    return -1;
  }
  return 0;
}

int PosixFileSystem::Lock(int fd, bool exclusive, bool wait) {
  int op = (exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
  int r;
  do {
    r = ::flock(fd, op);
  } while (r != 0 && errno == EINTR);
  return r;
}

int PosixFileSystem::Unlock(int fd) {
  return ::flock(fd, LOCK_UN);
}

namespace {

int ByteLock(int fd, off_t offset, short type, int command) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = offset;
  lock.l_len = 1;
  int r;
  do {
    r = ::fcntl(fd, command, &lock);
  } while (r != 0 && errno == EINTR);
  return r;
}

}  // namespace

int PosixFileSystem::LockByte(int fd, off_t offset, bool exclusive, bool wait) {
  return ByteLock(fd, offset, exclusive ? F_WRLCK : F_RDLCK, wait ? F_OFD_SETLKW : F_OFD_SETLK);
}

int PosixFileSystem::UnlockByte(int fd, off_t offset) {
  return ByteLock(fd, offset, F_UNLCK, F_OFD_SETLK);
}

int PosixFileSystem::StatAt(int dirFd, const std::string& name, struct stat* st) {
  return ::fstatat(dirFd, name.c_str(), st, AT_SYMLINK_NOFOLLOW);
}

int PosixFileSystem::Fstat(int fd, struct stat* st) {
  return ::fstat(fd, st);
}

int PosixFileSystem::FsType(int fd, long* type) {
  struct statfs sf;
  if (::fstatfs(fd, &sf) != 0) return -1;
  *type = static_cast<long>(sf.f_type);
  return 0;
}

void* PosixFileSystem::Map(int fd, off_t offset, size_t length) {
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
  return p == MAP_FAILED ? nullptr : p;
}

void PosixFileSystem::Unmap(void* address, size_t length) {
  ::munmap(address, length);
}

const std::string& PosixFileSystem::BootId() {
  // Read once per process and then returned without a lock or a copy; an identifier that could
  // not be read is tried again by the next call.
  static std::mutex mutex;
  static std::atomic<bool> read{false};
  static std::string known;
  static const std::string unknown;
  if (read.load(std::memory_order_acquire)) return known;
  std::lock_guard<std::mutex> lock(mutex);
  if (read.load(std::memory_order_relaxed)) return known;
  int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return unknown;
  char text[36] = {};
  const bool whole = ReadAt(fd, text, sizeof text, 0) == static_cast<ssize_t>(sizeof text);
  ::close(fd);
  if (!whole) return unknown;
  known.assign(text, sizeof text);
  read.store(true, std::memory_order_release);
  return known;
}

FileSystem& FileSystem::Real() {
  static PosixFileSystem* real = new PosixFileSystem();  // never destroyed: used from atexit too
  return *real;
}

}  // namespace rv
