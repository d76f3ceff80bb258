#include "LoadCommand.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "CorrelationElement.h"
#include "LoadReport.h"
#include "ProbeError.h"
#include "QueueEndpoint.h"
#include "ReplyRouter.h"
#include "ReportFile.h"
#include "StopSignal.h"
#include "TextEscape.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kJson = 256;
constexpr uint64_t kDefaultRequests = 1000;
constexpr long kDefaultTimeoutMs = 10000;
constexpr auto kProgressInterval = std::chrono::milliseconds(500);
constexpr size_t kShownStrays = 10;  // unmatched replies described on standard error

struct Settings {
  std::string requestFile;
  std::string queue;
  std::string queueManager;
  std::string replyQueue;
  std::optional<std::string> replyQueueManager;
  std::optional<uint64_t> requests;
  std::optional<double> seconds;
  long concurrency = 1;
  double rate = 0;
  long timeoutMs = kDefaultTimeoutMs;
  std::string json;
};

// One load run: the senders, the accounting of what comes back, and the progress line.
class LoadRun {
 public:
  LoadRun(const Settings& s, const CorrelationElement& request, StopSignal& stop)
      : _settings(s),
        _request(request),
        _stop(stop),
        _router(ReplyRouter::Observer{[this](const ReplyRouter::Stray& st) { Stray(st); },
                                      [this](const std::string& why) { ReaderFailed(why); }}) {
    const std::string replyQm = s.replyQueueManager.value_or(s.queueManager);
    _report.queue = s.queue;
    _report.queueManager = s.queueManager;
    _report.replyQueue = s.replyQueue;
    _report.replyQueueManager = replyQm;
    _report.concurrency = s.concurrency;
    _report.rate = s.rate;
    // More requests in flight get more reply readers, each with a connection of its own.
    _router.Listen(replyQm, s.replyQueue, static_cast<int>(std::clamp(s.concurrency / 4, 1L, 4L)));
    for (long i = 0; i < s.concurrency; ++i) {
      _senders.push_back(
          std::make_unique<QueueEndpoint>(s.queueManager, s.queue, QueueEndpoint::Use::kPut));
      _slots.push_back(std::make_unique<Slot>());
    }
    _descriptor = QueueEndpoint::Descriptor(s.replyQueue, replyQm);
    // At a fixed rate a duration is a number of requests; without -n or -d, 1000 requests.
    uint64_t byCount = s.requests.value_or(s.seconds ? UINT64_MAX : kDefaultRequests);
    uint64_t byTime = s.seconds && s.rate > 0
                          ? static_cast<uint64_t>(std::ceil(*s.seconds * s.rate))
                          : UINT64_MAX;
    _limit = std::min(byCount, byTime);
  }

  LoadReport Run() {
    _start = Clock::now();
    if (_settings.seconds) {
      _end = _start + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(*_settings.seconds));
    }
    std::thread progress;
    if (::isatty(STDERR_FILENO)) progress = std::thread([this] { Progress(); });
    std::vector<std::thread> threads;
    for (size_t i = 0; i < _senders.size(); ++i) {
      threads.emplace_back([this, i] {
        try {
          if (_settings.rate > 0) {
            SendAtRate(*_senders[i]);
          } else {
            SendAndWait(*_senders[i], *_slots[i]);
          }
        } catch (const std::exception& e) {
          // The run ends early and is reported as interrupted.
          std::lock_guard<std::mutex> lock(_mutex);
          std::cerr << "probesuite load: " << e.what() << std::endl;
          _stop.Request();
        }
      });
    }
    for (std::thread& t : threads) t.join();
    // Every request sent ends in a reply or a timeout; the router sees to the deadlines.
    {
      std::unique_lock<std::mutex> lock(_mutex);
      _finished.wait(lock, [this] { return _open == 0; });
      _report.interrupted = _stop.Requested();
      _report.seconds = std::max(0.0, std::chrono::duration<double>(_last - _start).count());
      _done = true;
    }
    _finished.notify_all();  // the progress line ends
    if (progress.joinable()) progress.join();
    std::lock_guard<std::mutex> lock(_mutex);
    return _report;
  }

 private:
  // The index of the next request to send, or nothing when the run is over.
  std::optional<uint64_t> Claim() {
    if (_stop.Requested()) return std::nullopt;
    if (_settings.seconds && _settings.rate == 0 && Clock::now() >= _end) return std::nullopt;
    uint64_t i = _next++;
    if (i >= _limit) return std::nullopt;
    return i;
  }

  // What a closed-loop sender waits on: the reply or timeout of its request. Kept by the
  // run, so that a reader thread may still signal it while the sender ends.
  struct Slot {
    std::mutex mutex;
    std::condition_variable changed;
    bool answered = false;
  };

  // Sends one request whose latency counts from origin; done runs after its accounting.
  // Returns false when the request could not be put (its handler then never runs).
  bool Send(QueueEndpoint& endpoint, Clock::time_point origin, std::function<void()> done) {
    std::string token = _router.NextToken();
    RVMD md = _descriptor;
    ReplyRouter::SetMessageId(token, md);
    {
      std::lock_guard<std::mutex> lock(_mutex);
      ++_open;
      ++_report.sent;
    }
    _router.Expect(token, Clock::now() + std::chrono::milliseconds(_settings.timeoutMs),
                   [this, origin, done](ReplyRouter::Delivery&& d) {
                     Account(d, origin);
                     if (done) done();
                   });
    RVLONG reason = endpoint.Put(md, _request.With(token));
    if (reason == RVRC_NONE) return true;
    std::lock_guard<std::mutex> lock(_mutex);
    if (_report.putFailures == 0) {
      std::cerr << "probesuite load: cannot put a request on "
                << QueueEndpoint::Where(_settings.queueManager, _settings.queue) << ": "
                << QueueEndpoint::Reason(reason) << std::endl;
    }
    // A put that outlasted the request's deadline already had its timeout delivered.
    if (!_router.Withdraw(token)) return true;
    --_report.sent;
    ++_report.putFailures;
    Close(Clock::now());
    return false;
  }

  void SendAndWait(QueueEndpoint& endpoint, Slot& slot) {
    while (Claim()) {
      {
        std::lock_guard<std::mutex> lock(slot.mutex);
        slot.answered = false;
      }
      bool sent = Send(endpoint, Clock::now(), [&slot] {
        std::lock_guard<std::mutex> lock(slot.mutex);
        slot.answered = true;
        slot.changed.notify_one();
      });
      if (!sent) continue;
      std::unique_lock<std::mutex> lock(slot.mutex);
      slot.changed.wait(lock, [&slot] { return slot.answered; });
    }
  }

  void SendAtRate(QueueEndpoint& endpoint) {
    const double interval = 1.0 / _settings.rate;
    while (std::optional<uint64_t> i = Claim()) {
      auto due = _start + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(static_cast<double>(*i) * interval));
      if (_stop.WaitUntil(due)) break;
      Send(endpoint, due, nullptr);
    }
  }

  void Account(const ReplyRouter::Delivery& d, Clock::time_point origin) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (d.timedOut) {
      ++_report.timeouts;
    } else if (!d.matchedByElement) {
      ++_report.mismatches;
    } else {
      ++_report.replies;
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d.at - origin).count();
      _report.latency.Record(static_cast<uint64_t>(std::max<int64_t>(ns, 0)));
    }
    Close(d.at);
  }

  // Ends one open request; the caller holds _mutex.
  void Close(Clock::time_point at) {
    _last = std::max(_last, at);
    if (--_open == 0) _finished.notify_all();
  }

  void Stray(const ReplyRouter::Stray& s) {
    std::lock_guard<std::mutex> lock(_mutex);
    uint64_t& count = s.kind == ReplyRouter::StrayKind::kLate        ? _report.late
                      : s.kind == ReplyRouter::StrayKind::kDuplicate ? _report.duplicates
                                                                     : _report.unknown;
    ++count;
    if (_report.Unmatched() <= kShownStrays) {
      const char* kind = s.kind == ReplyRouter::StrayKind::kLate        ? "late"
                         : s.kind == ReplyRouter::StrayKind::kDuplicate ? "duplicate"
                                                                        : "unknown";
      std::cerr << "probesuite load: " << kind << " reply on " << s.where << ", correlation "
                << TextEscape::Json(TextEscape::Shorten(s.correlation, 64)) << ", " << s.bytes
                << " bytes" << std::endl;
    }
  }

  void ReaderFailed(const std::string& why) {
    std::lock_guard<std::mutex> lock(_mutex);
    ++_report.readerFailures;
    std::cerr << "probesuite load: " << why << std::endl;
  }

  void Progress() {
    uint64_t before = 0;
    auto then = Clock::now();
    std::unique_lock<std::mutex> lock(_mutex);
    while (!_finished.wait_for(lock, kProgressInterval, [this] { return _done; })) {
      auto now = Clock::now();
      double rate = static_cast<double>(_report.replies - before) /
                    std::chrono::duration<double>(now - then).count();
      before = _report.replies;
      then = now;
      char line[160];
      std::snprintf(line, sizeof line,
                    "\r%llu sent, %llu replies, %.0f/s, %llu timeouts, %llu errors ",
                    static_cast<unsigned long long>(_report.sent),
                    static_cast<unsigned long long>(_report.replies), rate,
                    static_cast<unsigned long long>(_report.timeouts),
                    static_cast<unsigned long long>(_report.Errors() + _report.Unmatched()));
      std::cerr << line << std::flush;
    }
    std::cerr << "\r\033[K" << std::flush;
  }

  const Settings& _settings;
  const CorrelationElement& _request;
  StopSignal& _stop;
  RVMD _descriptor;
  uint64_t _limit = 0;
  std::atomic<uint64_t> _next{0};
  Clock::time_point _start;
  Clock::time_point _end;
  std::vector<std::unique_ptr<QueueEndpoint>> _senders;
  std::vector<std::unique_ptr<Slot>> _slots;  // one per sender

  std::mutex _mutex;  // guards what follows
  std::condition_variable _finished;
  LoadReport _report;
  uint64_t _open = 0;  // requests sent whose reply or timeout has not come
  Clock::time_point _last;
  bool _done = false;

  ReplyRouter _router;  // last: its readers stop before the members they report to go
};

}  // namespace

const char* LoadCommand::Usage() {
  return "Usage: probesuite load [options] REQUEST.xml\n"
         "  -q, --queue NAME          request queue (required)\n"
         "  -m, --qmgr NAME           its queue manager\n"
         "  -R, --reply-queue NAME    reply queue (required)\n"
         "  -M, --reply-qmgr NAME     its queue manager (default: the request's)\n"
         "  -n, --requests N          send N requests (default 1000 without -d)\n"
         "  -d, --duration SECONDS    send for this long\n"
         "  -c, --concurrency C       requests in flight, or sending threads with -r (default 1)\n"
         "  -r, --rate R              send R requests per second, whatever the replies do\n"
         "  -t, --timeout MS          wait for each reply at most MS milliseconds (default 10000)\n"
         "      --json FILE           write the report as JSON\n"
         "  -h, --help                this text\n";
}

int LoadCommand::Main(int argc, char* argv[]) {
  Settings s;
  bool help = false;
  std::vector<std::string> files =
      CommandLine::Parse(argc, argv,
                         {{"queue", 'q', true},
                          {"qmgr", 'm', true},
                          {"reply-queue", 'R', true},
                          {"reply-qmgr", 'M', true},
                          {"requests", 'n', true},
                          {"duration", 'd', true},
                          {"concurrency", 'c', true},
                          {"rate", 'r', true},
                          {"timeout", 't', true},
                          {"json", kJson, true},
                          {"help", 'h', false}},
                         [&](int id, const char* value) {
                           switch (id) {
                             case 'q':
                               s.queue = value;
                               break;
                             case 'm':
                               s.queueManager = value;
                               break;
                             case 'R':
                               s.replyQueue = value;
                               break;
                             case 'M':
                               s.replyQueueManager = value;
                               break;
                             case 'n':
                               s.requests = CommandLine::Number(value, "-n", 1, INT32_MAX);
                               break;
                             case 'd':
                               s.seconds = CommandLine::Positive(value, "-d", 1e6);
                               break;
                             case 'c':
                               s.concurrency = CommandLine::Number(value, "-c", 1, 1024);
                               break;
                             case 'r':
                               s.rate = CommandLine::Positive(value, "-r", 1e7);
                               break;
                             case 't':
                               s.timeoutMs = CommandLine::Number(value, "-t", 1, INT32_MAX);
                               break;
                             case kJson:
                               s.json = value;
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
  if (files.size() != 1) throw ProbeError(ProbeError::kUsage, "name one request file");
  if (s.queue.empty()) throw ProbeError(ProbeError::kUsage, "no request queue: give -q");
  if (s.replyQueue.empty()) throw ProbeError(ProbeError::kUsage, "no reply queue: give -R");
  s.requestFile = files[0];

  const std::string text = CommandLine::ReadFile(s.requestFile);
  std::optional<CorrelationElement> request = CorrelationElement::Split(text);
  if (!request) {
    throw ProbeError(ProbeError::kNoStart, "the request " + s.requestFile + " holds no " +
                                               std::string(CorrelationElement::kOpenTag) +
                                               " element, so its replies could not be told apart");
  }

  StopSignal stop;
  LoadReport report;
  {
    LoadRun run(s, *request, stop);
    report = run.Run();
  }
  std::cout << report.Table() << std::flush;
  if (!s.json.empty()) ReportFile::Write(s.json, report.Json(), "JSON report");
  return report.Clean() ? ProbeError::kPassed : ProbeError::kFailed;
}
