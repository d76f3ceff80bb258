// QueueControl: the counters that every handle on one queue shares, in one slot of the queue
// manager's file "controls", mapped by each handle of each process:
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
//                (inode, size, change time) of the queue.ini they were read from
//   owner        the slot's state (free, reserved by a define, committed), its generation
//                (new for every define) and the queue's name
// The queue's folder names its slot in the file "slot" (index and generation). With all slots
// in one file, a listing of many queues reads that file once and examines only each queue.ini.
// A queue whose pointer or slot was lost or damaged is given a fresh slot when it is opened.
//
// The message folder is the truth; the counters let a put, a get and a listing run without
// looking at the whole folder. They are rebuilt by one scan of the folder (QueueStore::Recount)
// when they cannot be trusted: after a process was killed with a handle open, after the machine
// restarted, or when the slot was given afresh.
//
// Locks are open-file-description locks on single bytes, so that each handle's descriptor
// counts on its own:
//   byte 0 of "controls"    taken exclusive to allocate a slot
//   in-use byte of a slot   held shared by every handle that maps the slot, for its lifetime: a
//                           slot given up is handed to a new queue only when nobody holds it,
//                           so that no stale handle of an undefined queue counts against it
//   order byte              a put, a removal and a return hold it shared for the moment they
//                           change a name and a counter together; a recount, an undefine and
//                           a delete hold it exclusive, so they see no change half done. A
//                           hint (next, head) may be moved without it.
//
// One object per handle; the counters are shared with every process through the mapping.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "FileSystem.h"
#include "Status.h"
#include "UniqueFd.h"

namespace rv {

class QueueControl {
 public:
  static constexpr size_t kSize = 4096;     // a page: the unit of mapping
  static constexpr size_t kSlotSize = 512;  // a slot in the shared file
  static constexpr size_t kMaxSlots = size_t{1} << 18;
  static constexpr int kPriorities = 10;
  static constexpr const char* kSlotsFile = "controls";  // in the queue manager's folder
  static constexpr const char* kPointerFile = "slot";    // in a queue's folder

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

  // Which queue.ini a cached definition came from.
  struct FileIdentity {
    uint64_t inode;
    int64_t size;
    int64_t changeSeconds;
    int64_t changeNanoseconds;
  };
  // What a listing takes from a slot: whether its counters can be trusted, the depth,
  // and the definition that it caches (unless it was copied while being written) with the
  // queue.ini it came from.
  struct Cached {
    uint64_t generation = 0;
    bool trusted = false;
    int64_t depth = 0;
    bool definitionValid = false;
    int64_t maxDepth = 0;
    int64_t maxMessageLength = 0;
    FileIdentity definitionFile{};
  };
  // The committed slots of a queue manager as one read found them, by queue name (the newest
  // define of a name).
  using Slots = std::unordered_map<std::string, Cached>;

  // Takes a slot for a new queue (an empty queue, flushed) and writes its pointer into the
  // queue's folder, which is still being made. The slot stays reserved, unseen by listings,
  // until Commit; a define that fails gives it up with Free.
  static Status Create(FileSystem& fs, int qmDirFd, int queueDirFd, const std::string& queueName,
                       const Definition& definition, std::unique_ptr<QueueControl>* control);
  // Opens and maps the queue's counters: its slot when its pointer names one that is its own,
  // else a fresh slot that the pointer is changed to name (its counters are then counted from
  // the folder). Whether the counters can be trusted is Trusted()'s to say.
  // RVRC_UNKNOWN_OBJECT_NAME when the queue's folder was removed, RVRC_UNEXPECTED_ERROR when the
  // shared file is no regular file.
  static Status Open(FileSystem& fs, int qmDirFd, int queueDirFd, const std::string& queueName,
                     std::unique_ptr<QueueControl>* control);
  // Reads the shared file once for a listing; without it (or when it cannot be read), no queue
  // has counters to show.
  static void ReadSlots(FileSystem& fs, int qmDirFd, Slots* slots);
  // What a listing shows of the queue from its slot in slots: false
  // when there is none, or its counters are not to be trusted (the caller then counts the
  // folder). The definition is known only when it
  // was cached from the queue.ini that definitionFile describes (the caller otherwise reads
  // queue.ini).
  static bool ReadListing(const std::string& queueName, const Slots& slots,
                          const struct stat* definitionFile, Listing* listing);
  ~QueueControl();

  // The queue's folder is in place: its slot is committed, and listings show it.
  void Commit();
  // The queue is gone: its slot may go to a new queue once no handle maps it.
  void Free();

  // False when the counters must be rebuilt: a damaged slot, another boot, a recount asked for.
  bool Trusted() const;
  void RequestRecount();
  // Records the definition for listings, unless it is recorded already or another process is
  // recording it.
  void CacheDefinition(const Definition& definition);
  // Sets the counters from a scan of the folder (under the exclusive lock) and marks them
  // trusted in this boot. next and lowest are per priority; lowest is next when none waits.
  // A next sequence that the slot still holds is never lowered.
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

  struct Layout;  // the slot, as the .cpp lays it out

 private:
  static constexpr uint64_t kSequenceMask = (uint64_t{1} << 48) - 1;

  QueueControl(FileSystem& fs) : _fs(fs) {}
  // Gives the queue a fresh slot under the allocation lock, unless another handle did first.
  static Status Reattach(FileSystem& fs, int qmDirFd, int queueDirFd, const std::string& queueName,
                         std::unique_ptr<QueueControl>* control);
  // Maps slot index if it holds that generation of the queue; *mine is false otherwise.
  static Status OpenSlot(FileSystem& fs, int qmDirFd, const std::string& queueName, uint64_t index,
                         uint64_t generation, std::unique_ptr<QueueControl>* control, bool* mine);
  // Under the allocation lock: finds a slot nobody holds (or adds one), fills it and maps it.
  // A slot that a define or an undefine which stopped left reserved or deleted is taken too,
  // unless its queue is in place (its slot is then committed).
  Status TakeSlot(int qmDirFd, const std::string& queueName, const Definition& definition,
                  uint64_t* index, uint64_t* generation);
  // Maps the page that holds the slot at offset.
  Status MapAt(off_t offset, const std::string& what);

  FileSystem& _fs;
  UniqueFd _fd;
  void* _page = nullptr;      // the mapped page
  Layout* _layout = nullptr;  // the slot in it
  off_t _offset = 0;          // of the slot in its file
};

}  // namespace rv
