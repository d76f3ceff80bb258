// AmqpConnection: a connection to a queue manager whose definition names an AMQP 0-9-1 broker
// (backend "amqp": the broker URL in qmgr.ini, the password in the folder's password file).
// Its queues are the broker's queues in the URL's vhost; a queue handle is an AmqpQueue on a
// channel of its own, and the administration of the queues an AmqpAdmin. It shares the queue
// manager's folder (for the quiescing checks and the list of defined queues) and its
// AmqpSession with its queue handles. Used by one thread at a time.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "AmqpAdmin.h"
#include "AmqpSession.h"
#include "Backend.h"
#include "Connection.h"

namespace rv {

class AmqpConnection : public Connection {
 public:
  // Reads the broker settings from the queue manager's folder and connects, giving up after
  // limit. RVRC_Q_MGR_NOT_AVAILABLE for missing settings or a broker that cannot be reached or
  // does not answer in time, RVRC_NOT_AUTHORIZED for a refused login or vhost.
  static Status Connect(const QueueManagerDir& qm, std::unique_ptr<Connection>* connection,
                        std::chrono::milliseconds limit = AmqpSession::kConnectTimeout);

  // Checks with a passive declare that the queue exists (RVRC_UNKNOWN_OBJECT_NAME if not; the
  // channel that the broker then closes is replaced). Exclusive input is refused
  // (RVRC_OPTIONS_ERROR): a broker queue cannot be reserved for one getter between gets.
  Status Open(const std::string& queueName, RVLONG options,
              std::unique_ptr<OpenQueue>* queue) override;
  Status Disconnect() override;
  Status Define(const QueueAttributes& queue) override { return _admin.Define(queue); }
  Status Undefine(const std::string& queueName) override { return _admin.Undefine(queueName); }
  Status List(std::vector<QueueSummary>* queues) override { return _admin.List(queues); }
  Status Clear(const std::string& queueName, int64_t* removed) override {
    return _admin.Clear(queueName, removed);
  }

 private:
  AmqpConnection(QueueManagerDir qm, std::shared_ptr<AmqpSession> session)
      : _qm(std::move(qm)), _session(session), _admin(_qm.name, _qm.dir->get(), session) {}

  QueueManagerDir _qm;
  std::shared_ptr<AmqpSession> _session;
  AmqpAdmin _admin;
};

}  // namespace rv
