#include "SmallFile.h"

#include <fcntl.h>

#include <cerrno>
#include <sstream>

#include "UniqueFd.h"

namespace rv {

Status SmallFile::Read(int dirFd, const std::string& name, std::string* content, FileSystem& fs) {
  UniqueFd fd(fs.OpenAt(dirFd, name, O_RDONLY | O_NONBLOCK, 0));
  if (!fd.valid()) {
    if (errno == ENOENT) return Status::Error(RVRC_UNKNOWN_OBJECT_NAME, name + " does not exist");
    if (errno == ELOOP) return Status::Error(RVRC_UNEXPECTED_ERROR, name + " is a symbolic link");
    return Status::FromErrno(errno, "cannot open " + name);
  }
  struct stat st;
  if (fs.Fstat(fd.get(), &st) != 0) return Status::FromErrno(errno, "cannot examine " + name);
  if (!S_ISREG(st.st_mode)) {
    return Status::Error(RVRC_UNEXPECTED_ERROR, name + " is not a regular file");
  }
  if (static_cast<size_t>(st.st_size) > kMaxLength) {
    return Status::Error(RVRC_UNEXPECTED_ERROR,
                         name + " is too long (" + std::to_string(st.st_size) + " bytes)");
  }
  content->assign(kMaxLength + 1, '\0');
  ssize_t n = fs.ReadAt(fd.get(), content->data(), content->size(), 0);
  if (n < 0) return Status::FromErrno(errno, "cannot read " + name);
  if (static_cast<size_t>(n) > kMaxLength) {
    return Status::Error(RVRC_UNEXPECTED_ERROR, name + " is too long");
  }
  content->resize(static_cast<size_t>(n));
  return Status::Ok();
}

Status SmallFile::WriteAtomic(int dirFd, const std::string& name, const std::string& content,
                              FileSystem& fs) {
  std::string temp = name + ".new";
  fs.UnlinkAt(dirFd, temp, false);
  UniqueFd fd(fs.OpenAt(dirFd, temp, O_WRONLY | O_CREAT | O_EXCL, 0600));
  if (!fd.valid()) return Status::FromErrno(errno, "cannot create " + temp);
  if (fs.WriteAll(fd.get(), content.data(), content.size()) != 0 || fs.Sync(fd.get()) != 0) {
    Status s = Status::FromErrno(errno, "cannot write " + temp);
    fs.UnlinkAt(dirFd, temp, false);
    return s;
  }
  fd.Reset();
  if (fs.RenameAt(dirFd, temp, dirFd, name, false) != 0) {
    Status s = Status::FromErrno(errno, "cannot rename " + temp + " to " + name);
    fs.UnlinkAt(dirFd, temp, false);
    return s;
  }
  if (fs.Sync(dirFd) != 0) return Status::FromErrno(errno, "cannot flush the folder of " + name);
  return Status::Ok();
}

Status SmallFile::ReadSettings(int dirFd, const std::string& name,
                               std::map<std::string, std::string>* settings, FileSystem& fs) {
  std::string content;
  Status s = Read(dirFd, name, &content, fs);
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

namespace {

std::string SettingsText(const std::map<std::string, std::string>& settings) {
  std::string content;
  for (const auto& [key, value] : settings) content += key + "=" + value + "\n";
  return content;
}

}  // namespace

Status SmallFile::Create(int dirFd, const std::string& name,
                         const std::map<std::string, std::string>& settings, FileSystem& fs) {
  const std::string content = SettingsText(settings);
  UniqueFd fd(fs.OpenAt(dirFd, name, O_WRONLY | O_CREAT | O_EXCL, 0600));
  if (!fd.valid() || fs.WriteAll(fd.get(), content.data(), content.size()) != 0 ||
      fs.Sync(fd.get()) != 0) {
    return Status::FromErrno(errno, "cannot write " + name);
  }
  return Status::Ok();
}

Status SmallFile::WriteSettings(int dirFd, const std::string& name,
                                const std::map<std::string, std::string>& settings,
                                FileSystem& fs) {
  return WriteAtomic(dirFd, name, SettingsText(settings), fs);
}

}  // namespace rv
