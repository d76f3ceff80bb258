// ForwardingFileSystem: passes every call to the real file system. Tests derive from it and
// override Before() to fail or observe calls (fault injection, journaling in helper programs),
// and hand it to the store they open (DataRoot::Open). Not thread-safe.
#pragma once

#include "PosixFileSystem.h"

namespace rvtest {

class ForwardingFileSystem : public rv::FileSystem {
 public:
  // Called before every call; returning false makes the call fail with errno as set by Before.
  virtual bool Before(const char* call) {
    (void)call;
    return true;
  }

  int OpenAt(int d, const std::string& n, int f, mode_t m) override {
    return Before("open") ? _real.OpenAt(d, n, f, m) : -1;
  }
  int OpenPath(const std::string& p, int f) override {
    return Before("open") ? _real.OpenPath(p, f) : -1;
  }
  int WriteAll(int fd, const void* p, size_t n) override {
    return Before("write") ? _real.WriteAll(fd, p, n) : -1;
  }
  ssize_t ReadAt(int fd, void* p, size_t n, off_t o) override {
    return Before("read") ? _real.ReadAt(fd, p, n, o) : -1;
  }
  int WriteAt(int fd, const void* p, size_t n, off_t o) override {
    return Before("write") ? _real.WriteAt(fd, p, n, o) : -1;
  }
  int Sync(int fd) override { return Before("sync") ? _real.Sync(fd) : -1; }
  int Truncate(int fd, off_t n) override { return Before("truncate") ? _real.Truncate(fd, n) : -1; }
  int RenameAt(int fd, const std::string& f, int td, const std::string& t, bool nr) override {
    return Before("rename") ? _real.RenameAt(fd, f, td, t, nr) : -1;
  }
  int UnlinkAt(int d, const std::string& n, bool dir) override {
    return Before("unlink") ? _real.UnlinkAt(d, n, dir) : -1;
  }
  int MkdirAt(int d, const std::string& n, mode_t m) override {
    return Before("mkdir") ? _real.MkdirAt(d, n, m) : -1;
  }
  int List(int d, std::vector<std::string>* names) override {
    return Before("list") ? _real.List(d, names) : -1;
  }
  int Lock(int fd, bool ex, bool wait) override {
    return Before("lock") ? _real.Lock(fd, ex, wait) : -1;
  }
  // Letting go of a lock or a mapping cannot fail on a valid descriptor; a failure made up here
  // would only leave a lock behind that the real call never leaves.
  int Unlock(int fd) override { return _real.Unlock(fd); }
  int LockByte(int fd, off_t o, bool ex, bool wait) override {
    return Before("lock") ? _real.LockByte(fd, o, ex, wait) : -1;
  }
  int UnlockByte(int fd, off_t o) override { return _real.UnlockByte(fd, o); }
  int StatAt(int d, const std::string& n, struct stat* st) override {
    return Before("stat") ? _real.StatAt(d, n, st) : -1;
  }
  int Fstat(int fd, struct stat* st) override { return Before("fstat") ? _real.Fstat(fd, st) : -1; }
  int FsType(int fd, long* type) override { return Before("fstype") ? _real.FsType(fd, type) : -1; }
  void* Map(int fd, off_t o, size_t n) override {
    return Before("map") ? _real.Map(fd, o, n) : nullptr;
  }
  void Unmap(void* p, size_t n) override { _real.Unmap(p, n); }
  const std::string& BootId() override { return _real.BootId(); }

 protected:
  rv::PosixFileSystem _real;
};

}  // namespace rvtest
