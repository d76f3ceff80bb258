// AmqpBackend: the queue managers that stand for an AMQP 0-9-1 broker. It lives in the module
// rvic-amqp.so, which the Registry loads the first time a queue manager needs it; the module's
// one exported symbol, rv_backend, hands it out. Stateless; safe from any thread.
#pragma once

#include "Backend.h"

namespace rv {

class AmqpBackend : public Backend {
 public:
  const char* name() const override { return "amqp"; }
  RVLONG flags() const override;
  // The settings of AmqpSettings::Configure; the password is kept in the queue manager's
  // folder.
  Status Configure(const std::map<std::string, std::string>& settings,
                   std::map<std::string, std::string>* definition, Prepare* prepare) override;
  Status Connect(const QueueManagerDir& qm, std::unique_ptr<Connection>* connection) override;
  // The queues stay on the broker: nothing is lost with the definition.
  Status CheckDelete(const QueueManagerDir&) override { return Status::Ok(); }
  // The URL, TLS and the way of login.
  Status Describe(const QueueManagerDir& qm,
                  std::vector<std::pair<std::string, std::string>>* settings) override;
  // A new password, and nothing else.
  Status Update(const QueueManagerDir& qm,
                const std::map<std::string, std::string>& settings) override;
};

}  // namespace rv
