// rv_queue_bench: how fast the embedded queue manager moves persistent 1 KiB messages, beside
// the physical limit of the same disk, and how soon a get blocked in another process wakes up.
//   rv_queue_bench [MESSAGES]   (default 2000; the latency part always uses 1000 messages)
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

#include "DataRoot.h"
#include "QueueStore.h"
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

// write + fsync + rename of 1 KiB files, optionally with an fsync of the folder as well.
double PhysicalRate(const std::string& dir, int n, bool syncFolder) {
  std::filesystem::create_directories(dir);
  int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  char block[1024];
  std::memset(block, 'x', sizeof block);
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    std::string tmp = dir + "/t" + std::to_string(i), final = dir + "/m" + std::to_string(i);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || ::write(fd, block, sizeof block) != sizeof block || ::fsync(fd) != 0)
      Die("physical loop failed");
    ::close(fd);
    if (::rename(tmp.c_str(), final.c_str()) != 0) Die("rename failed");
    if (syncFolder && ::fsync(d) != 0) Die("fsync of the folder failed");
  }
  double rate = n / Seconds(start);
  ::close(d);
  std::filesystem::remove_all(dir);
  return rate;
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
  int n = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (n <= 0) Die("MESSAGES must be a positive number");
  const char* tmp = std::getenv("TMPDIR");
  std::string base = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/rv-bench-XXXXXX";
  if (::mkdtemp(base.data()) == nullptr) Die("mkdtemp failed");
  ::setenv("RV_DATA_DIR", (base + "/data").c_str(), 1);
  {
    rv::DataRoot root;
    rv::Status s = rv::DataRoot::Open(true, &root);
    if (s.ok()) s = root.CreateQueueManager("BENCH", false);
    rv::DataRoot::QueueManagerDefinition def;
    rv::UniqueFd qm;
    if (s.ok()) s = root.OpenQueueManager("BENCH", &def, &qm);
    rv::QueueStore::Definition q;
    q.name = "Q";
    if (s.ok()) s = rv::QueueStore::Define(qm.get(), q);
    if (!s.ok()) Die(s.message());
  }

  double physical = PhysicalRate(base + "/phys", n, false);
  double physicalDir = PhysicalRate(base + "/phys2", n, true);

  char block[1024];
  std::memset(block, 'm', sizeof block);
  char buf[2048];
  Handles h = OpenQueue(RVOO_INPUT_SHARED | RVOO_OUTPUT);
  auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    Put(h, block, sizeof block);
    if (Get(h, buf, sizeof buf, 0) != sizeof block) Die("wrong length");
  }
  double rate = n / Seconds(start);

  // Wake-up latency: a child blocks in a get; the parent puts a message that carries the time
  // just before its put; the child reports the time from there to the return of its get.
  const int kLatency = 1000;
  int toParent[2];
  if (::pipe(toParent) != 0) Die("pipe failed");
  pid_t child = ::fork();
  if (child == 0) {
    Handles c = OpenQueue(RVOO_INPUT_SHARED);
    double ready = -1;
    ::write(toParent[1], &ready, sizeof ready);
    for (int i = 0; i < kLatency; ++i) {
      Clock::rep sent;
      Get(c, &sent, sizeof sent, RVWI_UNLIMITED);
      double ms = std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch() -
                                                            Clock::duration(sent))
                      .count();
      ::write(toParent[1], &ms, sizeof ms);
    }
    ::_exit(0);
  }
  double ready;
  if (::read(toParent[0], &ready, sizeof ready) != sizeof ready) Die("child did not start");
  std::vector<double> latencies;
  std::vector<double> putTimes;
  for (int i = 0; i < kLatency; ++i) {
    ::usleep(2000);  // let the child block in its get again
    auto t0 = Clock::now();
    Clock::rep sent = t0.time_since_epoch().count();
    Put(h, &sent, sizeof sent);
    putTimes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    double ms;
    if (::read(toParent[0], &ms, sizeof ms) != sizeof ms) Die("child stopped");
    latencies.push_back(ms);
  }
  ::waitpid(child, nullptr, 0);
  std::sort(latencies.begin(), latencies.end());
  std::sort(putTimes.begin(), putTimes.end());

  std::printf("persistent 1 KiB put+get, one process:   %8.0f messages/s (%d messages)\n", rate, n);
  std::printf("physical limit write+fsync+rename:        %8.0f files/s  -> %.0f%%\n", physical,
              100 * rate / physical);
  std::printf("  with fsync of the folder as well:       %8.0f files/s  -> %.0f%%\n", physicalDir,
              100 * rate / physicalDir);
  std::printf("wake-up latency, put start -> get return in another process (%d messages):\n",
              kLatency);
  std::printf("  median %.3f ms, p99 %.3f ms (the put itself: median %.3f ms, p99 %.3f ms)\n",
              latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
              putTimes[putTimes.size() / 2], putTimes[putTimes.size() * 99 / 100]);
  std::filesystem::remove_all(base);
  return 0;
}
