// DataRoot: the folder that holds the embedded queue managers (RV_DATA_DIR, by default
// ${XDG_STATE_HOME:-$HOME/.local/state}/rv), and the operations on whole queue managers: create,
// delete, list, the default, quiescing. Layout:
//   default.ini              name of the default queue manager
//   qmgrs/<encoded name>/    one queue manager: qmgr.ini (name, backend), quiescing (present while
//                            quiesced), errors.log, queues/ (see QueueStore)
// A DataRoot owns a descriptor of the folder; every path below it is opened relative to it, and
// every call goes through the file system that Open was given, which the queue managers and
// queues opened below it use as well. Like ssh with its files, it refuses a data root, queue
// manager folder or queue folder that belongs to another user or that other users may change:
// they could take, forge or delete messages there. Any number of processes may work on one data
// root at once; one object is for one thread.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "FileSystem.h"
#include "Status.h"
#include "UniqueFd.h"

namespace rv {

class DataRoot {
 public:
  struct QueueManagerDefinition {
    std::string name;
    std::string backend;  // the Registry's name of the backend that serves it; empty: default
  };

  // The folder that RV_DATA_DIR or the default names.
  static std::string Location();
  // Opens the data root, creating it (mode 0700) when create is set. A missing root gives
  // RVRC_Q_MGR_NOT_AVAILABLE; a root on a network file system RVRC_RESOURCE_PROBLEM; one that
  // is not private to this user (CheckPrivate) RVRC_NOT_AUTHORIZED. A symbolic link on the way
  // is followed only when it and the folder that holds it belong to this user or root and no
  // one else may replace it (CheckLinks); its target must pass the same checks.
  static Status Open(bool create, DataRoot* root, FileSystem& fs = FileSystem::Real());
  // RVRC_NOT_AUTHORIZED, with a text that says why and what to do, unless the folder fd
  // (what, at path) belongs to this user and no other user may write to it.
  static Status CheckPrivate(FileSystem& fs, int fd, const std::string& what,
                             const std::string& path);

  // RVRC_NOT_AUTHORIZED, with a text that names the link, its owner and what to do, when a
  // component of path is a symbolic link that another user owns, or that lies in a folder
  // that another user owns or may write (without the sticky bit): that user could point the
  // path at a folder of theirs. Components that do not exist end the walk.
  static Status CheckLinks(FileSystem& fs, const std::string& path);

  const std::string& path() const { return _path; }
  // Whether the data root is on a memory file system (tmpfs, ramfs): every flush succeeds,
  // yet nothing in it survives a restart of the machine.
  bool inMemory() const { return _inMemory; }
  int fd() const { return _fd.get(); }
  FileSystem& fs() const { return *_fs; }

  // The default queue manager's name; RVRC_Q_MGR_NOT_AVAILABLE when none is set.
  Status DefaultQueueManager(std::string* name) const;
  // Opens a queue manager's folder and reads its definition; RVRC_Q_MGR_NOT_AVAILABLE when it
  // does not exist, RVRC_NOT_AUTHORIZED when the folder is not private. The name must be valid
  // (ObjectName::IsValid).
  Status OpenQueueManager(const std::string& name, QueueManagerDefinition* definition,
                          UniqueFd* dir) const;
  Status ListQueueManagers(std::vector<std::string>* names) const;

  // settings (the backend's name among them) are added to the definition; prepare,
  // when given, runs in the new folder before the definition is written. The queue manager is
  // made under a temporary name and renamed into place: it exists whole or not at all, also
  // when a step fails or the process is killed.
  Status CreateQueueManager(const std::string& name, bool makeDefault,
                            const std::map<std::string, std::string>& settings = {},
                            const std::function<Status(int qmDirFd)>& prepare = {});
  // Removes the queue manager's folder with everything in it (whether that may lose messages is
  // the backend's to say first). RVRC_Q_MGR_NOT_AVAILABLE when it does not exist. It fails only
  // while the queue manager is still there; what a failure after that leaves behind is hidden
  // and swept up by a later deletion.
  Status DeleteQueueManager(const std::string& name);
  Status SetQuiescing(const std::string& name, bool quiescing);
  static bool IsQuiescing(int qmDirFd, FileSystem& fs = FileSystem::Real());

  // Appends one line with a time stamp to the queue manager's errors.log. Best effort.
  static void LogError(int qmDirFd, const std::string& text, FileSystem& fs = FileSystem::Real());

  static constexpr const char* kQuiescingFile = "quiescing";
  static constexpr const char* kQueuesFolder = "queues";

 private:
  std::string _path;
  bool _inMemory = false;
  FileSystem* _fs = &FileSystem::Real();
  UniqueFd _fd;
  UniqueFd _qmgrs;
};

}  // namespace rv
