// FileSystem: every file-system call that the queue store makes, in one small interface, so that
// tests can put a forwarding wrapper in place and fail the n-th call with EIO or ENOSPC. Calls
// follow the POSIX convention: on failure they return -1 and set errno. Names are single path
// components relative to a directory descriptor; no call follows a symbolic link in the name.
//
// The store uses the process-wide instance returned by Fs(). SetFsForTesting swaps it; it is
// not synchronised with calls in progress, so tests swap it only between calls.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace rv {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // openat(2) with O_NOFOLLOW | O_CLOEXEC added. Returns the new descriptor.
  virtual int OpenAt(int dirFd, const std::string& name, int flags, mode_t mode) = 0;
  // Writes all of the bytes at the file's current offset (retries short writes).
  virtual int WriteAll(int fd, const void* data, size_t length) = 0;
  // pread(2): returns the number of bytes read.
  virtual ssize_t ReadAt(int fd, void* data, size_t length, off_t offset) = 0;
  virtual int Sync(int fd) = 0;
  // Renames; with noReplace the call fails with EEXIST instead of replacing a target.
  virtual int RenameAt(int fromDir, const std::string& from, int toDir, const std::string& to,
                       bool noReplace) = 0;
  virtual int LinkAt(int fromDir, const std::string& from, int toDir, const std::string& to) = 0;
  virtual int UnlinkAt(int dirFd, const std::string& name, bool directory) = 0;
  virtual int MkdirAt(int dirFd, const std::string& name, mode_t mode) = 0;
  // The names in the directory, without "." and "..", in no particular order.
  virtual int List(int dirFd, std::vector<std::string>* names) = 0;
  // flock(2) with LOCK_EX or LOCK_SH, and LOCK_NB when wait is false.
  virtual int Lock(int fd, bool exclusive, bool wait) = 0;
  virtual int StatAt(int dirFd, const std::string& name, struct stat* st) = 0;
  virtual int Fstat(int fd, struct stat* st) = 0;
  // The file-system type (statfs f_type) of the file system that holds fd.
  virtual int FsType(int fd, long* type) = 0;
};

// The instance the store uses: the real one unless a test installed another.
FileSystem& Fs();
// Installs fs (not owned; null restores the real one).
void SetFsForTesting(FileSystem* fs);

}  // namespace rv
