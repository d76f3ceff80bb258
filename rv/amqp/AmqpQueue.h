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
// stays unacknowledged and held for this handle (RVRC_TRUNCATED_MSG_FAILED), so the next get
// takes exactly that message; closing the handle hands it back, and the broker hands it back
// itself when the connection or the process dies. Selection by message or correlation
// identifier matches the held message, or scans the messages on the queue at the time of the
// call (handing the others back); it cannot wait for a matching message to arrive
// (RVRC_GMO_ERROR). Browsing takes messages without acknowledging them and hands them all back
// at the next browse-first or at close; until then other getters do not see them.
//
// Owned by the C layer's handle table; one thread at a time.
#pragma once

#include <amqp.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MatchCriteria.h"
#include "AmqpSession.h"
#include "OpenQueue.h"
#include "UniqueFd.h"

namespace rv {

class AmqpQueue : public OpenQueue {
 public:
  // Longest message a put accepts, as the embedded queues' default.
  static constexpr size_t kMaxMessageLength = size_t{100} << 20;

  // channel is open, taken from the session for this handle alone.
  AmqpQueue(std::shared_ptr<AmqpSession> session, std::shared_ptr<UniqueFd> qmDir,
            std::string qmName, std::string queueName, RVLONG options, amqp_channel_t channel);
  ~AmqpQueue() override;

  Status Put(RVMD* md, const RVPMO& pmo, const void* data, size_t length) override;
  Status Get(RVMD* md, RVGMO* gmo, RVLONG bufLen, void* buf, RVLONG* dataLen) override;
  Status Close() override;

 private:
  struct Delivery {
    uint64_t tag = 0;
    RVMD md;
    std::string body;
  };

  Status EnsureChannel();
  Status BasicGet(std::optional<Delivery>* delivery, uint32_t* left);
  Status ReadContent(uint64_t tag, Delivery* delivery);
  Status WaitForDelivery(RVGMO* gmo, std::optional<Delivery>* delivery);
  Status CancelConsumer(std::optional<Delivery>* delivery);
  Status Scan(const MatchCriteria& criteria, std::optional<Delivery>* delivery);
  Status Hand(Delivery delivery, RVMD* md, RVGMO* gmo, RVLONG bufLen, void* buf, RVLONG* dataLen);
  Status Browse(const MatchCriteria& criteria, RVMD* md, RVGMO* gmo, RVLONG bufLen, void* buf,
                RVLONG* dataLen);
  Status Requeue(uint64_t tag);
  // The Status of a put that the broker refused (negative confirm): RVRC_Q_FULL when the queue
  // is at the maximum depth that rvqm define gave it, else RVRC_RESOURCE_PROBLEM.
  Status Refused(const std::string& what);
  Status EndBrowse();
  void FillOut(const Delivery& d, RVMD* md, RVGMO* gmo) const;
  std::string Name() const;

  std::shared_ptr<AmqpSession> _session;
  std::shared_ptr<UniqueFd> _qmDir;
  std::string _qmName;
  std::string _queue;
  RVLONG _options;
  amqp_channel_t _channel;
  uint64_t _serial;
  bool _closed = false;
  std::optional<Delivery> _held;           // after a truncated get
  std::vector<uint64_t> _browsed;          // taken by browsing, not acknowledged
  std::optional<Delivery> _browsePending;  // after a truncated browse
};

}  // namespace rv
