// The queue's own files when they are not what the store made: the shared control file cut
// short, damaged or replaced by something else, a slot pointer that is damaged or names another
// queue's slot, entries of the message folder that are no message files. The store rebuilds or
// moves aside what it can, reports the rest with a reason, and never dies of a signal or blocks.
// And the slots themselves: one per queue, also under concurrent defines, and none handed on while
// a stale handle maps it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ForwardingFileSystem.h"
#include "ProcessRunner.h"
#include "RvTestSupport.h"
#include "rvadmin.h"

using namespace rvtest;

namespace {

long long Depth(const std::string& qm, const std::string& queue) {
  struct Found {
    std::string name;
    long long depth = -2;
  } found{queue};
  RVAdminListQueues(
      qm.c_str(),
      [](void* context, const RVQINFO* q) {
        auto* f = static_cast<Found*>(context);
        if (f->name == q->name) f->depth = q->depth;
        return 0;
      },
      &found);
  return found.depth;
}

// Ends the process at the first call named at once a call named after (if given) was made.
class DyingFileSystem : public ForwardingFileSystem {
 public:
  DyingFileSystem(const char* at, const char* after) : _at(at), _after(after) {}
  bool armed = false;
  bool Before(const char* call) override {
    if (!armed) return true;
    if (_after != nullptr) {
      if (std::strcmp(call, _after) == 0) _after = nullptr;
      return true;
    }
    if (std::strcmp(call, _at) == 0) ::_exit(0);
    return true;
  }

 private:
  const char* _at;
  const char* _after;
};

class QueueStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = FreshDataRoot("store");
    CreateQueueManager("QM1");
  }
  std::string Folder(const std::string& queue) const {
    return root + "/" + QueueFolder("QM1", queue);
  }
  std::string SharedControl() const { return root + "/qmgrs/QM1/controls"; }
  // The "slot=" line of the queue's slot pointer.
  std::string SlotIndex(const std::string& queue) const {
    const std::string pointer = ReadWholeFile(Folder(queue) + "/slot");
    const size_t at = pointer.find("slot=");
    return at == std::string::npos ? "" : pointer.substr(at, pointer.find('\n', at) - at);
  }
  // Defines (or undefines) the queue in a child process that dies at a call (see
  // DyingFileSystem).
  void KilledAt(bool define, const std::string& queue, const char* at, const char* after) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      DyingFileSystem fs(at, after);
      StoreSession session;
      if (!session.Connect(fs, "QM1").ok()) ::_exit(2);
      rv::QueueAttributes attributes;
      attributes.name = queue;
      fs.armed = true;
      if (define) {
        session.connection->Define(attributes);
      } else {
        session.connection->Undefine(queue);
      }
      ::_exit(3);  // it was to die before it ended
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
  }
  // Puts, checks the listing and drains, then does it once more.
  void ExpectWorking(const std::string& queue, const std::vector<std::string>& waiting,
                     const std::string& what) {
    EXPECT_EQ(Depth("QM1", queue), static_cast<long long>(waiting.size())) << what;
    EXPECT_EQ(Drain("QM1", queue), waiting) << what;
    EXPECT_EQ(Depth("QM1", queue), 0) << what;
    PutAll(queue, {"after"});
    EXPECT_EQ(Depth("QM1", queue), 1) << what;
    EXPECT_EQ(Drain("QM1", queue), std::vector<std::string>{"after"}) << what;
  }
  void PutAll(const std::string& queue, const std::vector<std::string>& messages) {
    rvtest::PutAll("QM1", queue, messages);
  }
  std::string root;
};

TEST_F(QueueStoreTest, ControlFileThatIsShortOrDamagedIsRebuiltFromTheFolder) {
  const std::vector<std::string> messages = {"one", "two", "three"};
  struct Case {
    const char* what;
    std::string content;
  };
  const Case cases[] = {
      {"empty", ""},
      {"four bytes", std::string(4, '\0')},
      {"a page of garbage", std::string(4096, '\xab')},
      {"half a page of zeros", std::string(2048, '\0')},
  };
  int n = 0;
  for (const auto& k : cases) {
    const std::string q = "C" + std::to_string(++n);
    DefineQueue("QM1", q);
    PutAll(q, messages);
    WriteWholeFile(SharedControl(), k.content);
    ExpectWorking(q, messages, k.what);
  }
  // A queue whose pointer is gone altogether is given a slot as well.
  DefineQueue("QM1", "G");
  PutAll("G", messages);
  ASSERT_EQ(::unlink((Folder("G") + "/slot").c_str()), 0);
  ExpectWorking("G", messages, "no pointer");
  EXPECT_FALSE(SlotIndex("G").empty());
}

TEST_F(QueueStoreTest, SlotPointerThatIsDamagedOrForeignIsNotFollowed) {
  // Damaged: the queue is given a fresh slot, and the listing no longer shows the old one,
  // whose counters no put changes any more.
  DefineQueue("QM1", "P");
  PutAll("P", {"one", "two"});
  WriteWholeFile(Folder("P") + "/slot", "slot=zz\n");
  PutAll("P", {"three"});
  ExpectWorking("P", {"one", "two", "three"}, "damaged pointer");

  // Naming the slot of another queue: each queue keeps its own count.
  DefineQueue("QM1", "A");
  DefineQueue("QM1", "B");
  PutAll("A", {"a"});
  WriteWholeFile(Folder("B") + "/slot", ReadWholeFile(Folder("A") + "/slot"));
  PutAll("B", {"b1", "b2"});
  EXPECT_EQ(Depth("QM1", "A"), 1);
  ExpectWorking("B", {"b1", "b2"}, "foreign pointer");
  ExpectWorking("A", {"a"}, "the other queue");
}

TEST_F(QueueStoreTest, ListingTakesNoDefinitionThatWasChangedBehindItsCheck) {
  DefineQueue("QM1", "D", 123457);
  PutAll("D", {"one"});
  // The maximum depth as the queue's slot caches it, changed as a torn copy would show it.
  std::string page = ReadWholeFile(SharedControl());
  const long long cached = 123457, changed = 99;
  const size_t at = page.find(std::string(reinterpret_cast<const char*>(&cached), sizeof cached));
  ASSERT_NE(at, std::string::npos);
  page.replace(at, sizeof changed, reinterpret_cast<const char*>(&changed), sizeof changed);
  WriteWholeFile(SharedControl(), page);
  struct Found {
    long long depth = -2, maxDepth = -2;
  } found;
  RVAdminListQueues(
      "QM1",
      [](void* context, const RVQINFO* q) {
        *static_cast<Found*>(context) = {q->depth, q->maxDepth};
        return 0;
      },
      &found);
  EXPECT_EQ(found.depth, 1);
  EXPECT_EQ(found.maxDepth, 123457);
}

TEST_F(QueueStoreTest, ControlFileThatIsNoFileIsReportedNotWaitedOn) {
  struct Case {
    const char* what;
    void (*make)(const std::string& path);
  };
  const Case cases[] = {
      {"a FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"a folder", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); }},
      {"a link", [](const std::string& p) { ASSERT_EQ(::symlink("/dev/zero", p.c_str()), 0); }},
  };
  // The listing counts the folder; an open and a define say what is wrong; once it is gone, it
  // is made afresh and nothing was lost.
  int n = 0;
  for (const auto& k : cases) {
    const std::string q = "S" + std::to_string(++n);
    DefineQueue("QM1", q);
    PutAll(q, {"kept"});
    std::filesystem::remove(SharedControl());
    k.make(SharedControl());
    EXPECT_EQ(Depth("QM1", q), 1) << k.what;
    RVHCONN c;
    RVHOBJ o;
    ASSERT_EQ(Connect("QM1", &c).cc, RVCC_OK);
    EXPECT_EQ(Open(c, q, RVOO_INPUT_SHARED, &o).reason, RVRC_UNEXPECTED_ERROR) << k.what;
    EXPECT_NE(std::string(RVErrorText()).find("controls is not a regular file"), std::string::npos)
        << RVErrorText();
    Disconnect(&c);
    EXPECT_EQ(RVAdminDefineQueue("QM1", ("T" + std::to_string(n)).c_str(), -1, -1),
              RVRC_UNEXPECTED_ERROR)
        << k.what;
    EXPECT_NE(std::string(RVErrorText()).find("controls is not a regular file"), std::string::npos)
        << RVErrorText();
    std::filesystem::remove(SharedControl());
    ExpectWorking(q, {"kept"}, k.what);
  }
}

TEST_F(QueueStoreTest, SlotOfAnUndefinedQueueWaitsForItsLastHandle) {
  DefineQueue("QM1", "A");
  const std::string slotOfA = SlotIndex("A");
  const std::string pointerOfA = ReadWholeFile(Folder("A") + "/slot");
  RVHCONN c;
  RVHOBJ stale;
  ASSERT_EQ(Connect("QM1", &c).cc, RVCC_OK);
  ASSERT_EQ(Open(c, "A", RVOO_OUTPUT, &stale).cc, RVCC_OK);
  long long removed = -1;
  ASSERT_EQ(RVAdminUndefineQueueEx("QM1", "A", 1, &removed), RVRC_NONE) << RVErrorText();

  // A queue defined while the stale handle is open gets another slot, which the handle's put
  // cannot touch.
  DefineQueue("QM1", "B");
  EXPECT_NE(SlotIndex("B"), slotOfA);
  EXPECT_EQ(Put(c, stale, "lost?").reason, RVRC_CONNECTION_BROKEN);
  EXPECT_EQ(Depth("QM1", "B"), 0);
  Close(c, &stale);
  Disconnect(&c);

  // Once it is closed, the slot goes to the next queue, which starts empty.
  DefineQueue("QM1", "C");
  EXPECT_EQ(SlotIndex("C"), slotOfA);
  EXPECT_NE(ReadWholeFile(Folder("C") + "/slot"), pointerOfA);  // another generation
  ExpectWorking("C", {}, "reused slot");
  ExpectWorking("B", {}, "other slot");
}

TEST_F(QueueStoreTest, SlotLeftByADefineOrUndefineThatDiedIsCommittedOrTakenBack) {
  // Killed before its folder was in place: no queue, and its slot (the first) goes to a later
  // define once the free ones are taken.
  KilledAt(true, "GONE", "rename", nullptr);
  EXPECT_EQ(Depth("QM1", "GONE"), -2);  // not listed
  std::set<std::string> taken;
  for (size_t i = 0; i < 4096 / 512; ++i) {
    DefineQueue("QM1", "N" + std::to_string(i));
    taken.insert(SlotIndex("N" + std::to_string(i)));
  }
  EXPECT_EQ(taken.count("slot=0"), 1u);

  // Killed after: the queue is there, and its slot is committed for it, not taken, also when
  // no slot is free any more.
  KilledAt(true, "KEPT", "sync", "rename");
  EXPECT_EQ(Depth("QM1", "KEPT"), 0);
  taken.clear();
  for (size_t i = 0; i < 4096 / 512; ++i) {
    DefineQueue("QM1", "M" + std::to_string(i));
    taken.insert(SlotIndex("M" + std::to_string(i)));
  }
  EXPECT_EQ(taken.count(SlotIndex("KEPT")), 0u);
  PutAll("KEPT", {"k"});
  PutAll("M7", {"m1", "m2"});
  EXPECT_EQ(Depth("QM1", "KEPT"), 1);
  ExpectWorking("M7", {"m1", "m2"}, "after a define that died");
  ExpectWorking("KEPT", {"k"}, "the define that died");

  // An undefine killed once the folder was renamed away leaves its slot to a later define.
  const std::string slotOfM0 = SlotIndex("M0");
  KilledAt(false, "M0", "open", "rename");
  EXPECT_EQ(Depth("QM1", "M0"), -2);
  taken.clear();
  for (size_t i = 0; i < 4096 / 512; ++i) {
    DefineQueue("QM1", "L" + std::to_string(i));
    taken.insert(SlotIndex("L" + std::to_string(i)));
  }
  EXPECT_EQ(taken.count(slotOfM0), 1u);
}

TEST_F(QueueStoreTest, ConcurrentDefinesTakeOneSlotEach) {
  constexpr int kThreads = 8, kEach = 6;
  std::vector<std::thread> threads;
  std::vector<RVLONG> reasons(kThreads * kEach, -1);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &reasons] {
      for (int i = 0; i < kEach; ++i) {
        const std::string q = "Q" + std::to_string(t) + "_" + std::to_string(i);
        reasons[t * kEach + i] = RVAdminDefineQueue("QM1", q.c_str(), -1, -1);
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> pointers;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      ASSERT_EQ(reasons[t * kEach + i], RVRC_NONE);
      const std::string q = "Q" + std::to_string(t) + "_" + std::to_string(i);
      pointers.insert(SlotIndex(q));
      PutAll(q, {q});
    }
  }
  EXPECT_EQ(pointers.size(), static_cast<size_t>(kThreads * kEach));
  for (int t = 0; t < kThreads; ++t) {
    const std::string q = "Q" + std::to_string(t) + "_" + std::to_string(kEach - 1);
    EXPECT_EQ(Depth("QM1", q), 1) << q;
  }
}

TEST_F(QueueStoreTest, EntriesThatAreNoMessageAreMovedAsideAndTheMessageBehindIsTaken) {
  DefineQueue("QM1", "Q");
  PutAll("Q", {"a", "b", "c", "behind"});
  auto names = FilesIn(QueueFolder("QM1", "Q") + "/msg");
  ASSERT_EQ(names.size(), 4u);
  const std::string msg = Folder("Q") + "/msg/";
  for (int i = 0; i < 3; ++i) ASSERT_EQ(::unlink((msg + names[i]).c_str()), 0);
  ASSERT_EQ(::mkdir((msg + names[0]).c_str(), 0700), 0);
  ASSERT_EQ(::symlink("/etc/passwd", (msg + names[1]).c_str()), 0);
  ASSERT_EQ(::mkfifo((msg + names[2]).c_str(), 0600), 0);

  // A browse passes them by without touching them; a get moves them aside.
  RVHCONN c;
  RVHOBJ browse, input;
  ASSERT_EQ(Connect("QM1", &c).cc, RVCC_OK);
  ASSERT_EQ(Open(c, "Q", RVOO_BROWSE, &browse).cc, RVCC_OK);
  std::string data;
  ASSERT_EQ(Get(c, browse, &data, 0, nullptr, 100, RVMO_NONE, nullptr, RVGMO_BROWSE_FIRST).cc,
            RVCC_OK);
  EXPECT_EQ(data, "behind");
  Close(c, &browse);
  ASSERT_EQ(Open(c, "Q", RVOO_INPUT_SHARED, &input).cc, RVCC_OK);
  ASSERT_EQ(Get(c, input, &data).cc, RVCC_OK);
  EXPECT_EQ(data, "behind");
  EXPECT_EQ(Get(c, input, &data).reason, RVRC_NO_MSG_AVAILABLE);
  Close(c, &input);
  Disconnect(&c);
  EXPECT_EQ(FilesIn(QueueFolder("QM1", "Q") + "/damaged").size(), 3u);
  EXPECT_TRUE(FilesIn(QueueFolder("QM1", "Q") + "/msg").empty());
  std::string log = ReadWholeFile(root + "/qmgrs/QM1/errors.log");
  EXPECT_NE(log.find("not a regular file"), std::string::npos) << log;
  EXPECT_EQ(Depth("QM1", "Q"), 0);
}

}  // namespace
