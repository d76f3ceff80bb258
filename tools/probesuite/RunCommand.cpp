#include "RunCommand.h"

#include <atomic>
#include <chrono>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "CaseResult.h"
#include "CommandLine.h"
#include "CorrelationElement.h"
#include "JUnitReport.h"
#include "KesException.h"
#include "KesMessageParser.h"
#include "KesRVXMLTestUtility.h"
#include "ProbeError.h"
#include "QueueEndpoint.h"
#include "ReplyRouter.h"
#include "ReportFile.h"
#include "StopSignal.h"
#include "SuiteCase.h"
#include "TextEscape.h"
#include "XmlComparer.h"

namespace {

using Clock = std::chrono::steady_clock;
using Outcome = CaseResult::Outcome;

constexpr int kJUnit = 256;
constexpr int kVolatile = 257;
constexpr int kHelp = 'h';

std::string Text(const KesException& e) {
  KesString text = e.AsString();
  return text.IsNull() ? std::string("unknown failure")
                       : std::string(text.Chars(), text.LengthChar());
}

std::string ReadCaseFile(KesRVXMLTestUtility& utility, const std::string& file) {
  KesBinary bytes = utility.ReadFile(KesString(file.c_str()));
  return std::string(reinterpret_cast<const char*>(bytes.Data()), bytes.Length());
}

KesMessageMap Parse(const std::string& text) {
  return KesMessageParser::Parse(KesBinary(text.data(), static_cast<uint32_t>(text.size())));
}

std::string StrayText(const ReplyRouter::Stray& s) {
  const char* why = s.kind == ReplyRouter::StrayKind::kLate ? "its request had timed out"
                    : s.kind == ReplyRouter::StrayKind::kDuplicate
                        ? "its request was already answered"
                        : "it matches no request of this run";
  return "reply on " + s.where + " with correlation " +
         (s.correlation.empty() ? std::string("(none)")
                                : TextEscape::Json(TextEscape::Shorten(s.correlation, 64))) +
         ", " + std::to_string(s.bytes) + " bytes: " + why;
}

// Runs the cases on worker threads and prints each result as it comes.
class SuiteRun {
 public:
  SuiteRun(const std::vector<SuiteCase>& cases, StopSignal& stop)
      : _cases(cases),
        _stop(stop),
        _router(ReplyRouter::Observer{[this](const ReplyRouter::Stray& s) { Unmatched(s); },
                                      [this](const std::string& why) { ReaderFailed(why); }}) {
    for (const SuiteCase& c : _cases) {
      if (!c.problem.empty()) continue;
      std::string key = c.replyQueueManager + "\n" + c.replyQueue;
      if (_listenFailures.count(key) > 0) continue;
      try {
        _router.Listen(c.replyQueueManager, c.replyQueue);
        _listenFailures[key] = std::string();
      } catch (const ProbeError& e) {
        _listenFailures[key] = e.what();
      }
    }
  }

  // Runs every case; the results come in the order of the cases.
  std::vector<CaseResult> RunAll(size_t workers) {
    std::vector<CaseResult> results(_cases.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (size_t w = 0; w < std::min(workers, _cases.size()); ++w) {
      threads.emplace_back([&] {
        Worker worker;
        for (size_t i = next++; i < _cases.size(); i = next++) {
          results[i] = _stop.Requested() ? Skipped(_cases[i]) : RunOne(_cases[i], worker);
          Print(results[i].Line());
        }
      });
    }
    for (std::thread& t : threads) t.join();
    return results;
  }

  std::vector<std::string> Unmatched() {
    std::lock_guard<std::mutex> lock(_outputMutex);
    return _unmatched;
  }
  bool ReaderFailures() {
    std::lock_guard<std::mutex> lock(_outputMutex);
    return _readerFailures;
  }

 private:
  // What a worker keeps between its cases: a file reader and a connection per request queue.
  struct Worker {
    KesRVXMLTestUtility utility;
    std::map<std::string, std::unique_ptr<QueueEndpoint>> putters;
  };

  static CaseResult Skipped(const SuiteCase& c) {
    return CaseResult{c.name, c.suite, Outcome::kSkipped, "not run: the run was interrupted", 0};
  }

  CaseResult RunOne(const SuiteCase& c, Worker& worker) {
    const Clock::time_point start = Clock::now();
    CaseResult r{c.name, c.suite, Outcome::kError, "", 0};
    try {
      Judge(c, worker, r);
    } catch (const KesException& e) {
      r.outcome = Outcome::kError;
      r.detail = Text(e);
    } catch (const std::exception& e) {  // ProbeError, and what the system throws
      r.outcome = Outcome::kError;
      r.detail = e.what();
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
  }

  // Sets the outcome and detail of the case's result.
  void Judge(const SuiteCase& c, Worker& worker, CaseResult& r) {
    if (!c.problem.empty()) {
      r.detail = c.problem;
      return;
    }
    // Filled before the workers start, so they only read it.
    const std::string& listenFailure =
        _listenFailures.find(c.replyQueueManager + "\n" + c.replyQueue)->second;
    if (!listenFailure.empty()) {
      r.detail = listenFailure;
      return;
    }
    std::string request = ReadCaseFile(worker.utility, c.request);
    std::string expected = ReadCaseFile(worker.utility, c.expected);
    std::optional<CorrelationElement> element = CorrelationElement::Split(request);
    if (!element) {
      r.detail = "the request " + c.request + " holds no " +
                 std::string(CorrelationElement::kOpenTag) +
                 " element, so its reply could not be told from others";
      return;
    }
    const std::string token = _router.NextToken();
    // The expected reply carries the identifier that the request is sent with.
    if (std::optional<CorrelationElement> e = CorrelationElement::Split(expected)) {
      expected = e->With(token);
    }
    KesMessageMap expectedMap;
    try {
      expectedMap = Parse(expected);
    } catch (const KesException& e) {
      r.detail = "the expected reply " + c.expected + " is not well-formed: " + Text(e);
      return;
    }

    std::string key = c.queueManager + "\n" + c.queue;
    std::unique_ptr<QueueEndpoint>& putter = worker.putters[key];
    if (!putter) {
      try {
        putter = std::make_unique<QueueEndpoint>(c.queueManager, c.queue, QueueEndpoint::Use::kPut);
      } catch (const ProbeError& e) {
        worker.putters.erase(key);
        r.detail = e.what();
        return;
      }
    }
    RVMD md = QueueEndpoint::Descriptor(c.replyQueue, c.replyQueueManager);
    ReplyRouter::SetMessageId(token, md);
    std::promise<ReplyRouter::Delivery> promise;
    std::future<ReplyRouter::Delivery> future = promise.get_future();
    _router.Expect(token, Clock::now() + std::chrono::milliseconds(c.timeoutMs),
                   [&promise](ReplyRouter::Delivery&& d) { promise.set_value(std::move(d)); });
    RVLONG reason = putter->Put(md, element->With(token));
    if (reason != RVRC_NONE) {
      if (!_router.Withdraw(token)) future.wait();
      r.detail = "cannot put the request on " + QueueEndpoint::Where(c.queueManager, c.queue) +
                 ": " + QueueEndpoint::Reason(reason);
      worker.putters.erase(key);  // the next case connects afresh
      return;
    }
    ReplyRouter::Delivery reply = future.get();
    if (reply.timedOut) {
      r.outcome = Outcome::kTimeout;
      r.detail = "no reply on " + QueueEndpoint::Where(c.replyQueueManager, c.replyQueue) +
                 " within " + std::to_string(c.timeoutMs) + " ms";
      return;
    }
    KesMessageMap replyMap;
    try {
      replyMap = Parse(reply.body);
    } catch (const KesException& e) {
      r.detail = "the reply is not well-formed XML: " + Text(e);
      return;
    }
    r.outcome = Outcome::kFail;
    if (!reply.matchedByElement) {
      r.detail = std::string(CorrelationElement::kOpenTag) + ": expected " +
                 TextEscape::Json(token) + ", got " +
                 (reply.element ? TextEscape::Json(TextEscape::Shorten(*reply.element, 200))
                                : std::string("(absent)"));
      return;
    }
    if (auto d = XmlComparer(c.volatileNames).Compare(expectedMap, replyMap)) {
      r.detail = d->path + ": expected " + d->expected + ", got " + d->actual;
      return;
    }
    r.outcome = Outcome::kPass;
  }

  void Print(const std::string& line) {
    std::lock_guard<std::mutex> lock(_outputMutex);
    std::cout << line << std::endl;
  }

  void Unmatched(const ReplyRouter::Stray& s) {
    std::string text = StrayText(s);
    std::lock_guard<std::mutex> lock(_outputMutex);
    std::cout << "UNMATCHED " << text << std::endl;
    _unmatched.push_back(text);
  }

  void ReaderFailed(const std::string& why) {
    std::lock_guard<std::mutex> lock(_outputMutex);
    std::cerr << "probesuite run: " << why << std::endl;
    _readerFailures = true;
  }

  const std::vector<SuiteCase>& _cases;
  StopSignal& _stop;
  std::map<std::string, std::string> _listenFailures;  // by reply queue; "" when listening
  std::mutex _outputMutex;
  std::vector<std::string> _unmatched;
  bool _readerFailures = false;
  ReplyRouter _router;  // last: its readers stop before the members they report to go
};

std::string Counted(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Summary(const std::vector<CaseResult>& results, size_t unmatched, double seconds) {
  std::map<Outcome, size_t> count;
  for (const CaseResult& r : results) ++count[r.outcome];
  std::string text = Counted(results.size(), "case", "cases") + ": " +
                     std::to_string(count[Outcome::kPass]) + " passed, " +
                     std::to_string(count[Outcome::kFail]) + " failed, " +
                     std::to_string(count[Outcome::kTimeout]) + " timed out, " +
                     Counted(count[Outcome::kError], "error", "errors");
  if (count[Outcome::kSkipped] > 0) {
    text += ", " + std::to_string(count[Outcome::kSkipped]) + " not run";
  }
  if (unmatched > 0) text += ", " + Counted(unmatched, "unmatched reply", "unmatched replies");
  char time[32];
  std::snprintf(time, sizeof time, " (%.3f s)", seconds);
  return text + time;
}

}  // namespace

const char* RunCommand::Usage() {
  return "Usage: probesuite run [options] CASE...\n"
         "  CASE is a folder of cases, NAME.case, or NAME.xml with NAME.expected.xml beside it.\n"
         "  -j, --jobs N              cases run at once (default 1)\n"
         "  -q, --queue NAME          request queue, for every case\n"
         "  -m, --qmgr NAME           its queue manager\n"
         "  -R, --reply-queue NAME    reply queue, for every case\n"
         "  -M, --reply-qmgr NAME     its queue manager (default: the request's)\n"
         "  -t, --timeout MS          wait for each reply at most MS milliseconds (default 10000)\n"
         "      --volatile NAME       ignore elements of that name or path (repeatable)\n"
         "      --junit FILE          write a JUnit XML report\n"
         "  -h, --help                this text\n";
}

int RunCommand::Main(int argc, char* argv[]) {
  SuiteCase::Overrides overrides;
  long jobs = 1;
  std::string junit;
  bool help = false;
  std::vector<std::string> paths =
      CommandLine::Parse(argc, argv,
                         {{"jobs", 'j', true},
                          {"queue", 'q', true},
                          {"qmgr", 'm', true},
                          {"reply-queue", 'R', true},
                          {"reply-qmgr", 'M', true},
                          {"timeout", 't', true},
                          {"volatile", kVolatile, true},
                          {"junit", kJUnit, true},
                          {"help", kHelp, false}},
                         [&](int id, const char* value) {
                           switch (id) {
                             case 'j':
                               jobs = CommandLine::Number(value, "-j", 1, 256);
                               break;
                             case 'q':
                               overrides.queue = value;
                               break;
                             case 'm':
                               overrides.queueManager = value;
                               break;
                             case 'R':
                               overrides.replyQueue = value;
                               break;
                             case 'M':
                               overrides.replyQueueManager = value;
                               break;
                             case 't':
                               overrides.timeoutMs = CommandLine::Number(value, "-t", 1, INT32_MAX);
                               break;
                             case kVolatile:
                               overrides.volatileNames.push_back(value);
                               break;
                             case kJUnit:
                               junit = value;
                               break;
                             case kHelp:
                               help = true;
                               break;
                           }
                         });
  if (help) {
    std::cout << Usage();
    return ProbeError::kPassed;
  }
  if (paths.empty()) throw ProbeError(ProbeError::kUsage, "no cases named");

  std::vector<SuiteCase> cases = SuiteCase::Collect(paths, overrides);
  StopSignal stop;
  const Clock::time_point start = Clock::now();
  std::vector<CaseResult> results;
  std::vector<std::string> unmatched;
  bool readerFailures = false;
  {
    SuiteRun run(cases, stop);
    results = run.RunAll(static_cast<size_t>(jobs));
    unmatched = run.Unmatched();
    readerFailures = run.ReaderFailures();
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::cout << Summary(results, unmatched.size(), seconds) << std::endl;
  if (!junit.empty())
    ReportFile::Write(junit, JUnitReport::Render(results, unmatched, seconds), "JUnit report");

  bool allPassed = unmatched.empty() && !readerFailures;
  for (const CaseResult& r : results) allPassed = allPassed && r.outcome == Outcome::kPass;
  return allPassed ? ProbeError::kPassed : ProbeError::kFailed;
}
