// EmbeddedQueue: an open handle on a queue of the embedded queue manager. It owns the queue's
// store, an owner identity (QueueOwner) for its claims and temporary files, and, when opened for
// input, an inotify watch on the message folder that keeps a sorted view of the queue current
// without listing the folder on every get and wakes blocked gets within milliseconds of a put.
// Without inotify it lists the folder and polls. Used by one thread at a time.
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
  static Status Open(int qmDirFd, const std::string& qmName, const std::string& queueName,
                     RVLONG options, std::unique_ptr<EmbeddedQueue>* queue);
  ~EmbeddedQueue() override;

  int64_t maxMessageLength() const override { return _store->definition().maxMessageLength; }
  // RVRC_CONNECTION_BROKEN once the queue or its queue manager is deleted, RVRC_Q_FULL at the
  // queue's maximum depth.
  Status Put(const RVMD& md, const void* data, size_t length, int64_t putMs,
             int64_t expiresMs) override;
  Status Get(const RVGMO& gmo, const MatchCriteria& criteria, void* buf, RVLONG bufLen,
             Delivery* delivery) override;
  Status Close() override;

 private:
  struct Entry {
    bool descriptorKnown = false;
    bool unreadable = false;
    RVBYTE messageId[RV_MSG_ID_LENGTH];
    RVBYTE correlationId[RV_CORREL_ID_LENGTH];
  };
  enum class Outcome { kDelivered, kSkipped };

  EmbeddedQueue() = default;
  Status StartWatching();
  Status Refresh();
  void DrainEvents();
  Status TryGet(const MatchCriteria& criteria, void* buf, RVLONG bufLen, Delivery* delivery,
                bool* found);
  Status TakeClaimed(const std::string& name, const MatchCriteria& criteria, void* buf,
                     RVLONG bufLen, Delivery* delivery, Outcome* outcome);
  Status Browse(const MatchCriteria& criteria, bool first, void* buf, RVLONG bufLen,
                Delivery* delivery);
  Status ReturnStrays();
  Status RecoverNow(size_t* recovered);
  void WaitForChange(std::chrono::milliseconds limit);

  std::string _qmName;
  std::unique_ptr<QueueStore> _store;
  std::unique_ptr<QueueOwner> _owner;
  UniqueFd _inputLock;
  UniqueFd _inotify;
  int _msgWatch = -1;
  int _qmWatch = -1;
  bool _needList = true;
  std::map<std::string, Entry> _view;   // published messages in delivery order
  std::string _held;                    // claimed after a truncated get
  std::map<std::string, bool> _strays;  // claims that could not be returned yet
  std::string _browseCursor;
  std::chrono::steady_clock::time_point _lastRecovery;
  bool _closed = false;
};

}  // namespace rv
