#include "AmqpBackend.h"

#include <cstring>

#include "AmqpConnection.h"
#include "AmqpSettings.h"
#include "rvadmin.h"

namespace rv {

RVLONG AmqpBackend::flags() const {
  return RVQMF_BROKER;
}

Status AmqpBackend::Configure(const std::map<std::string, std::string>& settings,
                              std::map<std::string, std::string>* definition, Prepare* prepare) {
  for (const auto& [key, value] : settings) {
    if (key != AmqpSettings::kUrlKey && key != AmqpSettings::kPasswordFileKey) {
      return Status::Error(RVRC_OPTIONS_ERROR,
                           "setting \"" + key + "\" is not one of backend " + name());
    }
  }
  auto url = settings.find(AmqpSettings::kUrlKey);
  auto passwordFile = settings.find(AmqpSettings::kPasswordFileKey);
  if (url == settings.end() || passwordFile == settings.end()) {
    return Status::Error(RVRC_OPTIONS_ERROR, std::string("backend ") + name() +
                                                 " needs the settings " + AmqpSettings::kUrlKey +
                                                 " and " + AmqpSettings::kPasswordFileKey);
  }
  AmqpUrl parsed;
  std::string password;
  Status s = AmqpUrl::Parse(url->second, &parsed);
  if (s.ok()) s = AmqpSettings::ReadPasswordFile(passwordFile->second, &password);
  if (!s.ok()) return s;
  (*definition)[AmqpSettings::kUrlKey] = parsed.ToString();
  *prepare = [password](int qmDirFd) { return AmqpSettings::WritePassword(qmDirFd, password); };
  return Status::Ok();
}

Status AmqpBackend::Connect(const QueueManagerDir& qm, std::unique_ptr<Connection>* connection) {
  return AmqpConnection::Connect(qm, connection);
}

}  // namespace rv

// The module's entry point: the backend, for the library of the same version only, since the
// two share C++ types.
extern "C" __attribute__((visibility("default"))) rv::Backend* rv_backend(const char* version) {
  static rv::AmqpBackend backend;
  return version != nullptr && std::strcmp(version, RVIC_VERSION) == 0 ? &backend : nullptr;
}
