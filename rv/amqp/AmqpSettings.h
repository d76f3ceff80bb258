// AmqpSettings: what a broker queue manager's folder in the data root holds beside the usual
// definition: the broker URL and the TLS settings (keys of qmgr.ini, backend "amqp"), and the
// password, alone in the file "password" (mode 0600), so that it never appears on a command
// line or in the definition. The TLS files are named by absolute path, not copied, so that a
// renewed certificate is used as soon as it replaces the old one. A queue manager with a client
// certificate and no password logs in by its certificate (SASL EXTERNAL).
// A plain value; the functions are stateless and safe from any thread or process.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "AmqpUrl.h"
#include "Status.h"

namespace rv {

class AmqpSettings {
 public:
  // Keys of a new queue manager's settings; all but the password ones go into qmgr.ini.
  static constexpr const char* kUrlKey = "url";
  static constexpr const char* kPasswordFileKey = "password-file";  // a file that holds it
  static constexpr const char* kPasswordKey = "password";           // the password itself
  static constexpr const char* kCaFileKey = "tls-ca-file";
  static constexpr const char* kCertFileKey = "tls-cert-file";
  static constexpr const char* kKeyFileKey = "tls-key-file";
  static constexpr const char* kVerifyKey = "tls-verify";  // "yes" (default) or "no"
  static constexpr const char* kPasswordFile = "password";
  static constexpr size_t kMaxPasswordLength = 1024;

  // The TLS side of an amqps:// URL.
  struct Tls {
    std::string caFile;  // empty: the system's CA store
    std::string certFile;
    std::string keyFile;
    bool verify = true;  // the broker's certificate chain and host name
  };

  // Checks the settings of a new queue manager: *definition receives the entries for qmgr.ini
  // and *password the password to store (empty for a login by certificate). RVRC_OPTIONS_ERROR
  // (RVRC_Q_MGR_NAME_ERROR for a malformed URL) with the reason when they do not do.
  static Status Configure(const std::map<std::string, std::string>& settings,
                          std::map<std::string, std::string>* definition, std::string* password);
  // Reads the settings of queue manager qmName from its folder qmDirFd.
  // RVRC_Q_MGR_NOT_AVAILABLE when they are missing or malformed, with the reason.
  static Status Read(int qmDirFd, const std::string& qmName, AmqpSettings* settings);
  // Reads a password file that a user names: its content less one line end. Refuses (2046) an
  // empty file, a second line, a NUL byte and more than kMaxPasswordLength bytes.
  static Status ReadPasswordFile(const std::string& path, std::string* password);
  // Checks a password given as text (less one line end), as ReadPasswordFile does; where names
  // it in the message.
  static Status CheckPassword(const std::string& where, std::string* text);
  // The new password of an existing queue manager from settings "password-file" or "password",
  // stored in its folder.
  static Status ChangePassword(int qmDirFd, const std::map<std::string, std::string>& settings);
  // Stores the password in the queue manager's folder, mode 0600, replacing it atomically.
  static Status WritePassword(int qmDirFd, const std::string& password);

  // A login by client certificate rather than by password.
  bool external() const { return !tls.certFile.empty() && password.empty(); }
  // What a user may see of the settings: the URL, TLS and the way of login; never the password.
  std::vector<std::pair<std::string, std::string>> Describe() const;

  AmqpUrl url;
  std::string password;
  Tls tls;

 private:
  static Status PasswordFrom(const std::map<std::string, std::string>& settings, bool required,
                             std::string* password);
};

}  // namespace rv
