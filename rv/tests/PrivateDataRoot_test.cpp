// A data root, queue manager folder or queue folder that another user owns or may write is
// refused, with a text that says why and how to fix it; a symbolic link to a data root is
// followed only to a folder that passes the same checks, and only when no other user could
// change the link. The cases that need a second user run when the test runs as root (a folder
// or link is given to "nobody", and a child process becomes "nobody"); they are skipped
// otherwise.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
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

TEST_F(PrivateDataRootTest, LinkThatAnotherUserCouldChangeIsNotFollowed) {
  const bool asRoot = ::geteuid() == 0;
  const std::string parent = root.substr(0, root.rfind('/'));
  struct Case {
    const char* what;
    uid_t linkOwner;
    uid_t folderOwner;
    mode_t folderMode;
    bool onTheWay;        // the link stands for the folder that holds the data root
    const char* refusal;  // expected in the text; null: the link is followed
  } cases[] = {
      {"own link in own folder", 0, 0, 0700, false, nullptr},
      {"own link in a shared folder with the sticky bit", 0, 0, 01777, false, nullptr},
      {"own link in a folder that others may write", 0, 0, 0777, false,
       "which other users may write (mode 0777): they could replace the link"},
      {"link of another user", kNobody, 0, 0755, false,
       "which belongs to user nobody (uid 65534), not to you"},
      {"own link in the folder of another user", 0, kNobody, 0755, false,
       "of user nobody (uid 65534), not yours (root (uid 0)) or root's"},
      {"link of another user on the way", kNobody, 0, 0755, true,
       "which belongs to user nobody (uid 65534), not to you"},
  };
  for (const Case& c : cases) {
    if (!asRoot && (c.linkOwner != 0 || c.folderOwner != 0)) continue;
    const std::string folder = MakeTempDir("rv-link");
    const std::string link = folder + "/link";
    const std::string target = c.onTheWay ? parent : root;
    const std::string dataRoot = c.onTheWay ? link + "/data" : link;
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    const uid_t self = ::geteuid();
    ASSERT_EQ(::lchown(link.c_str(), c.linkOwner == 0 ? self : c.linkOwner, -1), 0);
    ASSERT_EQ(::chown(folder.c_str(), c.folderOwner == 0 ? self : c.folderOwner, -1), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);
    ::setenv("RV_DATA_DIR", dataRoot.c_str(), 1);
    auto [reason, text] = Use();
    if (c.refusal == nullptr) {
      EXPECT_EQ(reason, RVRC_NONE) << c.what << ": " << text;
      continue;
    }
    EXPECT_EQ(reason, RVRC_NOT_AUTHORIZED) << c.what;
    EXPECT_NE(text.find("the data folder " + dataRoot + " is reached through the symbolic link " +
                        link + ", which "),
              std::string::npos)
        << c.what << ": " << text;
    EXPECT_NE(text.find(c.refusal), std::string::npos) << c.what << ": " << text;
    if (c.folderOwner != 0 || (c.folderMode & 022) != 0) {
      EXPECT_NE(text.find("is in the folder " + folder), std::string::npos) << c.what;
    }
    if ((c.folderMode & 022) != 0) {
      EXPECT_NE(text.find("chmod go-w " + folder + ","), std::string::npos) << c.what;
    }
    EXPECT_NE(text.find("set RV_DATA_DIR to a path without the link"), std::string::npos)
        << c.what << ": " << text;
  }
  if (!asRoot) GTEST_SKIP() << "links and folders of another user need root; the others passed";
}

TEST_F(PrivateDataRootTest, AnotherUserCannotUseThisUsersDataRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "becoming another user needs root";
  // TMPDIR may lie in a home folder that the other user cannot enter, and the refusal must be
  // ours, not the system's: the data root goes into a folder of this test's own under /tmp,
  // which the other user may enter, and the folder goes at the end.
  struct stat tmp;
  if (::stat("/tmp", &tmp) != 0 || (tmp.st_mode & S_IXOTH) == 0) {
    GTEST_SKIP() << "other users cannot enter /tmp";
  }
  struct Folder {
    std::string path = "/tmp/rv-other-user-XXXXXX";
    ~Folder() {
      std::error_code ec;
      if (path.back() != 'X') std::filesystem::remove_all(path, ec);
    }
  } shared;
  ASSERT_NE(::mkdtemp(shared.path.data()), nullptr) << std::strerror(errno);
  ASSERT_EQ(::chmod(shared.path.c_str(), 0711), 0);
  const std::string data = shared.path + "/data";
  ::setenv("RV_DATA_DIR", data.c_str(), 1);
  CreateQueueManager("QM1");
  ASSERT_EQ(::chmod(data.c_str(), 0755), 0);
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
