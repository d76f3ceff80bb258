// EmbeddedQueue: an open handle on a queue of the embedded queue manager. It owns the queue's
// store and an owner identity (QueueOwner) for its claims and temporary files. A get takes the
// message that the shared counters name (QueueStore::ClaimNext) without listing the folder; a
// waiting get sleeps on the counters' futex, which every put in every process wakes, and looks
// at the folder itself once a second, so that a message that no counter shows (left by a
// killed process) is found all the same. A get that selects by identifier lists the folder and
// remembers the descriptors it has read. Used by one thread at a time.
#pragma once

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "MatchCriteria.h"
#include "OpenQueue.h"
#include "QueueOwner.h"
#include "QueueStore.h"
#include "UniqueFd.h"

namespace rv {

class EmbeddedQueue : public OpenQueue {
 public:
  // Opens the queue below the queue manager folder qmDirFd. Runs recovery first.
  static Status Open(FileSystem& fs, int qmDirFd, const std::string& qmName,
                     const std::string& queueName, RVLONG options,
                     std::unique_ptr<EmbeddedQueue>* queue);
  ~EmbeddedQueue() override;

  int64_t maxMessageLength() const override { return _store->definition().maxMessageLength; }
  bool CanHold() const override { return true; }
  // RVRC_CONNECTION_BROKEN once the queue or its queue manager is deleted, RVRC_Q_FULL at the
  // queue's maximum depth.
  Status Put(const RVMD& md, const void* data, size_t length, int64_t putMs,
             int64_t expiresMs) override;
  Status Get(const RVGMO& gmo, const MatchCriteria& criteria, void* buf, RVLONG bufLen,
             Delivery* delivery) override;
  Status Close() override;

 private:
  struct Descriptor {
    bool unreadable = false;
    RVBYTE messageId[RV_MSG_ID_LENGTH];
    RVBYTE correlationId[RV_CORREL_ID_LENGTH];
  };
  enum class Outcome { kDelivered, kSkipped };

  EmbeddedQueue(FileSystem& fs) : _fs(fs) {}
  Status TryGet(const MatchCriteria& criteria, void* buf, RVLONG bufLen, bool hold,
                Delivery* delivery, bool* found);
  Status TryGetMatching(const MatchCriteria& criteria, void* buf, RVLONG bufLen, bool hold,
                        Delivery* delivery, bool* found);
  Status TakeClaimed(const std::string& name, const MatchCriteria& criteria, void* buf,
                     RVLONG bufLen, bool hold, Delivery* delivery, Outcome* outcome);
  Status Browse(const MatchCriteria& criteria, bool first, void* buf, RVLONG bufLen,
                Delivery* delivery);
  Status ReturnStrays();
  Status RecoverNow(size_t* recovered);

  FileSystem& _fs;
  std::string _qmName;
  std::unique_ptr<QueueStore> _store;
  std::unique_ptr<QueueOwner> _owner;
  UniqueFd _inputLock;
  std::map<std::string, Descriptor> _descriptors;  // read by gets that select by identifier
  std::string _held;                    // claimed for this handle: after a 2080, or with RVGMO_HOLD
  bool _heldChecked = false;            // its checksum is known good
  std::map<std::string, bool> _strays;  // claims that could not be returned yet
  int _browsePriority = 0;              // where the next browse-next looks
  uint64_t _browseSequence = 0;
  std::chrono::steady_clock::time_point _lastRecovery;
  bool _closed = false;
};

}  // namespace rv
