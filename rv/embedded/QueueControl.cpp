#include "QueueControl.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <mutex>

namespace rv {

namespace {

constexpr char kMagic[8] = {'R', 'V', 'Q', 'C', 'T', 'L', '\r', '\n'};
constexpr uint32_t kVersion = 1;
constexpr uint32_t kDeletedFlag = 1;
constexpr uint32_t kRecountFlag = 2;
constexpr size_t kBootIdLength = 36;

// This boot's identifier, read once per process; empty when it cannot be read (the boot is
// then not compared, and a later call tries again). Once read it never changes, so the many
// calls of a listing's threads take no lock.
const std::string& BootId(FileSystem& fs) {
  static std::mutex mutex;
  static std::atomic<bool> read{false};
  static std::string known;
  static const std::string unknown;
  if (read.load(std::memory_order_acquire)) return known;
  std::lock_guard<std::mutex> lock(mutex);
  if (read.load(std::memory_order_relaxed)) return known;
  UniqueFd fd(fs.OpenPath("/proc/sys/kernel/random/boot_id", O_RDONLY));
  char text[kBootIdLength] = {};
  if (!fd.valid() ||
      fs.ReadAt(fd.get(), text, sizeof text, 0) != static_cast<ssize_t>(sizeof text)) {
    return unknown;
  }
  known.assign(text, sizeof text);
  read.store(true, std::memory_order_release);
  return known;
}

long Futex(uint32_t* word, int op, uint32_t value, const struct timespec* timeout) {
  return ::syscall(SYS_futex, word, op, value, timeout, nullptr, 0);
}

// Which queue.ini a cached definition came from.
struct FileIdentity {
  uint64_t inode;
  int64_t size;
  int64_t changeSeconds;
  int64_t changeNanoseconds;
};

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
  // lets a reader that copies the page with one read tell a torn copy.
  uint64_t definitionSequence;
  int64_t maxDepth;
  int64_t maxMessageLength;
  FileIdentity definitionFile;
  uint64_t definitionCheck;
};
static_assert(sizeof(QueueControl::Layout) <= QueueControl::kSize, "the control data fits a page");
static_assert(offsetof(QueueControl::Layout, depth) % 8 == 0, "counters are aligned");

Status QueueControl::Create(FileSystem& fs, int queueDirFd, const std::string& queueName,
                            const Definition& definition) {
  std::string page(kSize, '\0');
  Layout fresh{};
  std::memcpy(fresh.magic, kMagic, sizeof kMagic);
  fresh.version = kVersion;
  fresh.size = kSize;
  fresh.maxDepth = definition.maxDepth;
  fresh.maxMessageLength = definition.maxMessageLength;
  fresh.definitionFile = IdentityOf(definition.file);
  fresh.definitionCheck =
      DefinitionCheck(0, fresh.maxDepth, fresh.maxMessageLength, fresh.definitionFile);
  const std::string& boot = BootId(fs);
  std::memcpy(fresh.boot, boot.data(), std::min(boot.size(), sizeof fresh.boot));
  std::memcpy(page.data(), &fresh, sizeof fresh);
  UniqueFd fd(fs.OpenAt(queueDirFd, kFile, O_RDWR | O_CREAT | O_EXCL, 0600));
  if (!fd.valid() || fs.WriteAll(fd.get(), page.data(), page.size()) != 0 ||
      fs.Sync(fd.get()) != 0) {
    return Status::FromErrno(errno, "cannot create the control file of " + queueName);
  }
  return Status::Ok();
}

Status QueueControl::Open(FileSystem& fs, int queueDirFd, const std::string& queueName,
                          std::unique_ptr<QueueControl>* control) {
  std::unique_ptr<QueueControl> c(new QueueControl(fs));
  const std::string what = "the control file of " + queueName;
  c->_fd.Reset(fs.OpenAt(queueDirFd, kFile, O_RDWR | O_CREAT | O_NONBLOCK, 0600));
  if (!c->_fd.valid()) {
    if (errno == ELOOP || errno == EISDIR) {
      return Status::Error(RVRC_UNEXPECTED_ERROR,
                           what + " is not a regular file; remove it and it is rebuilt");
    }
    return Status::FromErrno(errno, "cannot open " + what);
  }
  struct stat st;
  if (fs.Fstat(c->_fd.get(), &st) != 0) return Status::FromErrno(errno, "cannot examine " + what);
  if (!S_ISREG(st.st_mode)) {
    return Status::Error(RVRC_UNEXPECTED_ERROR,
                         what + " is not a regular file; remove it and it is rebuilt");
  }
  if (static_cast<size_t>(st.st_size) < kSize) {
    // Mapping beyond the end of a file faults on access: lengthen it first. The zeros that
    // this adds are no valid counters, so a recount follows.
    Status s = c->LockExclusive();
    if (!s.ok()) return s;
    if (fs.Fstat(c->_fd.get(), &st) != 0 ||
        (static_cast<size_t>(st.st_size) < kSize && fs.Truncate(c->_fd.get(), kSize) != 0)) {
      s = Status::FromErrno(errno, "cannot repair " + what);
    }
    c->Unlock();
    if (!s.ok()) return s;
  }
  void* map = fs.Map(c->_fd.get(), kSize);
  if (map == nullptr) return Status::FromErrno(errno, "cannot map " + what);
  c->_layout = static_cast<Layout*>(map);
  *control = std::move(c);
  return Status::Ok();
}

bool QueueControl::ReadListing(FileSystem& fs, int queuesFd, const std::string& folder,
                               const struct stat* definitionFile, Listing* listing) {
  UniqueFd fd(fs.OpenAt(queuesFd, folder + "/" + kFile, O_RDONLY | O_NONBLOCK, 0));
  Layout copy;
  if (!fd.valid() ||
      fs.ReadAt(fd.get(), &copy, sizeof copy, 0) != static_cast<ssize_t>(sizeof copy)) {
    return false;
  }
  QueueControl view(fs);
  view._layout = &copy;
  const bool trusted = view.Trusted();
  view._layout = nullptr;
  if (!trusted) return false;
  listing->depth = copy.depth;
  // A definition copied while it was being written (odd, or torn) is not taken.
  listing->definitionKnown =
      definitionFile != nullptr && copy.definitionSequence % 2 == 0 &&
      copy.definitionCheck == DefinitionCheck(copy.definitionSequence, copy.maxDepth,
                                              copy.maxMessageLength, copy.definitionFile) &&
      copy.definitionFile == IdentityOf(*definitionFile);
  if (listing->definitionKnown) {
    listing->maxDepth = copy.maxDepth;
    listing->maxMessageLength = copy.maxMessageLength;
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
  if (_layout != nullptr) _fs.Unmap(_layout, kSize);
}

bool QueueControl::Trusted() const {
  const Layout& l = *_layout;
  if (std::memcmp(l.magic, kMagic, sizeof kMagic) != 0 || l.version != kVersion ||
      l.size != kSize || (__atomic_load_n(&l.flags, __ATOMIC_ACQUIRE) & kRecountFlag) != 0 ||
      __atomic_load_n(&l.depth, __ATOMIC_RELAXED) < 0) {
    return false;
  }
  for (int p = 0; p < kPriorities; ++p) {
    uint64_t next = __atomic_load_n(&l.next[p], __ATOMIC_RELAXED);
    if (next > kSequenceMask ||
        HeadSequence(__atomic_load_n(&l.head[p], __ATOMIC_RELAXED)) > next) {
      return false;
    }
  }
  const std::string& boot = BootId(_fs);
  return boot.empty() || std::memcmp(l.boot, boot.data(), sizeof l.boot) == 0;
}

void QueueControl::RequestRecount() {
  __atomic_fetch_or(&_layout->flags, kRecountFlag, __ATOMIC_SEQ_CST);
}

void QueueControl::Rebuild(int64_t depth, const uint64_t* next, const uint64_t* lowest) {
  Layout& l = *_layout;
  const bool intact = std::memcmp(l.magic, kMagic, sizeof kMagic) == 0 && l.version == kVersion;
  uint32_t keep = intact ? (__atomic_load_n(&l.flags, __ATOMIC_SEQ_CST) & kDeletedFlag) : 0;
  std::memcpy(l.magic, kMagic, sizeof kMagic);
  l.version = kVersion;
  l.size = kSize;
  const std::string& boot = BootId(_fs);
  std::memset(l.boot, 0, sizeof l.boot);
  std::memcpy(l.boot, boot.data(), std::min(boot.size(), sizeof l.boot));
  __atomic_store_n(&l.depth, depth, __ATOMIC_SEQ_CST);
  for (int p = 0; p < kPriorities; ++p) {
    // A number once handed out is not handed out again while the page survived.
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
  if (_fs.Lock(_fd.get(), false, true) != 0) {
    return Status::FromErrno(errno, "cannot lock the control file");
  }
  return Status::Ok();
}

Status QueueControl::LockExclusive() {
  if (_fs.Lock(_fd.get(), true, true) != 0) {
    return Status::FromErrno(errno, "cannot lock the control file");
  }
  return Status::Ok();
}

void QueueControl::Unlock() {
  _fs.Unlock(_fd.get());
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
