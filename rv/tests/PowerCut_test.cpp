// Power cuts at every point of a put, a get (one, and a hundred in a row), a held get whose
// message is saved to a file before it is taken (as the queue tools do), a define, an undefine,
// a clear, a quiescing, and the creation and deletion of a queue manager. For every n the
// power goes just before the operation's n-th change of the disk, the disk is left as a restart
// would find it (PowerCutFileSystem), and a new boot opens the store: no message whose put
// returned is lost, none whose get returned comes back, nothing damaged is delivered, the
// listing's depth is right, and an operation that returned is on disk. The last round cuts the
// power only after the operation has returned.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <iostream>

#include "PowerCutFileSystem.h"
#include "RvTestSupport.h"
#include "UniqueFd.h"
#include "rvadmin.h"
#include "rvic.h"

using namespace rvtest;

namespace {

std::vector<std::string> Numbered(int count) {
  std::vector<std::string> m;
  for (int i = 0; i < count; ++i) m.push_back("m" + std::to_string(i));
  return m;
}

std::vector<std::string> From(const std::vector<std::string>& v, size_t first) {
  return std::vector<std::string>(v.begin() + static_cast<long>(std::min(first, v.size())),
                                  v.end());
}

class PowerCutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = FreshDataRoot("powercut", true);
    CreateQueueManager("QM1");
    const std::string top = root.substr(0, root.rfind('/'));
    ASSERT_EQ(::mkdir((top + "/stash").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((top + "/out").c_str(), 0700), 0);
    outDir = top + "/out";
    fs = std::make_unique<PowerCutFileSystem>(top + "/stash");
  }

  // A fresh queue of QM1 holding messages, put through the C calls before any cut.
  std::string NewQueue(const std::vector<std::string>& messages, const std::string& qm = "QM1") {
    std::string q = "P" + std::to_string(++counter);
    DefineQueue(qm, q);
    PutAll(qm, q, messages);
    return q;
  }

  // After a restart: whether the queue is listed, and then every message on it in delivery
  // order, which must be as many as the listing showed. Read through the power-cut file system,
  // which now answers with the new boot.
  bool Survivors(const std::string& qm, const std::string& q, std::vector<std::string>* left) {
    left->clear();
    StoreSession session;
    rv::Status s = session.Connect(*fs, qm);
    if (s.reason() == RVRC_Q_MGR_NOT_AVAILABLE) return false;
    EXPECT_TRUE(s.ok()) << s.message();
    if (!s.ok()) return false;
    std::vector<rv::QueueSummary> queues;
    EXPECT_TRUE(session.connection->List(&queues).ok());
    auto it = std::find_if(queues.begin(), queues.end(),
                           [&](const rv::QueueSummary& e) { return e.name == q; });
    if (it == queues.end()) return false;
    std::unique_ptr<rv::OpenQueue> queue;
    s = session.connection->Open(q, RVOO_INPUT_SHARED, &queue);
    EXPECT_TRUE(s.ok()) << s.message();
    if (!s.ok()) return true;
    for (;;) {
      std::string data;
      s = StoreGet(*queue, &data);
      if (s.reason() == RVRC_NO_MSG_AVAILABLE) break;
      EXPECT_TRUE(s.ok()) << s.message();
      if (!s.ok()) break;
      left->push_back(data);
    }
    EXPECT_EQ(it->depth, static_cast<int64_t>(left->size())) << "the listing's depth";
    return true;
  }

  // Runs op (which opens on *fs what it needs, hands the outcome of the operation under test to
  // Returned and lets go of what it opened) with the power cut before its n-th change of the
  // disk, for n = 1, 2, ..., and once after it has returned; after each cut the disk is
  // restarted and check sees whether the operation returned success before the power went (a
  // machine without power returns nothing). setup runs before each round, before anything is
  // recorded.
  void EveryCut(const std::function<void()>& setup, const std::function<rv::Status()>& op,
                const std::function<void(bool, int)>& check) {
    for (int n = 1;; ++n) {
      ASSERT_LT(n, 5000) << "never got through";
      setup();
      fs->CutAt(n);
      returned = false;
      op();
      const bool ok = returned;
      const bool cut = fs->cut();
      ASSERT_TRUE(fs->Restart()) << fs->why() << ", n=" << n;
      check(ok, n);
      if (!cut) {
        std::cout << ::testing::UnitTest::GetInstance()->current_test_info()->name() << ": " << n
                  << " power cuts\n";
        EXPECT_TRUE(ok) << "without a cut, n=" << n;
        EXPECT_GT(n, 2) << "the operation changed nothing on disk";
        return;
      }
    }
  }

  rv::Status Returned(const rv::Status& s) {
    returned = s.ok() && !fs->cut();
    return s;
  }

  // Whether the file holds exactly text; absent or otherwise: false.
  bool FileHolds(const std::string& name, const std::string& text) {
    std::string got;
    rv::UniqueFd fd(::open((outDir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fd.get(), buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    return got == text;
  }
  std::string root, outDir;
  std::unique_ptr<PowerCutFileSystem> fs;
  int counter = 0;
  bool returned = false;
};

const std::vector<std::string> kEarlier = {"m0", "m1", "m2"};

TEST_F(PowerCutTest, PutThatReturnedIsNeverLost) {
  std::string q;
  std::vector<std::string> with = kEarlier;
  with.push_back("new");
  EveryCut([&] { q = NewQueue(kEarlier); },
           [&] {
             StoreSession session;
             rv::Status s = session.Connect(*fs, "QM1");
             std::unique_ptr<rv::OpenQueue> queue;
             if (s.ok()) s = session.connection->Open(q, RVOO_OUTPUT, &queue);
             return Returned(s.ok() ? StorePut(*queue, "new") : s);
           },
           [&](bool ok, int n) {
             std::vector<std::string> left;
             ASSERT_TRUE(Survivors("QM1", q, &left)) << "n=" << n;
             if (ok) {
               EXPECT_EQ(left, with) << "n=" << n;
             } else {
               EXPECT_TRUE(left == kEarlier || left == with) << "n=" << n;
             }
           });
}

TEST_F(PowerCutTest, GetsThatReturnedNeverComeBack) {
  for (int total : {1, 100}) {
    SCOPED_TRACE("messages: " + std::to_string(total));
    const auto all = Numbered(total);
    std::string q;
    size_t taken = 0;
    EveryCut([&] { q = NewQueue(all); },
             [&] {
               taken = 0;
               StoreSession session;
               rv::Status s = session.Connect(*fs, "QM1");
               std::unique_ptr<rv::OpenQueue> queue;
               if (s.ok()) s = session.connection->Open(q, RVOO_INPUT_SHARED, &queue);
               while (s.ok() && taken < all.size()) {
                 std::string data;
                 s = StoreGet(*queue, &data);
                 if (s.ok() && !fs->cut()) {
                   EXPECT_EQ(data, all[taken]);
                   ++taken;
                 }
               }
               return Returned(s);
             },
             [&](bool ok, int n) {
               std::vector<std::string> left;
               ASSERT_TRUE(Survivors("QM1", q, &left)) << "n=" << n;
               // The get under way when the power went may or may not have taken its message.
               if (ok) {
                 EXPECT_TRUE(left.empty()) << "n=" << n;
               } else {
                 EXPECT_TRUE(left == From(all, taken) || left == From(all, taken + 1))
                     << "n=" << n << ", taken " << taken << ", left " << left.size();
               }
             });
  }
}

TEST_F(PowerCutTest, HeldMessageIsOnItsQueueOrWholeInItsFile) {
  std::string q;
  const std::string reply = "<?xml version=\"1.0\"?><reply>" + std::string(3000, 'r') + "</reply>";
  EveryCut(
      [&] {
        q = NewQueue({reply, "next"});
        ::unlink((outDir + "/reply.xml").c_str());
      },
      [&] {
        // What the queue tools do: take the message held, save it and flush it and its folder,
        // then take it for good.
        StoreSession session;
        rv::Status s = session.Connect(*fs, "QM1");
        std::unique_ptr<rv::OpenQueue> queue;
        if (s.ok()) s = session.connection->Open(q, RVOO_INPUT_SHARED, &queue);
        std::string data;
        if (s.ok()) s = StoreGet(*queue, &data, 65536, RVGMO_HOLD);
        if (!s.ok()) return s;
        rv::UniqueFd dir(fs->OpenPath(outDir, O_RDONLY | O_DIRECTORY));
        rv::UniqueFd file(fs->OpenAt(dir.get(), "reply.xml", O_WRONLY | O_CREAT | O_TRUNC, 0600));
        if (!dir.valid() || !file.valid() || fs->WriteAll(file.get(), data.data(), data.size()) ||
            fs->Sync(file.get()) != 0 || fs->Sync(dir.get()) != 0) {
          return rv::Status::FromErrno(errno, "cannot save the reply");
        }
        std::string again;
        s = StoreGet(*queue, &again);
        if (s.ok() && again != data) return rv::Status::Error(RVRC_UNEXPECTED_ERROR, "not held");
        return Returned(s);
      },
      [&](bool ok, int n) {
        std::vector<std::string> left;
        ASSERT_TRUE(Survivors("QM1", q, &left)) << "n=" << n;
        const bool saved = FileHolds("reply.xml", reply);
        const std::vector<std::string> both = {reply, "next"};
        const std::vector<std::string> one = {"next"};
        if (ok) {
          EXPECT_TRUE(saved && left == one) << "n=" << n;
        } else {
          // Never neither; both only while the taking had not returned.
          EXPECT_TRUE(left == both || (saved && left == one)) << "n=" << n;
        }
      });
}

TEST_F(PowerCutTest, DefineThatReturnedMakesAWholeQueue) {
  std::string q;
  EveryCut([&] { q = "D" + std::to_string(++counter); },
           [&] {
             StoreSession session;
             rv::Status s = session.Connect(*fs, "QM1");
             rv::QueueAttributes attributes;
             attributes.name = q;
             return Returned(s.ok() ? session.connection->Define(attributes) : s);
           },
           [&](bool ok, int n) {
             std::vector<std::string> left;
             const bool listed = Survivors("QM1", q, &left);
             EXPECT_TRUE(listed || !ok) << "n=" << n;
             EXPECT_TRUE(left.empty()) << "n=" << n;
             if (!listed) return;
             // Whole: a put and a get work on it.
             StoreSession session;
             ASSERT_TRUE(session.Connect(*fs, "QM1").ok());
             std::unique_ptr<rv::OpenQueue> queue;
             ASSERT_TRUE(session.connection->Open(q, RVOO_OUTPUT | RVOO_INPUT_SHARED, &queue).ok())
                 << "n=" << n;
             EXPECT_TRUE(StorePut(*queue, "x").ok()) << "n=" << n;
             std::string data;
             EXPECT_TRUE(StoreGet(*queue, &data).ok() && data == "x") << "n=" << n;
           });
}

// An undefine (with its messages), a clear and a deletion of the queue manager: once they
// return, nothing of what they removed comes back; before, everything stays or everything goes.
TEST_F(PowerCutTest, RemovalsThatReturnedStayDone) {
  struct Removal {
    const char* what;
    std::function<rv::Status(StoreSession&, const std::string& q)> run;
    bool queueGoes;
    bool qmGoes;
  };
  const std::vector<Removal> removals = {
      {"undefine",
       [](StoreSession& s, const std::string& q) {
         int64_t removed = 0;
         return s.connection->UndefineForced(q, &removed);
       },
       true, false},
      {"clear",
       [](StoreSession& s, const std::string& q) {
         int64_t removed = 0;
         return s.connection->Clear(q, &removed);
       },
       false, false},
      {"delete",
       [](StoreSession& s, const std::string&) {
         int64_t removed = 0;
         s.connection->Disconnect();
         s.connection.reset();
         return s.backend->Delete(s.root, s.qm, true, &removed);
       },
       true, true},
  };
  for (const auto& r : removals) {
    SCOPED_TRACE(r.what);
    std::string qm, q;
    EveryCut(
        [&] {
          qm = r.qmGoes ? "X" + std::to_string(++counter) : "QM1";
          if (r.qmGoes) CreateQueueManager(qm);
          q = NewQueue(kEarlier, qm);
        },
        [&] {
          StoreSession session;
          rv::Status s = session.Connect(*fs, qm);
          return Returned(s.ok() ? r.run(session, q) : s);
        },
        [&](bool ok, int n) {
          std::vector<std::string> left;
          const bool listed = Survivors(qm, q, &left);
          if (ok) {
            EXPECT_EQ(listed, !r.queueGoes) << "n=" << n;
            EXPECT_TRUE(left.empty()) << "n=" << n;
          } else {
            EXPECT_TRUE(!listed || left == kEarlier || (!r.queueGoes && left.empty()))
                << "n=" << n << ", left " << left.size();
          }
        });
  }
}

TEST_F(PowerCutTest, QueueManagerThatWasCreatedOrQuiescedStaysSo) {
  std::string qm;
  EveryCut([&] { qm = "C" + std::to_string(++counter); },
           [&] {
             rv::DataRoot dataRoot;
             rv::Status s = rv::DataRoot::Open(false, &dataRoot, *fs);
             if (s.ok()) s = dataRoot.CreateQueueManager(qm, false, {{"backend", "embedded"}});
             if (s.ok()) s = dataRoot.SetQuiescing(qm, true);
             return Returned(s);
           },
           [&](bool ok, int n) {
             rv::DataRoot dataRoot;
             ASSERT_TRUE(rv::DataRoot::Open(false, &dataRoot, *fs).ok());
             rv::DataRoot::QueueManagerDefinition definition;
             rv::UniqueFd dir;
             const bool exists = dataRoot.OpenQueueManager(qm, &definition, &dir).ok();
             if (ok) {
               ASSERT_TRUE(exists) << "n=" << n;
               EXPECT_TRUE(rv::DataRoot::IsQuiescing(dir.get(), *fs)) << "n=" << n;
             }
             if (!exists) return;
             ASSERT_TRUE(dataRoot.SetQuiescing(qm, false).ok());
             // Whole: a queue can be defined on it.
             StoreSession session;
             ASSERT_TRUE(session.Connect(*fs, qm).ok()) << "n=" << n;
             rv::QueueAttributes attributes;
             attributes.name = "Q";
             EXPECT_TRUE(session.connection->Define(attributes).ok()) << "n=" << n;
           });
}

}  // namespace
