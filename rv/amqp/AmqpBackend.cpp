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
  std::string password;
  Status s = AmqpSettings::Configure(settings, definition, &password);
  if (!s.ok()) return s;
  if (!password.empty()) {
    *prepare = [password](int qmDirFd) { return AmqpSettings::WritePassword(qmDirFd, password); };
  }
  return Status::Ok();
}

Status AmqpBackend::Describe(const QueueManagerDir& qm,
                             std::vector<std::pair<std::string, std::string>>* settings) {
  AmqpSettings read;
  Status s = AmqpSettings::Read(qm.dir->get(), qm.name, &read);
  if (s.ok()) *settings = read.Describe();
  return s;
}

Status AmqpBackend::Update(const QueueManagerDir& qm,
                           const std::map<std::string, std::string>& settings) {
  return AmqpSettings::ChangePassword(qm.dir->get(), settings);
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
