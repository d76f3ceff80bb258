// PowerCutFileSystem: a file system that can lose power. It passes every call to the real one
// and records what each flush made durable, so that Restart() can leave the disk as a machine
// that lost power would find it after its restart:
//   - a file's data is what it held at its last Sync (empty for a file made since); a mapped
//     file counts as written for as long as it is mapped
//   - a change of a folder's entries (create, mkdir, rename, unlink) is durable once a folder it
//     touched was flushed after it; a rename is atomic. A change that is durable makes the
//     earlier changes of the same file and the making of the folders it touched durable too,
//     as a journal commits them in order. Every other change is undone, the last first.
// Removed files and folders are kept in a stash folder until Restart, so that a removal can be
// undone; a stashed folder reports no links, as a removed one does.
//
// CutAt(n) cuts the power just before the n-th call that would change the disk: that call and
// every call after it fail with EIO, as if the machine had stopped there. Restart() must be
// called once nothing of the store is open on this file system any more (every descriptor of
// the store closed, every mapping gone); it then starts a new boot (BootId changes).
//
// For one test thread; everything below the stash's file system must be the test's own.
#pragma once

#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ForwardingFileSystem.h"

namespace rvtest {

class PowerCutFileSystem : public ForwardingFileSystem {
 public:
  // stash: an empty folder on the same file system as the data root.
  explicit PowerCutFileSystem(const std::string& stash);
  ~PowerCutFileSystem() override;

  // Cuts the power before the n-th call from now on that would change the disk; 0: never.
  void CutAt(int n);
  // Calls that would change the disk since CutAt, the cut one included.
  int changes() const { return _changes; }
  bool cut() const { return _cut; }
  // Undoes what no flush made durable and starts a new boot. False (with why()) when the disk
  // could not be put in that state.
  bool Restart();
  const std::string& why() const { return _why; }

  bool Before(const char* call) override;
  int OpenAt(int dirFd, const std::string& name, int flags, mode_t mode) override;
  int WriteAll(int fd, const void* data, size_t length) override;
  int WriteAt(int fd, const void* data, size_t length, off_t offset) override;
  int Sync(int fd) override;
  int Truncate(int fd, off_t length) override;
  int RenameAt(int fromDir, const std::string& from, int toDir, const std::string& to,
               bool noReplace) override;
  int UnlinkAt(int dirFd, const std::string& name, bool directory) override;
  int MkdirAt(int dirFd, const std::string& name, mode_t mode) override;
  int Fstat(int fd, struct stat* st) override;
  void* Map(int fd, off_t offset, size_t length) override;
  const std::string& BootId() override { return _bootId; }

 private:
  using Key = std::pair<dev_t, ino_t>;
  enum class Kind { kCreate, kMkdir, kRename, kUnlink };
  // One change of folder entries. Folders are held by descriptors of their own, so that an undo
  // finds them whatever happened to their names since.
  struct Change {
    Kind kind;
    Key node;  // the file or folder the change is about
    int dirA = -1;
    std::string nameA;  // where it was made, removed, or renamed from
    int dirB = -1;
    std::string nameB;  // where it was renamed to
    Key keyA{}, keyB{};
    std::string stashed;  // in the stash: the removed entry, or a rename's replaced target
    bool durable = false;
  };
  // A file whose data has changed since its last flush.
  struct Written {
    int fd = -1;          // a descriptor of its own
    std::string durable;  // its data at its last flush
  };

  // Counts a call that would change the disk; false (EIO) once the power is cut.
  bool Changing();
  void Track(int fd, bool fresh);
  Change& Log(Kind kind, Key node, int dirA, const std::string& nameA);
  void MakeDurable(size_t index);
  bool Undo(const Change& change);
  std::string NextStashName();
  static bool KeyOf(int fd, Key* key);
  static bool KeyAt(int dirFd, const std::string& name, Key* key);

  std::string _stashPath;
  int _stash = -1;
  int _stashCount = 0;
  int _cutAt = 0;
  int _changes = 0;
  bool _cut = false;
  int _boots = 0;
  std::string _bootId;
  std::string _why;
  std::vector<Change> _log;
  std::map<Key, Written> _written;
  std::set<Key> _removed;  // stashed by UnlinkAt
};

}  // namespace rvtest
