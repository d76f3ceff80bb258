// Times the round trip of one request through a broker queue manager: upesprobe waits on the
// UPES queue, reqprobe puts the request there and waits for the reply on its output queue
// (four queue operations: put, get, put, get, each on a connection of its own), against the
// same four operations done by rabbitmq-c's own tools in the same run (amqp-publish -p,
// amqp-get, amqp-publish -p, amqp-get, package amqp-tools), on the same broker and queues of
// the same kind.
//
//   amqp_roundtrip_bench [runs=50]
//
// Needs the private broker of scripts/broker.sh (PROBES_BROKER_DIR, default
// /tmp/probes-broker). Uses a private data root below a temporary folder (RV_DATA_DIR) and
// queues of its own, deleted at the end. Prints the median and 90th percentile of both and the
// ratio of the medians (goal: at most 1). Exits 1 when a run fails or a reply is wrong.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "rvadmin.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "amqp_roundtrip_bench: %s\n", what.c_str());
  std::exit(1);
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  const char* brokerDir = std::getenv("PROBES_BROKER_DIR");
  const std::string broker = brokerDir != nullptr && *brokerDir ? brokerDir : "/tmp/probes-broker";
  const std::string url = Trimmed(ReadWholeFile(broker + "/url"));
  const std::string password = Trimmed(ReadWholeFile(broker + "/password"));
  if (url.empty() || password.empty() || url.find('@') == std::string::npos) {
    Die("no broker in " + broker + ": run scripts/broker.sh start");
  }

  const std::string work = MakeTempDir("amqp-bench");
  const std::string root = work + "/rv";
  ::setenv("RV_DATA_DIR", root.c_str(), 1);
  // The programs of the build tree load the broker backend from the build tree.
  ::setenv("RV_MODULE_DIR", RV_MODULE_BUILD_DIR, 0);
  const std::string qm = "BENCH.QM";
  const std::string passwordFile = broker + "/password";
  const RVSETTING settings[] = {{"url", url.c_str()}, {"password-file", passwordFile.c_str()}};
  if (RVAdminCreateQM(qm.c_str(), 0, "amqp", settings, 2) != RVRC_NONE) Die(RVErrorText());
  const std::string tag = "bench" + std::to_string(::getpid());
  const std::vector<std::string> queues = {tag + ".UPES", tag + ".OUT", tag + ".A", tag + ".B"};
  for (const auto& q : queues) {
    if (RVAdminDefineQueue(qm.c_str(), q.c_str(), -1, -1) != RVRC_NONE) Die(RVErrorText());
  }

  const std::string samples = PROBES_SOURCE_DIR "/samples";
  const std::string request = ReadWholeFile(samples + "/request.xml");
  const std::string skeleton = ReadWholeFile(samples + "/response-skeleton.xml");
  if (request.empty() || skeleton.empty()) Die("cannot read the samples in " + samples);
  WriteWholeFile(work + "/request.xml", request);
  WriteWholeFile(work + "/skeleton.xml", skeleton);
  // rabbitmq-c's tools take the password in the URL; this is the private test broker's.
  std::string toolUrl = url;
  toolUrl.insert(url.find('@'), ":" + password);

  std::vector<double> ours, theirs;
  for (int run = 0; run < runs; ++run) {
    std::filesystem::remove(work + "/reply.xml");
    auto start = Clock::now();
    int upes = ProcessRunner(UPESPROBE_PATH, {"-r", work + "/skeleton.xml", "-a",
                                              work + "/saved.xml", "-u", queues[0], "-m", qm})
                   .Dir(work)
                   .Start();
    int req = ProcessRunner(REQPROBE_PATH, {"-i", work + "/request.xml", "-o", work + "/reply.xml",
                                            "-r", queues[0], "-s", qm, "-t", queues[1], "-u", qm})
                  .Dir(work)
                  .Start();
    ProcessResult r = ProcessRunner::Wait(req, std::chrono::seconds(30));
    ProcessResult u = ProcessRunner::Wait(upes, std::chrono::seconds(30));
    ours.push_back(Since(start));
    if (r.status != 0 || u.status != 0 || ReadWholeFile(work + "/reply.xml").empty()) {
      Die("round trip " + std::to_string(run) + " failed (reqprobe " + std::to_string(r.status) +
          ", upesprobe " + std::to_string(u.status) + ")");
    }

    start = Clock::now();
    ProcessResult a = ProcessRunner("/usr/bin/amqp-publish",
                                    {"--url=" + toolUrl, "-p", "-r", queues[2], "-b", request})
                          .Run();
    ProcessResult b =
        ProcessRunner("/usr/bin/amqp-get", {"--url=" + toolUrl, "-q", queues[2]}).Run();
    ProcessResult c = ProcessRunner("/usr/bin/amqp-publish",
                                    {"--url=" + toolUrl, "-p", "-r", queues[3], "-b", skeleton})
                          .Run();
    ProcessResult d =
        ProcessRunner("/usr/bin/amqp-get", {"--url=" + toolUrl, "-q", queues[3]}).Run();
    theirs.push_back(Since(start));
    if (a.status != 0 || c.status != 0 || b.out != request || d.out != skeleton) {
      Die("amqp-tools run " + std::to_string(run) + " failed: " + a.err + b.err + c.err + d.err);
    }
  }
  for (const auto& q : queues) RVAdminUndefineQueue(qm.c_str(), q.c_str());
  std::filesystem::remove_all(work);

  double oursMedian = Percentile(ours, 0.5), theirsMedian = Percentile(theirs, 0.5);
  std::printf("round trip of a %zu-byte request, %d runs, on the %s\n", request.size(), runs,
              url.c_str());
  std::printf("  upesprobe + reqprobe:           median %7.2f ms   p90 %7.2f ms\n", oursMedian,
              Percentile(ours, 0.9));
  std::printf("  amqp-publish/amqp-get (4 runs): median %7.2f ms   p90 %7.2f ms\n", theirsMedian,
              Percentile(theirs, 0.9));
  std::printf("  ratio of the medians: %.2f (goal: at most 1)\n", oursMedian / theirsMedian);
  return 0;
}
