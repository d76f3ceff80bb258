// AmqpSettings: what a broker queue manager's folder in the data root holds beside the usual
// definition: the broker URL (key "url" of qmgr.ini, backend "amqp") and the password, alone in
// the file "password" (mode 0600), so that it never appears on a command line or in the
// definition. A plain value; the functions are stateless and safe from any thread or process.
#pragma once

#include <string>

#include "AmqpUrl.h"
#include "Status.h"

namespace rv {

class AmqpSettings {
 public:
  static constexpr const char* kUrlKey = "url";
  // The setting of a new queue manager that names the file to read the password from.
  static constexpr const char* kPasswordFileKey = "password-file";
  static constexpr const char* kPasswordFile = "password";
  static constexpr size_t kMaxPasswordLength = 1024;

  // Reads the URL and the password of queue manager qmName from its folder qmDirFd.
  // RVRC_Q_MGR_NOT_AVAILABLE when either is missing or malformed, with the reason.
  static Status Read(int qmDirFd, const std::string& qmName, AmqpSettings* settings);
  // Reads a password file that a user names: its content less one line end. Refuses (2046) an
  // empty file, a second line, a NUL byte and more than kMaxPasswordLength bytes.
  static Status ReadPasswordFile(const std::string& path, std::string* password);
  // Stores the password in the queue manager's folder, mode 0600, replacing it atomically.
  static Status WritePassword(int qmDirFd, const std::string& password);

  AmqpUrl url;
  std::string password;

 private:
  static Status CheckPassword(const std::string& where, std::string* text);
};

}  // namespace rv
