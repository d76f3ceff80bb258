// rvqm on the embedded queue manager, end to end: what it does with the messages it takes,
// shows and removes. A get that cannot write, or that is killed at any moment, leaves the
// message on the queue; --force says what it removed; many names and damaged definitions.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "MemoryWarning.h"
#include "ProcessRunner.h"

namespace {

// Every rvqm started under the sanitizers costs tens of milliseconds more: fewer kill rounds.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kKillRounds = 24;
#else
constexpr int kKillRounds = 60;
#endif

class RvqmStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // What is tested is what rvqm does, not how fast the disk flushes.
    root = MakeTempDir("rvqm-store", true) + "/data";
    Ok({"create", "QM1"});
    Ok({"define", "QM1", "Q"});
  }
  ProcessRunner Runner(std::vector<std::string> args) const {
    ProcessRunner r(RVQM_PATH, std::move(args));
    r.Env("RV_DATA_DIR", root).Timeout(std::chrono::seconds(60));
    return r;
  }
  ProcessResult Rvqm(std::vector<std::string> args, const std::string& input = "") const {
    return Runner(std::move(args)).Input(input).Run();
  }
  void Ok(std::vector<std::string> args, const std::string& input = "") const {
    ProcessResult r = Rvqm(args, input);
    ASSERT_EQ(r.status, 0) << args[0] << ": " << r.err;
    ASSERT_EQ(r.err, args[0] == "create" ? MemoryWarning(root, args.at(1)) : "") << args[0];
  }
  std::string Get() const {
    ProcessResult r = Rvqm({"get", "QM1", "Q"});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  std::string root;
};

TEST_F(RvqmStoreTest, GetThatCannotWriteLeavesTheMessageQueued) {
  Ok({"put", "QM1", "Q", "-"}, "keep me");
  ProcessResult r =
      ProcessRunner("/bin/sh", {"-c", std::string(RVQM_PATH) + " get QM1 Q >/dev/full"})
          .Env("RV_DATA_DIR", root)
          .Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "rvqm get: cannot write the message to standard output: No space left on device; it "
            "stays on queue Q\n");
  EXPECT_EQ(Rvqm({"list", "QM1"}).out, "Q        1    50000  104857600\n");
  EXPECT_EQ(Get(), "keep me");
  EXPECT_EQ(Rvqm({"get", "QM1", "Q"}).status, 2);
}

// rvqm get killed at random moments, some while it writes a large message: every message that
// was put comes out whole from some get or is still on the queue; no output is a mix.
TEST_F(RvqmStoreTest, KilledGetsLoseNoMessage) {
  const int kMessages = 24;
  std::vector<std::string> payloads;
  for (int i = 0; i < kMessages; ++i) {
    // Every third message is large, so that kills land in the middle of its write.
    size_t size = i % 3 == 0 ? (1 << 20) + i : 100 + i;
    std::string p = "<" + std::to_string(i) + ">";
    while (p.size() < size) p += static_cast<char>('a' + (p.size() * 7 + i) % 26);
    payloads.push_back(p);
    Ok({"put", "QM1", "Q", "-"}, p);
  }
  const std::string out = MakeTempDir("rvqm-kill");
  // How long one get of a large message takes here: the kills fall anywhere in 1.5 times that.
  Ok({"define", "QM1", "CAL"});
  Ok({"put", "QM1", "CAL", "-"}, payloads[0]);
  auto start = std::chrono::steady_clock::now();
  int pid = Runner({"get", "QM1", "CAL"}).Start(out + "/cal");
  ASSERT_EQ(ProcessRunner::Wait(pid).status, 0);
  const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
      (std::chrono::steady_clock::now() - start) * 3 / 2);
  std::mt19937 random(4711);
  std::vector<std::string> outputs;
  for (int round = 0; round < kKillRounds; ++round) {
    std::string file = out + "/g" + std::to_string(round);
    outputs.push_back(file);
    pid = Runner({"get", "QM1", "Q"}).Start(file, file + ".err");
    std::this_thread::sleep_for(std::chrono::microseconds(
        std::uniform_int_distribution<long>(0, static_cast<long>(span.count()))(random)));
    ::kill(pid, SIGKILL);
    ProcessRunner::Wait(pid);
  }
  std::map<std::string, int> whole;
  for (const auto& f : outputs) {
    std::string got = ReadWholeFile(f);
    if (got.empty()) continue;
    bool isWhole = false, isPrefix = false;
    for (const auto& p : payloads) {
      isWhole = isWhole || got == p;
      isPrefix = isPrefix || p.compare(0, got.size(), got) == 0;
    }
    EXPECT_TRUE(isPrefix) << f << " holds no message's bytes";
    if (isWhole) ++whole[got];
  }
  std::map<std::string, int> left;
  for (;;) {
    ProcessResult r = Rvqm({"get", "QM1", "Q"});
    if (r.status == 2) break;
    ASSERT_EQ(r.status, 0) << r.err;
    ++left[r.out];
  }
  int delivered = 0;
  for (const auto& p : payloads) {
    EXPECT_TRUE(whole.count(p) || left.count(p)) << "message " << p.substr(0, 6) << " is lost";
    EXPECT_LE(left[p], 1) << "message " << p.substr(0, 6) << " is queued twice";
    delivered += whole.count(p) ? 1 : 0;
  }
  std::cout << "killed gets delivered " << delivered << " of " << kMessages << " messages whole\n";
}

TEST_F(RvqmStoreTest, ForceSaysWhatItRemoved) {
  Ok({"put", "QM1", "Q", "-"}, "one");
  Ok({"put", "QM1", "Q", "-"}, "two");
  ProcessResult r = Rvqm({"undefine", "QM1", "Q", "--force"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "2 messages were removed with queue Q\n");
  Ok({"define", "QM1", "Q"});
  Ok({"put", "QM1", "Q", "-"}, "three");
  r = Rvqm({"delete", "QM1", "--force"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1 message was removed with queue manager QM1\n");
}

TEST_F(RvqmStoreTest, DefineTakesAnyNumberOfNames) {
  std::vector<std::string> args = {"define", "QM1"};
  for (int i = 0; i < 1500; ++i) args.push_back("N" + std::to_string(10000 + i));
  Ok(args);
  ProcessResult r = Rvqm({"list", "QM1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1501);
}

TEST_F(RvqmStoreTest, DamagedQueueIsReportedAndTheOthersAreListed) {
  Ok({"define", "QM1", "BAD", "R"});
  WriteWholeFile(root + "/qmgrs/QM1/queues/BAD/queue.ini", "name=BAD\nmaxdepth=abc\n");
  ProcessResult r = Rvqm({"list", "QM1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Q        0    50000  104857600\nR        0    50000  104857600\n");
  EXPECT_EQ(r.err,
            "rvqm list: cannot list every queue of QM1: queue.ini of queue BAD is damaged: "
            "maxdepth is \"abc\", not a number\n");
  ProcessResult put = Rvqm({"put", "QM1", "BAD", "-"}, "x");
  EXPECT_EQ(put.status, 1);
  EXPECT_NE(put.err.find("maxdepth is \"abc\""), std::string::npos) << put.err;
}

TEST_F(RvqmStoreTest, ListShowsAnEditedDefinitionNotTheCachedOne) {
  Ok({"put", "QM1", "Q", "-"}, "x");
  WriteWholeFile(root + "/qmgrs/QM1/queues/Q/queue.ini", "name=Q\nmaxdepth=7\n");
  ProcessResult r = Rvqm({"list", "QM1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Q        1        7  104857600\n");
  Ok({"put", "QM1", "Q", "-"}, "y");
  r = Rvqm({"list", "QM1"});
  EXPECT_EQ(r.out, "Q        2        7  104857600\n");
}

TEST_F(RvqmStoreTest, BrowseShowsDescriptorAndHexDump) {
  Ok({"put", "QM1", "Q", "-"}, std::string("0123456789abcdef\x01\xff\n"));
  ProcessResult r = Rvqm({"browse", "QM1", "Q"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string dump =
      "  length          19\n"
      "  00000000  30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
      "  00000010  01 ff 0a                                         |...|\n";
  ASSERT_GE(r.out.size(), dump.size());
  EXPECT_EQ(r.out.substr(r.out.size() - dump.size()), dump) << r.out;
  EXPECT_EQ(r.out.rfind("message 1\n  messageId       ", 0), 0u) << r.out;
  EXPECT_EQ(Get(), std::string("0123456789abcdef\x01\xff\n"));
}

}  // namespace
