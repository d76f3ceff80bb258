// SmallFile: reads and atomically replaces the small "key=value" definition files of the data root
// (queue manager and queue definitions, the default queue manager). A replacement is written to a
// new file, flushed and renamed over the old one, so a reader sees the old or the new content.
// Stateless; safe from any thread and process.
#pragma once

#include <map>
#include <string>

#include "Status.h"

namespace rv {

class SmallFile {
 public:
  // Reads the whole file; RVRC_UNKNOWN_OBJECT_NAME when it does not exist.
  static Status Read(int dirFd, const std::string& name, std::string* content);
  static Status WriteAtomic(int dirFd, const std::string& name, const std::string& content);
  // Reads "key=value" lines; other lines are ignored.
  static Status ReadSettings(int dirFd, const std::string& name,
                             std::map<std::string, std::string>* settings);
  static Status WriteSettings(int dirFd, const std::string& name,
                              const std::map<std::string, std::string>& settings);
};

}  // namespace rv
