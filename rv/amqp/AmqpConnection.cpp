#include "AmqpConnection.h"

#include "AmqpQueue.h"
#include "AmqpSettings.h"

namespace rv {

Status AmqpConnection::Connect(const QueueManagerDir& qm, std::unique_ptr<Connection>* connection,
                               std::chrono::milliseconds limit) {
  AmqpSettings settings;
  Status s = AmqpSettings::Read(qm.dir->get(), qm.name, &settings);
  if (!s.ok()) return s;
  std::unique_ptr<AmqpSession> session;
  s = AmqpSession::Open(settings, limit, &session);
  if (!s.ok()) {
    return Status::Error(s.reason(), "queue manager " + qm.name + ": " + s.message());
  }
  connection->reset(new AmqpConnection(qm, std::shared_ptr<AmqpSession>(std::move(session))));
  return Status::Ok();
}

Status AmqpConnection::Open(const std::string& queueName, RVLONG options,
                            std::unique_ptr<OpenQueue>* queue) {
  Status s = _session->Usable();
  if (!s.ok()) return s;
  if (options & RVOO_INPUT_EXCLUSIVE) {
    return Status::Error(RVRC_OPTIONS_ERROR,
                         "exclusive input is not available on queue manager " + _qm.name +
                             ", whose queues live on a broker; open for shared input");
  }
  _session->ReleaseBuffers();
  amqp_channel_t channel = 0;
  s = _session->TakeChannel(&channel);
  if (!s.ok()) return s;
  amqp_queue_declare(_session->state(), channel, amqp_cstring_bytes(queueName.c_str()), 1, 0, 0, 0,
                     amqp_empty_table);
  s = _session->Check(amqp_get_rpc_reply(_session->state()), channel,
                      "cannot open queue " + queueName + " of queue manager " + _qm.name);
  if (!s.ok()) {
    if (s.reason() == RVRC_UNKNOWN_OBJECT_NAME) {
      s = Status::Error(RVRC_UNKNOWN_OBJECT_NAME, "queue " + queueName + " does not exist on the " +
                                                      _session->where() + " of queue manager " +
                                                      _qm.name);
    }
    // The broker closed the channel; a fresh one stands ready for the next open.
    amqp_channel_t spare = 0;
    if (_session->Usable().ok() && _session->TakeChannel(&spare).ok()) {
      _session->GiveBackChannel(spare);
    }
    return s;
  }
  queue->reset(new AmqpQueue(_session, _qm.dir, _qm.name, queueName, channel));
  return Status::Ok();
}

Status AmqpConnection::Disconnect() {
  return _session->Close();
}

}  // namespace rv
