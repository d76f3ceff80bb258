// rv_queue_bench: how fast the embedded queue manager moves persistent 1 KiB messages, beside
// the physical limit of the same disk, and how soon a get blocked in another process wakes up.
//   rv_queue_bench [MESSAGES]   (default 3000, in 15 blocks; the latency part always uses 1000
//                               messages)
// Works in a fresh folder under $TMPDIR (or /tmp) and removes it afterwards.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "DurablePutLimit.h"
#include "rvadmin.h"
#include "rvic.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "rv_queue_bench: %s\n", what.c_str());
  std::exit(1);
}

struct Handles {
  RVHCONN hconn;
  RVHOBJ hobj;
};

Handles OpenQueue(RVLONG options) {
  Handles h;
  RVCNO cno;
  RVInitCNO(&cno);
  RVLONG cc, rc;
  RVCONNX("BENCH", &cno, &h.hconn, &cc, &rc);
  if (cc != RVCC_OK) Die(std::string("connect: ") + RVReasonText(rc));
  RVOD od;
  RVInitOD(&od);
  std::memcpy(od.objectName, "Q", 1);
  RVOPEN(h.hconn, &od, options, &h.hobj, &cc, &rc);
  if (cc != RVCC_OK) Die(std::string("open: ") + RVReasonText(rc));
  return h;
}

void Put(const Handles& h, const void* data, RVLONG length) {
  RVMD md;
  RVInitMD(&md);
  md.persistence = RVPER_PERSISTENT;
  RVPMO pmo;
  RVInitPMO(&pmo);
  RVLONG cc, rc;
  RVPUT(h.hconn, h.hobj, &md, &pmo, length, data, &cc, &rc);
  if (cc != RVCC_OK) Die(std::string("put: ") + RVReasonText(rc));
}

RVLONG Get(const Handles& h, void* buf, RVLONG length, RVLONG wait) {
  RVMD md;
  RVInitMD(&md);
  RVGMO gmo;
  RVInitGMO(&gmo);
  gmo.options = RVGMO_NO_SYNCPOINT | (wait != 0 ? RVGMO_WAIT : 0);
  gmo.waitInterval = wait;
  RVLONG len = 0, cc, rc;
  RVGET(h.hconn, h.hobj, &md, &gmo, length, buf, &len, &cc, &rc);
  if (cc != RVCC_OK) Die(std::string("get: ") + RVReasonText(rc));
  return len;
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 3000;
  if (n <= 0) Die("MESSAGES must be a positive number");
  const char* tmp = std::getenv("TMPDIR");
  std::string base = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/rv-bench-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) Die("mkdtemp failed");
  ::setenv("RV_DATA_DIR", (base + "/data").c_str(), 1);
  if (RVAdminCreateQM("BENCH", 0, nullptr, nullptr, 0) != RVRC_NONE ||
      RVAdminDefineQueue("BENCH", "Q", -1, -1) != RVRC_NONE) {
    Die(RVErrorText());
  }

  // The disk is shared with whatever else runs, so the two loops take turns in blocks and each
  // block gives one ratio; the median ratio is the figure to read.
  char block[1024];
  std::memset(block, 'm', sizeof block);
  char buf[2048];
  Handles h = OpenQueue(RVOO_INPUT_SHARED | RVOO_OUTPUT);
  // The blocks alternate which goes first.
  const int kBlocks = 15;
  int perBlock = std::max(1, n / kBlocks);
  std::vector<double> ratios, ratiosDir;
  double rvTime = 0, physTime = 0, physDirTime = 0;
  for (int b = 0; b < kBlocks; ++b) {
    double rate = 0, physical = 0, physicalDir = 0;
    auto ours = [&] {
      auto start = Clock::now();
      for (int i = 0; i < perBlock; ++i) {
        Put(h, block, sizeof block);
        if (Get(h, buf, sizeof buf, 0) != sizeof block) Die("wrong length");
      }
      rate = perBlock / Seconds(start);
    };
    if (b % 2 == 1) ours();
    physical = DurablePutLimit::FilesPerSecond(base + "/phys", perBlock, false);
    physicalDir = DurablePutLimit::FilesPerSecond(base + "/phys2", perBlock, true);
    if (b % 2 == 0) ours();
    ratios.push_back(rate / physical);
    ratiosDir.push_back(rate / physicalDir);
    rvTime += perBlock / rate;
    physTime += perBlock / physical;
    physDirTime += perBlock / physicalDir;
  }
  std::sort(ratios.begin(), ratios.end());
  std::sort(ratiosDir.begin(), ratiosDir.end());
  int total = perBlock * kBlocks;
  double rate = total / rvTime, physical = total / physTime, physicalDir = total / physDirTime;

  // Wake-up latency: a child blocks in a get; the parent puts a message and the child reports
  // the moment its get returned (the monotonic clock is the same in both processes).
  const int kLatency = 1000;
  int toParent[2];
  if (::pipe(toParent) != 0) Die("pipe failed");
  pid_t child = ::fork();
  if (child == 0) {
    Handles c = OpenQueue(RVOO_INPUT_SHARED);
    Clock::rep ready = 0;
    if (::write(toParent[1], &ready, sizeof ready) != sizeof ready) ::_exit(1);
    for (int i = 0; i < kLatency; ++i) {
      char one;
      Get(c, &one, sizeof one, RVWI_UNLIMITED);
      Clock::rep got = Clock::now().time_since_epoch().count();
      if (::write(toParent[1], &got, sizeof got) != sizeof got) ::_exit(1);
    }
    ::_exit(0);
  }
  Clock::rep got;
  if (::read(toParent[0], &got, sizeof got) != sizeof got) Die("child did not start");
  std::vector<double> fromStart, fromReturn, putTimes;
  for (int i = 0; i < kLatency; ++i) {
    ::usleep(2000);  // let the child block in its get again
    auto t0 = Clock::now();
    Put(h, "x", 1);
    auto t1 = Clock::now();
    if (::read(toParent[0], &got, sizeof got) != sizeof got) Die("child stopped");
    auto received = Clock::time_point(Clock::duration(got));
    fromStart.push_back(std::chrono::duration<double, std::milli>(received - t0).count());
    fromReturn.push_back(std::chrono::duration<double, std::milli>(received - t1).count());
    putTimes.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  ::waitpid(child, nullptr, 0);
  for (auto* v : {&fromStart, &fromReturn, &putTimes}) std::sort(v->begin(), v->end());
  auto median = [](const std::vector<double>& v) { return v[v.size() / 2]; };
  auto p99 = [](const std::vector<double>& v) { return v[v.size() * 99 / 100]; };

  std::printf("persistent 1 KiB put+get, one process:   %8.0f messages/s (%d messages)\n", rate,
              total);
  std::printf(
      "physical limit write+fsync+rename:        %8.0f files/s, median ratio of %d blocks %.0f%%\n",
      physical, kBlocks, 100 * ratios[kBlocks / 2]);
  std::printf("  with fsync of the folder as well:       %8.0f files/s, median ratio %.0f%%\n",
              physicalDir, 100 * ratiosDir[kBlocks / 2]);
  std::printf("wake-up latency over %d messages, get blocked in another process:\n", kLatency);
  std::printf("  put start  -> get returns: median %.3f ms, p99 %.3f ms\n", median(fromStart),
              p99(fromStart));
  std::printf(
      "  put return -> get returns: median %.3f ms, p99 %.3f ms (negative: the get\n"
      "               returned while the put was still flushing the folder)\n",
      median(fromReturn), p99(fromReturn));
  std::printf("  the put itself:            median %.3f ms, p99 %.3f ms\n", median(putTimes),
              p99(putTimes));
  std::filesystem::remove_all(base);
  return 0;
}
