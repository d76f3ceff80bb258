#include "SmallFile.h"

#include <fcntl.h>

#include <cerrno>
#include <sstream>

#include "FileSystem.h"
#include "UniqueFd.h"

namespace rv {

Status SmallFile::Read(int dirFd, const std::string& name, std::string* content) {
  UniqueFd fd(Fs().OpenAt(dirFd, name, O_RDONLY, 0));
  if (!fd.valid()) {
    if (errno == ENOENT) return Status::Error(RVRC_UNKNOWN_OBJECT_NAME, name + " does not exist");
    return Status::FromErrno(errno, "cannot open " + name);
  }
  content->clear();
  char buf[4096];
  off_t offset = 0;
  for (;;) {
    ssize_t n = Fs().ReadAt(fd.get(), buf, sizeof buf, offset);
    if (n < 0) return Status::FromErrno(errno, "cannot read " + name);
    if (n == 0) break;
    content->append(buf, static_cast<size_t>(n));
    offset += n;
  }
  return Status::Ok();
}

Status SmallFile::WriteAtomic(int dirFd, const std::string& name, const std::string& content) {
  std::string temp = name + ".new";
  Fs().UnlinkAt(dirFd, temp, false);
  UniqueFd fd(Fs().OpenAt(dirFd, temp, O_WRONLY | O_CREAT | O_EXCL, 0600));
  if (!fd.valid()) return Status::FromErrno(errno, "cannot create " + temp);
  if (Fs().WriteAll(fd.get(), content.data(), content.size()) != 0 || Fs().Sync(fd.get()) != 0) {
    Status s = Status::FromErrno(errno, "cannot write " + temp);
    Fs().UnlinkAt(dirFd, temp, false);
    return s;
  }
  fd.Reset();
  if (Fs().RenameAt(dirFd, temp, dirFd, name, false) != 0) {
    Status s = Status::FromErrno(errno, "cannot rename " + temp + " to " + name);
    Fs().UnlinkAt(dirFd, temp, false);
    return s;
  }
  if (Fs().Sync(dirFd) != 0) return Status::FromErrno(errno, "cannot flush the folder of " + name);
  return Status::Ok();
}

Status SmallFile::ReadSettings(int dirFd, const std::string& name,
                               std::map<std::string, std::string>* settings) {
  std::string content;
  Status s = Read(dirFd, name, &content);
  if (!s.ok()) return s;
  std::istringstream in(content);
  std::string line;
  settings->clear();
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    (*settings)[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return Status::Ok();
}

Status SmallFile::WriteSettings(int dirFd, const std::string& name,
                                const std::map<std::string, std::string>& settings) {
  std::string content;
  for (const auto& [key, value] : settings) content += key + "=" + value + "\n";
  return WriteAtomic(dirFd, name, content);
}

}  // namespace rv
