// SmallFile: reads and atomically replaces the small "key=value" definition files of the data root
// (queue manager and queue definitions, the default queue manager). A replacement is written to a
// new file, flushed and renamed over the old one, so a reader sees the old or the new content.
// A file that is not a regular file, or is larger than any definition, is refused rather than
// read, so a FIFO or a device put in its place cannot block or exhaust the reader. Every call
// goes through the file system given (by default the real one). Stateless; safe from any
// thread and process.
#pragma once

#include <map>
#include <string>

#include "FileSystem.h"
#include "Status.h"

namespace rv {

class SmallFile {
 public:
  static constexpr size_t kMaxLength = 64 * 1024;

  // Reads the whole file; RVRC_UNKNOWN_OBJECT_NAME when it does not exist,
  // RVRC_UNEXPECTED_ERROR when it is not a regular file or too long.
  static Status Read(int dirFd, const std::string& name, std::string* content,
                     FileSystem& fs = FileSystem::Real());
  static Status WriteAtomic(int dirFd, const std::string& name, const std::string& content,
                            FileSystem& fs = FileSystem::Real());
  // Writes a new file, flushed, without a rename: for a folder that is still being made and
  // that nobody else sees yet.
  static Status Create(int dirFd, const std::string& name,
                       const std::map<std::string, std::string>& settings, FileSystem& fs);
  // Reads "key=value" lines; other lines are ignored.
  static Status ReadSettings(int dirFd, const std::string& name,
                             std::map<std::string, std::string>* settings,
                             FileSystem& fs = FileSystem::Real());
  static Status WriteSettings(int dirFd, const std::string& name,
                              const std::map<std::string, std::string>& settings,
                              FileSystem& fs = FileSystem::Real());
};

}  // namespace rv
