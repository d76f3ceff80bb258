// AmqpQueue: an open handle on a broker queue, working on a channel of its own.
//
// Put publishes to the default exchange with the queue's name as routing key, mandatory, on a
// channel in publisher-confirm mode, and returns success only once the broker has confirmed the
// message (RVRC_UNKNOWN_OBJECT_NAME when the broker returns it unroutable, RVRC_Q_FULL or
// RVRC_RESOURCE_PROBLEM when it refuses it).
//
// Get takes a message with basic.get and, when the get options ask to wait, with a consumer
// (prefetch 1) that lives only while the call waits: no polling. A message is acknowledged only
// when it is handed to the caller, and the acknowledgement is followed by a round trip, so a
// successful get means the broker has removed the message. A message too long for the buffer
// stays unacknowledged and held for this handle, so the next get
// takes exactly that message; closing the handle hands it back, and the broker hands it back
// itself when the connection or the process dies. Selection by message or correlation
// identifier matches the held message, or scans the messages on the queue at the time of the
// call (handing the others back); it cannot wait for a matching message to arrive
// (RVRC_GMO_ERROR). Browsing takes messages without acknowledging them and hands them all back
// at the next browse-first or at close; until then other getters do not see them.
//
// Owned by the C calls' handle table; one thread at a time.
#pragma once

#include <amqp.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AmqpSession.h"
#include "MatchCriteria.h"
#include "OpenQueue.h"
#include "UniqueFd.h"

namespace rv {

class AmqpQueue : public OpenQueue {
 public:
  // Longest message a put accepts, as the embedded queues' default.
  static constexpr size_t kMaxMessageLength = size_t{100} << 20;

  // channel is open, taken from the session for this handle alone.
  AmqpQueue(std::shared_ptr<AmqpSession> session, std::shared_ptr<UniqueFd> qmDir,
            std::string qmName, std::string queueName, amqp_channel_t channel);
  ~AmqpQueue() override;

  int64_t maxMessageLength() const override { return kMaxMessageLength; }
  // A held message stays unacknowledged: the broker puts it back when the channel goes.
  bool CanHold() const override { return true; }
  Status Put(const RVMD& md, const void* data, size_t length, int64_t putMs,
             int64_t expiresMs) override;
  Status Get(const RVGMO& gmo, const MatchCriteria& criteria, void* buf, RVLONG bufLen,
             Delivery* delivery) override;
  Status Close() override;

 private:
  // A message taken from the broker and not yet acknowledged.
  struct Received {
    uint64_t tag = 0;
    RVMD md;
    int64_t expiresMs = 0;
    std::string body;
  };

  Status EnsureChannel();
  Status BasicGet(std::optional<Received>* received, uint32_t* left);
  Status ReadContent(uint64_t tag, Received* received);
  Status WaitForDelivery(const RVGMO& gmo, std::optional<Received>* received);
  Status CancelConsumer(std::optional<Received>* received);
  Status Scan(const MatchCriteria& criteria, std::optional<Received>* received);
  // Delivers the message and acknowledges it, or keeps it held for this handle (unacknowledged)
  // when it does not fit or hold asks for it.
  Status Hand(Received received, bool hold, void* buf, RVLONG bufLen, Delivery* delivery);
  Status Browse(const MatchCriteria& criteria, bool first, void* buf, RVLONG bufLen,
                Delivery* delivery);
  Status Requeue(uint64_t tag);
  // The Status of a put that the broker refused (negative confirm): RVRC_Q_FULL when the queue
  // is at the maximum depth that rvqm define gave it, else RVRC_RESOURCE_PROBLEM.
  Status Refused(const std::string& what);
  Status EndBrowse();
  // Copies the message into the delivery and as much of its data as bufLen allows into buf.
  static void FillOut(const Received& r, void* buf, RVLONG bufLen, Delivery* delivery);
  std::string Name() const;

  std::shared_ptr<AmqpSession> _session;
  std::shared_ptr<UniqueFd> _qmDir;
  std::string _qmName;
  std::string _queue;
  amqp_channel_t _channel;
  uint64_t _serial;
  bool _closed = false;
  std::optional<Received> _held;           // after a truncated get
  std::vector<uint64_t> _browsed;          // taken by browsing, not acknowledged
  std::optional<Received> _browsePending;  // after a truncated browse
};

}  // namespace rv
