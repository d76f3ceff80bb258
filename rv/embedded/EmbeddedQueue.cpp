#include "EmbeddedQueue.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "DataRoot.h"
#include "MessageFile.h"
#include "MessageTime.h"

namespace rv {

namespace {

constexpr auto kRecoveryInterval = std::chrono::seconds(1);
// A waiting get looks at quiescing and deletion this often.
constexpr int64_t kCheckIntervalMs = 200;
// Names a browse tries in a row before it lists the folder to find the next one.
constexpr int kMaxBrowseMisses = 32;
// A message is opened so that a link is not followed and a FIFO does not block.
constexpr int kMessageOpen = O_RDONLY | O_NONBLOCK;

// True when an open of an entry failed because the entry is no file that a message can be.
bool NoMessage(int err) {
  return err == ELOOP || err == ENXIO || err == ENODEV || err == EISDIR;
}

}  // namespace

Status EmbeddedQueue::Open(FileSystem& fs, int qmDirFd, const std::string& qmName,
                           const std::string& queueName, RVLONG options,
                           std::unique_ptr<EmbeddedQueue>* queue) {
  std::unique_ptr<EmbeddedQueue> q(new EmbeddedQueue(fs));
  q->_qmName = qmName;
  Status s = QueueStore::Open(fs, qmDirFd, queueName, &q->_store);
  if (!s.ok()) return s;
  const RVLONG input = options & (RVOO_INPUT_AS_Q_DEF | RVOO_INPUT_SHARED | RVOO_INPUT_EXCLUSIVE);
  if (input != 0) {
    q->_inputLock.Reset(
        fs.OpenAt(q->_store->queueDir(), "input.lock", O_RDWR | O_CREAT | O_NONBLOCK, 0600));
    if (!q->_inputLock.valid())
      return Status::FromErrno(errno, "cannot open input.lock of " + queueName);
    if (fs.Lock(q->_inputLock.get(), (options & RVOO_INPUT_EXCLUSIVE) != 0, false) != 0) {
      if (errno == EWOULDBLOCK) {
        return Status::Error(RVRC_OBJECT_IN_USE,
                             "queue " + queueName + " is open for " +
                                 ((options & RVOO_INPUT_EXCLUSIVE) ? "input elsewhere"
                                                                   : "exclusive input elsewhere"));
      }
      return Status::FromErrno(errno, "cannot lock input.lock of " + queueName);
    }
  }
  s = QueueOwner::Create(*q->_store, input != 0, &q->_owner);
  if (!s.ok()) return s;
  size_t recovered = 0;
  s = q->RecoverNow(&recovered);
  if (!s.ok()) return s;
  *queue = std::move(q);
  return Status::Ok();
}

EmbeddedQueue::~EmbeddedQueue() {
  Close();
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
                                  RVLONG bufLen, bool hold, Delivery* delivery, Outcome* outcome) {
  *outcome = Outcome::kSkipped;
  const int claimDir = _owner->claimDir();
  const bool wasHeld = _held == name;
  const bool checked = wasHeld && _heldChecked;
  if (wasHeld) _held.clear();
  auto giveBack = [&](Status failure) {
    if (!_store->ReturnClaim(claimDir, name).ok()) _strays[name] = true;
    return failure;
  };
  const std::string what = "message file " + name;
  auto quarantine = [&](const std::string& why) {
    _store->Quarantine(claimDir, name, why);
    return Status::Ok();
  };
  UniqueFd fd(_fs.OpenAt(claimDir, name, kMessageOpen, 0));
  if (!fd.valid()) {
    if (errno == ENOENT) return Status::Ok();
    if (NoMessage(errno)) return quarantine(what + " is not a regular file");
    return giveBack(Status::FromErrno(errno, "cannot open " + what));
  }
  MessageFile::Head head;
  Status s = MessageFile::ReadHead(_fs, fd.get(), what, &head);
  if (s.reason() == RVRC_MD_ERROR) {
    fd.Reset();
    return quarantine(s.message());
  }
  if (!s.ok()) return giveBack(s);
  if (head.expiryMs != 0 && head.expiryMs <= MessageTime::NowMs()) {
    fd.Reset();
    s = _store->Remove(claimDir, name);
    return s.ok() ? s : giveBack(s);
  }
  if (criteria.Any() && !criteria.Matches(head.md)) return giveBack(Status::Ok());
  const size_t room = bufLen > 0 ? static_cast<size_t>(bufLen) : 0;
  // The data goes straight into the caller's buffer. A message too long for it is still read
  // to the end, in pieces, the first time, so that its checksum is known good before its
  // length is reported; the get that follows with room for it then only reads it.
  s = MessageFile::ReadData(_fs, fd.get(), what, head, buf, room, !checked);
  fd.Reset();
  if (s.reason() == RVRC_MD_ERROR) return quarantine(s.message());
  if (!s.ok()) return giveBack(s);
  delivery->md = head.md;
  delivery->expiresMs = head.expiryMs;
  delivery->length = static_cast<int64_t>(head.dataLength);
  *outcome = Outcome::kDelivered;
  if (delivery->length > bufLen || hold) {
    // Kept claimed, so only this handle can take it next.
    _held = name;
    _heldChecked = true;
    return Status::Ok();
  }
  // Gone from disk before the caller sees it: a crash from here on cannot deliver it twice.
  s = _store->Remove(claimDir, name);
  if (!s.ok()) {
    *outcome = Outcome::kSkipped;
    return giveBack(s);
  }
  return Status::Ok();
}

Status EmbeddedQueue::TryGet(const MatchCriteria& criteria, void* buf, RVLONG bufLen, bool hold,
                             Delivery* delivery, bool* found) {
  *found = false;
  if (criteria.Any()) return TryGetMatching(criteria, buf, bufLen, hold, delivery, found);
  for (;;) {
    std::string name;
    Status s = _store->ClaimNext(_owner->claimDir(), &name);
    if (!s.ok() || name.empty()) return s;
    Outcome outcome;
    s = TakeClaimed(name, criteria, buf, bufLen, hold, delivery, &outcome);
    if (!s.ok() || outcome == Outcome::kDelivered) {
      *found = outcome == Outcome::kDelivered;
      return s;
    }
  }
}

Status EmbeddedQueue::TryGetMatching(const MatchCriteria& criteria, void* buf, RVLONG bufLen,
                                     bool hold, Delivery* delivery, bool* found) {
  std::vector<std::string> names;
  Status s = _store->ListMessages(&names);
  if (!s.ok()) return s;
  // Descriptors are remembered for the names that still wait, and only for those.
  std::map<std::string, Descriptor> known;
  for (const auto& name : names) {
    auto old = _descriptors.find(name);
    if (old != _descriptors.end()) known.emplace(name, old->second);
  }
  _descriptors.swap(known);
  for (const auto& name : names) {
    auto entry = _descriptors.find(name);
    if (entry == _descriptors.end()) {
      Descriptor d;
      UniqueFd fd(_fs.OpenAt(_store->msgDir(), name, kMessageOpen, 0));
      if (!fd.valid()) {
        if (errno == ENOENT) continue;
        if (!NoMessage(errno)) return Status::FromErrno(errno, "cannot open message " + name);
        d.unreadable = true;  // claimed below and moved aside
      } else {
        RVMD stored;
        s = MessageFile::ReadDescriptor(_fs, fd.get(), "message file " + name, &stored);
        if (s.reason() == RVRC_MD_ERROR) {
          d.unreadable = true;
        } else if (!s.ok()) {
          return s;
        } else {
          std::memcpy(d.messageId, stored.messageId, sizeof d.messageId);
          std::memcpy(d.correlationId, stored.correlationId, sizeof d.correlationId);
        }
      }
      entry = _descriptors.emplace(name, d).first;
    }
    if (!entry->second.unreadable) {
      RVMD probe;
      std::memcpy(probe.messageId, entry->second.messageId, sizeof probe.messageId);
      std::memcpy(probe.correlationId, entry->second.correlationId, sizeof probe.correlationId);
      if (!criteria.Matches(probe)) continue;
    }
    bool claimed = false;
    s = _store->Claim(_owner->claimDir(), name, &claimed);
    if (!s.ok()) return s;
    _descriptors.erase(name);
    if (!claimed) continue;
    Outcome outcome;
    s = TakeClaimed(name, criteria, buf, bufLen, hold, delivery, &outcome);
    if (!s.ok() || outcome == Outcome::kDelivered) {
      *found = outcome == Outcome::kDelivered;
      return s;
    }
  }
  return Status::Ok();
}

Status EmbeddedQueue::Browse(const MatchCriteria& criteria, bool first, void* buf, RVLONG bufLen,
                             Delivery* delivery) {
  QueueControl& control = _store->control();
  if (first) {
    _browsePriority = QueueControl::kPriorities - 1;
    _browseSequence = 0;
  }
  const int64_t now = MessageTime::NowMs();
  for (int p = _browsePriority; p >= 0; --p) {
    uint64_t seq = std::max(p == _browsePriority ? _browseSequence : 0,
                            QueueControl::HeadSequence(control.Head(p)));
    int misses = 0;
    for (; seq < control.Next(p); ++seq) {
      const std::string name = MessageFile::FormatName(p, seq);
      const std::string what = "message file " + name;
      UniqueFd fd(_fs.OpenAt(_store->msgDir(), name, kMessageOpen, 0));
      if (!fd.valid()) {
        if (NoMessage(errno)) continue;
        if (errno != ENOENT) return Status::FromErrno(errno, "cannot open " + what);
        if (++misses > kMaxBrowseMisses) {
          uint64_t lowest;
          Status s = _store->LowestWaiting(p, seq + 1, &lowest);
          if (!s.ok()) return s;
          seq = lowest - 1;
          misses = 0;
        }
        continue;
      }
      misses = 0;
      MessageFile::Head head;
      Status s = MessageFile::ReadHead(_fs, fd.get(), what, &head);
      if (s.reason() == RVRC_MD_ERROR) continue;
      if (!s.ok()) return s;
      if ((head.expiryMs != 0 && head.expiryMs <= now) ||
          (criteria.Any() && !criteria.Matches(head.md))) {
        continue;
      }
      s = MessageFile::ReadData(_fs, fd.get(), what, head, buf,
                                bufLen > 0 ? static_cast<size_t>(bufLen) : 0);
      if (s.reason() == RVRC_MD_ERROR) continue;
      if (!s.ok()) return s;
      delivery->md = head.md;
      delivery->expiresMs = head.expiryMs;
      delivery->length = static_cast<int64_t>(head.dataLength);
      // A message longer than the buffer is browsed again by the next browse-next.
      _browsePriority = p;
      _browseSequence = delivery->length <= bufLen ? seq + 1 : seq;
      return Status::Ok();
    }
  }
  _browsePriority = 0;
  _browseSequence = std::max(_browseSequence, control.Next(0));
  return Status::Error(RVRC_NO_MSG_AVAILABLE, "no more messages to browse");
}

Status EmbeddedQueue::Get(const RVGMO& gmo, const MatchCriteria& criteria, void* buf, RVLONG bufLen,
                          Delivery* delivery) {
  if (gmo.options & (RVGMO_BROWSE_FIRST | RVGMO_BROWSE_NEXT)) {
    return Browse(criteria, (gmo.options & RVGMO_BROWSE_FIRST) != 0, buf, bufLen, delivery);
  }
  const std::string& queueName = _store->definition().name;
  const Status deleted = Status::Error(RVRC_CONNECTION_BROKEN,
                                       "queue " + queueName + " or its queue manager was deleted");
  Status s = ReturnStrays();
  size_t returned = 0;
  if (s.ok()) s = _store->RecoverClaims(_owner->id(), &returned);
  if (!s.ok()) return s;
  if (_store->Gone()) return deleted;

  const bool hold = (gmo.options & RVGMO_HOLD) != 0;
  const bool wait = (gmo.options & RVGMO_WAIT) != 0;
  const auto start = std::chrono::steady_clock::now();
  auto deadline = start;
  if (wait) {
    deadline = gmo.waitInterval == RVWI_UNLIMITED
                   ? std::chrono::steady_clock::time_point::max()
                   : start + std::chrono::milliseconds(gmo.waitInterval);
  }
  QueueControl& control = _store->control();
  for (bool first = true;; first = false) {
    // Read before looking: a put after the look changes it, so the wait below returns at once.
    const uint32_t seen = control.WakeCount();
    if (!_held.empty()) {
      const std::string held = _held;
      Outcome outcome;
      s = TakeClaimed(held, criteria, buf, bufLen, hold, delivery, &outcome);
      if (!s.ok() || outcome == Outcome::kDelivered) return s;
    }
    bool found = false;
    s = TryGet(criteria, buf, bufLen, hold, delivery, &found);
    if (!s.ok() || found) return s;
    auto now = std::chrono::steady_clock::now();
    if (first || now - _lastRecovery >= kRecoveryInterval) {
      size_t recovered = 0;
      bool changed = false;
      s = RecoverNow(&recovered);
      if (s.ok()) s = _store->Resync(&changed);
      if (!s.ok()) return s;
      if (recovered > 0 || changed) continue;
    }
    if (!wait) return Status::Error(RVRC_NO_MSG_AVAILABLE, "no message on " + queueName);
    if ((gmo.options & RVGMO_FAIL_IF_QUIESCING) && DataRoot::IsQuiescing(_store->qmDir(), _fs)) {
      return Status::Error(RVRC_Q_MGR_QUIESCING, "queue manager " + _qmName + " is quiescing");
    }
    if (_store->Gone()) return deleted;
    now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      return Status::Error(RVRC_NO_MSG_AVAILABLE,
                           "no message arrived on " + queueName + " in time");
    }
    int64_t ms =
        std::chrono::ceil<std::chrono::milliseconds>(_lastRecovery + kRecoveryInterval - now)
            .count();
    ms = std::min(ms, kCheckIntervalMs);
    if (deadline != std::chrono::steady_clock::time_point::max()) {
      ms = std::min<int64_t>(ms,
                             std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
    }
    control.Wait(seen, std::max<int64_t>(ms, 1));
  }
}

Status EmbeddedQueue::Put(const RVMD& md, const void* data, size_t length, int64_t putMs,
                          int64_t expiresMs) {
  Status s = _store->RecountIfNeeded();
  if (!s.ok()) return s;
  return _store->Publish(_owner->id(), md, data, length, md.priority, expiresMs, putMs);
}

Status EmbeddedQueue::Close() {
  if (_closed) return Status::Ok();
  _closed = true;
  _held.clear();
  _strays.clear();
  Status s = _owner ? _owner->Release() : Status::Ok();
  _owner.reset();
  _inputLock.Reset();
  _store.reset();
  return s;
}

}  // namespace rv
