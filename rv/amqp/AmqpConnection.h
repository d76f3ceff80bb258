// AmqpConnection: a connection to a queue manager whose definition names an AMQP 0-9-1 broker
// (backend "amqp": the broker URL in qmgr.ini, the password in the folder's password file).
// Its queues are the broker's queues in the URL's vhost; a queue handle is an AmqpQueue on a
// channel of its own. It holds the queue manager's folder open for the quiescing checks and
// shares its AmqpSession with its queue handles. Used by one thread at a time.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "AmqpSession.h"
#include "Connection.h"
#include "UniqueFd.h"

namespace rv {

class AmqpConnection : public Connection {
 public:
  // Reads the broker settings from the queue manager's folder and connects, giving up after
  // limit. RVRC_Q_MGR_NOT_AVAILABLE for missing settings or a broker that cannot be reached or
  // does not answer in time, RVRC_NOT_AUTHORIZED for a refused login or vhost.
  static Status Connect(const std::string& name, UniqueFd qmDir,
                        std::unique_ptr<Connection>* connection,
                        std::chrono::milliseconds limit = AmqpSession::kConnectTimeout);

  const std::string& queueManagerName() const override { return _name; }
  // Checks with a passive declare that the queue exists (RVRC_UNKNOWN_OBJECT_NAME if not; the
  // channel that the broker then closes is replaced). Exclusive input is refused
  // (RVRC_OPTIONS_ERROR): a broker queue cannot be reserved for one getter between gets.
  Status Open(const std::string& queueName, RVLONG options,
              std::unique_ptr<OpenQueue>* queue) override;
  Status Disconnect() override;

 private:
  AmqpConnection(std::string name, std::shared_ptr<UniqueFd> qmDir,
                 std::shared_ptr<AmqpSession> session)
      : _name(std::move(name)), _qmDir(std::move(qmDir)), _session(std::move(session)) {}

  std::string _name;
  std::shared_ptr<UniqueFd> _qmDir;
  std::shared_ptr<AmqpSession> _session;
};

}  // namespace rv
