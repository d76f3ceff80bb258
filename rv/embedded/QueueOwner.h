// QueueOwner: the identity of one open handle on a queue's folder. It holds an exclusive flock on
// owners/<id> for its whole life, writes its temporary files as tmp/<id>.<n> and, when opened
// for input, claims messages into claim/<id>/. When the process dies the kernel drops the lock,
// and recovery in any other process returns the claims (QueueStore::Recover). Release does the
// same for a live handle. Belongs to one handle and one thread.
#pragma once

#include <memory>
#include <string>

#include "QueueStore.h"
#include "Status.h"
#include "UniqueFd.h"

namespace rv {

class QueueOwner {
 public:
  // Creates a fresh owner in store's folder, with a claims folder when it takes messages. The
  // store must outlive the owner.
  static Status Create(QueueStore& store, bool takes, std::unique_ptr<QueueOwner>* owner);
  ~QueueOwner();

  const std::string& id() const { return _id; }
  // The claims folder; -1 for an owner that takes no messages.
  int claimDir() const { return _claimDir.get(); }

  // Returns every claim to the queue, then removes the claims folder and the lock file and drops
  // the lock. When a claim cannot be returned, the folder and lock file stay so that recovery
  // finishes the job once this process has let go of the lock.
  Status Release();

 private:
  explicit QueueOwner(QueueStore& store) : _store(store) {}

  QueueStore& _store;
  std::string _id;
  UniqueFd _lock;
  UniqueFd _claimDir;
  bool _released = false;
};

}  // namespace rv
