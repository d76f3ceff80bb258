// LoadReport holds what a load run measured and renders it as the table that
// "probesuite load" prints and as the JSON that --json writes. Latencies are recorded in
// nanoseconds and shown in milliseconds (table) or microseconds (JSON). A plain value; the
// run fills it from one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "LatencyHistogram.h"

struct LoadReport {
  std::string queue;  // where requests went
  std::string queueManager;
  std::string replyQueue;  // where replies came back
  std::string replyQueueManager;
  long concurrency = 1;  // worker threads (closed loop) or sending threads (fixed rate)
  double rate = 0;       // requests per second; 0: closed loop

  uint64_t sent = 0;
  uint64_t replies = 0;  // matched by correlation element
  uint64_t timeouts = 0;
  uint64_t putFailures = 0;  // requests that could not be put
  uint64_t mismatches = 0;   // replies tied to a request only by the descriptor
  uint64_t readerFailures = 0;
  uint64_t unknown = 0;     // replies that match no request of the run
  uint64_t late = 0;        // replies to requests that had timed out
  uint64_t duplicates = 0;  // second replies to one request
  bool interrupted = false;
  double seconds = 0;        // from the first send to the last reply or timeout
  LatencyHistogram latency;  // of the replies, in nanoseconds

  uint64_t Errors() const { return putFailures + mismatches + readerFailures; }
  uint64_t Unmatched() const { return unknown + late + duplicates; }
  double Throughput() const;
  // Every request sent got its reply and nothing else went wrong.
  bool Clean() const;

  std::string Table() const;
  std::string Json() const;
};
