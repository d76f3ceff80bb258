// QueueStore: one queue's folder on disk and the operations that keep it consistent when many
// processes use it at once and any of them may be killed at any instant. Layout:
//   queue.ini     name, maximum depth, maximum message length
//   seq           8-byte sequence counter, shared by all processes through a mapping
//   msg/          published messages, one file each (MessageFile names and format)
//   tmp/          messages being written, named "<owner>.<n>"
//   claim/<owner>/ messages taken by a handle and not yet handed over (or held after 2080)
//   owners/<owner> lock file: a live handle holds an exclusive flock on it for its lifetime
//   damaged/      message files that failed their checks
//   input.lock    shared or exclusive flock of the handles open for input
// A message is published by renaming a flushed file from tmp/ into msg/ without replacing, so
// it is visible whole or not at all. A getter claims it by renaming it into its claim folder.
// Recovery returns the claims of owners whose lock can be taken (dead processes) and removes
// their temporary files. Every file-system call goes through Fs().
//
// One QueueStore object belongs to one handle and one thread; it owns its descriptors and the
// mapping of the counter.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "MessageFile.h"
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
    size_t depth = 0;
  };

  ~QueueStore();

  // Creates the queue's folders. The name must be valid; an existing queue is an error.
  static Status Define(int qmDirFd, const Definition& definition);
  // Removes a queue; refuses one that holds messages unless force is set.
  static Status Undefine(int qmDirFd, const std::string& name, bool force);
  // All queues of a queue manager with their depths, sorted by name.
  static Status List(int qmDirFd, std::vector<Summary>* queues);
  // Opens a queue; RVRC_UNKNOWN_OBJECT_NAME when it is not defined.
  static Status Open(int qmDirFd, const std::string& name, std::unique_ptr<QueueStore>* store);

  const Definition& definition() const { return _definition; }
  int qmDir() const { return _qmDir.get(); }
  int queueDir() const { return _queueDir.get(); }
  int msgDir() const { return _msgDir.get(); }
  int tmpDir() const { return _tmpDir.get(); }
  int claimRoot() const { return _claimDir.get(); }
  int ownersDir() const { return _ownersDir.get(); }

  // Names of the published messages in delivery order.
  Status ListMessages(std::vector<std::string>* names) const;
  // True when the queue or its queue manager has been deleted since it was opened.
  bool Gone() const;

  // Writes, flushes and publishes one message; tempPrefix is the owner's identifier. On success
  // the message is durable and *fileName is its name.
  Status Publish(const std::string& tempPrefix, const RVMD& md, const void* data, size_t length,
                 int priority, int64_t expiryMs, int64_t putTimeMs, std::string* fileName);

  // Moves a claimed message back to msg/ under its own name (or a fresh one if that is taken).
  Status ReturnClaim(int claimDirFd, const std::string& name);

  // Returns the claims of dead owners and removes their temporary files and lock files. ownId is
  // skipped. *recovered counts the messages returned.
  Status Recover(const std::string& ownId, size_t* recovered);

  // The cheap part of Recover, run before every get: returns the claims of dead owners only, so
  // that a message held by a process that died is delivered before anything behind it.
  Status RecoverClaims(const std::string& ownId, size_t* recovered);

  // Moves a damaged message file aside into damaged/ and logs why in errors.log.
  void Quarantine(int fromDirFd, const std::string& name, const std::string& why);

  // Removes every published message; *removed counts them.
  Status Clear(size_t* removed);

 private:
  QueueStore() = default;
  uint64_t NextSequence();
  Status RecoverOwner(const std::string& id, const std::vector<std::string>& temps, bool* live,
                      size_t* recovered);
  void RaiseSequence(uint64_t atLeast);

  Definition _definition;
  UniqueFd _qmDir, _queueDir, _msgDir, _tmpDir, _claimDir, _ownersDir, _damagedDir;
  uint64_t* _sequence = nullptr;
  uint64_t _tempCounter = 0;
};

}  // namespace rv
