// EIO and ENOSPC from the n-th file-system call of a put, a get, a recovery, a define, an
// undefine, a queue manager's creation and its deletion, for every n, until the operation gets
// through: the call reports the failure, no message that was stored is lost, nothing is half
// made or half visible, and everything works again once the fault is gone. The faulty file
// system is handed to the store under test only (the data root opened through it); the
// fixtures and checks use the library's C calls on the real one.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "ForwardingFileSystem.h"
#include "ProcessRunner.h"
#include "RvTestSupport.h"
#include "rvadmin.h"
#include "rvic.h"

using namespace rvtest;

namespace {

// Fails every call from the n-th one on (or, once, the n-th call alone), until disarmed.
class FaultyFileSystem : public ForwardingFileSystem {
 public:
  void Arm(int n, int err, bool once) {
    _calls = 0;
    _failFrom = n;
    _errno = err;
    _once = once;
  }
  void Disarm() { _failFrom = 0; }
  int calls() const { return _calls; }
  bool Before(const char*) override {
    if (_failFrom == 0) return true;
    if (++_calls < _failFrom || (_once && _calls > _failFrom)) return true;
    errno = _errno;
    return false;
  }

 private:
  int _calls = 0;
  int _failFrom = 0;
  int _errno = 0;
  bool _once = false;
};

const std::vector<std::string> kEarlier = {"m0", "m1", "m2"};

std::vector<std::string> Queues(const std::string& qm) {
  std::vector<std::string> names;
  RVAdminListQueues(
      qm.c_str(),
      [](void* context, const RVQINFO* q) {
        static_cast<std::vector<std::string>*>(context)->push_back(q->name);
        return 0;
      },
      &names);
  return names;
}

bool QueueManagerExists(const std::string& qm) {
  RVQMINFO info;
  return RVAdminDescribeQM(qm.c_str(), &info) == RVRC_NONE;
}

class FaultInjectionTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    root = FreshDataRoot("fault");
    CreateQueueManager("QM1");
  }

  // A fresh queue holding kEarlier.
  std::string NewQueue(const std::string& qm = "QM1") {
    std::string q = "F" + std::to_string(++queues);
    DefineQueue(qm, q);
    PutAll(qm, q, kEarlier);
    return q;
  }
  // A fresh queue *q holding kEarlier, and a fresh session on the faulty file system.
  void NewQueueAndSession(std::string* q, StoreSession* session) {
    *q = NewQueue();
    *session = StoreSession();
    ConnectStore(session);
  }
  // A session on the faulty file system, connected before any fault is armed.
  void ConnectStore(StoreSession* session, const std::string& qm = "QM1") {
    ASSERT_TRUE(session->Connect(faulty, qm).ok());
  }
  // A fresh queue *q, a fresh session on it and the queue opened with options in *queue.
  void OpenFresh(RVLONG options, std::string* q, StoreSession* session,
                 std::unique_ptr<rv::OpenQueue>* queue) {
    *q = NewQueue();
    *session = StoreSession();
    ConnectStore(session);
    ASSERT_TRUE(session->connection->Open(*q, options, queue).ok());
  }
  void ExpectClean(const std::string& q, int n) {
    for (const char* f : {"/claim", "/tmp", "/owners"}) {
      EXPECT_TRUE(FilesIn(QueueFolder("QM1", q) + f).empty()) << f << " not empty, n=" << n;
    }
  }
  // Runs op with every call from the n-th on failing (once: the n-th call alone) for n = 1,
  // 2, ... until no call fails any more; check sees each outcome: whether op succeeded (a
  // failure of a call whose outcome does not matter may leave it successful), and its status.
  template <typename Op, typename Check>
  int EveryN(int limit, bool once, Op op, Check check) {
    int n = 1;
    for (;; ++n) {
      if (n >= limit) {
        ADD_FAILURE() << "never got through";
        return n;
      }
      faulty.Arm(n, GetParam(), once);
      rv::Status s = op();
      faulty.Disarm();
      const bool injected = faulty.calls() >= n;
      if (!injected) {
        EXPECT_TRUE(s.ok()) << "n=" << n << ": " << s.message();
      }
      check(s.ok(), s, n);
      if (!injected) return n;
    }
  }

  std::string root;
  FaultyFileSystem faulty;
  int queues = 0;
};

TEST_P(FaultInjectionTest, FailedPutLosesNothingAndShowsNothingHalfWritten) {
  std::string q;
  StoreSession session;
  std::unique_ptr<rv::OpenQueue> queue;
  auto prepare = [&] { OpenFresh(RVOO_OUTPUT, &q, &session, &queue); };
  prepare();
  int n = EveryN(
      200, false, [&] { return StorePut(*queue, "new"); },
      [&](bool ok, const rv::Status& s, int n) {
        if (!ok) {
          EXPECT_EQ(s.reason(), RVRC_RESOURCE_PROBLEM) << "n=" << n;
        }
        EXPECT_TRUE(StorePut(*queue, "again").ok()) << "n=" << n;
        queue->Close();
        queue.reset();
        auto left = Drain("QM1", q);
        auto expected = kEarlier;
        // Only a failed flush of the folder after publishing may leave the (whole)
        // message behind.
        if (ok || (left.size() == 5 && left[3] == "new")) expected.push_back("new");
        expected.push_back("again");
        EXPECT_EQ(left, expected) << "n=" << n;
        ExpectClean(q, n);
        prepare();
      });
  EXPECT_GT(n, 5);
}

TEST_P(FaultInjectionTest, FailedGetLosesNothingAndTheNextGetWorks) {
  std::string q;
  StoreSession session;
  std::unique_ptr<rv::OpenQueue> queue;
  auto prepare = [&] { OpenFresh(RVOO_INPUT_SHARED, &q, &session, &queue); };
  prepare();
  std::string data;
  int n = EveryN(
      200, false, [&] { return StoreGet(*queue, &data); },
      [&](bool ok, const rv::Status& s, int n) {
        std::vector<std::string> got;
        if (!ok) {
          EXPECT_EQ(s.reason(), RVRC_RESOURCE_PROBLEM) << "n=" << n;
          ASSERT_TRUE(StoreGet(*queue, &data).ok()) << "n=" << n;
        }
        got.push_back(data);
        queue->Close();
        queue.reset();
        for (auto& m : Drain("QM1", q)) got.push_back(m);
        EXPECT_EQ(got, kEarlier) << "n=" << n;
        ExpectClean(q, n);
        prepare();
      });
  EXPECT_GT(n, 3);
}

TEST_P(FaultInjectionTest, FailedRecoveryLosesNothingAndRecoversLater) {
  std::string q;
  StoreSession session;
  auto prepare = [&] {
    q = NewQueue();
    // The state a killed getter leaves: an unlocked owner file, a claim and a temporary file.
    std::string dir = root + "/" + QueueFolder("QM1", q);
    auto msgs = FilesIn(QueueFolder("QM1", q) + "/msg");
    ASSERT_EQ(msgs.size(), 3u);
    WriteWholeFile(dir + "/owners/odead", "");
    ASSERT_EQ(::mkdir((dir + "/claim/odead").c_str(), 0700), 0);
    ASSERT_EQ(
        ::rename((dir + "/msg/" + msgs[0]).c_str(), (dir + "/claim/odead/" + msgs[0]).c_str()), 0);
    WriteWholeFile(dir + "/tmp/odead.1", "half a message");
    session = StoreSession();
    ConnectStore(&session);
  };
  prepare();
  std::unique_ptr<rv::OpenQueue> queue;
  int n = EveryN(
      400, false, [&] { return session.connection->Open(q, RVOO_INPUT_SHARED, &queue); },
      [&](bool ok, const rv::Status& s, int n) {
        if (!ok) {
          EXPECT_EQ(s.reason(), RVRC_RESOURCE_PROBLEM) << "n=" << n;
        }
        if (queue) queue->Close();
        queue.reset();
        EXPECT_EQ(Drain("QM1", q), kEarlier) << "n=" << n;
        ExpectClean(q, n);
        prepare();
      });
  EXPECT_GT(n, 10);
}

TEST_P(FaultInjectionTest, FailedDefineLeavesNoQueueAndTheSameDefineWorksAgain) {
  StoreSession session;
  ConnectStore(&session);
  rv::QueueAttributes attributes;
  // The n-th call alone fails, so that the clean-up after it runs, as on a disk that is full
  // for a write but still renames and removes.
  int n = EveryN(
      200, true,
      [&] {
        attributes.name = "D" + std::to_string(++queues);
        return session.connection->Define(attributes);
      },
      [&](bool ok, const rv::Status&, int n) {
        auto listed = Queues("QM1");
        bool shown = std::count(listed.begin(), listed.end(), attributes.name) > 0;
        EXPECT_EQ(shown, ok) << "n=" << n;
        if (!ok) DefineQueue("QM1", attributes.name);
        // Whole: a put and a get work on it.
        RVHCONN c;
        RVHOBJ o;
        ASSERT_EQ(Connect("QM1", &c).cc, RVCC_OK);
        ASSERT_EQ(Open(c, attributes.name, RVOO_OUTPUT, &o).cc, RVCC_OK) << "n=" << n;
        EXPECT_EQ(Put(c, o, "x").cc, RVCC_OK);
        Close(c, &o);
        Disconnect(&c);
        EXPECT_EQ(Drain("QM1", attributes.name), std::vector<std::string>{"x"});
      });
  EXPECT_GT(n, 10);
}

TEST_P(FaultInjectionTest, FailedUndefineKeepsTheQueueWithEveryMessage) {
  std::string q;
  StoreSession session;
  auto prepare = [&] { NewQueueAndSession(&q, &session); };
  prepare();
  int64_t removed = -1;
  int n = EveryN(
      200, false, [&] { return session.connection->UndefineForced(q, &removed); },
      [&](bool ok, const rv::Status&, int n) {
        auto listed = Queues("QM1");
        bool shown = std::count(listed.begin(), listed.end(), q) > 0;
        if (ok) {
          EXPECT_FALSE(shown) << "n=" << n;
          EXPECT_EQ(removed, 3) << "n=" << n;
        } else {
          ASSERT_TRUE(shown) << "n=" << n << ": a failed undefine took the queue";
          EXPECT_EQ(Drain("QM1", q), kEarlier) << "n=" << n;
        }
        prepare();
      });
  EXPECT_GT(n, 5);
}

TEST_P(FaultInjectionTest, FailedClearSaysSoAndLeavesOnlyWholeMessagesInOrder) {
  std::string q;
  StoreSession session;
  auto prepare = [&] { NewQueueAndSession(&q, &session); };
  prepare();
  int64_t removed = -1;
  int n = EveryN(
      200, false, [&] { return session.connection->Clear(q, &removed); },
      [&](bool ok, const rv::Status&, int n) {
        auto left = Drain("QM1", q);
        if (ok) {
          EXPECT_TRUE(left.empty()) << "n=" << n;
          EXPECT_EQ(removed, 3) << "n=" << n;
        } else {
          // Not all or nothing, but what is left is whole and in its order.
          EXPECT_TRUE(std::includes(kEarlier.begin(), kEarlier.end(), left.begin(), left.end()))
              << "n=" << n;
        }
        ExpectClean(q, n);
        prepare();
      });
  EXPECT_GT(n, 3);
}

TEST_P(FaultInjectionTest, FailedCreateLeavesNoQueueManagerAndTheSameCreateWorksAgain) {
  rv::DataRoot dataRoot;
  ASSERT_TRUE(rv::DataRoot::Open(false, &dataRoot, faulty).ok());
  std::string name;
  // The n-th call alone fails, as in the define above.
  int n = EveryN(
      200, true,
      [&] {
        name = "C" + std::to_string(++queues);
        return dataRoot.CreateQueueManager(name, true, {{"backend", "embedded"}});
      },
      [&](bool ok, const rv::Status&, int n) {
        EXPECT_EQ(QueueManagerExists(name), ok) << "n=" << n;
        if (!ok) {
          ASSERT_EQ(RVAdminCreateQM(name.c_str(), 1, nullptr, nullptr, 0), RVRC_NONE)
              << "n=" << n << ": " << RVErrorText();
        }
        RVQMINFO info;
        ASSERT_EQ(RVAdminDescribeQM(nullptr, &info), RVRC_NONE) << "n=" << n;
        EXPECT_EQ(std::string(info.name), name) << "n=" << n;
        DefineQueue(name, "Q");
      });
  EXPECT_GT(n, 5);
}

TEST_P(FaultInjectionTest, FailedDeleteKeepsTheQueueManagerWithEveryMessage) {
  std::string qm, q;
  StoreSession session;
  auto prepare = [&] {
    qm = "X" + std::to_string(++queues);
    CreateQueueManager(qm);
    q = NewQueue(qm);
    session = StoreSession();
    ConnectStore(&session, qm);
  };
  prepare();
  int64_t removed = -1;
  int n = EveryN(
      300, false, [&] { return session.backend->Delete(session.root, session.qm, true, &removed); },
      [&](bool ok, const rv::Status&, int n) {
        EXPECT_EQ(QueueManagerExists(qm), !ok) << "n=" << n;
        if (ok) {
          EXPECT_EQ(removed, 3) << "n=" << n;
        } else {
          EXPECT_EQ(Drain(qm, q), kEarlier) << "n=" << n;
        }
        prepare();
      });
  EXPECT_GT(n, 5);
}

INSTANTIATE_TEST_SUITE_P(Errors, FaultInjectionTest, ::testing::Values(EIO, ENOSPC),
                         [](const auto& info) { return info.param == EIO ? "EIO" : "ENOSPC"; });

TEST(DataRootTest, NetworkFileSystemIsRefused) {
  class NfsFileSystem : public ForwardingFileSystem {
   public:
    int FsType(int, long* type) override {
      *type = 0x6969;
      return 0;
    }
  } nfs;
  FreshDataRoot("nfs");
  CreateQueueManager("QM1");
  StoreSession session;
  EXPECT_EQ(session.Connect(nfs, "QM1").reason(), RVRC_RESOURCE_PROBLEM);
}

TEST(DataRootTest, PermissionDeniedGives2035) {
  class Denying : public ForwardingFileSystem {
   public:
    bool Before(const char* call) override {
      if (std::string(call) != "open") return true;
      errno = EACCES;
      return false;
    }
  } denying;
  FreshDataRoot("denied");
  CreateQueueManager("QM1");
  StoreSession session;
  EXPECT_EQ(session.Connect(denying, "QM1").reason(), RVRC_NOT_AUTHORIZED);
}

}  // namespace
