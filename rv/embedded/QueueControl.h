// QueueControl: the counters that every handle on one queue shares, in the queue's file
// "control" (one page), mapped by each handle of each process:
//   depth        messages on the queue, waiting or taken and not yet removed
//   next[p]      the next sequence number of a message of priority p
//   head[p]      no message of priority p waiting below this sequence (a hint that getters
//                move up past names they found gone; every move down bumps its epoch, so that
//                a getter's stale move up fails)
//   wakeups      bumped after every message that becomes visible; waiting gets sleep on it
//                with a futex and wake within microseconds of a put in any process
//   flags        deleted (the queue or its queue manager is going), recount wanted
//   boot         the boot in which the counters were last known right
//   definition   the maximum depth and message length from queue.ini, with the identity
//                (inode, size, change time) of the queue.ini they were read from, so that a
//                listing of many queues reads one small file per queue
// The message folder is the truth; the counters let a put, a get and a listing run without
// looking at the whole folder. They are rebuilt by one scan of the folder (QueueStore::Recount)
// when they cannot be trusted: after a process was killed with a handle open, after the machine
// restarted, or when the file is missing, short or damaged.
//
// An flock on the file orders the changes: a put, a removal and a return hold it shared for the
// moment they change a name and a counter together; a recount, an undefine and a delete hold it
// exclusive, so they see no change half done. A hint (next, head) may be moved without it.
//
// One object per handle; the counters are shared with every process through the mapping.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

#include "FileSystem.h"
#include "Status.h"
#include "UniqueFd.h"

namespace rv {

class QueueControl {
 public:
  static constexpr size_t kSize = 4096;
  static constexpr int kPriorities = 10;
  static constexpr const char* kFile = "control";

  // The definition that a listing shows, and the queue.ini it came from.
  struct Definition {
    int64_t maxDepth = 0;
    int64_t maxMessageLength = 0;
    struct stat file {};  // of queue.ini
  };
  // What a listing shows of a queue.
  struct Listing {
    int64_t depth = 0;
    bool definitionKnown = false;
    int64_t maxDepth = 0;
    int64_t maxMessageLength = 0;
  };

  // Creates a fresh control file (an empty queue) in the queue folder, flushed.
  static Status Create(FileSystem& fs, int queueDirFd, const std::string& queueName,
                       const Definition& definition);
  // Opens and maps the control file; one that is missing or shorter than a page is made or
  // lengthened first (under the exclusive lock), so that the mapping can never fault. Whether
  // its counters can be trusted is Trusted()'s to say.
  static Status Open(FileSystem& fs, int queueDirFd, const std::string& queueName,
                     std::unique_ptr<QueueControl>* control);
  // What a listing shows, read without mapping from "folder/control" below queuesFd: false
  // when the file is missing, damaged or its counters are not to be trusted (the caller then
  // counts the folder). The definition is known only when it was cached from the queue.ini
  // that definitionFile describes (the caller otherwise reads queue.ini).
  static bool ReadListing(FileSystem& fs, int queuesFd, const std::string& folder,
                          const struct stat* definitionFile, Listing* listing);
  ~QueueControl();

  // False when the counters must be rebuilt: a damaged page, another boot, a recount asked for.
  bool Trusted() const;
  void RequestRecount();
  // Records the definition for listings, unless it is recorded already or another process is
  // recording it.
  void CacheDefinition(const Definition& definition);
  // Sets the counters from a scan of the folder (under the exclusive lock) and marks them
  // trusted in this boot. next and lowest are per priority; lowest is next when none waits.
  // A next sequence that the page still holds is never lowered.
  void Rebuild(int64_t depth, const uint64_t* next, const uint64_t* lowest);

  // The flock that orders changes (see above). Failures carry errno's reason.
  Status LockShared();
  Status LockExclusive();
  void Unlock();

  // Takes one place below maxDepth; false when the queue is full.
  bool Reserve(int64_t maxDepth);
  // Gives a place back (a message removed, or a put that did not publish).
  void Release();
  int64_t depth() const;

  uint64_t Next(int priority) const;
  // The sequence number for a new message of the priority; never handed out twice.
  uint64_t TakeSequence(int priority);
  void RaiseNext(int priority, uint64_t atLeast);
  // The head word of a priority: its sequence (HeadSequence) and epoch.
  uint64_t Head(int priority) const;
  static uint64_t HeadSequence(uint64_t word) { return word & kSequenceMask; }
  // Moves the head up from word (as read) to sequence; fails when it moved meanwhile.
  bool AdvanceHead(int priority, uint64_t word, uint64_t sequence);
  // A message of that sequence is waiting: the head goes down to it (if above) and its epoch
  // changes, so that no getter's advance read before this call succeeds.
  void LowerHead(int priority, uint64_t sequence);

  bool Deleted() const;
  // Marks the queue deleted and wakes its waiting gets; UnmarkDeleted undoes it.
  void MarkDeleted();
  void UnmarkDeleted();

  // The wake-up count to pass to Wait: read it before looking for a message.
  uint32_t WakeCount() const;
  // Tells every waiting get in every process that something changed.
  void Wake();
  // Sleeps until Wake is called after seen was read, or ms milliseconds pass.
  void Wait(uint32_t seen, int64_t ms);

  struct Layout;  // the page, as the .cpp lays it out

 private:
  static constexpr uint64_t kSequenceMask = (uint64_t{1} << 48) - 1;

  QueueControl(FileSystem& fs) : _fs(fs) {}
  Layout* layout() const { return _layout; }

  FileSystem& _fs;
  UniqueFd _fd;
  Layout* _layout = nullptr;
};

}  // namespace rv
