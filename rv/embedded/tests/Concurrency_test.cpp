// Putting processes racing with each other and with the administration: the maximum depth holds
// exactly, and an undefine or a delete never makes a put that succeeded disappear in silence.
// The putters are forked copies of the test process that use the C calls; they start on a
// pipe byte and report over a pipe. The data root lies on a memory file system where there is
// one: what is raced is locks and names, not the disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "RvTestSupport.h"
#include "rvadmin.h"

using namespace rvtest;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int kRaceRounds = 48;  // each round forks; the sanitizers make that slow
#else
constexpr int kRaceRounds = 200;
#endif

struct Report {
  int succeeded = 0;
  RVLONG lastReason = RVRC_NONE;
};

// Forked putters: each connects, opens the queue for output, says it is ready and, on the go
// signal, puts up to count messages, stopping at the first failure.
class Putters {
 public:
  Putters(int n, const std::string& qm, const std::string& queue, int count) {
    if (::pipe(_go) != 0 || ::pipe(_ready) != 0 || ::pipe(_report) != 0 || ::pipe(_first) != 0) {
      throw std::runtime_error("pipe");
    }
    for (int i = 0; i < n; ++i) {
      pid_t pid = ::fork();
      if (pid == 0) Run(qm, queue, count, i);
      _pids.push_back(pid);
    }
    for (int i = 0; i < n; ++i) {
      char c;
      if (::read(_ready[0], &c, 1) != 1) throw std::runtime_error("a putter did not start");
    }
  }
  ~Putters() {
    for (int fd :
         {_go[0], _go[1], _ready[0], _ready[1], _report[0], _report[1], _first[0], _first[1]}) {
      ::close(fd);
    }
  }
  void Go() {
    std::string bytes(_pids.size(), 'g');
    if (::write(_go[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("go");
    }
  }
  // Returns once some putter's first put has succeeded.
  void AwaitFirstPut() {
    char c;
    if (::read(_first[0], &c, 1) != 1) throw std::runtime_error("no put succeeded");
  }
  std::vector<Report> Wait() {
    std::vector<Report> reports;
    for (size_t i = 0; i < _pids.size(); ++i) {
      Report r;
      if (::read(_report[0], &r, sizeof r) != sizeof r) throw std::runtime_error("no report");
      reports.push_back(r);
    }
    for (pid_t pid : _pids) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    return reports;
  }

 private:
  [[noreturn]] void Run(const std::string& qm, const std::string& queue, int count, int tag) {
    RVHCONN c;
    RVHOBJ o;
    Report r;
    if (Connect(qm, &c).cc != RVCC_OK || Open(c, queue, RVOO_OUTPUT, &o).cc != RVCC_OK) ::_exit(3);
    char byte = 'r';
    if (::write(_ready[1], &byte, 1) != 1 || ::read(_go[0], &byte, 1) != 1) ::_exit(4);
    for (int i = 0; i < count; ++i) {
      Outcome put = Put(c, o, "p" + std::to_string(tag) + ":" + std::to_string(i));
      if (put.cc != RVCC_OK) {
        r.lastReason = put.reason;
        break;
      }
      if (++r.succeeded == 1 && ::write(_first[1], &byte, 1) != 1) ::_exit(6);
    }
    Close(c, &o);
    Disconnect(&c);
    if (::write(_report[1], &r, sizeof r) != sizeof r) ::_exit(5);
    ::_exit(0);
  }

  int _go[2], _ready[2], _report[2], _first[2];
  std::vector<pid_t> _pids;
};

class ConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = MakeTempDir("rv-race", true) + "/data";
    ::setenv("RV_DATA_DIR", root.c_str(), 1);
  }
  std::string root;
};

TEST_F(ConcurrencyTest, MaximumDepthHoldsExactlyUnderEightPutters) {
  CreateQueueManager("QM1");
  DefineQueue("QM1", "Q", 37);
  Putters putters(8, "QM1", "Q", 12);
  putters.Go();
  int succeeded = 0;
  for (const auto& r : putters.Wait()) {
    succeeded += r.succeeded;
    if (r.succeeded < 12) {
      EXPECT_EQ(r.lastReason, RVRC_Q_FULL);
    }
  }
  EXPECT_EQ(succeeded, 37);
  EXPECT_EQ(Drain("QM1", "Q").size(), 37u);
}

// Every round: four putters on a fresh queue, and at once (or once the first put is in) one of
// undefine, undefine --force, delete, delete --force. A put that succeeded is on the queue
// afterwards, or counted by the force that removed it; a put that failed says the queue went
// (2009).
TEST_F(ConcurrencyTest, UndefineAndDeleteNeverLoseASuccessfulPut) {
  int refused = 0, forced = 0, clean = 0;
  for (int round = 0; round < kRaceRounds; ++round) {
    const std::string qm = "R" + std::to_string(round);
    CreateQueueManager(qm);
    DefineQueue(qm, "Q");
    const int mode = round % 4;
    const bool force = mode % 2 == 1;
    Putters putters(4, qm, "Q", 8);
    putters.Go();
    if (round % 8 >= 4) putters.AwaitFirstPut();
    long long removed = 0;
    RVLONG reason = mode < 2 ? RVAdminUndefineQueueEx(qm.c_str(), "Q", force, &removed)
                             : RVAdminDeleteQMEx(qm.c_str(), force, &removed);
    int succeeded = 0;
    for (const auto& r : putters.Wait()) {
      succeeded += r.succeeded;
      if (r.succeeded < 8) {
        EXPECT_EQ(r.lastReason, RVRC_CONNECTION_BROKEN) << "round " << round;
      }
    }
    if (reason == RVRC_OPTIONS_ERROR) {
      ASSERT_FALSE(force) << RVErrorText();
      ++refused;
      EXPECT_EQ(static_cast<int>(Drain(qm, "Q").size()), succeeded) << "round " << round;
    } else {
      ASSERT_EQ(reason, RVRC_NONE) << RVErrorText();
      // Whatever landed before the undefine or delete was counted by force, or made it refuse.
      EXPECT_EQ(removed, succeeded) << "round " << round;
      (force ? forced : clean) += 1;
    }
    RVAdminDeleteQM(qm.c_str(), 1);
  }
  std::cout << kRaceRounds << " rounds: " << refused << " refused, " << forced << " forced, "
            << clean << " on an empty queue\n";
  EXPECT_GT(refused, 0);
  EXPECT_GT(forced, 0);
}

}  // namespace
