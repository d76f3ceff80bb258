// PosixFileSystem: the FileSystem interface on the real system calls. Stateless; safe from any
// number of threads and processes.
#pragma once

#include "FileSystem.h"

namespace rv {

class PosixFileSystem : public FileSystem {
 public:
  int OpenAt(int dirFd, const std::string& name, int flags, mode_t mode) override;
  int OpenPath(const std::string& path, int flags) override;
  int WriteAll(int fd, const void* data, size_t length) override;
  ssize_t ReadAt(int fd, void* data, size_t length, off_t offset) override;
  int WriteAt(int fd, const void* data, size_t length, off_t offset) override;
  int Sync(int fd) override;
  int Truncate(int fd, off_t length) override;
  int RenameAt(int fromDir, const std::string& from, int toDir, const std::string& to,
               bool noReplace) override;
  int UnlinkAt(int dirFd, const std::string& name, bool directory) override;
  int MkdirAt(int dirFd, const std::string& name, mode_t mode) override;
  int List(int dirFd, std::vector<std::string>* names) override;
  int Lock(int fd, bool exclusive, bool wait) override;
  int Unlock(int fd) override;
  int LockByte(int fd, off_t offset, bool exclusive, bool wait) override;
  int UnlockByte(int fd, off_t offset) override;
  int StatAt(int dirFd, const std::string& name, struct stat* st) override;
  int Fstat(int fd, struct stat* st) override;
  int FsType(int fd, long* type) override;
  void* Map(int fd, off_t offset, size_t length) override;
  void Unmap(void* address, size_t length) override;
  const std::string& BootId() override;
};

}  // namespace rv
