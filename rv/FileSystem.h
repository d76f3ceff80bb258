// FileSystem: every file-system call that the data root and the queue store make, in one small
// interface. The store is handed one when it is opened (DataRoot::Open passes it down to every
// queue manager, queue and message file below it), so a test builds a store on a forwarding
// wrapper and fails the n-th call with EIO or ENOSPC without touching any other user of the
// library in the process. Calls follow the POSIX convention: on failure they return -1 (Map:
// null) and set errno. Names are single path components relative to a directory descriptor, and
// no call follows a symbolic link in the name; only OpenPath and MkdirAt with AT_FDCWD take the
// data root's own path, which may cross symbolic links.
//
// Implementations must be safe to call from any thread.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace rv {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The real file system, which the calls of the C interface use.
  static FileSystem& Real();

  // openat(2) with O_NOFOLLOW | O_CLOEXEC added. Returns the new descriptor.
  virtual int OpenAt(int dirFd, const std::string& name, int flags, mode_t mode) = 0;
  // open(2) of a path that may cross symbolic links (the data root), with O_CLOEXEC added.
  virtual int OpenPath(const std::string& path, int flags) = 0;
  // Writes all of the bytes at the file's current offset (retries short writes).
  virtual int WriteAll(int fd, const void* data, size_t length) = 0;
  // pread(2) until length bytes or the end of the file: returns the number of bytes read.
  virtual ssize_t ReadAt(int fd, void* data, size_t length, off_t offset) = 0;
  // pwrite(2) of all of the bytes at offset (retries short writes).
  virtual int WriteAt(int fd, const void* data, size_t length, off_t offset) = 0;
  virtual int Sync(int fd) = 0;
  // ftruncate(2).
  virtual int Truncate(int fd, off_t length) = 0;
  // Renames; with noReplace the call fails with EEXIST instead of replacing a target.
  virtual int RenameAt(int fromDir, const std::string& from, int toDir, const std::string& to,
                       bool noReplace) = 0;
  virtual int UnlinkAt(int dirFd, const std::string& name, bool directory) = 0;
  virtual int MkdirAt(int dirFd, const std::string& name, mode_t mode) = 0;
  // The names in the directory, without "." and "..", in no particular order.
  virtual int List(int dirFd, std::vector<std::string>* names) = 0;
  // flock(2) with LOCK_EX or LOCK_SH, and LOCK_NB when wait is false.
  virtual int Lock(int fd, bool exclusive, bool wait) = 0;
  // flock(2) with LOCK_UN.
  virtual int Unlock(int fd) = 0;
  // An open-file-description lock (F_OFD_SETLK, F_OFD_SETLKW when wait) on the one byte at
  // offset: held by the open file, like flock, so two descriptors of one process exclude each
  // other. Taking a lock already held changes its kind. The byte may lie beyond the end.
  virtual int LockByte(int fd, off_t offset, bool exclusive, bool wait) = 0;
  virtual int UnlockByte(int fd, off_t offset) = 0;
  virtual int StatAt(int dirFd, const std::string& name, struct stat* st) = 0;
  virtual int Fstat(int fd, struct stat* st) = 0;
  // The file-system type (statfs f_type) of the file system that holds fd.
  virtual int FsType(int fd, long* type) = 0;
  // Maps length bytes of the file from offset (a multiple of the page size), shared and
  // writable; null on failure.
  virtual void* Map(int fd, off_t offset, size_t length) = 0;
  virtual void Unmap(void* address, size_t length) = 0;
  // The identifier of the running boot of the machine; empty when it cannot be read. Counters
  // kept in shared memory are trusted only within the boot that wrote them.
  virtual const std::string& BootId() = 0;
};

}  // namespace rv
