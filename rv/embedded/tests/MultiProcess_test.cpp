// Real processes on one queue: four putters and four getters, putters and getters killed with
// SIGKILL at random moments, and a held message whose holder is killed. The processes are the
// rv_test_agent program; nothing of the operating system is mocked. The four-by-four run moves
// many messages: it runs on a memory file system where there is one (its faults are in the
// order of names and claims, not on the disk), and moves fewer under the sanitizers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "Payload.h"
#include "ProcessRunner.h"
#include "RvTestSupport.h"

using namespace rvtest;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr long kPerPutter = 600;
#else
constexpr long kPerPutter = 5000;
#endif

class MultiProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const bool inMemory = ::testing::UnitTest::GetInstance()->current_test_info()->name() ==
                          std::string("FourPuttersFourGettersDeliverEveryMessageOnceInOrder");
    root = FreshDataRoot("multi", inMemory);
    CreateQueueManager("QM1");
    DefineQueue("QM1", "Q1");
    scratch = MakeTempDir("rv-multi-out");
  }
  int Start(const std::vector<std::string>& args, const std::string& out) {
    return ProcessRunner(RV_AGENT_PATH, args).Start(out, out + ".err");
  }
  void ExpectNoLeftovers() {
    for (const char* f : {"/claim", "/tmp", "/owners"}) {
      EXPECT_TRUE(FilesIn(QueueFolder("QM1", "Q1") + f).empty()) << f << " not empty";
    }
  }
  std::string root, scratch;
};

TEST_F(MultiProcessTest, FourPuttersFourGettersDeliverEveryMessageOnceInOrder) {
  const int kProcesses = 4;
  std::vector<int> getters, putters;
  for (int g = 0; g < kProcesses; ++g) {
    getters.push_back(
        Start({"get", "QM1", "Q1", "1000000", "2000"}, scratch + "/g" + std::to_string(g)));
  }
  for (int p = 0; p < kProcesses; ++p) {
    putters.push_back(
        Start({"put", "QM1", "Q1", "p" + std::to_string(p), std::to_string(kPerPutter), "64"},
              scratch + "/p" + std::to_string(p)));
  }
  for (int pid : putters) {
    ProcessResult r = ProcessRunner::Wait(pid, std::chrono::seconds(240));
    ASSERT_EQ(r.status, 0) << "putter failed";
  }
  for (int pid : getters) {
    ProcessResult r = ProcessRunner::Wait(pid, std::chrono::seconds(240));
    ASSERT_EQ(r.status, 0) << "getter failed";
  }
  std::map<std::string, int> received;
  for (int g = 0; g < kProcesses; ++g) {
    std::map<std::string, long> lastIndex;
    for (const auto& line : Lines(ReadWholeFile(scratch + "/g" + std::to_string(g)))) {
      if (line.rfind("T ", 0) == 0) continue;
      ASSERT_EQ(line.rfind("G ", 0), 0u) << line;
      std::string id = line.substr(2);
      ++received[id];
      std::string tag = id.substr(0, id.find(':'));
      long index = std::stol(id.substr(id.find(':') + 1));
      auto last = lastIndex.find(tag);
      EXPECT_TRUE(last == lastIndex.end() || last->second < index)
          << "getter " << g << " received " << id << " after index " << last->second;
      lastIndex[tag] = index;
    }
  }
  EXPECT_EQ(received.size(), size_t(kProcesses * kPerPutter));
  for (const auto& [id, n] : received) EXPECT_EQ(n, 1) << id << " received " << n << " times";
  EXPECT_TRUE(Drain("QM1", "Q1").empty());
  ExpectNoLeftovers();
}

TEST_F(MultiProcessTest, KilledPuttersAndGettersLoseDuplicateAndTearNothing) {
  std::mt19937 random(20261207);
  int kills = 0, getterKills = 0, rounds = 0;
  std::vector<std::string> putOutputs, getOutputs;
  while (kills < 200 && rounds < 200) {
    ++rounds;
    std::vector<std::pair<int, bool>> procs;  // pid, is getter
    for (int k = 0; k < 2; ++k) {
      std::string out = scratch + "/r" + std::to_string(rounds) + "p" + std::to_string(k);
      putOutputs.push_back(out);
      procs.push_back(
          {Start({"put", "QM1", "Q1", "r" + std::to_string(rounds) + "p" + std::to_string(k), "400",
                  "3000"},
                 out),
           false});
      out = scratch + "/r" + std::to_string(rounds) + "g" + std::to_string(k);
      getOutputs.push_back(out);
      procs.push_back({Start({"get", "QM1", "Q1", "1000000", "5000"}, out), true});
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(5, 80)(random)));
    std::shuffle(procs.begin(), procs.end(), random);
    for (auto [pid, getter] : procs) {
      ::kill(pid, SIGKILL);
      ProcessResult r = ProcessRunner::Wait(pid, std::chrono::seconds(30));
      if (r.signal == SIGKILL) {
        ++kills;
        getterKills += getter;
      } else {
        EXPECT_EQ(r.status, 0) << "agent failed on its own: "
                               << ReadWholeFile(getOutputs.back() + ".err");
      }
    }
  }
  ASSERT_GE(kills, 200) << "only " << kills << " kills in " << rounds << " rounds";

  std::set<std::string> put, taken;
  std::map<std::string, int> delivered;
  for (const auto& f : putOutputs) {
    for (const auto& line : Lines(ReadWholeFile(f))) put.insert(line.substr(2));
  }
  for (const auto& f : getOutputs) {
    for (const auto& line : Lines(ReadWholeFile(f))) {
      ASSERT_NE(line.rfind("BAD", 0), 0u) << "a getter read a partial message";
      if (line.rfind("G ", 0) == 0) ++delivered[line.substr(2)];
      if (line.rfind("T ", 0) == 0) taken.insert(line.substr(2));
    }
  }
  // Opening the queue runs recovery: every claim of a killed getter comes back.
  for (const auto& data : Drain("QM1", "Q1")) {
    std::string id = CheckPayload(data);
    ASSERT_FALSE(id.empty()) << "a partial message was left on the queue";
    ++delivered[id];
  }
  for (const auto& [id, n] : delivered) EXPECT_EQ(n, 1) << id << " delivered " << n << " times";
  int lostWithGetter = 0;
  for (const auto& id : put) {
    if (delivered.count(id)) continue;
    // Removed by a getter that was killed before it could record the delivery.
    EXPECT_TRUE(taken.count(id)) << id << " was put and is gone";
    ++lostWithGetter;
  }
  EXPECT_LE(lostWithGetter, getterKills);
  std::cout << "rounds " << rounds << ", kills " << kills << ", messages put " << put.size()
            << ", taken by a getter as it was killed " << lostWithGetter << "\n";
  ExpectNoLeftovers();
}

TEST_F(MultiProcessTest, HeldMessageIsNotTakenByARivalAndComesBackWhenItsHolderDies) {
  RVHCONN hconn;
  RVHOBJ hobj;
  ASSERT_EQ(Connect("QM1", &hconn).cc, RVCC_OK);
  ASSERT_EQ(Open(hconn, "Q1", RVOO_INPUT_SHARED | RVOO_OUTPUT, &hobj).cc, RVCC_OK);
  for (const char* t : {"first, to be held", "second"}) ASSERT_EQ(Put(hconn, hobj, t).cc, RVCC_OK);

  std::string out = scratch + "/holder";
  int holder = Start({"hold", "QM1", "Q1"}, out);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadWholeFile(out).find("HELD") == std::string::npos &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(ReadWholeFile(out), "HELD 17\n");

  // The rival sees everything but the held message, also while waiting for more.
  std::string data;
  ASSERT_EQ(Get(hconn, hobj, &data).cc, RVCC_OK);
  EXPECT_EQ(data, "second");
  EXPECT_EQ(Get(hconn, hobj, &data, 300).reason, RVRC_NO_MSG_AVAILABLE) << "took " << data;

  ::kill(holder, SIGKILL);
  ProcessRunner::Wait(holder);
  ASSERT_EQ(Put(hconn, hobj, "put after the kill").cc, RVCC_OK);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Get(hconn, hobj, &data, 5000).cc, RVCC_OK);
  EXPECT_EQ(data, "first, to be held");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  ASSERT_EQ(Get(hconn, hobj, &data).cc, RVCC_OK);
  EXPECT_EQ(data, "put after the kill");
  Close(hconn, &hobj);
  Disconnect(&hconn);
  ExpectNoLeftovers();
}

}  // namespace
