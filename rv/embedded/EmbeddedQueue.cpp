#include "EmbeddedQueue.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

#include "DataRoot.h"
#include "FileSystem.h"
#include "MessageFile.h"
#include "MessageTime.h"

namespace rv {

namespace {

constexpr auto kRecoveryInterval = std::chrono::seconds(1);
// Without inotify, waiting gets look at the folder this often.
constexpr auto kPollInterval = std::chrono::milliseconds(50);

}  // namespace

Status EmbeddedQueue::Open(int qmDirFd, const std::string& qmName, const std::string& queueName,
                           RVLONG options, std::unique_ptr<EmbeddedQueue>* queue) {
  std::unique_ptr<EmbeddedQueue> q(new EmbeddedQueue());
  q->_qmName = qmName;
  Status s = QueueStore::Open(qmDirFd, queueName, &q->_store);
  if (!s.ok()) return s;
  const RVLONG input = RVOO_INPUT_AS_Q_DEF | RVOO_INPUT_SHARED | RVOO_INPUT_EXCLUSIVE;
  if (options & input) {
    q->_inputLock.Reset(Fs().OpenAt(q->_store->queueDir(), "input.lock", O_RDWR | O_CREAT, 0600));
    if (!q->_inputLock.valid())
      return Status::FromErrno(errno, "cannot open input.lock of " + queueName);
    if (Fs().Lock(q->_inputLock.get(), (options & RVOO_INPUT_EXCLUSIVE) != 0, false) != 0) {
      if (errno == EWOULDBLOCK) {
        return Status::Error(RVRC_OBJECT_IN_USE,
                             "queue " + queueName + " is open for " +
                                 ((options & RVOO_INPUT_EXCLUSIVE) ? "input elsewhere"
                                                                   : "exclusive input elsewhere"));
      }
      return Status::FromErrno(errno, "cannot lock input.lock of " + queueName);
    }
  }
  s = QueueOwner::Create(*q->_store, &q->_owner);
  if (!s.ok()) return s;
  if (options & (input | RVOO_BROWSE)) {
    s = q->StartWatching();
    if (!s.ok()) return s;
  }
  size_t recovered = 0;
  s = q->RecoverNow(&recovered);
  if (!s.ok()) return s;
  *queue = std::move(q);
  return Status::Ok();
}

EmbeddedQueue::~EmbeddedQueue() {
  Close();
}

Status EmbeddedQueue::StartWatching() {
  // The watch comes before the first listing, so no put between the two is missed.
  _inotify.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!_inotify.valid()) return Status::Ok();  // fall back to listing and polling
  std::string msgPath = "/proc/self/fd/" + std::to_string(_store->msgDir());
  std::string qmPath = "/proc/self/fd/" + std::to_string(_store->qmDir());
  _msgWatch = ::inotify_add_watch(_inotify.get(), msgPath.c_str(),
                                  IN_MOVED_TO | IN_CREATE | IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR);
  _qmWatch = ::inotify_add_watch(_inotify.get(), qmPath.c_str(), IN_CREATE | IN_ONLYDIR);
  if (_msgWatch < 0 || _qmWatch < 0) _inotify.Reset();
  _needList = true;
  return Status::Ok();
}

void EmbeddedQueue::DrainEvents() {
  alignas(struct inotify_event) char buf[16384];
  for (;;) {
    ssize_t n = ::read(_inotify.get(), buf, sizeof buf);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    for (char* p = buf; p < buf + n;) {
      auto* e = reinterpret_cast<struct inotify_event*>(p);
      p += sizeof(struct inotify_event) + e->len;
      if (e->mask & (IN_Q_OVERFLOW | IN_IGNORED)) {
        _needList = true;
        continue;
      }
      if (e->wd != _msgWatch || e->len == 0) continue;
      std::string name(e->name);
      MessageFile::Name parsed;
      if (!MessageFile::ParseName(name, &parsed)) continue;
      if (e->mask & (IN_MOVED_TO | IN_CREATE)) {
        _view.try_emplace(name);
      } else {
        _view.erase(name);
      }
    }
  }
}

Status EmbeddedQueue::Refresh() {
  if (_inotify.valid()) {
    DrainEvents();
    if (!_needList) return Status::Ok();
    _needList = false;
  }
  std::vector<std::string> names;
  Status s = _store->ListMessages(&names);
  if (!s.ok()) {
    if (_inotify.valid()) _needList = true;
    return s;
  }
  std::map<std::string, Entry> view;
  for (auto& n : names) {
    auto old = _view.find(n);
    view.emplace(n, old != _view.end() ? old->second : Entry{});
  }
  _view.swap(view);
  return Status::Ok();
}

Status EmbeddedQueue::RecoverNow(size_t* recovered) {
  _lastRecovery = std::chrono::steady_clock::now();
  return _store->Recover(_owner->id(), recovered);
}

Status EmbeddedQueue::ReturnStrays() {
  for (auto it = _strays.begin(); it != _strays.end();) {
    Status s = _store->ReturnClaim(_owner->claimDir(), it->first);
    if (!s.ok()) return s;
    it = _strays.erase(it);
  }
  return Status::Ok();
}

Status EmbeddedQueue::TakeClaimed(const std::string& name, const MatchCriteria& criteria, void* buf,
                                  RVLONG bufLen, Delivery* delivery, Outcome* outcome) {
  *outcome = Outcome::kSkipped;
  int claimDir = _owner->claimDir();
  auto giveBack = [&](Status failure) {
    if (!_store->ReturnClaim(claimDir, name).ok()) _strays[name] = true;
    if (_held == name) _held.clear();
    return failure;
  };
  UniqueFd fd(Fs().OpenAt(claimDir, name, O_RDONLY, 0));
  if (!fd.valid()) {
    if (errno == ENOENT) return Status::Ok();
    return giveBack(Status::FromErrno(errno, "cannot open message " + name));
  }
  const std::string what = "message file " + name;
  auto quarantine = [&](const Status& damaged) {
    fd.Reset();
    if (_held == name) _held.clear();
    _store->Quarantine(claimDir, name, damaged.message());
    return Status::Ok();
  };
  MessageFile::Head head;
  Status s = MessageFile::ReadHead(fd.get(), what, &head);
  if (s.reason() == RVRC_MD_ERROR) return quarantine(s);
  if (!s.ok()) return giveBack(s);
  if (criteria.Any() && !criteria.Matches(head.md)) {
    if (_held == name) _held.clear();
    return giveBack(Status::Ok());
  }
  // The data goes straight into the caller's buffer; a longer message is still read to the
  // end, in pieces, so that its checksum is known good before its length is reported.
  s = MessageFile::ReadData(fd.get(), what, head, buf,
                            bufLen > 0 ? static_cast<size_t>(bufLen) : 0);
  if (s.reason() == RVRC_MD_ERROR) return quarantine(s);
  fd.Reset();
  if (!s.ok()) return giveBack(s);
  delivery->md = head.md;
  delivery->expiresMs = head.expiryMs;
  delivery->length = static_cast<int64_t>(head.dataLength);
  if (delivery->length > bufLen) {
    // Too long for the buffer: keep it claimed, so only this handle can take it next.
    _held = name;
    *outcome = Outcome::kDelivered;
    return Status::Ok();
  }
  // Gone from disk before the caller sees it: a crash from here on cannot deliver it twice.
  if (Fs().UnlinkAt(claimDir, name, false) != 0) {
    return giveBack(Status::FromErrno(errno, "cannot remove message " + name));
  }
  if (_held == name) _held.clear();
  *outcome = Outcome::kDelivered;
  return Status::Ok();
}

Status EmbeddedQueue::TryGet(const MatchCriteria& criteria, void* buf, RVLONG bufLen,
                             Delivery* delivery, bool* found) {
  *found = false;
  Status s = Refresh();
  if (!s.ok()) return s;
  int64_t now = MessageTime::NowMs();
  for (auto it = _view.begin(); it != _view.end();) {
    const std::string name = it->first;
    MessageFile::Name parsed;
    MessageFile::ParseName(name, &parsed);
    if (parsed.expiryMs != 0 && parsed.expiryMs <= now) {
      Fs().UnlinkAt(_store->msgDir(), name, false);
      it = _view.erase(it);
      continue;
    }
    Entry& entry = it->second;
    if (criteria.Any()) {
      if (!entry.descriptorKnown) {
        UniqueFd fd(Fs().OpenAt(_store->msgDir(), name, O_RDONLY, 0));
        if (!fd.valid()) {
          if (errno == ENOENT) {
            it = _view.erase(it);
            continue;
          }
          return Status::FromErrno(errno, "cannot open message " + name);
        }
        RVMD stored;
        s = MessageFile::ReadDescriptor(fd.get(), "message file " + name, &stored);
        if (s.reason() == RVRC_MD_ERROR) {
          entry.unreadable = true;  // claimed below and moved aside
        } else if (!s.ok()) {
          return s;
        } else {
          std::memcpy(entry.messageId, stored.messageId, sizeof entry.messageId);
          std::memcpy(entry.correlationId, stored.correlationId, sizeof entry.correlationId);
        }
        entry.descriptorKnown = true;
      }
      if (!entry.unreadable) {
        RVMD probe;
        std::memcpy(probe.messageId, entry.messageId, sizeof probe.messageId);
        std::memcpy(probe.correlationId, entry.correlationId, sizeof probe.correlationId);
        if (!criteria.Matches(probe)) {
          ++it;
          continue;
        }
      }
    }
    if (Fs().RenameAt(_store->msgDir(), name, _owner->claimDir(), name, false) != 0) {
      if (errno == ENOENT) {  // another getter was first
        it = _view.erase(it);
        continue;
      }
      return Status::FromErrno(errno, "cannot take message " + name);
    }
    it = _view.erase(it);
    Outcome outcome;
    s = TakeClaimed(name, criteria, buf, bufLen, delivery, &outcome);
    if (outcome == Outcome::kDelivered || !s.ok()) {
      *found = outcome == Outcome::kDelivered;
      return s;
    }
  }
  return Status::Ok();
}

Status EmbeddedQueue::Browse(const MatchCriteria& criteria, bool first, void* buf, RVLONG bufLen,
                             Delivery* delivery) {
  if (first) _browseCursor.clear();
  std::vector<std::string> names;
  Status s = _store->ListMessages(&names);
  if (!s.ok()) return s;
  int64_t now = MessageTime::NowMs();
  for (const auto& name : names) {
    if (name <= _browseCursor) continue;
    MessageFile::Name parsed;
    MessageFile::ParseName(name, &parsed);
    if (parsed.expiryMs != 0 && parsed.expiryMs <= now) continue;
    UniqueFd fd(Fs().OpenAt(_store->msgDir(), name, O_RDONLY, 0));
    if (!fd.valid()) {
      if (errno == ENOENT) continue;
      return Status::FromErrno(errno, "cannot open message " + name);
    }
    MessageFile::Message m;
    s = MessageFile::Read(fd.get(), "message file " + name, &m);
    if (s.reason() == RVRC_MD_ERROR) continue;
    if (!s.ok()) return s;
    if (criteria.Any() && !criteria.Matches(m.md)) continue;
    delivery->md = m.md;
    delivery->expiresMs = m.expiryMs;
    delivery->length = static_cast<int64_t>(m.data.size());
    RVLONG copied = static_cast<RVLONG>(std::min<int64_t>(delivery->length, bufLen));
    if (copied > 0) std::memcpy(buf, m.data.data(), static_cast<size_t>(copied));
    // A message longer than the buffer is browsed again by the next browse-next.
    if (delivery->length <= bufLen) _browseCursor = name;
    return Status::Ok();
  }
  return Status::Error(RVRC_NO_MSG_AVAILABLE, "no more messages to browse");
}

void EmbeddedQueue::WaitForChange(std::chrono::milliseconds limit) {
  if (!_inotify.valid()) {
    std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(limit, kPollInterval));
    return;
  }
  struct pollfd p = {_inotify.get(), POLLIN, 0};
  int ms = static_cast<int>(std::max<int64_t>(1, limit.count()));
  ::poll(&p, 1, ms);
}

Status EmbeddedQueue::Get(const RVGMO& gmo, const MatchCriteria& criteria, void* buf, RVLONG bufLen,
                          Delivery* delivery) {
  if (gmo.options & (RVGMO_BROWSE_FIRST | RVGMO_BROWSE_NEXT)) {
    return Browse(criteria, (gmo.options & RVGMO_BROWSE_FIRST) != 0, buf, bufLen, delivery);
  }
  Status s = ReturnStrays();
  if (!s.ok()) return s;
  size_t returned = 0;
  s = _store->RecoverClaims(_owner->id(), &returned);
  if (!s.ok()) return s;

  const bool wait = (gmo.options & RVGMO_WAIT) != 0;
  auto start = std::chrono::steady_clock::now();
  auto deadline = start;
  if (wait) {
    deadline = gmo.waitInterval == RVWI_UNLIMITED
                   ? std::chrono::steady_clock::time_point::max()
                   : start + std::chrono::milliseconds(gmo.waitInterval);
  }
  for (bool first = true;; first = false) {
    if (!_held.empty()) {
      std::string held = _held;
      Outcome outcome;
      s = TakeClaimed(held, criteria, buf, bufLen, delivery, &outcome);
      if (!s.ok() || outcome == Outcome::kDelivered) return s;
      _held.clear();
    }
    bool found = false;
    s = TryGet(criteria, buf, bufLen, delivery, &found);
    if (!s.ok() || found) return s;
    auto now = std::chrono::steady_clock::now();
    if (first || now - _lastRecovery >= kRecoveryInterval) {
      size_t recovered = 0;
      s = RecoverNow(&recovered);
      if (!s.ok()) return s;
      if (recovered > 0) continue;
    }
    if (!wait)
      return Status::Error(RVRC_NO_MSG_AVAILABLE, "no message on " + _store->definition().name);
    if ((gmo.options & RVGMO_FAIL_IF_QUIESCING) && DataRoot::IsQuiescing(_store->qmDir())) {
      return Status::Error(RVRC_Q_MGR_QUIESCING, "queue manager " + _qmName + " is quiescing");
    }
    if (_store->Gone()) {
      return Status::Error(RVRC_CONNECTION_BROKEN, "queue " + _store->definition().name +
                                                       " or its queue manager was deleted");
    }
    now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      return Status::Error(RVRC_NO_MSG_AVAILABLE,
                           "no message arrived on " + _store->definition().name + " in time");
    }
    auto left = deadline == std::chrono::steady_clock::time_point::max()
                    ? std::chrono::milliseconds(kRecoveryInterval)
                    : std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    auto untilRecovery =
        std::chrono::ceil<std::chrono::milliseconds>(_lastRecovery + kRecoveryInterval - now);
    WaitForChange(
        std::max(std::chrono::milliseconds(1),
                 std::min({left, untilRecovery, std::chrono::milliseconds(kRecoveryInterval)})));
  }
}

Status EmbeddedQueue::Put(const RVMD& md, const void* data, size_t length, int64_t putMs,
                          int64_t expiresMs) {
  const auto& def = _store->definition();
  if (_store->Gone()) {
    return Status::Error(RVRC_CONNECTION_BROKEN,
                         "queue " + def.name + " or its queue manager was deleted");
  }
  std::vector<std::string> names;
  if (Fs().List(_store->msgDir(), &names) != 0) {
    return Status::FromErrno(errno, "cannot count the messages of " + def.name);
  }
  if (static_cast<int64_t>(names.size()) >= def.maxDepth) {
    return Status::Error(RVRC_Q_FULL, "queue " + def.name + " holds its maximum of " +
                                          std::to_string(def.maxDepth) + " messages");
  }
  std::string fileName;
  return _store->Publish(_owner->id(), md, data, length, md.priority, expiresMs, putMs, &fileName);
}

Status EmbeddedQueue::Close() {
  if (_closed) return Status::Ok();
  _closed = true;
  _held.clear();
  _strays.clear();
  Status s = _owner ? _owner->Release() : Status::Ok();
  _owner.reset();
  _inotify.Reset();
  _inputLock.Reset();
  _store.reset();
  return s;
}

}  // namespace rv
