// ReplyRouter hands each reply that arrives on a reply queue to the request it answers, so
// that any number of requests may wait on one reply queue at once.
//
// Every request gets a token of its own from the router: 16 upper-case hexadecimal digits,
// eight that are drawn at random for the router and eight of a sequence number. The caller
// writes the token into the request as its correlation element and sets it, as text, as
// the request's message identifier. A reply is matched by its correlation element (found by
// the text rule of CorrelationElement): that is what every responder of the XML interface
// copies. Failing that, it is matched by its descriptor's correlation identifier, which a
// responder that copies the request's message identifier there carries (probesuite serve
// does); such a reply reaches its request marked as a correlation mismatch. A reply that
// matches no outstanding request is never dropped in silence: it is reported as a stray,
// either unknown, late (its request timed out) or a duplicate (its request was answered).
//
// Each listened queue has reader threads of their own with a connection of their own. The
// readers also end requests whose deadline has passed, within about 50 ms, so every request
// gets exactly one delivery: its reply or its timeout. Handlers run on reader threads and
// must be thread-safe and quick. Expect, Withdraw and Outstanding may be called from any
// thread. Destruction stops the readers; requests still outstanding then get nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "rvic.h"

class ReplyRouter {
 public:
  using Clock = std::chrono::steady_clock;

  struct Delivery {
    bool timedOut = false;
    bool matchedByElement = false;       // false: by the descriptor (a mismatch)
    std::string body;                    // the reply's bytes
    std::optional<std::string> element;  // the reply's correlation identifier
    Clock::time_point at;                // when the reply was taken, or the deadline
  };
  using Handler = std::function<void(Delivery&&)>;

  enum class StrayKind { kUnknown, kLate, kDuplicate };
  struct Stray {
    StrayKind kind;
    std::string where;        // the reply queue, as QueueEndpoint::Where says it
    std::string correlation;  // the correlation identifier found, or "" when none
    size_t bytes = 0;
  };

  // What the router reports besides deliveries; both are called on reader threads.
  struct Observer {
    std::function<void(const Stray&)> stray;
    std::function<void(const std::string&)> readerFailed;  // a reader stopped: the reason
  };

  explicit ReplyRouter(Observer observer);
  ~ReplyRouter();
  ReplyRouter(const ReplyRouter&) = delete;
  ReplyRouter& operator=(const ReplyRouter&) = delete;

  // Starts readers on the queue, each with its own connection; does nothing when the queue
  // is already listened to. Throws ProbeError (kNoStart) when it cannot be opened.
  void Listen(const std::string& queueManager, const std::string& queue, int readers = 1);

  // A new token for a request.
  std::string NextToken();
  // The token as a message identifier: its 16 characters, then zero bytes.
  static void SetMessageId(const std::string& token, RVMD& md);

  // Registers the request with the token before it is put: the handler gets its reply, or
  // a timeout once the deadline has passed.
  void Expect(const std::string& token, Clock::time_point deadline, Handler handler);
  // Withdraws a request whose put failed; true when it was still outstanding (its handler
  // will then never run).
  bool Withdraw(const std::string& token);
  size_t Outstanding() const;

 private:
  enum class State : uint8_t { kNone, kOutstanding, kAnswered, kTimedOut, kWithdrawn };
  struct Pending {
    Handler handler;
    Clock::time_point deadline;
  };
  struct Reader;

  void Read(Reader& reader);
  void Route(const std::string& where, std::string&& body, const RVMD& md);
  void ExpireDue();
  Clock::time_point NextDeadline() const;
  std::optional<uint32_t> SequenceOf(std::string_view token) const;

  const Observer _observer;
  const std::string _prefix;  // the router's eight random digits
  mutable std::mutex _mutex;
  uint32_t _next = 0;
  std::vector<State> _states;  // by sequence number
  std::unordered_map<uint32_t, Pending> _pending;
  std::set<std::pair<Clock::time_point, uint32_t>> _deadlines;
  std::map<std::string, std::vector<std::unique_ptr<Reader>>> _readers;  // by "qm\nqueue"
  bool _stopping = false;
  std::condition_variable _stopped;  // wakes readers that only wait for deadlines
};
