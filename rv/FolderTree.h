// FolderTree: names folders that are being made or removed, and removes a folder with everything
// below it, through the file system given, so that
// a test can fail any of its calls. Symbolic links are removed, never followed. Stateless.
#pragma once

#include <string>

#include "FileSystem.h"
#include "Status.h"

namespace rv {

class FolderTree {
 public:
  // Removes name (a folder in dirFd) and its contents. A name that does not exist is no error.
  static Status Remove(FileSystem& fs, int dirFd, const std::string& name);
  // A hidden name (".kind-folder-pid-n") for a folder that is being made or removed, unique
  // among the processes of this machine; no listing of names takes it for an object.
  static std::string PassingName(const char* kind, const std::string& folder);
  // Removes the passing folders in dirFd that a process which no longer runs left behind (it
  // was killed, or could not remove everything). Best effort.
  static void Sweep(FileSystem& fs, int dirFd);
};

}  // namespace rv
