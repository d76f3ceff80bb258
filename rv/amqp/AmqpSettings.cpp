#include "AmqpSettings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "SmallFile.h"
#include "UniqueFd.h"

namespace rv {

Status AmqpSettings::CheckPassword(const std::string& where, std::string* text) {
  if (!text->empty() && text->back() == '\n') text->pop_back();
  if (!text->empty() && text->back() == '\r') text->pop_back();
  if (text->empty()) return Status::Error(RVRC_OPTIONS_ERROR, where + " is empty");
  if (text->size() > kMaxPasswordLength) {
    return Status::Error(RVRC_OPTIONS_ERROR, where + " is longer than " +
                                                 std::to_string(kMaxPasswordLength) + " bytes");
  }
  if (text->find('\n') != std::string::npos || text->find('\0') != std::string::npos) {
    return Status::Error(RVRC_OPTIONS_ERROR, where + " must hold the password alone on one line");
  }
  return Status::Ok();
}

Status AmqpSettings::Read(int qmDirFd, const std::string& qmName, AmqpSettings* settings) {
  std::map<std::string, std::string> values;
  Status s = SmallFile::ReadSettings(qmDirFd, "qmgr.ini", &values);
  if (!s.ok()) {
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "cannot read the definition of queue manager " +
                                                       qmName + ": " + s.message());
  }
  AmqpSettings result;
  s = AmqpUrl::Parse(values[kUrlKey], &result.url);
  if (!s.ok()) {
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                         "queue manager " + qmName + " has no usable broker URL: " + s.message());
  }
  s = SmallFile::Read(qmDirFd, kPasswordFile, &result.password);
  if (s.ok()) s = CheckPassword("the password file of queue manager " + qmName, &result.password);
  if (!s.ok()) {
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                         "queue manager " + qmName + " has no usable password: " + s.message());
  }
  *settings = std::move(result);
  return Status::Ok();
}

Status AmqpSettings::ReadPasswordFile(const std::string& path, std::string* password) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return Status::FromErrno(errno, "cannot open the password file " + path);
  std::string text;
  char buf[512];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::FromErrno(errno, "cannot read the password file " + path);
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > kMaxPasswordLength + 2) break;
  }
  Status s = CheckPassword("the password file " + path, &text);
  if (!s.ok()) return s;
  *password = std::move(text);
  return Status::Ok();
}

Status AmqpSettings::WritePassword(int qmDirFd, const std::string& password) {
  return SmallFile::WriteAtomic(qmDirFd, kPasswordFile, password + "\n");
}

}  // namespace rv
