#include "QueueControl.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <map>
#include <vector>

#include "DataRoot.h"
#include "ObjectName.h"
#include "SmallFile.h"

namespace rv {

namespace {

constexpr char kMagic[8] = {'R', 'V', 'Q', 'C', 'T', 'L', '\r', '\n'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kDeletedFlag = 1;
constexpr uint32_t kRecountFlag = 2;
constexpr size_t kBootIdLength = 36;
// A slot's state. A slot that is neither reserved nor committed (free, never written, or
// damaged) may be taken by a define.
constexpr uint32_t kFree = 0;
constexpr uint32_t kReserved = 1;
constexpr uint32_t kCommitted = 2;
// Lock bytes: of the shared file, and within a slot.
constexpr off_t kAllocationLock = 0;
constexpr off_t kInUseLock = 1;
constexpr off_t kOrderLock = 2;
constexpr size_t kNameLength = 64;

long Futex(uint32_t* word, int op, uint32_t value, const struct timespec* timeout) {
  return ::syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

using FileIdentity = QueueControl::FileIdentity;

FileIdentity IdentityOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
          static_cast<int64_t>(st.st_ctim.tv_sec), static_cast<int64_t>(st.st_ctim.tv_nsec)};
}

bool operator==(const FileIdentity& a, const FileIdentity& b) {
  return a.inode == b.inode && a.size == b.size && a.changeSeconds == b.changeSeconds &&
         a.changeNanoseconds == b.changeNanoseconds;
}

// FNV-1a over the words of a cached definition and its sequence.
uint64_t DefinitionCheck(uint64_t sequence, int64_t maxDepth, int64_t maxMessageLength,
                         const FileIdentity& file) {
  const uint64_t words[] = {sequence,
                            static_cast<uint64_t>(maxDepth),
                            static_cast<uint64_t>(maxMessageLength),
                            file.inode,
                            static_cast<uint64_t>(file.size),
                            static_cast<uint64_t>(file.changeSeconds),
                            static_cast<uint64_t>(file.changeNanoseconds)};
  uint64_t hash = 14695981039346656037ull;
  for (uint64_t w : words) {
    for (int i = 0; i < 8; ++i) {
      hash = (hash ^ ((w >> (8 * i)) & 0xff)) * 1099511628211ull;
    }
  }
  return hash;
}

}  // namespace

struct QueueControl::Layout {
  char magic[8];
  uint32_t version;
  uint32_t size;
  uint32_t wakeups;
  uint32_t flags;
  char boot[kBootIdLength];
  char reserved[4];
  int64_t depth;
  uint64_t next[kPriorities];
  uint64_t head[kPriorities];
  // The definition for listings; written by one process at a time (define, or an open that
  // found it changed), guarded by the sequence: odd while it is being written. The check sum
  // lets a reader that copies the slot with one read tell a torn copy.
  uint64_t definitionSequence;
  int64_t maxDepth;
  int64_t maxMessageLength;
  FileIdentity definitionFile;
  uint64_t definitionCheck;
  // The owner of the slot. Changed only by whoever holds the allocation lock, and (state) by a
  // commit.
  uint32_t state;
  uint32_t unused;
  uint64_t generation;
  char name[kNameLength];
};
static_assert(sizeof(QueueControl::Layout) <= QueueControl::kSlotSize, "the counters fit a slot");
static_assert(QueueControl::kSize % QueueControl::kSlotSize == 0, "slots do not cross pages");
static_assert(ObjectName::kMaxLength < kNameLength, "a queue name fits a slot");
static_assert(offsetof(QueueControl::Layout, depth) % 8 == 0, "counters are aligned");

namespace {

using Layout = QueueControl::Layout;

constexpr off_t PageOf(off_t offset) {
  return offset - offset % static_cast<off_t>(QueueControl::kSize);
}

off_t SlotOffset(uint64_t index) {
  return static_cast<off_t>(index * QueueControl::kSlotSize);
}

bool Stamped(const Layout& l) {
  return std::memcmp(l.magic, kMagic, sizeof kMagic) == 0 && l.version == kVersion &&
         l.size == QueueControl::kSlotSize;
}

// Reserved or committed: not to be taken by a define.
bool Held(const Layout& l) {
  const uint32_t state = __atomic_load_n(&l.state, __ATOMIC_ACQUIRE);
  return Stamped(l) && (state == kReserved || state == kCommitted);
}

std::string NameOf(const Layout& l) {
  return std::string(l.name, strnlen(l.name, sizeof l.name));
}

// Opens the shared file of the queue manager; a missing one is made when create is set (else
// RVRC_UNKNOWN_OBJECT_NAME). RVRC_UNEXPECTED_ERROR when it is no regular file.
Status OpenSlotsFile(FileSystem& fs, int qmDirFd, bool create, UniqueFd* fd) {
  const std::string what = std::string("the queue control file ") + QueueControl::kSlotsFile;
  fd->Reset(fs.OpenAt(qmDirFd, QueueControl::kSlotsFile,
                      O_RDWR | O_NONBLOCK | (create ? O_CREAT : 0), 0600));
  if (!fd->valid()) {
    if (errno == ELOOP || errno == EISDIR) {
      return Status::Error(RVRC_UNEXPECTED_ERROR, what + " is not a regular file");
    }
    if (errno == ENOENT) return Status::Error(RVRC_UNKNOWN_OBJECT_NAME, what + " does not exist");
    return Status::FromErrno(errno, "cannot open " + what);
  }
  struct stat st;
  if (fs.Fstat(fd->get(), &st) != 0) return Status::FromErrno(errno, "cannot examine " + what);
  if (!S_ISREG(st.st_mode)) {
    fd->Reset();
    return Status::Error(RVRC_UNEXPECTED_ERROR, what + " is not a regular file");
  }
  return Status::Ok();
}

// Reads a slot pointer ("slot" and "generation"); *valid is false when there is none or it is
// damaged. Other failures to read it are returned.
Status ReadPointer(FileSystem& fs, int dirFd, const std::string& path, uint64_t* index,
                   uint64_t* generation, bool* valid) {
  *valid = false;
  std::map<std::string, std::string> pointer;
  Status s = SmallFile::ReadSettings(dirFd, path, &pointer, fs);
  if (s.reason() == RVRC_UNKNOWN_OBJECT_NAME || s.reason() == RVRC_UNEXPECTED_ERROR) {
    return Status::Ok();
  }
  if (!s.ok()) return s;
  const std::string& slot = pointer["slot"];
  const std::string& number = pointer["generation"];
  size_t used[2] = {0, 0};
  try {
    *index = std::stoull(slot, &used[0]);
    *generation = std::stoull(number, &used[1]);
  } catch (const std::exception&) {
    return Status::Ok();
  }
  *valid = used[0] > 0 && used[0] == slot.size() && used[1] > 0 && used[1] == number.size();
  return Status::Ok();
}

// Calls visit(index, copy) for every whole slot of the shared file. It is read in pieces into
// one buffer: the file may be large, and every page of a fresh buffer costs a fault.
template <typename Visit>
Status ForEachSlot(FileSystem& fs, int fd, Visit visit) {
  constexpr size_t kSlot = QueueControl::kSlotSize;
  struct stat st;
  if (fs.Fstat(fd, &st) != 0) return Status::FromErrno(errno, "cannot examine the queue controls");
  if (static_cast<size_t>(st.st_size) > QueueControl::kMaxSlots * kSlot) {
    return Status::Error(RVRC_UNEXPECTED_ERROR,
                         "the queue control file is longer than any queue manager needs");
  }
  constexpr size_t kPiece = 128 * kSlot;
  std::unique_ptr<char[]> piece(new char[kPiece]);
  for (off_t at = 0; at < st.st_size; at += static_cast<off_t>(kPiece)) {
    const ssize_t n = fs.ReadAt(fd, piece.get(), kPiece, at);
    if (n < 0) return Status::FromErrno(errno, "cannot read the queue controls");
    for (size_t i = 0; i + kSlot <= static_cast<size_t>(n); i += kSlot) {
      Layout l;
      std::memcpy(&l, piece.get() + i, sizeof l);
      visit((static_cast<size_t>(at) + i) / kSlot, l);
    }
    if (static_cast<size_t>(n) < kPiece) break;
  }
  return Status::Ok();
}

// False when the counters must be rebuilt: a damaged slot, another boot, a recount asked for.
bool TrustedPage(FileSystem& fs, const Layout& l) {
  if (!Stamped(l) || (__atomic_load_n(&l.flags, __ATOMIC_ACQUIRE) & kRecountFlag) != 0 ||
      __atomic_load_n(&l.depth, __ATOMIC_RELAXED) < 0) {
    return false;
  }
  for (int p = 0; p < QueueControl::kPriorities; ++p) {
    uint64_t next = __atomic_load_n(&l.next[p], __ATOMIC_RELAXED);
    if (QueueControl::HeadSequence(next) != next ||
        QueueControl::HeadSequence(__atomic_load_n(&l.head[p], __ATOMIC_RELAXED)) > next) {
      return false;
    }
  }
  const std::string& boot = fs.BootId();
  return boot.empty() || std::memcmp(l.boot, boot.data(), sizeof l.boot) == 0;
}

// What a listing takes from a copy of a slot.
QueueControl::Cached CachedOf(FileSystem& fs, const Layout& copy) {
  QueueControl::Cached c;
  c.generation = copy.generation;
  c.trusted = TrustedPage(fs, copy);
  c.depth = copy.depth;
  // A definition copied while it was being written (odd, or torn) is not taken.
  c.definitionValid =
      copy.definitionSequence % 2 == 0 &&
      copy.definitionCheck == DefinitionCheck(copy.definitionSequence, copy.maxDepth,
                                              copy.maxMessageLength, copy.definitionFile);
  c.maxDepth = copy.maxDepth;
  c.maxMessageLength = copy.maxMessageLength;
  c.definitionFile = copy.definitionFile;
  return c;
}

}  // namespace

Status QueueControl::MapAt(off_t offset, const std::string& what) {
  void* page = _fs.Map(_fd.get(), PageOf(offset), kSize);
  if (page == nullptr) return Status::FromErrno(errno, "cannot map " + what);
  _page = page;
  _layout = reinterpret_cast<Layout*>(static_cast<char*>(page) + (offset - PageOf(offset)));
  _offset = offset;
  return Status::Ok();
}

Status QueueControl::Create(FileSystem& fs, int qmDirFd, int queueDirFd,
                            const std::string& queueName, const Definition& definition,
                            std::unique_ptr<QueueControl>* control) {
  std::unique_ptr<QueueControl> c(new QueueControl(fs));
  Status s = OpenSlotsFile(fs, qmDirFd, true, &c->_fd);
  if (!s.ok()) return s;
  if (fs.LockByte(c->_fd.get(), kAllocationLock, true, true) != 0) {
    return Status::FromErrno(errno, "cannot lock the queue controls to define " + queueName);
  }
  uint64_t index = 0, generation = 0;
  s = c->TakeSlot(qmDirFd, queueName, definition, &index, &generation);
  fs.UnlockByte(c->_fd.get(), kAllocationLock);
  if (!s.ok()) return s;
  s = SmallFile::Create(
      queueDirFd, kPointerFile,
      {{"slot", std::to_string(index)}, {"generation", std::to_string(generation)}}, fs);
  if (!s.ok()) {
    c->Free();
    return s;
  }
  *control = std::move(c);
  return Status::Ok();
}

Status QueueControl::TakeSlot(int qmDirFd, const std::string& queueName,
                              const Definition& definition, uint64_t* index, uint64_t* generation) {
  const int fd = _fd.get();
  // Generations only grow, so that a pointer left from an undefined queue never matches the
  // slot's next owner.
  *generation = 1;
  size_t count = 0;
  std::vector<size_t> unheld;
  // Slots that a define or an undefine may have left when it stopped: reserved, or deleted.
  struct Stopped {
    size_t index;
    uint64_t generation;
    std::string name;
  };
  std::vector<Stopped> stopped;
  Status s = ForEachSlot(_fs, fd, [&](size_t i, const Layout& l) {
    if (Stamped(l)) *generation = std::max(*generation, l.generation + 1);
    if (!Held(l)) unheld.push_back(i);
    if (Held(l) && (l.state == kReserved || (l.flags & kDeletedFlag) != 0)) {
      stopped.push_back({i, l.generation, NameOf(l)});
    }
    count = i + 1;
  });
  if (!s.ok()) return s;
  // A slot is taken only with its in-use lock, which no handle and no define holds then: 1
  // when it is taken, 0 when someone holds it, -1 when the lock fails (errno).
  auto take = [&](size_t i) {
    if (_fs.LockByte(fd, SlotOffset(i) + kInUseLock, true, false) == 0) return 1;
    return errno == EAGAIN || errno == EACCES ? 0 : -1;
  };
  const char* const cannotLock = "cannot lock a queue control slot";
  *index = count;
  for (size_t i : unheld) {
    const int taken = take(i);
    if (taken < 0) return Status::FromErrno(errno, cannotLock);
    if (taken > 0) {
      *index = i;
      break;
    }
  }
  // Nobody holds such a slot when the define or undefine that had it stopped. Its queue's
  // folder tells: still in place, it keeps its slot (committed, if a define stopped before
  // that); gone, or made anew with another slot, the slot is free for this define.
  for (size_t k = 0; k < stopped.size() && *index == count; ++k) {
    const Stopped& r = stopped[k];
    const int taken = take(r.index);
    if (taken < 0) return Status::FromErrno(errno, cannotLock);
    if (taken == 0) continue;
    uint64_t pointedIndex = 0, pointedGeneration = 0;
    bool valid = false;
    s = ReadPointer(_fs, qmDirFd,
                    std::string(DataRoot::kQueuesFolder) + "/" + ObjectName::Encode(r.name) + "/" +
                        kPointerFile,
                    &pointedIndex, &pointedGeneration, &valid);
    if (!s.ok()) return s;
    if (valid && pointedIndex == r.index && pointedGeneration == r.generation) {
      const uint32_t committed = kCommitted;
      _fs.WriteAt(fd, &committed, sizeof committed,
                  SlotOffset(r.index) + static_cast<off_t>(offsetof(Layout, state)));
      _fs.UnlockByte(fd, SlotOffset(r.index) + kInUseLock);
    } else {
      *index = r.index;
    }
  }
  if (*index == count) {
    if (count >= kMaxSlots) {
      return Status::Error(
          RVRC_RESOURCE_PROBLEM,
          "the queue manager has " + std::to_string(kMaxSlots) + " queues, as many as it can hold");
    }
    // A whole page more, so that no mapping of a slot reaches past the end of the file.
    struct stat st;
    const off_t end = PageOf(SlotOffset(*index)) + static_cast<off_t>(kSize);
    if (_fs.Fstat(fd, &st) != 0 || (st.st_size < end && _fs.Truncate(fd, end) != 0) ||
        _fs.LockByte(fd, SlotOffset(*index) + kInUseLock, true, false) != 0) {
      return Status::FromErrno(errno, "cannot add a slot to the queue controls");
    }
  }
  const off_t offset = SlotOffset(*index);
  std::string slot(kSlotSize, '\0');
  Layout fresh{};
  std::memcpy(fresh.magic, kMagic, sizeof kMagic);
  fresh.version = kVersion;
  fresh.size = kSlotSize;
  fresh.maxDepth = definition.maxDepth;
  fresh.maxMessageLength = definition.maxMessageLength;
  fresh.definitionFile = IdentityOf(definition.file);
  fresh.definitionCheck =
      DefinitionCheck(0, fresh.maxDepth, fresh.maxMessageLength, fresh.definitionFile);
  const std::string& boot = _fs.BootId();
  std::memcpy(fresh.boot, boot.data(), std::min(boot.size(), sizeof fresh.boot));
  fresh.state = kReserved;
  fresh.generation = *generation;
  std::memcpy(fresh.name, queueName.data(), std::min(queueName.size(), sizeof fresh.name - 1));
  std::memcpy(slot.data(), &fresh, sizeof fresh);
  if (_fs.WriteAt(fd, slot.data(), slot.size(), offset) != 0 || _fs.Sync(fd) != 0) {
    s = Status::FromErrno(errno, "cannot write the queue control slot of " + queueName);
  }
  // From here on the in-use lock is held as every handle holds it.
  if (s.ok() && _fs.LockByte(fd, offset + kInUseLock, false, true) != 0) {
    s = Status::FromErrno(errno, "cannot lock the queue control slot of " + queueName);
  }
  if (s.ok()) s = MapAt(offset, "the queue control slot of " + queueName);
  if (!s.ok()) {
    // Whatever was written names no folder yet: the slot goes back.
    const uint32_t free = kFree;
    _fs.WriteAt(fd, &free, sizeof free, offset + static_cast<off_t>(offsetof(Layout, state)));
  }
  return s;
}

void QueueControl::Commit() {
  uint32_t reserved = kReserved;
  __atomic_compare_exchange_n(&_layout->state, &reserved, kCommitted, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
}

void QueueControl::Free() {
  __atomic_store_n(&_layout->state, kFree, __ATOMIC_SEQ_CST);
}

Status QueueControl::Open(FileSystem& fs, int qmDirFd, int queueDirFd, const std::string& queueName,
                          std::unique_ptr<QueueControl>* control) {
  uint64_t index = 0, generation = 0;
  bool valid = false;
  Status s = ReadPointer(fs, queueDirFd, kPointerFile, &index, &generation, &valid);
  if (s.ok() && valid) {
    bool mine = false;
    s = OpenSlot(fs, qmDirFd, queueName, index, generation, control, &mine);
    if (!s.ok() || mine) return s;
  } else if (!s.ok()) {
    return Status::Error(s.reason(), "queue " + queueName + ": " + s.message());
  }
  return Reattach(fs, qmDirFd, queueDirFd, queueName, control);
}

Status QueueControl::Reattach(FileSystem& fs, int qmDirFd, int queueDirFd,
                              const std::string& queueName,
                              std::unique_ptr<QueueControl>* control) {
  // A folder that an undefine already removed gets no slot.
  struct stat st;
  if (fs.Fstat(queueDirFd, &st) != 0) {
    return Status::FromErrno(errno, "cannot examine queue " + queueName);
  }
  if (st.st_nlink == 0) {
    return Status::Error(RVRC_UNKNOWN_OBJECT_NAME, "queue " + queueName + " is not defined");
  }
  std::unique_ptr<QueueControl> c(new QueueControl(fs));
  Status s = OpenSlotsFile(fs, qmDirFd, true, &c->_fd);
  if (!s.ok()) return s;
  if (fs.LockByte(c->_fd.get(), kAllocationLock, true, true) != 0) {
    return Status::FromErrno(errno, "cannot lock the queue controls to open " + queueName);
  }
  // Another handle may have given it a slot while this one waited for the lock.
  uint64_t index = 0, generation = 0;
  bool valid = false, mine = false;
  s = ReadPointer(fs, queueDirFd, kPointerFile, &index, &generation, &valid);
  if (s.ok() && valid) s = OpenSlot(fs, qmDirFd, queueName, index, generation, control, &mine);
  if (s.ok() && !mine) {
    s = c->TakeSlot(qmDirFd, queueName, Definition{}, &index, &generation);
    if (s.ok()) {
      s = SmallFile::WriteSettings(
          queueDirFd, kPointerFile,
          {{"slot", std::to_string(index)}, {"generation", std::to_string(generation)}}, fs);
      if (!s.ok()) c->Free();
    }
  }
  fs.UnlockByte(c->_fd.get(), kAllocationLock);
  if (!s.ok() || mine) return s;
  // The counters are the fresh slot's: they are counted from the folder before they are used.
  c->Commit();
  c->RequestRecount();
  *control = std::move(c);
  return Status::Ok();
}

Status QueueControl::OpenSlot(FileSystem& fs, int qmDirFd, const std::string& queueName,
                              uint64_t index, uint64_t generation,
                              std::unique_ptr<QueueControl>* control, bool* mine) {
  *mine = false;
  if (index >= kMaxSlots) return Status::Ok();
  std::unique_ptr<QueueControl> c(new QueueControl(fs));
  Status s = OpenSlotsFile(fs, qmDirFd, false, &c->_fd);
  if (s.reason() == RVRC_UNKNOWN_OBJECT_NAME || s.reason() == RVRC_UNEXPECTED_ERROR) {
    return Status::Ok();  // no slot file, or a damaged one: the queue has no slot
  }
  if (!s.ok()) return s;
  const std::string what = "the queue control slot of " + queueName;
  const off_t offset = SlotOffset(index);
  struct stat st;
  if (fs.Fstat(c->_fd.get(), &st) != 0) return Status::FromErrno(errno, "cannot examine " + what);
  if (st.st_size < PageOf(offset) + static_cast<off_t>(kSize)) return Status::Ok();
  if (fs.LockByte(c->_fd.get(), offset + kInUseLock, false, true) != 0) {
    return Status::FromErrno(errno, "cannot lock " + what);
  }
  s = c->MapAt(offset, what);
  if (!s.ok()) return s;
  // Held now, the slot can no longer change hands: it is this queue's or it is not.
  Layout& l = *c->_layout;
  if (!Stamped(l) || l.generation != generation || NameOf(l) != queueName) {
    return Status::Ok();
  }
  // A define that stopped between its rename and its commit left the slot reserved.
  uint32_t state = kReserved;
  __atomic_compare_exchange_n(&l.state, &state, kCommitted, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  if (state != kReserved && state != kCommitted) return Status::Ok();
  *mine = true;
  *control = std::move(c);
  return Status::Ok();
}

void QueueControl::ReadSlots(FileSystem& fs, int qmDirFd, Slots* slots) {
  slots->clear();
  UniqueFd fd;
  if (!OpenSlotsFile(fs, qmDirFd, false, &fd).ok()) return;
  Status s = ForEachSlot(fs, fd.get(), [&](size_t, const Layout& l) {
    if (!Held(l) || l.state != kCommitted) return;
    // Where an undefine stopped before it gave its slot up, the name's newest define counts.
    auto [it, added] = slots->try_emplace(NameOf(l));
    if (added || l.generation > it->second.generation) it->second = CachedOf(fs, l);
  });
  if (!s.ok()) slots->clear();
}

bool QueueControl::ReadListing(const std::string& queueName, const Slots& slots,
                               const struct stat* definitionFile, Listing* listing) {
  auto slot = slots.find(queueName);
  if (slot == slots.end()) return false;
  const Cached& cached = slot->second;
  if (!cached.trusted) return false;
  listing->depth = cached.depth;
  listing->definitionKnown = definitionFile != nullptr && cached.definitionValid &&
                             cached.definitionFile == IdentityOf(*definitionFile);
  if (listing->definitionKnown) {
    listing->maxDepth = cached.maxDepth;
    listing->maxMessageLength = cached.maxMessageLength;
  }
  return true;
}

void QueueControl::CacheDefinition(const Definition& definition) {
  Layout& l = *_layout;
  const FileIdentity identity = IdentityOf(definition.file);
  uint64_t sequence = __atomic_load_n(&l.definitionSequence, __ATOMIC_ACQUIRE);
  if (sequence % 2 == 0 && l.definitionFile == identity && l.maxDepth == definition.maxDepth &&
      l.maxMessageLength == definition.maxMessageLength &&
      l.definitionCheck == DefinitionCheck(sequence, l.maxDepth, l.maxMessageLength, identity)) {
    return;
  }
  // One writer at a time: whoever makes the sequence odd writes, the others leave it to them.
  if (sequence % 2 != 0 ||
      !__atomic_compare_exchange_n(&l.definitionSequence, &sequence, sequence + 1, false,
                                   __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    return;
  }
  l.maxDepth = definition.maxDepth;
  l.maxMessageLength = definition.maxMessageLength;
  l.definitionFile = identity;
  l.definitionCheck =
      DefinitionCheck(sequence + 2, definition.maxDepth, definition.maxMessageLength, identity);
  __atomic_store_n(&l.definitionSequence, sequence + 2, __ATOMIC_RELEASE);
}

QueueControl::~QueueControl() {
  if (_page != nullptr) _fs.Unmap(_page, kSize);
}

bool QueueControl::Trusted() const {
  return TrustedPage(_fs, *_layout);
}

void QueueControl::RequestRecount() {
  __atomic_fetch_or(&_layout->flags, kRecountFlag, __ATOMIC_SEQ_CST);
}

void QueueControl::Rebuild(int64_t depth, const uint64_t* next, const uint64_t* lowest) {
  Layout& l = *_layout;
  const bool intact = Stamped(l);
  const std::string& boot = _fs.BootId();
  // A deleted mark of an earlier boot is an undefine or delete that a crash stopped before its
  // folder was gone: the queue that is still in place is in use again.
  const bool sameBoot = boot.empty() || std::memcmp(l.boot, boot.data(), sizeof l.boot) == 0;
  uint32_t keep =
      intact && sameBoot ? (__atomic_load_n(&l.flags, __ATOMIC_SEQ_CST) & kDeletedFlag) : 0;
  std::memcpy(l.magic, kMagic, sizeof kMagic);
  l.version = kVersion;
  l.size = kSlotSize;
  std::memset(l.boot, 0, sizeof l.boot);
  std::memcpy(l.boot, boot.data(), std::min(boot.size(), sizeof l.boot));
  __atomic_store_n(&l.depth, depth, __ATOMIC_SEQ_CST);
  for (int p = 0; p < kPriorities; ++p) {
    // A number once handed out is not handed out again while the slot survived.
    uint64_t old = intact ? __atomic_load_n(&l.next[p], __ATOMIC_SEQ_CST) : 0;
    uint64_t fresh = old <= kSequenceMask ? std::max(old, next[p]) : next[p];
    __atomic_store_n(&l.next[p], fresh & kSequenceMask, __ATOMIC_SEQ_CST);
    uint64_t epoch =
        (__atomic_load_n(&l.head[p], __ATOMIC_SEQ_CST) & ~kSequenceMask) + (kSequenceMask + 1);
    __atomic_store_n(&l.head[p], epoch | (lowest[p] & kSequenceMask), __ATOMIC_SEQ_CST);
  }
  __atomic_store_n(&l.flags, keep, __ATOMIC_SEQ_CST);
}

Status QueueControl::LockShared() {
  if (_fs.LockByte(_fd.get(), _offset + kOrderLock, false, true) != 0) {
    return Status::FromErrno(errno, "cannot lock the queue control slot");
  }
  return Status::Ok();
}

Status QueueControl::LockExclusive() {
  if (_fs.LockByte(_fd.get(), _offset + kOrderLock, true, true) != 0) {
    return Status::FromErrno(errno, "cannot lock the queue control slot");
  }
  return Status::Ok();
}

void QueueControl::Unlock() {
  _fs.UnlockByte(_fd.get(), _offset + kOrderLock);
}

bool QueueControl::Reserve(int64_t maxDepth) {
  int64_t d = __atomic_load_n(&_layout->depth, __ATOMIC_SEQ_CST);
  do {
    if (d >= maxDepth) return false;
  } while (!__atomic_compare_exchange_n(&_layout->depth, &d, d + 1, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST));
  return true;
}

void QueueControl::Release() {
  int64_t d = __atomic_load_n(&_layout->depth, __ATOMIC_SEQ_CST);
  while (d > 0 && !__atomic_compare_exchange_n(&_layout->depth, &d, d - 1, false, __ATOMIC_SEQ_CST,
                                               __ATOMIC_SEQ_CST)) {
  }
}

int64_t QueueControl::depth() const {
  return __atomic_load_n(&_layout->depth, __ATOMIC_SEQ_CST);
}

uint64_t QueueControl::Next(int priority) const {
  return __atomic_load_n(&_layout->next[priority], __ATOMIC_SEQ_CST);
}

uint64_t QueueControl::TakeSequence(int priority) {
  return __atomic_fetch_add(&_layout->next[priority], 1, __ATOMIC_SEQ_CST) & kSequenceMask;
}

void QueueControl::RaiseNext(int priority, uint64_t atLeast) {
  uint64_t* next = &_layout->next[priority];
  uint64_t current = __atomic_load_n(next, __ATOMIC_SEQ_CST);
  while (current < atLeast && !__atomic_compare_exchange_n(next, &current, atLeast, false,
                                                           __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
  }
}

uint64_t QueueControl::Head(int priority) const {
  return __atomic_load_n(&_layout->head[priority], __ATOMIC_SEQ_CST);
}

bool QueueControl::AdvanceHead(int priority, uint64_t word, uint64_t sequence) {
  uint64_t moved = (word & ~kSequenceMask) | (sequence & kSequenceMask);
  return __atomic_compare_exchange_n(&_layout->head[priority], &word, moved, false,
                                     __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

void QueueControl::LowerHead(int priority, uint64_t sequence) {
  uint64_t* head = &_layout->head[priority];
  uint64_t word = __atomic_load_n(head, __ATOMIC_SEQ_CST);
  uint64_t lowered;
  do {
    uint64_t epoch = (word & ~kSequenceMask) + (kSequenceMask + 1);
    lowered = epoch | std::min(HeadSequence(word), sequence & kSequenceMask);
  } while (!__atomic_compare_exchange_n(head, &word, lowered, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST));
}

bool QueueControl::Deleted() const {
  return (__atomic_load_n(&_layout->flags, __ATOMIC_SEQ_CST) & kDeletedFlag) != 0;
}

void QueueControl::MarkDeleted() {
  __atomic_fetch_or(&_layout->flags, kDeletedFlag, __ATOMIC_SEQ_CST);
  Wake();
}

void QueueControl::UnmarkDeleted() {
  __atomic_fetch_and(&_layout->flags, ~kDeletedFlag, __ATOMIC_SEQ_CST);
}

uint32_t QueueControl::WakeCount() const {
  return __atomic_load_n(&_layout->wakeups, __ATOMIC_SEQ_CST);
}

void QueueControl::Wake() {
  __atomic_add_fetch(&_layout->wakeups, 1, __ATOMIC_SEQ_CST);
  // A shared mapping of one file: the futex is keyed by the page, so it reaches every process.
  Futex(&_layout->wakeups, FUTEX_WAKE, INT_MAX, nullptr);
}

void QueueControl::Wait(uint32_t seen, int64_t ms) {
  struct timespec timeout;
  timeout.tv_sec = static_cast<time_t>(ms / 1000);
  timeout.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  Futex(&_layout->wakeups, FUTEX_WAIT, seen, &timeout);
}

}  // namespace rv
