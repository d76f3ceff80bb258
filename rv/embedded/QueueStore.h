// QueueStore: one queue's folder on disk and the operations that keep it consistent when many
// processes use it at once and any of them may be killed at any instant. Layout:
//   queue.ini     name, maximum depth, maximum message length
//   slot          which slot of the queue manager's file "controls" holds the shared counters
//                 (QueueControl): depth, sequences, wake-ups
//   msg/          waiting messages, one file each (MessageFile names and format)
//   tmp/          messages being written, named "<owner>.<n>"
//   claim/<owner>/ messages taken by a handle and not yet removed (or held after 2080)
//   owners/<owner> lock file: a live handle holds an exclusive flock on it for its lifetime
//   damaged/      entries of msg/ that are no message: damaged files, folders, links, FIFOs
//   input.lock    shared or exclusive flock of the handles open for input
// A message is published by renaming a written file from tmp/ into msg/ under the next
// sequence number of its priority, so it is visible whole or not at all, and the put returns
// once file and folder are flushed; a getter names the
// file at the head of the highest priority and claims it by renaming it into its claim folder,
// and removes it once it is delivered. Neither lists the folder. Recovery returns the claims of
// owners whose lock can be taken (dead processes), removes their temporary files and, since
// such a process may have died between a name and a counter, recounts the folder.
//
// Every file-system call goes through the FileSystem that the store was opened with. One
// QueueStore object belongs to one handle and one thread; it owns its descriptors and the
// mapping of the counters.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FileSystem.h"
#include "MessageFile.h"
#include "QueueControl.h"
#include "Status.h"
#include "UniqueFd.h"

namespace rv {

class QueueStore {
 public:
  static constexpr int64_t kDefaultMaxDepth = 50000;
  static constexpr int64_t kDefaultMaxMessageLength = 100 * 1024 * 1024;

  struct Definition {
    std::string name;
    int64_t maxDepth = kDefaultMaxDepth;
    int64_t maxMessageLength = kDefaultMaxMessageLength;
  };
  struct Summary {
    Definition definition;
    std::string name;
    int64_t depth = 0;
    std::string problem;  // why the definition cannot be read; the rest is then unknown
  };

  ~QueueStore();

  // Creates the queue's folders under a temporary name and renames them into place, so that
  // a queue exists whole or not at all. The name must be valid; an existing queue is
  // RVRC_OBJECT_NAME_ERROR, a queue manager being deleted RVRC_Q_MGR_NOT_AVAILABLE.
  static Status Define(FileSystem& fs, int qmDirFd, const Definition& definition);
  // Removes a queue. Without force, refuses (RVRC_OPTIONS_ERROR) while it holds messages;
  // with force, *removed counts the messages that went with it. A put racing with it either
  // lands first (and is counted, or makes the undefine refuse) or fails with
  // RVRC_CONNECTION_BROKEN: a put that succeeded is never lost in silence.
  static Status Undefine(FileSystem& fs, int qmDirFd, const std::string& name, bool force,
                         int64_t* removed);
  // Deletes a queue manager's queues as Undefine does, all at once: marks every queue deleted
  // under its lock (or refuses, without force, while one holds messages), then runs remove
  // (which takes the queue manager's folder away). No queue can be defined meanwhile. When
  // remove fails, the marks are taken back and the queue manager stays as it was.
  static Status DeleteAll(FileSystem& fs, int qmDirFd, const std::string& qmName, bool force,
                          int64_t* removed, const std::function<Status()>& remove);
  // All queues of a queue manager with their depths, sorted by name. A queue whose definition
  // cannot be read is listed with its problem.
  static Status List(FileSystem& fs, int qmDirFd, std::vector<Summary>* queues);
  // Opens a queue; RVRC_UNKNOWN_OBJECT_NAME when it is not defined, RVRC_NOT_AUTHORIZED when
  // its folder is not private. Counters that cannot be trusted are rebuilt here.
  static Status Open(FileSystem& fs, int qmDirFd, const std::string& name,
                     std::unique_ptr<QueueStore>* store);

  FileSystem& fs() const { return _fs; }
  const Definition& definition() const { return _definition; }
  QueueControl& control() const { return *_control; }
  int qmDir() const { return _qmDir.get(); }
  int queueDir() const { return _queueDir.get(); }
  int msgDir() const { return _msgDir.get(); }
  int tmpDir() const { return _tmpDir.get(); }
  int claimRoot() const { return _claimDir.get(); }
  int ownersDir() const { return _ownersDir.get(); }

  // Names of the waiting messages in delivery order (lists the folder).
  Status ListMessages(std::vector<std::string>* names) const;
  // True when the queue or its queue manager is deleted (marked, or its folder gone).
  bool Gone() const;

  // Writes, publishes and flushes one message; tempPrefix is the owner's identifier. Waiting
  // gets wake as soon as it is visible; on success it is durable. RVRC_Q_FULL at the maximum
  // depth, RVRC_CONNECTION_BROKEN once the queue is deleted.
  Status Publish(const std::string& tempPrefix, const RVMD& md, const void* data, size_t length,
                 int priority, int64_t expiryMs, int64_t putTimeMs);

  // Claims the next waiting message in delivery order into claimDirFd; *name is empty when
  // none waits.
  Status ClaimNext(int claimDirFd, std::string* name);
  // Claims the message of that name (found by a listing); false in *claimed when another
  // getter was first.
  Status Claim(int claimDirFd, const std::string& name, bool* claimed);
  // Removes a delivered (or expired) claimed message for good.
  Status Remove(int claimDirFd, const std::string& name);
  // Moves a claimed message back to msg/ under its own name (or a fresh one if that is taken).
  Status ReturnClaim(int claimDirFd, const std::string& name);
  // The smallest sequence of priority p at or above from that waits in msg/ (lists the
  // folder); Next(p) when there is none.
  Status LowestWaiting(int priority, uint64_t from, uint64_t* sequence) const;

  // Returns the claims of dead owners and removes their temporary files and lock files, then
  // recounts when any owner was dead. ownId is skipped. *recovered counts the messages
  // returned.
  Status Recover(const std::string& ownId, size_t* recovered);
  // The cheap part of Recover, run before every get: returns the claims of dead owners only, so
  // that a message held by a process that died is delivered before anything behind it.
  Status RecoverClaims(const std::string& ownId, size_t* recovered);
  // Lists msg/ once and puts the head and next sequence of every priority right: for messages
  // that no counter shows (left by a process killed in the middle of a put, or placed by hand).
  // *changed tells whether a message turned up that the counters did not show.
  Status Resync(bool* changed);
  // Rebuilds the counters from the folder when they cannot be trusted (see QueueControl).
  Status RecountIfNeeded();

  // Moves an entry of fromDirFd that is no message aside into damaged/ and logs why in
  // errors.log; the depth is recounted.
  void Quarantine(int fromDirFd, const std::string& name, const std::string& why);

  // Removes every waiting message; *removed counts them.
  Status Clear(int64_t* removed);

 private:
  explicit QueueStore(FileSystem& fs) : _fs(fs) {}
  static Status OpenFolders(FileSystem& fs, int qmDirFd, const std::string& name,
                            std::unique_ptr<QueueStore>* store);
  // Counts msg/ and the claims and sets the counters; the caller holds the exclusive lock.
  Status Recount();
  Status RecoverOwner(const std::string& id, const std::vector<std::string>& temps, bool* live,
                      size_t* recovered);
  // Under the exclusive lock: refuses a queue that holds messages (unless force) or marks it.
  Status MarkDeleted(bool force, int64_t* removed);

  FileSystem& _fs;
  Definition _definition;
  UniqueFd _qmDir, _queueDir, _msgDir, _tmpDir, _claimDir, _ownersDir, _damagedDir;
  std::unique_ptr<QueueControl> _control;
  uint64_t _tempCounter = 0;
};

}  // namespace rv
