// The warning that rvqm create gives for a data root on a memory file system, for the tests
// whose data roots lie wherever TMPDIR or MakeTempDir puts them.
#pragma once

#include <sys/vfs.h>

#include <string>

// What rvqm create QM writes on standard error for the data root at root: the warning when the
// folder that holds root is on tmpfs or ramfs, else nothing.
inline std::string MemoryWarning(const std::string& root, const std::string& qm) {
  struct statfs fs;
  const std::string folder = root.substr(0, root.rfind('/'));
  if (::statfs(folder.c_str(), &fs) != 0 ||
      (fs.f_type != 0x01021994 && static_cast<unsigned long>(fs.f_type) != 0x858458f6ul)) {
    return "";
  }
  return "rvqm: warning: the data folder of " + qm +
         " is on a memory file system (tmpfs or ramfs): its queue managers and messages do not "
         "survive a restart\n";
}
