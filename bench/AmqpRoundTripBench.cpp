// Times the round trip of one request through a broker queue manager: upesprobe waits on the
// UPES queue, reqprobe puts the request there and waits for the reply on its output queue
// (four queue operations: put, get, put, get, each on a connection of its own), against the
// same four operations done by rabbitmq-c's own tools in the same run (amqp-publish -p,
// amqp-get, amqp-publish -p, amqp-get, package amqp-tools), on the same broker and queues of
// the same kind; once over plain AMQP and once over TLS (amqps, the broker's certificate
// verified against the test CA on both sides). The four kinds of run are interleaved.
//
//   amqp_roundtrip_bench [runs=20]
//
// Needs the private broker of scripts/broker.sh (PROBES_BROKER_DIR, default
// /tmp/probes-broker) with its TLS listener. Uses a private data root below a temporary folder
// (RV_DATA_DIR) and queues of its own, deleted at the end. Prints the median and 90th
// percentile of each and the ratio of the medians per transport (goal: at most 1). Exits 1
// when a run fails or a reply is wrong.
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

// One transport: the queue manager that upesprobe and reqprobe use, and the URL and options
// that rabbitmq-c's tools take for the same broker.
struct Transport {
  const char* name;
  std::string qm;
  std::string toolUrl;
  std::vector<std::string> toolOptions;
  std::vector<double> ours, theirs;
};

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const char* brokerDir = std::getenv("PROBES_BROKER_DIR");
  const std::string broker = brokerDir != nullptr && *brokerDir ? brokerDir : "/tmp/probes-broker";
  const std::string url = Trimmed(ReadWholeFile(broker + "/url"));
  const std::string tlsUrl = Trimmed(ReadWholeFile(broker + "/tls-url"));
  const std::string password = Trimmed(ReadWholeFile(broker + "/password"));
  const std::string ca = broker + "/tls/ca.pem";
  if (url.empty() || tlsUrl.empty() || password.empty() || url.find('@') == std::string::npos ||
      tlsUrl.find('@') == std::string::npos) {
    Die("no broker with a TLS listener in " + broker + ": run scripts/broker.sh start");
  }

  const std::string work = MakeTempDir("amqp-bench");
  const std::string root = work + "/rv";
  ::setenv("RV_DATA_DIR", root.c_str(), 1);
  // The programs of the build tree load the broker backend from the build tree.
  ::setenv("RV_MODULE_DIR", RV_MODULE_BUILD_DIR, 0);
  const std::string passwordFile = broker + "/password";
  // rabbitmq-c's tools take the password in the URL; this is the private test broker's.
  auto withPassword = [&](std::string u) { return u.insert(u.find('@'), ":" + password); };
  Transport transports[] = {
      {"amqp", "BENCH.QM", withPassword(url), {}, {}, {}},
      {"amqps", "BENCH.TLS", withPassword(tlsUrl), {"--cacert=" + ca}, {}, {}},
  };
  const RVSETTING plain[] = {{"url", url.c_str()}, {"password-file", passwordFile.c_str()}};
  const RVSETTING tls[] = {{"url", tlsUrl.c_str()},
                           {"password-file", passwordFile.c_str()},
                           {"tls-ca-file", ca.c_str()}};
  if (RVAdminCreateQM("BENCH.QM", 0, "amqp", plain, 2) != RVRC_NONE ||
      RVAdminCreateQM("BENCH.TLS", 0, "amqp", tls, 3) != RVRC_NONE) {
    Die(RVErrorText());
  }
  const std::string tag = "bench" + std::to_string(::getpid());
  const std::vector<std::string> queues = {tag + ".UPES", tag + ".OUT", tag + ".A", tag + ".B"};
  for (const auto& q : queues) {
    if (RVAdminDefineQueue("BENCH.QM", q.c_str(), -1, -1) != RVRC_NONE) Die(RVErrorText());
  }

  const std::string samples = PROBES_SOURCE_DIR "/samples";
  const std::string request = ReadWholeFile(samples + "/request.xml");
  const std::string skeleton = ReadWholeFile(samples + "/response-skeleton.xml");
  if (request.empty() || skeleton.empty()) Die("cannot read the samples in " + samples);
  WriteWholeFile(work + "/request.xml", request);
  WriteWholeFile(work + "/skeleton.xml", skeleton);

  for (int run = 0; run < runs; ++run) {
    for (Transport& t : transports) {
      std::filesystem::remove(work + "/reply.xml");
      auto start = Clock::now();
      int upes = ProcessRunner(UPESPROBE_PATH, {"-r", work + "/skeleton.xml", "-a",
                                                work + "/saved.xml", "-u", queues[0], "-m", t.qm})
                     .Dir(work)
                     .Start();
      int req =
          ProcessRunner(REQPROBE_PATH, {"-i", work + "/request.xml", "-o", work + "/reply.xml",
                                        "-r", queues[0], "-s", t.qm, "-t", queues[1], "-u", t.qm})
              .Dir(work)
              .Start();
      ProcessResult r = ProcessRunner::Wait(req, std::chrono::seconds(30));
      ProcessResult u = ProcessRunner::Wait(upes, std::chrono::seconds(30));
      t.ours.push_back(Since(start));
      if (r.status != 0 || u.status != 0 || ReadWholeFile(work + "/reply.xml").empty()) {
        Die(std::string(t.name) + " round trip " + std::to_string(run) + " failed (reqprobe " +
            std::to_string(r.status) + ", upesprobe " + std::to_string(u.status) + ")");
      }

      auto tool = [&](const char* program, std::vector<std::string> args) {
        args.insert(args.begin(), "--url=" + t.toolUrl);
        args.insert(args.end(), t.toolOptions.begin(), t.toolOptions.end());
        return ProcessRunner(std::string("/usr/bin/") + program, args).Run();
      };
      start = Clock::now();
      ProcessResult a = tool("amqp-publish", {"-p", "-r", queues[2], "-b", request});
      ProcessResult b = tool("amqp-get", {"-q", queues[2]});
      ProcessResult c = tool("amqp-publish", {"-p", "-r", queues[3], "-b", skeleton});
      ProcessResult d = tool("amqp-get", {"-q", queues[3]});
      t.theirs.push_back(Since(start));
      if (a.status != 0 || c.status != 0 || b.out != request || d.out != skeleton) {
        Die(std::string(t.name) + " amqp-tools run " + std::to_string(run) + " failed: " + a.err +
            b.err + c.err + d.err);
      }
    }
  }
  for (const auto& q : queues) RVAdminUndefineQueue("BENCH.QM", q.c_str());
  std::filesystem::remove_all(work);

  std::printf("round trip of a %zu-byte request, %d interleaved runs of each kind, on the %s\n",
              request.size(), runs, url.c_str());
  for (const Transport& t : transports) {
    const double oursMedian = Percentile(t.ours, 0.5), theirsMedian = Percentile(t.theirs, 0.5);
    std::printf("%s\n", t.name);
    std::printf("  upesprobe + reqprobe:           median %7.2f ms   p90 %7.2f ms\n", oursMedian,
                Percentile(t.ours, 0.9));
    std::printf("  amqp-publish/amqp-get (4 runs): median %7.2f ms   p90 %7.2f ms\n", theirsMedian,
                Percentile(t.theirs, 0.9));
    std::printf("  ratio of the medians: %.2f (goal: at most 1)\n", oursMedian / theirsMedian);
  }
  return 0;
}
