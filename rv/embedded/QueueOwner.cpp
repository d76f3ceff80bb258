#include "QueueOwner.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace rv {

namespace {

std::string RandomId() {
  unsigned char bytes[8];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // Without the random source, time and pid still make the name unique on this machine.
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t v = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(::getpid()) << 32) ^
                 static_cast<uint64_t>(ts.tv_sec);
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
  }
  char text[17];
  for (int i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
  return std::string("o") + text;
}

}  // namespace

Status QueueOwner::Create(QueueStore& store, bool takes, std::unique_ptr<QueueOwner>* owner) {
  FileSystem& fs = store.fs();
  std::unique_ptr<QueueOwner> o(new QueueOwner(store));
  for (int attempt = 0;; ++attempt) {
    o->_id = RandomId();
    o->_lock.Reset(fs.OpenAt(store.ownersDir(), o->_id, O_RDWR | O_CREAT | O_EXCL, 0600));
    if (!o->_lock.valid()) {
      if (errno == EEXIST && attempt < 8) continue;
      return Status::FromErrno(errno, "cannot create an owner file on " + store.definition().name);
    }
    if (fs.Lock(o->_lock.get(), true, true) != 0) {
      Status s =
          Status::FromErrno(errno, "cannot lock an owner file on " + store.definition().name);
      fs.UnlinkAt(store.ownersDir(), o->_id, false);
      o->_lock.Reset();
      return s;
    }
    // Recovery in another process may have taken the lock between create and lock, found no
    // claims and removed the file: then this lock guards nothing and a new owner is needed.
    struct stat mine, named;
    if (fs.Fstat(o->_lock.get(), &mine) == 0 && fs.StatAt(store.ownersDir(), o->_id, &named) == 0 &&
        mine.st_ino == named.st_ino && mine.st_dev == named.st_dev) {
      break;
    }
    if (attempt >= 8) {
      return Status::Error(RVRC_RESOURCE_PROBLEM,
                           "cannot keep an owner file on " + store.definition().name);
    }
  }
  if (!takes) {
    *owner = std::move(o);
    return Status::Ok();
  }
  if (fs.MkdirAt(store.claimRoot(), o->_id, 0700) != 0) {
    Status s =
        Status::FromErrno(errno, "cannot create a claims folder on " + store.definition().name);
    fs.UnlinkAt(store.ownersDir(), o->_id, false);
    o->_released = true;
    return s;
  }
  o->_claimDir.Reset(fs.OpenAt(store.claimRoot(), o->_id, O_RDONLY | O_DIRECTORY, 0));
  if (!o->_claimDir.valid()) {
    Status s =
        Status::FromErrno(errno, "cannot open a claims folder on " + store.definition().name);
    fs.UnlinkAt(store.claimRoot(), o->_id, true);
    fs.UnlinkAt(store.ownersDir(), o->_id, false);
    o->_released = true;
    return s;
  }
  *owner = std::move(o);
  return Status::Ok();
}

QueueOwner::~QueueOwner() {
  Release();
}

Status QueueOwner::Release() {
  if (_released) return Status::Ok();
  _released = true;
  FileSystem& fs = _store.fs();
  Status s;
  if (_claimDir.valid()) {
    std::vector<std::string> held;
    if (fs.List(_claimDir.get(), &held) != 0) {
      s = Status::FromErrno(errno, "cannot list the claims of " + _id);
    }
    for (const auto& name : held) {
      if (!s.ok()) break;
      s = _store.ReturnClaim(_claimDir.get(), name);
    }
    _claimDir.Reset();
    if (s.ok() && fs.UnlinkAt(_store.claimRoot(), _id, true) != 0 && errno != ENOENT) {
      s = Status::FromErrno(errno, "cannot remove the claims folder of " + _id);
    }
  }
  // A temporary file left by a put that could not remove it goes with the next recovery, which
  // takes it for a dead owner's once this lock file is gone.
  if (s.ok() && fs.UnlinkAt(_store.ownersDir(), _id, false) != 0 && errno != ENOENT) {
    s = Status::FromErrno(errno, "cannot remove owner file " + _id);
  }
  _lock.Reset();
  return s;
}

}  // namespace rv
