#include "AmqpQueue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "AmqpAdmin.h"
#include "AmqpDescriptor.h"
#include "DataRoot.h"

namespace rv {

namespace {

constexpr const char* kConsumerTag = "rv-get";
constexpr auto kQuiesceCheck = std::chrono::seconds(1);

bool IsMethod(const amqp_frame_t& f, amqp_method_number_t id) {
  return f.frame_type == AMQP_FRAME_METHOD && f.payload.method.id == id;
}

}  // namespace

AmqpQueue::AmqpQueue(std::shared_ptr<AmqpSession> session, std::shared_ptr<UniqueFd> qmDir,
                     std::string qmName, std::string queueName, amqp_channel_t channel)
    : _session(std::move(session)),
      _qmDir(std::move(qmDir)),
      _qmName(std::move(qmName)),
      _queue(std::move(queueName)),
      _channel(channel),
      _serial(_session->Serial(channel)) {}

AmqpQueue::~AmqpQueue() {
  Close();
}

std::string AmqpQueue::Name() const {
  return "queue " + _queue + " of queue manager " + _qmName;
}

Status AmqpQueue::EnsureChannel() {
  Status s = _session->Usable();
  if (!s.ok()) return s;
  _session->ReleaseBuffers();
  if (_serial != 0 && _session->Serial(_channel) == _serial) return Status::Ok();
  // The broker closed our channel after a failed operation, and with it handed back whatever
  // this handle held unacknowledged.
  _held.reset();
  _browsed.clear();
  _browsePending.reset();
  s = _session->TakeChannel(&_channel);
  _serial = s.ok() ? _session->Serial(_channel) : 0;
  return s;
}

Status AmqpQueue::Put(const RVMD& md, const void* data, size_t length, int64_t putMs,
                      int64_t /*expiresMs: the descriptor carries the put time and expiry*/) {
  Status s = EnsureChannel();
  if (s.ok()) s = _session->EnableConfirms(_channel);
  if (!s.ok()) return s;

  const std::string what = "cannot put to " + Name();
  AmqpDescriptor descriptor(md, putMs);
  const uint64_t tag = _session->NextPublishTag(_channel);
  amqp_bytes_t body;
  body.len = length;
  body.bytes = const_cast<void*>(data);
  s = _session->CheckCode(
      amqp_basic_publish(_session->state(), _channel, amqp_empty_bytes,
                         amqp_cstring_bytes(_queue.c_str()), 1, 0, &descriptor.properties(), body),
      what);
  if (!s.ok()) return s;

  bool returned = false;
  const auto deadline = AmqpSession::Clock::now() + AmqpSession::kReplyTimeout;
  for (;;) {
    amqp_frame_t frame;
    bool timedOut = false;
    s = _session->WaitFrame(deadline, &frame, &timedOut);
    if (!s.ok()) return s;
    if (timedOut) {
      return Status::Error(RVRC_RESOURCE_PROBLEM,
                           what + ": the broker did not confirm the message within " +
                               std::to_string(AmqpSession::kReplyTimeout.count() / 1000) + " s");
    }
    s = _session->HandleClose(frame, what);
    if (!s.ok()) return s;
    if (frame.channel != _channel || frame.frame_type != AMQP_FRAME_METHOD) continue;
    if (IsMethod(frame, AMQP_BASIC_RETURN_METHOD)) {
      // The content of the returned message follows; it must be read off the connection.
      Received ignored;
      s = ReadContent(0, &ignored);
      if (!s.ok()) return s;
      returned = true;
    } else if (IsMethod(frame, AMQP_BASIC_ACK_METHOD)) {
      auto* ack = static_cast<amqp_basic_ack_t*>(frame.payload.method.decoded);
      if (ack->delivery_tag == tag || (ack->multiple && ack->delivery_tag > tag)) break;
    } else if (IsMethod(frame, AMQP_BASIC_NACK_METHOD)) {
      auto* nack = static_cast<amqp_basic_nack_t*>(frame.payload.method.decoded);
      if (nack->delivery_tag == tag || (nack->multiple && nack->delivery_tag > tag)) {
        return Refused(what);
      }
    }
  }
  if (returned) {
    return Status::Error(RVRC_UNKNOWN_OBJECT_NAME,
                         what + ": the broker returned the message: the queue does not exist");
  }
  return Status::Ok();
}

Status AmqpQueue::Refused(const std::string& what) {
  // A queue defined with a maximum depth refuses puts beyond it; anything else is the broker's
  // own trouble (disk or memory alarm).
  const int64_t maxDepth = AmqpAdmin::MaxDepth(_qmDir->get(), _queue);
  if (maxDepth > 0) {
    amqp_queue_declare_ok_t* ok =
        amqp_queue_declare(_session->state(), _channel, amqp_cstring_bytes(_queue.c_str()), 1, 0, 0,
                           0, amqp_empty_table);
    Status s = _session->Check(amqp_get_rpc_reply(_session->state()), _channel, what);
    if (s.ok() && ok->message_count >= maxDepth) {
      return Status::Error(RVRC_Q_FULL, what + ": the queue holds its maximum of " +
                                            std::to_string(maxDepth) + " messages");
    }
  }
  return Status::Error(RVRC_RESOURCE_PROBLEM,
                       what + ": the broker refused the message (out of resources)");
}

Status AmqpQueue::ReadContent(uint64_t tag, Received* received) {
  amqp_message_t message;
  amqp_rpc_reply_t reply = amqp_read_message(_session->state(), _channel, &message, 0);
  Status s = _session->Check(reply, _channel, "cannot receive a message from " + Name());
  if (!s.ok()) return s;
  received->tag = tag;
  AmqpDescriptor::Fill(message.properties, _qmName, &received->md, &received->expiresMs);
  received->body.assign(static_cast<const char*>(message.body.bytes), message.body.len);
  amqp_destroy_message(&message);
  return Status::Ok();
}

Status AmqpQueue::BasicGet(std::optional<Received>* received, uint32_t* left) {
  received->reset();
  amqp_rpc_reply_t reply =
      amqp_basic_get(_session->state(), _channel, amqp_cstring_bytes(_queue.c_str()), 0);
  Status s = _session->Check(reply, _channel, "cannot get from " + Name());
  if (!s.ok()) return s;
  if (reply.reply.id != AMQP_BASIC_GET_OK_METHOD) return Status::Ok();
  auto* ok = static_cast<amqp_basic_get_ok_t*>(reply.reply.decoded);
  uint64_t tag = ok->delivery_tag;
  if (left != nullptr) *left = ok->message_count;
  Received r;
  s = ReadContent(tag, &r);
  if (!s.ok()) return s;
  *received = std::move(r);
  return Status::Ok();
}

Status AmqpQueue::WaitForDelivery(const RVGMO& gmo, std::optional<Received>* received) {
  const bool failIfQuiescing = (gmo.options & RVGMO_FAIL_IF_QUIESCING) != 0;
  std::optional<AmqpSession::Clock::time_point> deadline;
  if (gmo.waitInterval != RVWI_UNLIMITED) {
    deadline = AmqpSession::Clock::now() + std::chrono::milliseconds(gmo.waitInterval);
  }
  Status s;
  if (!_session->PrefetchSet(_channel)) {
    s = _session->Sync(_channel, "cannot set the prefetch limit for " + Name());
    if (!s.ok()) return s;
  }
  amqp_basic_consume(_session->state(), _channel, amqp_cstring_bytes(_queue.c_str()),
                     amqp_cstring_bytes(kConsumerTag), 0, 0, 0, amqp_empty_table);
  s = _session->Check(amqp_get_rpc_reply(_session->state()), _channel,
                      "cannot wait for messages on " + Name());
  if (!s.ok()) return s;

  Status outcome;
  for (;;) {
    auto now = AmqpSession::Clock::now();
    if (deadline && now >= *deadline) break;
    std::optional<AmqpSession::Clock::time_point> until = deadline;
    if (failIfQuiescing && (!until || *until > now + kQuiesceCheck)) until = now + kQuiesceCheck;
    amqp_frame_t frame;
    bool timedOut = false;
    s = _session->WaitFrame(until, &frame, &timedOut);
    if (!s.ok()) return s;
    if (timedOut) {
      if (failIfQuiescing && DataRoot::IsQuiescing(_qmDir->get())) {
        outcome = Status::Error(RVRC_Q_MGR_QUIESCING, "queue manager " + _qmName + " is quiescing");
        break;
      }
      continue;
    }
    s = _session->HandleClose(frame, "cannot wait for messages on " + Name());
    if (!s.ok()) return s;
    if (frame.channel != _channel || frame.frame_type != AMQP_FRAME_METHOD) continue;
    if (IsMethod(frame, AMQP_BASIC_DELIVER_METHOD)) {
      auto* deliver = static_cast<amqp_basic_deliver_t*>(frame.payload.method.decoded);
      Received r;
      s = ReadContent(deliver->delivery_tag, &r);
      if (!s.ok()) return s;
      *received = std::move(r);
      break;
    }
    if (IsMethod(frame, AMQP_BASIC_CANCEL_METHOD)) {
      // The broker ended the consumer, which it does when the queue is deleted; nothing was
      // delivered to it, and there is nothing left to cancel.
      return Status::Error(RVRC_UNKNOWN_OBJECT_NAME,
                           Name() + " was deleted on the broker while a get waited on it");
    }
  }
  s = CancelConsumer(received);
  if (!s.ok()) return s;
  return outcome;
}

Status AmqpQueue::CancelConsumer(std::optional<Received>* received) {
  const std::string what = "cannot stop waiting on " + Name();
  amqp_basic_cancel_t cancel{};
  cancel.consumer_tag = amqp_cstring_bytes(kConsumerTag);
  Status s = _session->CheckCode(
      amqp_send_method(_session->state(), _channel, AMQP_BASIC_CANCEL_METHOD, &cancel), what);
  if (!s.ok()) return s;
  const auto deadline = AmqpSession::Clock::now() + AmqpSession::kReplyTimeout;
  for (;;) {
    amqp_frame_t frame;
    bool timedOut = false;
    s = _session->WaitFrame(deadline, &frame, &timedOut);
    if (!s.ok()) return s;
    if (timedOut) return _session->CheckCode(AMQP_STATUS_TIMEOUT, what);
    s = _session->HandleClose(frame, what);
    if (!s.ok()) return s;
    if (frame.channel != _channel || frame.frame_type != AMQP_FRAME_METHOD) continue;
    if (IsMethod(frame, AMQP_BASIC_CANCEL_OK_METHOD)) return Status::Ok();
    if (IsMethod(frame, AMQP_BASIC_DELIVER_METHOD)) {
      // Delivered while the cancel was on its way: take it if we have none, else hand it back.
      auto* deliver = static_cast<amqp_basic_deliver_t*>(frame.payload.method.decoded);
      Received r;
      s = ReadContent(deliver->delivery_tag, &r);
      if (!s.ok()) return s;
      if (!received->has_value()) {
        *received = std::move(r);
      } else {
        s = Requeue(r.tag);
        if (!s.ok()) return s;
      }
    }
  }
}

Status AmqpQueue::Scan(const MatchCriteria& criteria, std::optional<Received>* received) {
  std::vector<uint64_t> skipped;
  Status s;
  uint32_t left = 0;
  for (uint64_t limit = 1, n = 0; n < limit; ++n) {
    std::optional<Received> r;
    s = BasicGet(&r, &left);
    if (!s.ok() || !r) break;
    if (n == 0) limit = uint64_t{left} + 1;
    if (criteria.Matches(r->md)) {
      *received = std::move(r);
      break;
    }
    skipped.push_back(r->tag);
  }
  for (uint64_t tag : skipped) {
    Status r = Requeue(tag);
    if (s.ok()) s = r;
  }
  return s;
}

Status AmqpQueue::Requeue(uint64_t tag) {
  return _session->CheckCode(amqp_basic_reject(_session->state(), _channel, tag, 1),
                             "cannot hand a message back to " + Name());
}

void AmqpQueue::FillOut(const Received& r, void* buf, RVLONG bufLen, Delivery* delivery) {
  delivery->md = r.md;
  delivery->expiresMs = r.expiresMs;
  delivery->length = static_cast<int64_t>(r.body.size());
  const int64_t copied = std::min<int64_t>(delivery->length, bufLen);
  if (copied > 0) std::memcpy(buf, r.body.data(), static_cast<size_t>(copied));
}

Status AmqpQueue::Hand(Received r, bool hold, void* buf, RVLONG bufLen, Delivery* delivery) {
  FillOut(r, buf, bufLen, delivery);
  if (hold || delivery->length > bufLen) {
    _held = std::move(r);
    return Status::Ok();
  }
  const std::string what = "cannot acknowledge a message of " + Name();
  Status s = _session->CheckCode(amqp_basic_ack(_session->state(), _channel, r.tag, 0), what);
  if (s.ok()) s = _session->Sync(_channel, what);
  return s;
}

Status AmqpQueue::Get(const RVGMO& gmo, const MatchCriteria& criteria, void* buf, RVLONG bufLen,
                      Delivery* delivery) {
  Status s = EnsureChannel();
  if (!s.ok()) return s;
  if (gmo.options & (RVGMO_BROWSE_FIRST | RVGMO_BROWSE_NEXT)) {
    return Browse(criteria, (gmo.options & RVGMO_BROWSE_FIRST) != 0, buf, bufLen, delivery);
  }
  const bool hold = (gmo.options & RVGMO_HOLD) != 0;
  if (_held) {
    if (!criteria.Any() || criteria.Matches(_held->md)) {
      Received r = std::move(*_held);
      _held.reset();
      return Hand(std::move(r), hold, buf, bufLen, delivery);
    }
    uint64_t tag = _held->tag;
    _held.reset();
    s = Requeue(tag);
    if (!s.ok()) return s;
  }
  const bool wait = (gmo.options & RVGMO_WAIT) != 0;
  std::optional<Received> r;
  if (criteria.Any()) {
    if (wait) {
      return Status::Error(RVRC_GMO_ERROR,
                           "waiting for a message by its identifier is not available on " + Name() +
                               ", whose queues live on a broker");
    }
    s = Scan(criteria, &r);
  } else {
    s = BasicGet(&r, nullptr);
    if (s.ok() && !r && wait) s = WaitForDelivery(gmo, &r);
  }
  if (!s.ok()) {
    if (r) Requeue(r->tag);
    return s;
  }
  if (!r) return Status::Error(RVRC_NO_MSG_AVAILABLE, "no message on " + Name());
  return Hand(std::move(*r), hold, buf, bufLen, delivery);
}

Status AmqpQueue::Browse(const MatchCriteria& criteria, bool first, void* buf, RVLONG bufLen,
                         Delivery* delivery) {
  Status s;
  // A browse-first again after a truncated browse-first (a larger buffer for the same message)
  // keeps that message: it is still the first.
  const bool retryFirst = _browsePending && _browsed.size() == 1;
  if (first && !retryFirst) {
    s = EndBrowse();
    if (!s.ok()) return s;
  }
  if (!_browsePending) {
    for (;;) {
      std::optional<Received> r;
      s = BasicGet(&r, nullptr);
      if (!s.ok()) return s;
      if (!r)
        return Status::Error(RVRC_NO_MSG_AVAILABLE, "no more messages to browse on " + Name());
      _browsed.push_back(r->tag);
      if (!criteria.Any() || criteria.Matches(r->md)) {
        _browsePending = std::move(r);
        break;
      }
    }
  }
  FillOut(*_browsePending, buf, bufLen, delivery);
  if (delivery->length <= bufLen) _browsePending.reset();
  return Status::Ok();
}

Status AmqpQueue::EndBrowse() {
  Status s;
  for (uint64_t tag : _browsed) {
    Status r = Requeue(tag);
    if (s.ok()) s = r;
  }
  _browsed.clear();
  _browsePending.reset();
  return s;
}

Status AmqpQueue::Close() {
  if (_closed) return Status::Ok();
  _closed = true;
  Status s;
  if (_session->Usable().ok() && _serial != 0 && _session->Serial(_channel) == _serial) {
    if (_held) s = Requeue(_held->tag);
    Status b = EndBrowse();
    if (s.ok()) s = b;
    if (s.ok()) _session->GiveBackChannel(_channel);
  }
  _held.reset();
  _browsed.clear();
  _browsePending.reset();
  return s;
}

}  // namespace rv
