#include "ReplyRouter.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "CorrelationElement.h"
#include "ProbeError.h"
#include "QueueEndpoint.h"

namespace {

// How long a reader waits for a reply before it looks at the deadlines and the stop flag.
constexpr auto kSlice = std::chrono::milliseconds(50);
constexpr size_t kTokenLength = 16;

std::string RandomPrefix() {
  uint32_t value = 0;
  if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
    value = static_cast<uint32_t>(::getpid()) ^
            static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// The descriptor's correlation identifier as text: its bytes up to the first zero byte.
std::string DescriptorToken(const RVMD& md) {
  const char* id = reinterpret_cast<const char*>(md.correlationId);
  return std::string(id, ::strnlen(id, sizeof md.correlationId));
}

}  // namespace

struct ReplyRouter::Reader {
  std::unique_ptr<QueueEndpoint> endpoint;
  std::string where;
  std::thread thread;
};

ReplyRouter::ReplyRouter(Observer observer)
    : _observer(std::move(observer)), _prefix(RandomPrefix()), _states(1, State::kNone) {}

ReplyRouter::~ReplyRouter() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _stopping = true;
  }
  _stopped.notify_all();
  for (auto& [key, readers] : _readers) {
    for (auto& reader : readers) reader->thread.join();
  }
}

void ReplyRouter::Listen(const std::string& queueManager, const std::string& queue, int readers) {
  std::string key = queueManager + "\n" + queue;
  std::vector<std::unique_ptr<Reader>> started;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_readers.count(key) > 0) return;
  }
  for (int i = 0; i < std::max(readers, 1); ++i) {
    auto reader = std::make_unique<Reader>();
    reader->endpoint =
        std::make_unique<QueueEndpoint>(queueManager, queue, QueueEndpoint::Use::kGet);
    reader->where = QueueEndpoint::Where(queueManager, queue);
    started.push_back(std::move(reader));
  }
  std::lock_guard<std::mutex> lock(_mutex);
  for (auto& reader : started) {
    Reader& r = *reader;
    r.thread = std::thread([this, &r] { Read(r); });
  }
  _readers[key] = std::move(started);
}

std::string ReplyRouter::NextToken() {
  std::lock_guard<std::mutex> lock(_mutex);
  if (_next == UINT32_MAX) {
    throw ProbeError(ProbeError::kFailed, "more than 4294967294 requests in one run");
  }
  ++_next;
  _states.push_back(State::kNone);
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08X", _next);
  return _prefix + digits;
}

void ReplyRouter::SetMessageId(const std::string& token, RVMD& md) {
  std::memset(md.messageId, 0, sizeof md.messageId);
  std::memcpy(md.messageId, token.data(), std::min(token.size(), sizeof md.messageId));
}

std::optional<uint32_t> ReplyRouter::SequenceOf(std::string_view token) const {
  if (token.size() != kTokenLength || token.substr(0, 8) != _prefix) return std::nullopt;
  uint32_t sequence = 0;
  for (char c : token.substr(8)) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return std::nullopt;
    sequence = sequence * 16 + static_cast<uint32_t>(digit);
  }
  if (sequence == 0 || sequence >= _states.size()) return std::nullopt;
  return sequence;
}

void ReplyRouter::Expect(const std::string& token, Clock::time_point deadline, Handler handler) {
  std::lock_guard<std::mutex> lock(_mutex);
  std::optional<uint32_t> sequence = SequenceOf(token);
  if (!sequence || _states[*sequence] != State::kNone) {
    throw ProbeError(ProbeError::kFailed, "token " + token + " was not issued or is in use");
  }
  _states[*sequence] = State::kOutstanding;
  _pending[*sequence] = Pending{std::move(handler), deadline};
  _deadlines.emplace(deadline, *sequence);
}

bool ReplyRouter::Withdraw(const std::string& token) {
  std::lock_guard<std::mutex> lock(_mutex);
  std::optional<uint32_t> sequence = SequenceOf(token);
  if (!sequence) return false;
  auto it = _pending.find(*sequence);
  if (it == _pending.end()) return false;
  _deadlines.erase({it->second.deadline, *sequence});
  _pending.erase(it);
  _states[*sequence] = State::kWithdrawn;
  return true;
}

size_t ReplyRouter::Outstanding() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _pending.size();
}

ReplyRouter::Clock::time_point ReplyRouter::NextDeadline() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _deadlines.empty() ? Clock::time_point::max() : _deadlines.begin()->first;
}

void ReplyRouter::Read(Reader& reader) {
  QueueEndpoint::Message message;
  bool failed = false;
  for (;;) {
    auto now = Clock::now();
    auto next = NextDeadline();
    auto wait =
        next <= now ? std::chrono::milliseconds(1) : std::min<Clock::duration>(kSlice, next - now);
    auto waitMs = std::max<long>(
        1, static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
    if (!failed) {
      // A reader that fails stops taking replies but goes on ending requests at their
      // deadlines, so that every request still gets its one delivery.
      std::string failure;
      try {
        RVLONG reason = reader.endpoint->Get(waitMs, message);
        if (reason == RVRC_NONE) {
          Route(reader.where, std::move(message.data), message.md);
        } else if (reason != RVRC_NO_MSG_AVAILABLE) {
          failure =
              "cannot get replies from " + reader.where + ": " + QueueEndpoint::Reason(reason);
        }
      } catch (const std::exception& e) {
        failure = "cannot route replies from " + reader.where + ": " + e.what();
      }
      if (!failure.empty()) {
        failed = true;
        if (_observer.readerFailed) _observer.readerFailed(failure);
      }
    } else {
      std::unique_lock<std::mutex> lock(_mutex);
      _stopped.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return _stopping; });
    }
    ExpireDue();
    std::lock_guard<std::mutex> lock(_mutex);
    if (_stopping) return;
  }
}

void ReplyRouter::Route(const std::string& where, std::string&& body, const RVMD& md) {
  const Clock::time_point at = Clock::now();
  std::optional<std::string_view> found = CorrelationElement::Find(body);
  std::optional<std::string> element;
  if (found) element = std::string(*found);
  std::string byDescriptor = DescriptorToken(md);

  Handler handler;
  Delivery delivery;
  Stray stray{StrayKind::kUnknown, where, element ? *element : byDescriptor, body.size()};
  {
    std::lock_guard<std::mutex> lock(_mutex);
    auto take = [&](const std::string& token) {
      std::optional<uint32_t> sequence = SequenceOf(token);
      if (!sequence) return false;
      auto it = _pending.find(*sequence);
      if (it == _pending.end()) return false;
      handler = std::move(it->second.handler);
      _deadlines.erase({it->second.deadline, *sequence});
      _pending.erase(it);
      _states[*sequence] = State::kAnswered;
      return true;
    };
    if (element && take(*element)) {
      delivery.matchedByElement = true;
    } else if (!take(byDescriptor)) {
      std::optional<uint32_t> sequence = SequenceOf(stray.correlation);
      if (!sequence) sequence = SequenceOf(byDescriptor);
      if (sequence && _states[*sequence] == State::kAnswered) stray.kind = StrayKind::kDuplicate;
      if (sequence && _states[*sequence] == State::kTimedOut) stray.kind = StrayKind::kLate;
    }
  }
  if (!handler) {
    if (_observer.stray) _observer.stray(stray);
    return;
  }
  delivery.at = at;
  delivery.body = std::move(body);
  delivery.element = std::move(element);
  handler(std::move(delivery));
}

void ReplyRouter::ExpireDue() {
  std::vector<std::pair<Handler, Clock::time_point>> due;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    auto now = Clock::now();
    while (!_deadlines.empty() && _deadlines.begin()->first <= now) {
      auto [deadline, sequence] = *_deadlines.begin();
      _deadlines.erase(_deadlines.begin());
      auto it = _pending.find(sequence);
      due.emplace_back(std::move(it->second.handler), deadline);
      _pending.erase(it);
      _states[sequence] = State::kTimedOut;
    }
  }
  for (auto& [handler, deadline] : due) {
    Delivery delivery;
    delivery.timedOut = true;
    delivery.at = deadline;
    handler(std::move(delivery));
  }
}
