// Times one request through the queue test utility on the embedded queue manager: ReadFile,
// Put, Get and WriteFile of a generated request of lines of 80 bytes, against `cp` of the same
// file in the same run, and reports the process's peak memory.
//
//   queuetest_bench [megabytes=100] [runs=3]
//
// Uses a private data root below a temporary folder (RV_DATA_DIR), removed at the end. Prints
// one line per run, then the medians, the ratio pipeline / cp (goal: at most 5) and the peak
// resident size against the message size (goal: at most 3). Exits 1 when the reply file
// differs from the request or a step fails.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "KesException.h"
#include "KesRVXMLTestUtility.h"
#include "ProcessRunner.h"
#include "RvTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The request: an XML declaration and root, then lines of 79 characters and a line feed.
void WriteRequest(const std::string& path, std::size_t bytes) {
  std::ofstream out(path, std::ios::binary);
  std::string chunk = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Request>\n";
  std::size_t written = 0;
  for (unsigned long i = 0; written + chunk.size() < bytes; ++i) {
    char line[81];
    std::snprintf(line, sizeof line, "  <Line n=\"%010lu\">%-49.49s</Line>\n", i,
                  "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789");
    chunk += line;
    if (chunk.size() >= (1 << 20)) {
      out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      written += chunk.size();
      chunk.clear();
    }
  }
  chunk += "</Request>\n";
  out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
}

bool SameFiles(const std::string& a, const std::string& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  std::vector<char> p(1 << 20), q(1 << 20);
  while (x && y) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) {
      return false;
    }
  }
  return x.eof() && y.eof();
}

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

// CPU seconds (user and system) of this process or of its waited-for children.
double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Run {
  double read, put, get, write, total, cp, totalCpu, cpCpu;
};

}  // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  if (megabytes == 0 || runs <= 0) {
    std::fprintf(stderr, "usage: %s [megabytes=100] [runs=3]\n", argv[0]);
    return 2;
  }
  unsetenv("KES_TRACE");
  const std::string dir = MakeTempDir("queuetest-bench");
  rvtest::FreshDataRoot("queuetest-bench");
  rvtest::CreateQueueManager("BENCH.QM");
  rvtest::DefineQueue("BENCH.QM", "BENCH.IN", 10, 1LL << 30);

  const std::string request = dir + "/request.xml";
  const std::string reply = dir + "/reply.xml";
  const std::string copy = dir + "/copy.xml";
  WriteRequest(request, megabytes << 20);
  const double size = static_cast<double>(std::filesystem::file_size(request)) / (1 << 20);
  const double baseline = PeakMegabytes();
  std::printf("request: %.1f MiB; resident before the runs: %.1f MiB\n", size, baseline);

  std::vector<Run> results;
  try {
    for (int i = 0; i < runs; ++i) {
      Run r{};
      auto start = Clock::now();
      double cpu = CpuSeconds(RUSAGE_CHILDREN);
      ProcessResult cp = ProcessRunner("/bin/cp", {request, copy}).Run();
      r.cp = Since(start);
      r.cpCpu = CpuSeconds(RUSAGE_CHILDREN) - cpu;
      if (cp.status != 0) throw std::runtime_error("cp failed: " + cp.err);

      KesRVXMLTestUtility utility;
      KesString replyToQ, replyToQMgr;
      start = Clock::now();
      cpu = CpuSeconds(RUSAGE_SELF);
      KesBinary data = utility.ReadFile(KesString(request.c_str()));
      r.read = Since(start);
      auto step = Clock::now();
      utility.Put(data, KesString("BENCH.IN"), KesString("BENCH.QM"), KesString("BENCH.OUT"),
                  KesString("BENCH.QM"));
      r.put = Since(step);
      step = Clock::now();
      KesBinary got =
          utility.Get(KesString("BENCH.IN"), KesString("BENCH.QM"), replyToQ, replyToQMgr, 5000);
      r.get = Since(step);
      step = Clock::now();
      utility.WriteFile(KesString(reply.c_str()), got);
      r.write = Since(step);
      r.total = Since(start);
      r.totalCpu = CpuSeconds(RUSAGE_SELF) - cpu;
      if (!SameFiles(request, reply)) throw std::runtime_error("reply differs from request");
      std::printf(
          "run %d: ReadFile %.3f s, Put %.3f s, Get %.3f s, WriteFile %.3f s, total %.3f s "
          "(CPU %.3f s); cp %.3f s (CPU %.3f s)\n",
          i + 1, r.read, r.put, r.get, r.write, r.total, r.totalCpu, r.cp, r.cpCpu);
      results.push_back(r);
    }
  } catch (const KesException& e) {
    std::fprintf(stderr, "queuetest_bench: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "queuetest_bench: %s\n", e.what());
    return 1;
  }

  auto median = [&](double Run::*field) {
    std::vector<double> v;
    for (const Run& r : results) v.push_back(r.*field);
    return Median(v);
  };
  const double peak = PeakMegabytes();
  std::printf("median: ReadFile %.3f s, Put %.3f s, Get %.3f s, WriteFile %.3f s, total %.3f s\n",
              median(&Run::read), median(&Run::put), median(&Run::get), median(&Run::write),
              median(&Run::total));
  std::printf(
      "median cp: %.3f s; pipeline / cp: %.1f (goal: at most 5); CPU time: pipeline "
      "%.3f s, cp %.3f s\n",
      median(&Run::cp), median(&Run::total) / median(&Run::cp), median(&Run::totalCpu),
      median(&Run::cpCpu));
  std::printf(
      "peak resident: %.1f MiB = %.2f x the message (goal: at most 3); above the start: "
      "%.1f MiB = %.2f x\n",
      peak, peak / size, peak - baseline, (peak - baseline) / size);
  return 0;
}
