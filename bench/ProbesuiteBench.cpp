// probesuite_bench: "probesuite load" against "probesuite serve" on the embedded queue manager
// at concurrency 1, 4 and 16, beside the durable put limit of the same disk (write + fsync +
// rename + fsync of the folder, 1 KiB files), measured in interleaved blocks: each pair is one
// load run and one block of the limit, in alternating order, and the ratio of each pair is
// reported as the median over all pairs. A round trip costs two durable puts (the request and
// the reply) and two gets.
//   probesuite_bench [PAIRS [REQUESTS]]   (default 15 pairs of 300 requests per concurrency)
// Works in a fresh data root under $TMPDIR (or /tmp) and removes it afterwards.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "DurablePutLimit.h"
#include "ProcessRunner.h"
#include "RvTestSupport.h"

namespace {

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "probesuite_bench: %s\n", what.c_str());
  std::exit(1);
}

double Field(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) Die("no " + key + " in the load report:\n" + json);
  return std::strtod(json.c_str() + at + key.size() + 4, nullptr);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Sample {
  double throughput;  // round trips per second
  double p50Ms;
  double p99Ms;
  double limit;  // durable puts per second in the neighbouring block
};

// One load run of n requests at concurrency c against a serve with c workers.
Sample LoadRun(const std::string& base, int c, int n) {
  const std::string json = base + "/load.json";
  ProcessRunner serve(PROBESUITE,
                      {"serve", "-q", "REQ.Q", "-m", "PB.QM", "-s", base + "/skeleton.xml", "-j",
                       std::to_string(c), "-n", std::to_string(n)});
  int out = -1;
  int pid = serve.StartPiped(&out, base + "/serve.err");
  std::string ready;
  if (!ReadLineWithin(out, &ready, std::chrono::seconds(60))) Die("serve did not start");
  ProcessResult load =
      ProcessRunner(PROBESUITE,
                    {"load", "-q", "REQ.Q", "-m", "PB.QM", "-R", "OUT.Q", "-n", std::to_string(n),
                     "-c", std::to_string(c), "--json", json, base + "/request.xml"})
          .Timeout(std::chrono::minutes(10))
          .Run();
  if (load.status != 0) Die("load failed:\n" + load.out + load.err);
  ReadAllWithin(out, std::chrono::seconds(60));
  ::close(out);
  if (ProcessRunner::Wait(pid, std::chrono::seconds(60)).status != 0) Die("serve failed");
  std::string report = ReadWholeFile(json);
  return Sample{Field(report, "throughput_per_s"), Field(report, "p50") / 1000,
                Field(report, "p99") / 1000, 0};
}

}  // namespace

int main(int argc, char** argv) {
  int pairs = argc > 1 ? std::atoi(argv[1]) : 15;
  int requests = argc > 2 ? std::atoi(argv[2]) : 300;
  if (pairs <= 0 || requests <= 0) Die("usage: probesuite_bench [PAIRS [REQUESTS]]");
  const std::string root = rvtest::FreshDataRoot("probesuite-bench");
  const std::string base = std::filesystem::path(root).parent_path().string();
  rvtest::CreateQueueManager("PB.QM");
  rvtest::DefineQueue("PB.QM", "REQ.Q");
  rvtest::DefineQueue("PB.QM", "OUT.Q");
  std::filesystem::copy_file(PROBES_SOURCE_DIR "/samples/request.xml", base + "/request.xml");
  std::filesystem::copy_file(PROBES_SOURCE_DIR "/samples/response-skeleton.xml",
                             base + "/skeleton.xml");

  const int concurrencies[] = {1, 4, 16};
  std::vector<std::vector<Sample>> samples(std::size(concurrencies));
  for (int p = 0; p < pairs; ++p) {
    for (size_t i = 0; i < std::size(concurrencies); ++i) {
      // ABBA: the limit block goes first in every other pair, so that drift cancels out.
      bool limitFirst = (p + static_cast<int>(i)) % 2 == 0;
      double limit = 0;
      if (limitFirst) limit = DurablePutLimit::FilesPerSecond(base + "/limit", requests, true);
      Sample s = LoadRun(base, concurrencies[i], requests);
      if (!limitFirst) limit = DurablePutLimit::FilesPerSecond(base + "/limit", requests, true);
      s.limit = limit;
      samples[i].push_back(s);
      std::fprintf(stderr,
                   "pair %2d  c=%-2d  %8.1f round trips/s  p50 %7.3f ms  p99 %7.3f ms  "
                   "limit %7.1f puts/s\n",
                   p + 1, concurrencies[i], s.throughput, s.p50Ms, s.p99Ms, s.limit);
    }
  }

  std::printf(
      "probesuite load against probesuite serve, embedded queue manager, %d pairs of %d "
      "requests (medians)\n",
      pairs, requests);
  std::printf("%-12s %14s %10s %10s %18s %22s\n", "concurrency", "round trips/s", "p50 ms",
              "p99 ms", "durable puts/s", "round trips / limit");
  for (size_t i = 0; i < std::size(concurrencies); ++i) {
    std::vector<double> t, p50, p99, limit, ratio;
    for (const Sample& s : samples[i]) {
      t.push_back(s.throughput);
      p50.push_back(s.p50Ms);
      p99.push_back(s.p99Ms);
      limit.push_back(s.limit);
      ratio.push_back(s.throughput / s.limit);
    }
    std::printf("%-12d %14.1f %10.3f %10.3f %18.1f %21.0f%%\n", concurrencies[i], Median(t),
                Median(p50), Median(p99), Median(limit), 100 * Median(ratio));
  }
  std::filesystem::remove_all(base);
  return 0;
}
