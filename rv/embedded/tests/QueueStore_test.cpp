// The queue's own files when they are not what the store made: a control file cut short,
// damaged or replaced by something else, entries of the message folder that are no message
// files, a queue of the first layout. The store rebuilds or moves aside what it can, reports
// the rest with a reason, and never dies of a signal or blocks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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

class QueueStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = FreshDataRoot("store");
    CreateQueueManager("QM1");
  }
  std::string Folder(const std::string& queue) const {
    return root + "/" + QueueFolder("QM1", queue);
  }
  void PutAll(const std::string& queue, const std::vector<std::string>& messages) {
    RVHCONN c;
    RVHOBJ o;
    ASSERT_EQ(Connect("QM1", &c).cc, RVCC_OK);
    ASSERT_EQ(Open(c, queue, RVOO_OUTPUT, &o).cc, RVCC_OK);
    for (const auto& m : messages) ASSERT_EQ(Put(c, o, m).cc, RVCC_OK);
    Close(c, &o);
    Disconnect(&c);
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
    WriteWholeFile(Folder(q) + "/control", k.content);
    EXPECT_EQ(Depth("QM1", q), 3) << k.what;
    EXPECT_EQ(Drain("QM1", q), messages) << k.what;
    EXPECT_EQ(Depth("QM1", q), 0) << k.what;
    // And the queue goes on as before.
    PutAll(q, {"after"});
    EXPECT_EQ(Depth("QM1", q), 1) << k.what;
    EXPECT_EQ(Drain("QM1", q), std::vector<std::string>{"after"}) << k.what;
  }
}

TEST_F(QueueStoreTest, ListingTakesNoDefinitionThatWasChangedBehindItsCheck) {
  DefineQueue("QM1", "D", 123457);
  PutAll("D", {"one"});
  // The maximum depth as the control page caches it, changed as a torn copy would show it.
  std::string page = ReadWholeFile(Folder("D") + "/control");
  const long long cached = 123457, changed = 99;
  const size_t at = page.find(std::string(reinterpret_cast<const char*>(&cached), sizeof cached));
  ASSERT_NE(at, std::string::npos);
  page.replace(at, sizeof changed, reinterpret_cast<const char*>(&changed), sizeof changed);
  WriteWholeFile(Folder("D") + "/control", page);
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
  int n = 0;
  for (const auto& k : cases) {
    const std::string q = "N" + std::to_string(++n);
    DefineQueue("QM1", q);
    PutAll(q, {"kept"});
    const std::string control = Folder(q) + "/control";
    ASSERT_EQ(::unlink(control.c_str()), 0);
    k.make(control);
    EXPECT_EQ(Depth("QM1", q), 1) << k.what;  // counted from the folder
    RVHCONN c;
    RVHOBJ o;
    ASSERT_EQ(Connect("QM1", &c).cc, RVCC_OK);
    Outcome open = Open(c, q, RVOO_INPUT_SHARED, &o);
    EXPECT_EQ(open.reason, RVRC_UNEXPECTED_ERROR) << k.what;
    EXPECT_NE(std::string(RVErrorText()).find("control file of " + q + " is not a regular file"),
              std::string::npos)
        << RVErrorText();
    Disconnect(&c);
    // Once it is gone, it is made afresh and nothing was lost.
    std::filesystem::remove(control);
    EXPECT_EQ(Drain("QM1", q), std::vector<std::string>{"kept"}) << k.what;
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

TEST_F(QueueStoreTest, QueueOfTheFirstLayoutIsReadInOrder) {
  DefineQueue("QM1", "OLD");
  PutAll("OLD", {"first", "second", "third"});
  // The first layout: a counter file "seq" and the expiry in each name.
  const std::string dir = Folder("OLD");
  ASSERT_EQ(::unlink((dir + "/control").c_str()), 0);
  WriteWholeFile(dir + "/seq", std::string(8, '\0'));
  for (const auto& n : FilesIn(QueueFolder("QM1", "OLD") + "/msg")) {
    ASSERT_EQ(
        ::rename((dir + "/msg/" + n).c_str(), (dir + "/msg/" + n + "-0000000000000000").c_str()),
        0);
  }
  EXPECT_EQ(Depth("QM1", "OLD"), 3);
  EXPECT_EQ(Drain("QM1", "OLD"), (std::vector<std::string>{"first", "second", "third"}));
}

}  // namespace
