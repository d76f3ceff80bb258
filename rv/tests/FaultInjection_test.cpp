// EIO and ENOSPC from the n-th file-system call of a put, a get and a recovery, for every n,
// until the operation gets through: the call reports 2102, no earlier message is lost, nothing
// is half visible, and the queue works again once the fault is gone.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "ForwardingFileSystem.h"
#include "ProcessRunner.h"
#include "RvTestSupport.h"
#include "rvic.h"

using namespace rvtest;

namespace {

// Fails every call from the n-th one on, until disarmed.
class FaultyFileSystem : public ForwardingFileSystem {
 public:
  void Arm(int n, int err) {
    _calls = 0;
    _failFrom = n;
    _errno = err;
  }
  void Disarm() { _failFrom = 0; }
  int calls() const { return _calls; }
  bool Before(const char*) override {
    if (_failFrom == 0) return true;
    if (++_calls < _failFrom) return true;
    errno = _errno;
    return false;
  }

 private:
  int _calls = 0;
  int _failFrom = 0;
  int _errno = 0;
};

const std::vector<std::string> kEarlier = {"m0", "m1", "m2"};

class FaultInjectionTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    root = FreshDataRoot("fault");
    CreateQueueManager("QM1");
    rv::SetFsForTesting(&faulty);
  }
  void TearDown() override { rv::SetFsForTesting(nullptr); }

  // A fresh queue holding kEarlier.
  std::string NewQueue() {
    std::string q = "F" + std::to_string(++queues);
    DefineQueue("QM1", q);
    RVHCONN c;
    RVHOBJ o;
    EXPECT_EQ(Connect("QM1", &c).cc, RVCC_OK);
    EXPECT_EQ(Open(c, q, RVOO_OUTPUT, &o).cc, RVCC_OK);
    for (const auto& m : kEarlier) EXPECT_EQ(Put(c, o, m).cc, RVCC_OK);
    Close(c, &o);
    Disconnect(&c);
    return q;
  }
  void ExpectClean(const std::string& q, int n) {
    for (const char* f : {"/claim", "/tmp", "/owners"}) {
      EXPECT_TRUE(FilesIn(QueueFolder("QM1", q) + f).empty()) << f << " not empty, n=" << n;
    }
  }
  std::string root;
  FaultyFileSystem faulty;
  int queues = 0;
};

TEST_P(FaultInjectionTest, FailedPutLosesNothingAndShowsNothingHalfWritten) {
  int n = 1;
  for (;; ++n) {
    ASSERT_LT(n, 200) << "put never got through";
    std::string q = NewQueue();
    RVHCONN c;
    RVHOBJ o;
    ASSERT_EQ(Connect("QM1", &c).cc, RVCC_OK);
    ASSERT_EQ(Open(c, q, RVOO_OUTPUT, &o).cc, RVCC_OK);
    faulty.Arm(n, GetParam());
    Outcome put = Put(c, o, "new");
    faulty.Disarm();
    bool through = faulty.calls() < n;
    if (through) {
      EXPECT_EQ(put.cc, RVCC_OK);
    } else {
      EXPECT_EQ(put.reason, RVRC_RESOURCE_PROBLEM) << "n=" << n;
    }
    EXPECT_EQ(Put(c, o, "again").cc, RVCC_OK) << "n=" << n;
    Close(c, &o);
    Disconnect(&c);
    auto left = Drain("QM1", q);
    auto expected = kEarlier;
    // Only a failed flush of the folder after publishing may leave the (whole) message behind.
    if (through || (left.size() == 5 && left[3] == "new")) expected.push_back("new");
    expected.push_back("again");
    EXPECT_EQ(left, expected) << "n=" << n;
    ExpectClean(q, n);
    if (through) break;
  }
  EXPECT_GT(n, 5);
}

TEST_P(FaultInjectionTest, FailedGetLosesNothingAndTheNextGetWorks) {
  int n = 1;
  for (;; ++n) {
    ASSERT_LT(n, 200) << "get never got through";
    std::string q = NewQueue();
    RVHCONN c;
    RVHOBJ o;
    ASSERT_EQ(Connect("QM1", &c).cc, RVCC_OK);
    ASSERT_EQ(Open(c, q, RVOO_INPUT_SHARED, &o).cc, RVCC_OK);
    faulty.Arm(n, GetParam());
    std::string data;
    Outcome get = Get(c, o, &data);
    faulty.Disarm();
    bool through = faulty.calls() < n;
    std::vector<std::string> got;
    if (through) {
      EXPECT_EQ(get.cc, RVCC_OK);
      got.push_back(data);
    } else {
      EXPECT_EQ(get.reason, RVRC_RESOURCE_PROBLEM) << "n=" << n;
      ASSERT_EQ(Get(c, o, &data).cc, RVCC_OK) << "n=" << n;
      got.push_back(data);
    }
    Close(c, &o);
    Disconnect(&c);
    for (auto& m : Drain("QM1", q)) got.push_back(m);
    EXPECT_EQ(got, kEarlier) << "n=" << n;
    ExpectClean(q, n);
    if (through) break;
  }
  EXPECT_GT(n, 3);
}

TEST_P(FaultInjectionTest, FailedRecoveryLosesNothingAndRecoversLater) {
  int n = 1;
  for (;; ++n) {
    ASSERT_LT(n, 400) << "recovery never got through";
    std::string q = NewQueue();
    // The state a killed getter leaves: an unlocked owner file, a claim and a temporary file.
    std::string dir = root + "/" + QueueFolder("QM1", q);
    auto msgs = FilesIn(QueueFolder("QM1", q) + "/msg");
    ASSERT_EQ(msgs.size(), 3u);
    WriteWholeFile(dir + "/owners/odead", "");
    ASSERT_EQ(::mkdir((dir + "/claim/odead").c_str(), 0700), 0);
    ASSERT_EQ(
        ::rename((dir + "/msg/" + msgs[0]).c_str(), (dir + "/claim/odead/" + msgs[0]).c_str()), 0);
    WriteWholeFile(dir + "/tmp/odead.1", "half a message");

    RVHCONN c;
    RVHOBJ o;
    ASSERT_EQ(Connect("QM1", &c).cc, RVCC_OK);
    faulty.Arm(n, GetParam());
    Outcome open = Open(c, q, RVOO_INPUT_SHARED, &o);
    faulty.Disarm();
    bool through = faulty.calls() < n;
    if (through) {
      EXPECT_EQ(open.cc, RVCC_OK);
    } else {
      EXPECT_EQ(open.reason, RVRC_RESOURCE_PROBLEM) << "n=" << n;
    }
    if (open.cc == RVCC_OK) Close(c, &o);
    Disconnect(&c);
    EXPECT_EQ(Drain("QM1", q), kEarlier) << "n=" << n;
    ExpectClean(q, n);
    if (through) break;
  }
  EXPECT_GT(n, 10);
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
  rv::SetFsForTesting(&nfs);
  RVHCONN c;
  Outcome o = Connect("QM1", &c);
  rv::SetFsForTesting(nullptr);
  EXPECT_EQ(o.reason, RVRC_RESOURCE_PROBLEM);
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
  rv::SetFsForTesting(&denying);
  RVHCONN c;
  Outcome o = Connect("QM1", &c);
  rv::SetFsForTesting(nullptr);
  EXPECT_EQ(o.reason, RVRC_NOT_AUTHORIZED);
}

}  // namespace
