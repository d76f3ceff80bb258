#include "QueueOwner.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "FileSystem.h"

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

Status QueueOwner::Create(QueueStore& store, std::unique_ptr<QueueOwner>* owner) {
  std::unique_ptr<QueueOwner> o(new QueueOwner(store));
  for (int attempt = 0;; ++attempt) {
    o->_id = RandomId();
    o->_lock.Reset(Fs().OpenAt(store.ownersDir(), o->_id, O_RDWR | O_CREAT | O_EXCL, 0600));
    if (!o->_lock.valid()) {
      if (errno == EEXIST && attempt < 8) continue;
      return Status::FromErrno(errno, "cannot create an owner file on " + store.definition().name);
    }
    if (Fs().Lock(o->_lock.get(), true, true) != 0) {
      Status s =
          Status::FromErrno(errno, "cannot lock an owner file on " + store.definition().name);
      Fs().UnlinkAt(store.ownersDir(), o->_id, false);
      o->_lock.Reset();
      return s;
    }
    // Recovery in another process may have taken the lock between create and lock, found no
    // claims and removed the file: then this lock guards nothing and a new owner is needed.
    struct stat mine, named;
    if (Fs().Fstat(o->_lock.get(), &mine) == 0 &&
        Fs().StatAt(store.ownersDir(), o->_id, &named) == 0 && mine.st_ino == named.st_ino &&
        mine.st_dev == named.st_dev) {
      break;
    }
    if (attempt >= 8) {
      return Status::Error(RVRC_RESOURCE_PROBLEM,
                           "cannot keep an owner file on " + store.definition().name);
    }
  }
  if (Fs().MkdirAt(store.claimRoot(), o->_id, 0700) != 0) {
    Status s =
        Status::FromErrno(errno, "cannot create a claims folder on " + store.definition().name);
    Fs().UnlinkAt(store.ownersDir(), o->_id, false);
    o->_released = true;
    return s;
  }
  o->_claimDir.Reset(Fs().OpenAt(store.claimRoot(), o->_id, O_RDONLY | O_DIRECTORY, 0));
  if (!o->_claimDir.valid()) {
    Status s =
        Status::FromErrno(errno, "cannot open a claims folder on " + store.definition().name);
    Fs().UnlinkAt(store.claimRoot(), o->_id, true);
    Fs().UnlinkAt(store.ownersDir(), o->_id, false);
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
  Status s;
  std::vector<std::string> held;
  if (Fs().List(_claimDir.get(), &held) != 0) {
    s = Status::FromErrno(errno, "cannot list the claims of " + _id);
  }
  for (const auto& name : held) {
    if (!s.ok()) break;
    s = _store.ReturnClaim(_claimDir.get(), name);
  }
  if (s.ok()) {
    std::vector<std::string> temps;
    if (Fs().List(_store.tmpDir(), &temps) == 0) {
      for (const auto& t : temps) {
        if (t.compare(0, _id.size() + 1, _id + ".") == 0) Fs().UnlinkAt(_store.tmpDir(), t, false);
      }
    }
    _claimDir.Reset();
    if (Fs().UnlinkAt(_store.claimRoot(), _id, true) != 0 && errno != ENOENT) {
      s = Status::FromErrno(errno, "cannot remove the claims folder of " + _id);
    } else if (Fs().UnlinkAt(_store.ownersDir(), _id, false) != 0 && errno != ENOENT) {
      s = Status::FromErrno(errno, "cannot remove owner file " + _id);
    }
  }
  _claimDir.Reset();
  _lock.Reset();
  return s;
}

}  // namespace rv
