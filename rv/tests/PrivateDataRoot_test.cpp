// A data root, queue manager folder or queue folder that another user owns or may write is
// refused, with a text that says why and how to fix it; a symbolic link to a data root is
// followed only to a folder that passes the same checks. The cases that need a second user
// run when the test runs as root (the folder is given to "nobody", and a child process
// becomes "nobody"); they are skipped otherwise.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "ProcessRunner.h"
#include "RvTestSupport.h"
#include "rvadmin.h"

using namespace rvtest;

namespace {

constexpr uid_t kNobody = 65534;

class PrivateDataRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = FreshDataRoot("private");
    CreateQueueManager("QM1");
    DefineQueue("QM1", "Q1");
  }
  // The outcome of a connect and an open for input, and the error text of the one that failed.
  std::pair<RVLONG, std::string> Use() {
    RVHCONN c;
    Outcome o = Connect("QM1", &c);
    if (o.cc == RVCC_FAILED) return {o.reason, RVErrorText()};
    RVHOBJ h;
    o = Open(c, "Q1", RVOO_INPUT_SHARED, &h);
    std::string text = RVErrorText();
    if (o.cc == RVCC_OK) Close(c, &h);
    Disconnect(&c);
    return {o.reason, text};
  }
  std::string root;
};

TEST_F(PrivateDataRootTest, FolderThatOthersMayWriteIsRefusedWithTheFix) {
  for (const char* folder : {"", "/qmgrs/QM1", "/qmgrs/QM1/queues/Q1"}) {
    const std::string path = root + folder;
    for (mode_t mode : {0777, 0720}) {
      ASSERT_EQ(::chmod(path.c_str(), mode), 0);
      auto [reason, text] = Use();
      EXPECT_EQ(reason, RVRC_NOT_AUTHORIZED) << path;
      EXPECT_NE(text.find("may be written by other users"), std::string::npos) << text;
      EXPECT_NE(text.find("chmod go-w " + path), std::string::npos) << text;
    }
    ASSERT_EQ(::chmod(path.c_str(), 0700), 0);
    EXPECT_EQ(Use().first, RVRC_NONE) << path;
  }
}

TEST_F(PrivateDataRootTest, LinkedDataRootIsFollowedOnlyToAPrivateFolder) {
  const std::string link = MakeTempDir("rv-link") + "/root";
  ASSERT_EQ(::symlink(root.c_str(), link.c_str()), 0);
  ::setenv("RV_DATA_DIR", link.c_str(), 1);
  EXPECT_EQ(Use().first, RVRC_NONE);
  ASSERT_EQ(::chmod(root.c_str(), 0777), 0);
  auto [reason, text] = Use();
  EXPECT_EQ(reason, RVRC_NOT_AUTHORIZED);
  EXPECT_NE(text.find("the data folder " + link + " may be written by other users (mode 0777)"),
            std::string::npos)
      << text;
  ::chmod(root.c_str(), 0700);
}

TEST_F(PrivateDataRootTest, FolderOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  ASSERT_EQ(::chown(root.c_str(), kNobody, kNobody), 0);
  auto [reason, text] = Use();
  EXPECT_EQ(reason, RVRC_NOT_AUTHORIZED);
  EXPECT_NE(text.find("belongs to user nobody (uid 65534), not to you"), std::string::npos) << text;
  ASSERT_EQ(::chown(root.c_str(), 0, 0), 0);
  EXPECT_EQ(Use().first, RVRC_NONE);
}

TEST_F(PrivateDataRootTest, AnotherUserCannotUseThisUsersDataRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "becoming another user needs root";
  // Let the other user reach the folder at all: the refusal must be ours, not the system's.
  ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
  for (std::string dir = root; dir.size() > 1; dir = dir.substr(0, dir.rfind('/'))) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0 && (st.st_mode & 0005) != 0005) {
      ASSERT_EQ(::chmod(dir.c_str(), st.st_mode | 0005), 0);
    }
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(100);
    RVHCONN c;
    Outcome o = Connect("QM1", &c);
    ::_exit(o.reason == RVRC_NOT_AUTHORIZED &&
                    std::string(RVErrorText()).find("belongs to user root (uid 0)") !=
                        std::string::npos
                ? 0
                : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 100) << "cannot become nobody";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "nobody was not refused with the owner's name";
}

}  // namespace
