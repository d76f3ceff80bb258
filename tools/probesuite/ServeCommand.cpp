#include "ServeCommand.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "CorrelationElement.h"
#include "KesRVXMLTestUtility.h"
#include "ProbeError.h"
#include "QueueEndpoint.h"
#include "StopSignal.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDelay = 256;
constexpr int kFailShare = 257;
constexpr int kFailSkeleton = 258;
// How long a worker waits for a request before it looks at the stop flag and the idle time.
constexpr long kSliceMs = 100;
constexpr size_t kMaxReplyConnections = 16;  // per worker; more are closed and reopened

struct Settings {
  std::string queue;
  std::string queueManager;
  std::string skeletonFile;
  std::string failSkeletonFile;
  long delayMs = 0;
  double failShare = 0;
  std::optional<uint64_t> limit;
  long workers = 1;
  std::optional<long> idleMs;
};

std::string ReadSkeleton(const std::string& file) {
  std::string text = CommandLine::ReadFile(file);
  if (!CorrelationElement::Find(text)) {
    throw ProbeError(ProbeError::kNoStart,
                     "the skeleton " + file + " holds no " +
                         std::string(CorrelationElement::kOpenTag) +
                         std::string(CorrelationElement::kCloseTag) +
                         ", so its responses could not be matched to their requests");
  }
  return text;
}

// A name from a fixed-width field: up to its first NUL, without trailing blanks.
std::string FieldText(const char* field, size_t width) {
  std::string text(field, ::strnlen(field, width));
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

class Responder {
 public:
  Responder(const Settings& s, std::string skeleton, std::string failSkeleton, StopSignal& stop)
      : _settings(s),
        _skeleton(std::move(skeleton)),
        _failSkeleton(std::move(failSkeleton)),
        _stop(stop),
        _failPerMillion(std::llround(s.failShare * 1e6)) {
    for (long i = 0; i < s.workers; ++i) {
      _endpoints.push_back(
          std::make_unique<QueueEndpoint>(s.queueManager, s.queue, QueueEndpoint::Use::kGetPut));
    }
  }

  int Serve() {
    std::cout << "probesuite serve: ready on "
              << QueueEndpoint::Where(_settings.queueManager, _settings.queue) << std::endl;
    Touch();
    std::vector<std::thread> threads;
    for (auto& endpoint : _endpoints) {
      QueueEndpoint& requests = *endpoint;
      threads.emplace_back([this, &requests] {
        try {
          Work(requests);
        } catch (const std::exception& e) {
          Fail(e.what());
        }
      });
    }
    for (std::thread& t : threads) t.join();
    std::cout << "probesuite serve: answered " << _answered << " request"
              << (_answered == 1 ? "" : "s") << " (" << _failures << " with the failure skeleton)"
              << std::endl;
    if (_broken) return ProbeError::kNoStart;
    if (_settings.limit && _answered < *_settings.limit && _idle) return ProbeError::kFailed;
    return ProbeError::kPassed;
  }

 private:
  // What one worker keeps: its own copies of the skeletons (buffers are not shared between
  // threads) and connections to the reply-to queues it has answered.
  struct Worker {
    KesRVXMLTestUtility utility;
    KesBinary skeleton;
    KesBinary failSkeleton;
    std::map<std::string, std::unique_ptr<QueueEndpoint>> replies;
  };

  void Touch() { _lastRequest = Clock::now().time_since_epoch().count(); }

  bool IdleTooLong() const {
    if (!_settings.idleMs) return false;
    auto last = Clock::time_point(Clock::duration(_lastRequest.load()));
    return Clock::now() - last >= std::chrono::milliseconds(*_settings.idleMs);
  }

  // The k-th request (from 1) gets the failure skeleton when k times the share passes a whole
  // number: 0.25 picks the 4th, 8th, 12th, ..., so n requests have floor(n * share) failures.
  bool IsFailure(uint64_t k) const {
    auto share = static_cast<unsigned __int128>(_failPerMillion);
    return share * k / 1000000 > share * (k - 1) / 1000000;
  }

  // Takes a place among the requests that -n allows; false when they are all taken.
  bool Reserve() {
    if (!_settings.limit) return true;
    uint64_t taken = _reserved.load();
    while (taken < *_settings.limit) {
      if (_reserved.compare_exchange_weak(taken, taken + 1)) return true;
    }
    return false;
  }
  void Release() {
    if (_settings.limit) --_reserved;
  }

  void Work(QueueEndpoint& requests) {
    Worker worker;
    worker.skeleton = KesBinary(_skeleton.data(), static_cast<uint32_t>(_skeleton.size()));
    worker.failSkeleton =
        KesBinary(_failSkeleton.data(), static_cast<uint32_t>(_failSkeleton.size()));
    QueueEndpoint::Message request;
    while (!_stop.Requested()) {
      if (IdleTooLong()) {
        _idle = true;
        _stop.Request();
        break;
      }
      if (!Reserve()) break;
      RVLONG reason = requests.Get(kSliceMs, request);
      if (reason == RVRC_NO_MSG_AVAILABLE) {
        Release();
        continue;
      }
      if (reason != RVRC_NONE) {
        Release();
        Fail("cannot get requests from " + requests.queue() + ": " + QueueEndpoint::Reason(reason));
        break;
      }
      Touch();
      bool failure = IsFailure(++_counter);
      std::string problem;
      try {
        problem = Answer(worker, request, failure);
      } catch (const std::exception& e) {
        problem = std::string("cannot answer a request: ") + e.what();
      }
      if (!problem.empty()) {
        RVLONG back = requests.Put(request.md, request.data);
        Fail(problem + (back == RVRC_NONE
                            ? "; the request was put back on " + requests.queue()
                            : "; the request could not be put back on " + requests.queue() + " (" +
                                  QueueEndpoint::Reason(back) + ") and is lost"));
        break;
      }
      ++_answered;
      if (failure) ++_failures;
      if (_settings.limit && _answered >= *_settings.limit) _stop.Request();
    }
  }

  // Answers the request; returns what kept it from being answered, or "".
  std::string Answer(Worker& worker, const QueueEndpoint::Message& request, bool failure) {
    std::string replyQueue = FieldText(request.md.replyToQ, sizeof request.md.replyToQ);
    std::string replyQueueManager =
        FieldText(request.md.replyToQMgr, sizeof request.md.replyToQMgr);
    if (replyQueue.empty()) return "a request names no reply-to queue";
    KesString response = worker.utility.CreateActivityImplResponse(
        KesBinary(request.data.data(), static_cast<uint32_t>(request.data.size())),
        failure ? worker.failSkeleton : worker.skeleton);
    if (_settings.delayMs > 0) {
      _stop.WaitUntil(Clock::now() + std::chrono::milliseconds(_settings.delayMs));
    }
    std::string key = replyQueueManager + "\n" + replyQueue;
    auto it = worker.replies.find(key);
    if (it == worker.replies.end()) {
      if (worker.replies.size() >= kMaxReplyConnections) worker.replies.clear();
      try {
        it = worker.replies
                 .emplace(key, std::make_unique<QueueEndpoint>(replyQueueManager, replyQueue,
                                                               QueueEndpoint::Use::kPut))
                 .first;
      } catch (const ProbeError& e) {
        return std::string("cannot answer a request: ") + e.what();
      }
    }
    QueueEndpoint* endpoint = it->second.get();
    RVMD md = QueueEndpoint::Descriptor(_settings.queue, _settings.queueManager);
    std::memcpy(md.correlationId, request.md.messageId, sizeof md.correlationId);
    RVLONG reason = endpoint->Put(md, std::string_view(response.Chars(), response.LengthChar()));
    if (reason != RVRC_NONE) {
      worker.replies.erase(key);
      return "cannot put a response on " + QueueEndpoint::Where(replyQueueManager, replyQueue) +
             ": " + QueueEndpoint::Reason(reason);
    }
    return std::string();
  }

  void Fail(const std::string& text) {
    std::lock_guard<std::mutex> lock(_errorMutex);
    std::cerr << "probesuite serve: " << text << std::endl;
    _broken = true;
    _stop.Request();
  }

  const Settings& _settings;
  const std::string _skeleton;
  const std::string _failSkeleton;
  StopSignal& _stop;
  const long long _failPerMillion;
  std::vector<std::unique_ptr<QueueEndpoint>> _endpoints;  // one per worker
  std::atomic<uint64_t> _reserved{0};
  std::atomic<uint64_t> _counter{0};
  std::atomic<uint64_t> _answered{0};
  std::atomic<uint64_t> _failures{0};
  std::atomic<Clock::rep> _lastRequest{0};
  std::atomic<bool> _idle{false};
  std::atomic<bool> _broken{false};
  std::mutex _errorMutex;
};

}  // namespace

const char* ServeCommand::Usage() {
  return "Usage: probesuite serve [options]\n"
         "  -q, --queue NAME          queue to serve (required)\n"
         "  -m, --qmgr NAME           its queue manager\n"
         "  -s, --skeleton FILE       response skeleton (required)\n"
         "      --delay MS            answer each request MS milliseconds after taking it\n"
         "      --fail-share SHARE    answer this share of requests (0.1 or 10%) with the\n"
         "                            failure skeleton\n"
         "      --fail-skeleton FILE  the failure skeleton (required with --fail-share)\n"
         "  -n, --requests N          stop after N requests\n"
         "  -j, --workers N           requests answered at once (default 1)\n"
         "  -t, --idle MS             stop when no request came for MS milliseconds\n"
         "  -h, --help                this text\n";
}

int ServeCommand::Main(int argc, char* argv[]) {
  Settings s;
  bool help = false;
  bool shareGiven = false;
  std::vector<std::string> rest =
      CommandLine::Parse(argc, argv,
                         {{"queue", 'q', true},
                          {"qmgr", 'm', true},
                          {"skeleton", 's', true},
                          {"delay", kDelay, true},
                          {"fail-share", kFailShare, true},
                          {"fail-skeleton", kFailSkeleton, true},
                          {"requests", 'n', true},
                          {"workers", 'j', true},
                          {"idle", 't', true},
                          {"help", 'h', false}},
                         [&](int id, const char* value) {
                           switch (id) {
                             case 'q':
                               s.queue = value;
                               break;
                             case 'm':
                               s.queueManager = value;
                               break;
                             case 's':
                               s.skeletonFile = value;
                               break;
                             case kDelay:
                               s.delayMs = CommandLine::Number(value, "--delay", 0, INT32_MAX);
                               break;
                             case kFailShare:
                               s.failShare = CommandLine::Share(value, "--fail-share");
                               shareGiven = true;
                               break;
                             case kFailSkeleton:
                               s.failSkeletonFile = value;
                               break;
                             case 'n':
                               s.limit = CommandLine::Number(value, "-n", 1, INT32_MAX);
                               break;
                             case 'j':
                               s.workers = CommandLine::Number(value, "-j", 1, 256);
                               break;
                             case 't':
                               s.idleMs = CommandLine::Number(value, "-t", 1, INT32_MAX);
                               break;
                             case 'h':
                               help = true;
                               break;
                           }
                         });
  if (help) {
    std::cout << Usage();
    return ProbeError::kPassed;
  }
  if (!rest.empty()) throw ProbeError(ProbeError::kUsage, "unexpected argument " + rest[0]);
  if (s.queue.empty()) throw ProbeError(ProbeError::kUsage, "no queue to serve: give -q");
  if (s.skeletonFile.empty()) throw ProbeError(ProbeError::kUsage, "no skeleton: give -s");
  if (shareGiven != !s.failSkeletonFile.empty()) {
    throw ProbeError(ProbeError::kUsage, "--fail-share and --fail-skeleton go together");
  }

  std::string skeleton = ReadSkeleton(s.skeletonFile);
  std::string failSkeleton =
      s.failSkeletonFile.empty() ? skeleton : ReadSkeleton(s.failSkeletonFile);
  StopSignal stop;
  Responder responder(s, std::move(skeleton), std::move(failSkeleton), stop);
  return responder.Serve();
}
