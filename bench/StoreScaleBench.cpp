// store_scale_bench: whether the embedded queue manager costs the same at any depth and with
// any number of queues, each figure a ratio of two things measured side by side in one run,
// in interleaved pairs (alternating which goes first), reported as the median of the pairs:
//
//   put, get, open+close and connect+open+get+close+disconnect of 1 KiB messages on a queue
//     DEPTH messages deep, against the same on a queue with none      (goal: at most 1.5)
//   rvqm browse of the deep queue, against cat of its message files   (goal: at most 3)
//   rvqm list of a queue manager with 1,000 queues, against one with 1 (goal: at most 2)
//
//   store_scale_bench [DEPTH=100000] [PAIRS=15]
//   store_scale_bench list [PAIRS=15]      only the listing pair, without the deep queue
//
// The deep queue and the 1,000 queues are made through the store itself on a file system
// that skips the flushes (followed by one sync(2)), so that setting up takes seconds, not
// hours; everything measured runs on the real one, durably. Works in a fresh data root under
// $TMPDIR (or /tmp) and removes it afterwards.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ForwardingFileSystem.h"
#include "ObjectName.h"
#include "ProcessRunner.h"
#include "RvTestSupport.h"
#include "rvadmin.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "store_scale_bench: %s\n", what.c_str());
  std::exit(1);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double Seconds(const std::function<void()>& f) {
  auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Setting up only: flushes are left to one sync(2) at the end.
class NoFlush : public rvtest::ForwardingFileSystem {
 public:
  int Sync(int) override { return 0; }
};

void Check(const rv::Status& s, const std::string& what) {
  if (!s.ok()) Die(what + ": " + s.message());
}

void Check(const rvtest::Outcome& o, const std::string& what) {
  if (o.cc == RVCC_FAILED) Die(what + ": reason " + std::to_string(o.reason));
}

struct Handle {
  RVHCONN hconn = RVHC_UNUSABLE_HCONN;
  RVHOBJ hobj = RVHO_UNUSABLE_HOBJ;
};

// One of the four measured operations on one queue, run count times; seconds per operation.
struct Ops {
  const std::string qm = "SCALE";
  std::string message = std::string(1024, 'm');

  double Put(const std::string& q, int count) {
    Handle h = Open(q, RVOO_OUTPUT | RVOO_INPUT_SHARED);
    double t = 0;
    for (int i = 0; i < count; ++i) {
      t += Seconds([&] { Check(rvtest::Put(h.hconn, h.hobj, message), "put"); });
      Check(rvtest::Get(h.hconn, h.hobj, nullptr, 0, nullptr, 4096), "get");  // depth as it was
    }
    Close(&h);
    return t / count;
  }
  double Get(const std::string& q, int count) {
    Handle h = Open(q, RVOO_OUTPUT | RVOO_INPUT_SHARED);
    double t = 0;
    for (int i = 0; i < count; ++i) {
      Check(rvtest::Put(h.hconn, h.hobj, message), "put");
      t += Seconds([&] { Check(rvtest::Get(h.hconn, h.hobj, nullptr, 0, nullptr, 4096), "get"); });
    }
    Close(&h);
    return t / count;
  }
  double OpenClose(const std::string& q, int count) {
    RVHCONN hconn;
    Check(rvtest::Connect(qm, &hconn), "connect");
    double t = Seconds([&] {
      for (int i = 0; i < count; ++i) {
        RVHOBJ hobj;
        Check(rvtest::Open(hconn, q, RVOO_INPUT_SHARED, &hobj), "open");
        rvtest::Close(hconn, &hobj);
      }
    });
    rvtest::Disconnect(&hconn);
    return t / count;
  }
  double Cycle(const std::string& q, int count) {
    Handle putter = Open(q, RVOO_OUTPUT);
    double t = 0;
    for (int i = 0; i < count; ++i) {
      Check(rvtest::Put(putter.hconn, putter.hobj, message), "put");
      t += Seconds([&] {
        Handle h = Open(q, RVOO_INPUT_SHARED);
        Check(rvtest::Get(h.hconn, h.hobj, nullptr, 0, nullptr, 4096), "get");
        Close(&h);
      });
    }
    Close(&putter);
    return t / count;
  }

  Handle Open(const std::string& q, RVLONG options) {
    Handle h;
    Check(rvtest::Connect(qm, &h.hconn), "connect");
    Check(rvtest::Open(h.hconn, q, options, &h.hobj), "open " + q);
    return h;
  }
  static void Close(Handle* h) {
    rvtest::Close(h->hconn, &h->hobj);
    rvtest::Disconnect(&h->hconn);
  }
};

// Times a program with its standard output thrown away.
double Program(const std::string& path, const std::vector<std::string>& args) {
  auto start = Clock::now();
  int pid = ProcessRunner(path, args).Timeout(std::chrono::minutes(10)).Start();
  ProcessResult r = ProcessRunner::Wait(pid, std::chrono::minutes(10));
  double s = std::chrono::duration<double>(Clock::now() - start).count();
  if (r.status != 0) Die(path + " failed");
  return s;
}

// Runs a and b pairs times, alternating which goes first; returns the median of a/b and
// prints both medians.
double Pairs(const char* what, int pairs, const std::function<double()>& a,
             const std::function<double()>& b, const char* aName, const char* bName) {
  std::vector<double> as, bs, ratios;
  for (int i = 0; i < pairs; ++i) {
    double x, y;
    if (i % 2 == 0) {
      x = a();
      y = b();
    } else {
      y = b();
      x = a();
    }
    as.push_back(x);
    bs.push_back(y);
    ratios.push_back(x / y);
  }
  double ratio = Median(ratios);
  std::printf("%-34s %10.3f ms %-22s %10.3f ms %-12s ratio %.2f\n", what, Median(as) * 1e3, aName,
              Median(bs) * 1e3, bName, ratio);
  return ratio;
}

// The four operations at depth against the same at 0.
void MeasureDepth(long depth, int pairs) {
  Ops ops;
  const int kOps = 10;
  double worst = 0;
  worst = std::max(worst, Pairs(
                              "put (1 KiB, durable)", pairs, [&] { return ops.Put("DEEP", kOps); },
                              [&] { return ops.Put("EMPTY", kOps); }, "at depth", "at 0"));
  worst = std::max(worst, Pairs(
                              "get", pairs, [&] { return ops.Get("DEEP", kOps); },
                              [&] { return ops.Get("EMPTY", kOps); }, "at depth", "at 0"));
  worst = std::max(worst, Pairs(
                              "open+close", pairs, [&] { return ops.OpenClose("DEEP", kOps); },
                              [&] { return ops.OpenClose("EMPTY", kOps); }, "at depth", "at 0"));
  worst = std::max(worst, Pairs(
                              "connect+open+get+close+disconnect", pairs,
                              [&] { return ops.Cycle("DEEP", kOps); },
                              [&] { return ops.Cycle("EMPTY", kOps); }, "at depth", "at 0"));
  std::printf("depth %ld against 0: worst median ratio %.2f (goal: at most 1.5)\n", depth, worst);
}

}  // namespace

int main(int argc, char** argv) {
  const bool listOnly = argc > 1 && std::strcmp(argv[1], "list") == 0;
  const long depth = listOnly ? 0 : argc > 1 ? std::atol(argv[1]) : 100000;
  const int pairs = argc > 2 ? std::atoi(argv[2]) : 15;
  if ((depth <= 0 && !listOnly) || pairs <= 0) {
    Die("usage: store_scale_bench [DEPTH|list] [PAIRS]");
  }
  unsetenv("KES_TRACE");
  const std::string root = rvtest::FreshDataRoot("scale-bench");

  // Setting up, without flushes.
  NoFlush noFlush;
  rvtest::CreateQueueManager("MANY");
  rvtest::CreateQueueManager("ONE");
  rvtest::DefineQueue("ONE", "Q0000");
  {
    rvtest::StoreSession many;
    Check(many.Connect(noFlush, "MANY"), "connect MANY");
    for (int i = 0; i < 1000; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "Q%04d", i);
      rv::QueueAttributes q;
      q.name = name;
      Check(many.connection->Define(q), "define");
    }
  }
  if (!listOnly) {
    rvtest::CreateQueueManager("SCALE");
    rvtest::DefineQueue("SCALE", "EMPTY", depth * 2);
    rvtest::DefineQueue("SCALE", "DEEP", depth * 2);
    rvtest::StoreSession scale;
    Check(scale.Connect(noFlush, "SCALE"), "connect SCALE");
    std::unique_ptr<rv::OpenQueue> deep;
    Check(scale.connection->Open("DEEP", RVOO_OUTPUT, &deep), "open DEEP");
    const std::string message(1024, 'd');
    for (long i = 0; i < depth; ++i) Check(rvtest::StorePut(*deep, message), "fill DEEP");
    deep->Close();
  }
  ::sync();
  std::printf("queue DEEP: %ld messages of 1 KiB; queue manager MANY: 1000 queues\n", depth);
  std::printf("each figure: the median of %d interleaved pairs\n", pairs);
  if (!listOnly) MeasureDepth(depth, pairs);

  double list = Pairs(
      "rvqm list", pairs,
      [&] {
        return Program(RVQM_PATH, {"list", "MANY"});
      },
      [&] {
        return Program(RVQM_PATH, {"list", "ONE"});
      },
      "1000 queues", "1 queue");
  std::printf("list of 1000 queues against 1: median ratio %.2f (goal: at most 2)\n", list);

  if (listOnly) {
    std::filesystem::remove_all(std::filesystem::path(root).parent_path());
    return 0;
  }
  const std::string msg = root + "/" + rvtest::QueueFolder("SCALE", "DEEP") + "/msg";
  double browse = Pairs(
      "rvqm browse > /dev/null", pairs,
      [&] {
        return Program(RVQM_PATH, {"browse", "SCALE", "DEEP"});
      },
      [&] {
        return Program("/bin/sh", {"-c", "find " + msg + " -type f -print0 | xargs -0 cat"});
      },
      "rvqm browse", "cat");
  std::printf(
      "browse of %ld messages against cat of their files: median ratio %.2f (goal: at "
      "most 3)\n",
      depth, browse);
  std::filesystem::remove_all(std::filesystem::path(root).parent_path());
  return 0;
}
