// QueueEndpoint is one connection to a queue manager with one queue opened on it, kept for
// as long as the object lives, so that a run puts and gets many messages without a connect
// and an open for each. It speaks only the RV library's C interface (rvic.h) and so works
// with every backend that the library offers. The object owns both handles and closes and
// disconnects on destruction. One thread at a time, as the library requires of a connection.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "rvic.h"

class QueueEndpoint {
 public:
  enum class Use {
    kPut,     // open for output
    kGet,     // open for input (shared, as the queue's default)
    kGetPut,  // both: a responder that can put a request back
  };

  // A received message: its bytes and its descriptor.
  struct Message {
    std::string data;
    RVMD md;
  };

  // Connects to the queue manager (empty: the default one) and opens the queue. Throws
  // ProbeError (kNoStart) naming both and the library's reason when either fails.
  QueueEndpoint(const std::string& queueManager, const std::string& queue, Use use);
  ~QueueEndpoint();
  QueueEndpoint(const QueueEndpoint&) = delete;
  QueueEndpoint& operator=(const QueueEndpoint&) = delete;

  // Puts the bytes as one message with the descriptor md (the library fills in what it
  // sets on a put). Returns the reason code, 0 on success.
  [[nodiscard]] RVLONG Put(RVMD& md, std::string_view data);

  // Takes the next message, waiting at most waitMs milliseconds (0: no wait). Returns the
  // reason code: 0 with the message in out, 2033 when none came in time, another code when
  // the get failed (out is then unchanged).
  [[nodiscard]] RVLONG Get(long waitMs, Message& out);

  const std::string& queueManager() const { return _queueManager; }
  const std::string& queue() const { return _queue; }

  // "queue Q at queue manager M".
  static std::string Where(const std::string& queueManager, const std::string& queue);
  // "reason code R (TEXT)".
  static std::string Reason(RVLONG reason);

  // A descriptor for a message of the XML interface: format "RVSTR   ", user identifier
  // "TEST", the reply-to queue and queue manager (empty: none). Throws ProbeError
  // (kNoStart) when a name is longer than its 48-character field.
  static RVMD Descriptor(const std::string& replyToQueue, const std::string& replyToQueueManager);

 private:
  std::string _queueManager;
  std::string _queue;
  RVHCONN _hconn = RVHC_UNUSABLE_HCONN;
  RVHOBJ _hobj = RVHO_UNUSABLE_HOBJ;
  std::vector<char> _buffer;  // reused by every get; grows to the longest message seen
};
