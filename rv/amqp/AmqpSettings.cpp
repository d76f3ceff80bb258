#include "AmqpSettings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "SmallFile.h"
#include "UniqueFd.h"

namespace rv {

namespace {

constexpr const char* kTlsKeys[] = {AmqpSettings::kCaFileKey, AmqpSettings::kCertFileKey,
                                    AmqpSettings::kKeyFileKey, AmqpSettings::kVerifyKey};

std::string Setting(const std::map<std::string, std::string>& settings, const char* key) {
  auto it = settings.find(key);
  return it == settings.end() ? std::string() : it->second;
}

// The file that setting key names, as an absolute path (not resolved, so that a link that a
// renewal moves keeps working), checked to be readable now.
Status FilePath(const std::map<std::string, std::string>& settings, const char* key,
                std::map<std::string, std::string>* definition) {
  auto it = settings.find(key);
  if (it == settings.end()) return Status::Ok();
  std::string path = it->second;
  if (path.empty() || path.find('\n') != std::string::npos) {
    return Status::Error(RVRC_OPTIONS_ERROR, std::string("setting ") + key + " needs a file name");
  }
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) {
    Status s = Status::FromErrno(errno, "cannot read " + path + " (" + key + ")");
    return Status::Error(RVRC_OPTIONS_ERROR, s.message());
  }
  if (path.front() != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
      return Status::FromErrno(errno, "cannot tell the current folder");
    }
    path = std::string(cwd) + "/" + path;
  }
  (*definition)[key] = path;
  return Status::Ok();
}

}  // namespace

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

Status AmqpSettings::PasswordFrom(const std::map<std::string, std::string>& settings, bool required,
                                  std::string* password) {
  const bool fromFile = settings.count(kPasswordFileKey) != 0;
  const bool given = settings.count(kPasswordKey) != 0;
  if (fromFile && given) {
    return Status::Error(RVRC_OPTIONS_ERROR, std::string("give either ") + kPasswordFileKey +
                                                 " or " + kPasswordKey + ", not both");
  }
  if (fromFile) return ReadPasswordFile(Setting(settings, kPasswordFileKey), password);
  if (given) {
    *password = Setting(settings, kPasswordKey);
    return CheckPassword("the password", password);
  }
  password->clear();
  if (!required) return Status::Ok();
  return Status::Error(RVRC_OPTIONS_ERROR, std::string("backend amqp needs the setting ") +
                                               kPasswordFileKey + " (or a client certificate, " +
                                               kCertFileKey + " and " + kKeyFileKey + ")");
}

Status AmqpSettings::Configure(const std::map<std::string, std::string>& settings,
                               std::map<std::string, std::string>* definition,
                               std::string* password) {
  for (const auto& [key, value] : settings) {
    bool known = key == kUrlKey || key == kPasswordFileKey || key == kPasswordKey;
    for (const char* tlsKey : kTlsKeys) known = known || key == tlsKey;
    if (!known) {
      return Status::Error(RVRC_OPTIONS_ERROR,
                           "setting \"" + key + "\" is not one of backend amqp");
    }
  }
  if (settings.count(kUrlKey) == 0) {
    return Status::Error(RVRC_OPTIONS_ERROR,
                         std::string("backend amqp needs the setting ") + kUrlKey);
  }
  AmqpUrl url;
  Status s = AmqpUrl::Parse(Setting(settings, kUrlKey), &url);
  if (!s.ok()) return s;
  (*definition)[kUrlKey] = url.ToString();
  for (const char* key : kTlsKeys) {
    if (!url.tls() && settings.count(key) != 0) {
      return Status::Error(RVRC_OPTIONS_ERROR, std::string("setting ") + key +
                                                   " needs a broker URL that starts with amqps://");
    }
  }
  const bool cert = settings.count(kCertFileKey) != 0;
  if (cert != (settings.count(kKeyFileKey) != 0)) {
    return Status::Error(RVRC_OPTIONS_ERROR, std::string("a client certificate needs both ") +
                                                 kCertFileKey + " and " + kKeyFileKey);
  }
  if (settings.count(kVerifyKey) != 0) {
    const std::string verify = Setting(settings, kVerifyKey);
    if (verify != "yes" && verify != "no") {
      return Status::Error(RVRC_OPTIONS_ERROR,
                           std::string("setting ") + kVerifyKey + " is \"yes\" or \"no\"");
    }
    (*definition)[kVerifyKey] = verify;
  }
  for (const char* key : {kCaFileKey, kCertFileKey, kKeyFileKey}) {
    s = FilePath(settings, key, definition);
    if (!s.ok()) return s;
  }
  return PasswordFrom(settings, !cert, password);
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
  result.tls.caFile = values[kCaFileKey];
  result.tls.certFile = values[kCertFileKey];
  result.tls.keyFile = values[kKeyFileKey];
  result.tls.verify = values[kVerifyKey] != "no";
  s = SmallFile::Read(qmDirFd, kPasswordFile, &result.password);
  if (s.reason() == RVRC_UNKNOWN_OBJECT_NAME && !result.tls.certFile.empty()) {
    result.password.clear();
    s = Status::Ok();
  } else if (s.ok()) {
    s = CheckPassword("the password file of queue manager " + qmName, &result.password);
  }
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

Status AmqpSettings::ChangePassword(int qmDirFd,
                                    const std::map<std::string, std::string>& settings) {
  for (const auto& [key, value] : settings) {
    if (key != kPasswordFileKey && key != kPasswordKey) {
      return Status::Error(RVRC_OPTIONS_ERROR,
                           "setting \"" + key + "\" cannot be changed; only the password can");
    }
  }
  std::string password;
  Status s = PasswordFrom(settings, true, &password);
  if (!s.ok()) return s;
  return WritePassword(qmDirFd, password);
}

Status AmqpSettings::WritePassword(int qmDirFd, const std::string& password) {
  return SmallFile::WriteAtomic(qmDirFd, kPasswordFile, password + "\n");
}

std::vector<std::pair<std::string, std::string>> AmqpSettings::Describe() const {
  std::vector<std::pair<std::string, std::string>> out;
  out.emplace_back("url", url.ToString());
  if (url.tls()) {
    out.emplace_back(
        "tls", !tls.verify
                   ? "on, the broker's certificate is NOT verified (insecure)"
                   : "on, the broker's certificate and host name are verified "
                     "against " +
                         (tls.caFile.empty() ? std::string("the system's CA store") : tls.caFile));
    if (!tls.certFile.empty()) {
      out.emplace_back("client certificate", tls.certFile);
      out.emplace_back("client key", tls.keyFile);
    }
  } else {
    out.emplace_back("tls", "off");
  }
  out.emplace_back("login", external() ? "EXTERNAL, by the client certificate"
                                       : "PLAIN as " + url.user() +
                                             ", with the password kept in the queue manager's "
                                             "folder");
  return out;
}

}  // namespace rv
