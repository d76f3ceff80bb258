// rvqm end to end: the built program run with a private RV_DATA_DIR, its standard output,
// standard error and exit status compared byte for byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "MemoryWarning.h"
#include "ProcessRunner.h"

namespace {

class RvqmTest : public ::testing::Test {
 protected:
  void SetUp() override { root = MakeTempDir("rvqm") + "/data"; }
  ProcessResult Rvqm(std::vector<std::string> args, const std::string& input = "") {
    ProcessRunner r(RVQM_PATH, std::move(args));
    r.Env("RV_DATA_DIR", root).Input(input).Timeout(std::chrono::seconds(30));
    return r.Run();
  }
  void Ok(std::vector<std::string> args, const std::string& input = "") {
    ProcessResult r = Rvqm(args, input);
    ASSERT_EQ(r.status, 0) << args[0] << ": " << r.err;
    ASSERT_EQ(r.err, args[0] == "create" ? MemoryWarning(root, args.at(1)) : "") << args[0];
  }
  std::string root;
};

TEST_F(RvqmTest, MessagesRoundTripWithReplyToFields) {
  Ok({"create", "QM1", "--default"});
  Ok({"define", "QM1", "IN", "OUT", "--maxdepth", "10", "--maxmsgl=1000"});
  std::string bytes("<?xml version=\"1.0\"?>\n<a>\x01\x02 bin</a>\n", 36);
  Ok({"put", "QM1", "IN", "-", "--reply-to", "OUT", "--reply-to-qmgr", "QM1"}, bytes);
  Ok({"put", "QM1", "IN", "-"}, "second");

  ProcessResult list = Rvqm({"list", "QM1"});
  EXPECT_EQ(list.out, "IN         2       10       1000\nOUT        0       10       1000\n");
  EXPECT_EQ(Rvqm({"list"}).out, list.out) << "list without QM shows the default";

  ProcessResult browse = Rvqm({"browse", "QM1", "IN"});
  ASSERT_EQ(browse.status, 0) << browse.err;
  EXPECT_NE(browse.out.find("message 1\n"), std::string::npos);
  EXPECT_NE(browse.out.find("  format          \"RVSTR\"\n"), std::string::npos) << browse.out;
  EXPECT_NE(browse.out.find("  replyToQ        \"OUT\"\n"), std::string::npos);
  EXPECT_NE(browse.out.find("  replyToQMgr     \"QM1\"\n"), std::string::npos);
  EXPECT_NE(browse.out.find("  length          36\n"), std::string::npos);
  EXPECT_NE(
      browse.out.find(
          "  00000000  3c 3f 78 6d 6c 20 76 65 72 73 69 6f 6e 3d 22 31  |<?xml version=\"1|\n"),
      std::string::npos)
      << browse.out;
  EXPECT_NE(browse.out.find("|.0\"?>.<a>.. bin<|"), std::string::npos) << browse.out;
  EXPECT_NE(browse.out.find("message 2\n"), std::string::npos);
  EXPECT_EQ(Rvqm({"list", "QM1"}).out, list.out) << "browse removed something";

  ProcessResult get = Rvqm({"get", "QM1", "IN"});
  EXPECT_EQ(get.status, 0);
  EXPECT_EQ(get.out, bytes);
  EXPECT_EQ(Rvqm({"get", "QM1", "IN", "--wait", "100"}).out, "second");
  ProcessResult empty = Rvqm({"get", "QM1", "IN", "--wait", "50"});
  EXPECT_EQ(empty.status, 2);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(
      empty.err,
      "rvqm get: no message on IN: RVRC_NO_MSG_AVAILABLE: no message is available on the queue\n");
}

TEST_F(RvqmTest, PutFromFileClearUndefineDelete) {
  Ok({"create", "QM1"});
  Ok({"define", "QM1", "Q"});
  std::string file = MakeTempDir("rvqm-in") + "/msg.xml";
  WriteWholeFile(file, "from a file");
  Ok({"put", "QM1", "Q", file});
  Ok({"put", "QM1", "Q", file});
  ProcessResult r = Rvqm({"undefine", "QM1", "Q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err,
      "rvqm undefine: cannot undefine queue Q on QM1: queue Q holds 2 messages (clear it first, "
      "or use --force)\n");
  r = Rvqm({"delete", "QM1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "rvqm delete: cannot delete queue manager QM1: queue Q of QM1 holds 2 messages (use "
            "--force to delete anyway)\n");
  Ok({"clear", "QM1", "Q"});
  EXPECT_EQ(Rvqm({"list", "QM1"}).out, "Q        0    50000  104857600\n");
  Ok({"undefine", "QM1", "Q"});
  EXPECT_EQ(Rvqm({"list", "QM1"}).out, "");
  Ok({"define", "QM1", "Q"});
  Ok({"put", "QM1", "Q", file});
  EXPECT_EQ(Rvqm({"delete", "QM1", "--force"}).out,
            "1 message was removed with queue manager QM1\n");
  r = Rvqm({"list", "QM1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "rvqm list: cannot open queue manager QM1: queue manager QM1 does not exist\n");
}

TEST_F(RvqmTest, QuiesceAndStart) {
  Ok({"create", "QM1"});
  Ok({"define", "QM1", "Q"});
  Ok({"quiesce", "QM1"});
  ProcessResult r = Rvqm({"put", "QM1", "Q", "-"}, "x");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("rvqm put: cannot connect to queue manager QM1: RVRC_Q_MGR_QUIESCING", 0),
            0u)
      << r.err;
  Ok({"start", "QM1"});
  Ok({"put", "QM1", "Q", "-"}, "x");
}

TEST_F(RvqmTest, DataFolderIsCreatedPrivate) {
  Ok({"create", "QM1"});
  struct stat st;
  ASSERT_EQ(::stat(root.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// Every put on a memory file system reports success, yet nothing of it survives a restart:
// create says so once, and the queue manager works all the same.
TEST_F(RvqmTest, CreateOnAMemoryFileSystemWarnsOnceAndWorks) {
  struct statfs fs;
  if (::statfs("/dev/shm", &fs) != 0 || fs.f_type != 0x01021994) {
    GTEST_SKIP() << "no memory file system at /dev/shm";
  }
  std::string folder = "/dev/shm/rvqm-memory-XXXXXX";
  ASSERT_NE(::mkdtemp(folder.data()), nullptr) << std::strerror(errno);
  struct Remove {
    std::string path;
    ~Remove() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  } remove{folder};
  root = folder + "/data";
  const std::string warning =
      "rvqm: warning: the data folder of QM1 is on a memory file system (tmpfs or ramfs): its "
      "queue managers and messages do not survive a restart\n";
  ProcessResult r = Rvqm({"create", "QM1", "--default"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, warning);
  r = Rvqm({"define", "QM1", "Q"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "") << "only create warns";
  ASSERT_EQ(Rvqm({"put", "QM1", "Q", "-"}, "in memory").status, 0);
  r = Rvqm({"get", "QM1", "Q"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "in memory");
  EXPECT_EQ(r.err, "");
}

TEST_F(RvqmTest, ReasonPrintsNameAndMeaning) {
  ProcessResult r = Rvqm({"reason", "2033"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "2033 RVRC_NO_MSG_AVAILABLE: no message is available on the queue\n");
  EXPECT_EQ(Rvqm({"reason", "7"}).out,
            "7 RVRC_UNKNOWN: this reason code is not known to the library\n");
}

TEST_F(RvqmTest, HelpForEveryCommand) {
  ProcessResult overview = Rvqm({"--help"});
  EXPECT_EQ(overview.status, 0);
  for (const char* c : {"create", "delete", "define", "undefine", "list", "show", "passwd",
                        "browse", "put", "get", "clear", "quiesce", "start", "reason"}) {
    ProcessResult r = Rvqm({c, "--help"});
    EXPECT_EQ(r.status, 0) << c;
    EXPECT_EQ(r.out.rfind(std::string("usage: rvqm ") + c, 0), 0u) << r.out;
    EXPECT_EQ(r.err, "") << c;
    EXPECT_NE(overview.out.find(std::string("  rvqm ") + c), std::string::npos) << c;
  }
}

TEST_F(RvqmTest, UserErrorsGoToStandardErrorWithStatus1) {
  Ok({"create", "QM1"});
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{}, "rvqm: a command is needed; \"rvqm --help\" lists them\n"},
      {{"frobnicate"}, "rvqm: unknown command \"frobnicate\"; \"rvqm --help\" lists them\n"},
      {{"create"},
       "rvqm create: too few arguments\nusage: rvqm create QM [--default] [--amqp URL "
       "--password-file FILE]\n"},
      {{"create", "QM1"},
       "rvqm create: cannot create queue manager QM1: queue manager QM1 already exists\n"},
      {{"create", "../evil"},
       "rvqm create: queue manager name \"../evil\" is not valid: use 1 to 48 characters from A-Z "
       "a-z 0-9 . _ / %, no empty, \".\" or \"..\" part between slashes and no %XX escape\n"},
      {{"define", "QM1", "Q", "--maxdepth", "lots"},
       "rvqm define: --maxdepth needs a whole number of at least 1, not \"lots\"\n"
       "usage: rvqm define QM QUEUE... [--maxdepth N] [--maxmsgl BYTES] [--type classic|quorum]\n"},
      {{"define", "QM1", "Q", "--colour", "red"},
       "rvqm define: unknown option --colour\nusage: rvqm define QM QUEUE... [--maxdepth N] "
       "[--maxmsgl BYTES] [--type classic|quorum]\n"},
      {{"define", "NOQM", "Q"},
       "rvqm define: cannot open queue manager NOQM: queue manager NOQM does not exist\n"},
      {{"get", "QM1", "NOQ"},
       "rvqm get: cannot open queue NOQ of QM1: RVRC_UNKNOWN_OBJECT_NAME: no queue of that name is "
       "defined (queue NOQ is not defined)\n"},
      {{"put", "QM1", "Q", "/no/such/file"},
       "rvqm put: cannot open /no/such/file: No such file or directory\n"},
      {{"get", "QM1", "Q", "--wait"},
       "rvqm get: --wait needs a value\nusage: rvqm get QM QUEUE [--wait MS]\n"},
      // Past 32 bits: refused, not read as -1 (no limit) or as a negative wait.
      {{"get", "QM1", "Q", "--wait", "4294967295"},
       "rvqm get: --wait is at most 2147483647\nusage: rvqm get QM QUEUE [--wait MS]\n"},
      {{"get", "QM1", "Q", "--wait", "3000000000"},
       "rvqm get: --wait is at most 2147483647\nusage: rvqm get QM QUEUE [--wait MS]\n"},
      {{"reason", "x"},
       "rvqm reason: CODE needs a whole number of at least 0, not \"x\"\nusage: rvqm reason "
       "CODE\n"},
  };
  for (const auto& k : cases) {
    ProcessResult r = Rvqm(k.args);
    EXPECT_EQ(r.status, 1) << k.err;
    EXPECT_EQ(r.out, "") << k.err;
    EXPECT_EQ(r.err, k.err);
  }
}

TEST_F(RvqmTest, VersionIsTheProjects) {
  ProcessResult r = Rvqm({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "rvqm " PROBES_VERSION "\n");
}

// A broker queue manager whose broker is down: enough to see what gets loaded.
class RvqmBrokerModuleTest : public RvqmTest {
 protected:
  void SetUp() override {
    RvqmTest::SetUp();
    passwordFile = MakeTempDir("rvqm-pw") + "/pw";
    WriteWholeFile(passwordFile, "secret\n");
    ::chmod(passwordFile.c_str(), 0600);
  }
  std::vector<std::string> CreateBroker(const std::string& qm) {
    return {"create", qm, "--amqp", "amqp://probes@127.0.0.1:1/v", "--password-file", passwordFile};
  }
  ProcessResult Run(std::vector<std::string> args, const std::string& name,
                    const std::string& value) {
    return ProcessRunner(RVQM_PATH, std::move(args))
        .Env("RV_DATA_DIR", root)
        .Env(name, value)
        .Timeout(std::chrono::seconds(30))
        .Run();
  }
  std::string passwordFile;
};

TEST_F(RvqmBrokerModuleTest, BrokerLibrariesAreLoadedOnlyForABrokerQueueManager) {
  Ok({"create", "QM1"});
  Ok(CreateBroker("QB"));
  ProcessResult embedded = Run({"list", "QM1"}, "LD_DEBUG", "files");
  EXPECT_EQ(embedded.status, 0) << embedded.err;
  EXPECT_EQ(embedded.err.find("librabbitmq"), std::string::npos);
  EXPECT_EQ(embedded.err.find("rvic-amqp.so"), std::string::npos);
  ProcessResult broker = Run({"list", "QB"}, "LD_DEBUG", "files");
  EXPECT_EQ(broker.status, 1);
  EXPECT_NE(broker.err.find("rvic-amqp.so"), std::string::npos);
  EXPECT_NE(broker.err.find("librabbitmq"), std::string::npos);
  EXPECT_NE(broker.err.find("rvqm list: cannot connect to queue manager QB: queue manager QB: "
                            "cannot reach the broker"),
            std::string::npos)
      << broker.err;
}

TEST_F(RvqmBrokerModuleTest, ModuleThatCannotBeLoadedIsNamedWithTheLoadersReason) {
  Ok(CreateBroker("QB"));
  const std::string empty = MakeTempDir("rvqm-no-module");
  const std::string module = empty + "/rvic-amqp.so";
  const std::string why = "backend \"amqp\" needs the module " + module +
                          " (from RV_MODULE_DIR), which cannot be loaded: " + module +
                          ": cannot open shared object file: No such file or directory";
  ProcessResult r = Run(CreateBroker("QB2"), "RV_MODULE_DIR", empty);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "rvqm create: cannot create queue manager QB2: " + why + "\n");
  r = Run({"get", "QB", "Q"}, "RV_MODULE_DIR", empty);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "rvqm get: cannot connect to queue manager QB: RVRC_Q_MGR_NOT_AVAILABLE: the queue "
            "manager does not exist or cannot be reached (queue manager QB: " +
                why + ")\n");
  EXPECT_EQ(Run({"delete", "QB", "--force"}, "RV_MODULE_DIR", empty).status, 0)
      << "a definition goes without its backend";
}

TEST_F(RvqmBrokerModuleTest, ShowAndPasswdNeverPrintThePassword) {
  Ok({"create", "QM1", "--default"});
  ProcessResult r = Rvqm({"show"});
  EXPECT_EQ(r.out,
            "queue manager  QM1\nbackend        embedded\ndefault        yes\nquiescing      no\n");
  r = Rvqm({"create", "QB", "--amqp", "amqps://probes@broker.example.org,10.0.0.2:5700/v",
            "--password-file", "-", "--insecure-skip-tls-verify"},
           "from stdin\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "rvqm: warning: the broker's certificate will not be verified: anyone between QB and "
            "the broker can read and change its traffic\n");
  EXPECT_EQ(ReadWholeFile(root + "/qmgrs/QB/password"), "from stdin\n");
  const std::string shown =
      "queue manager  QB\nbackend        amqp\ndefault        no\nquiescing      no\n"
      "url            amqps://probes@broker.example.org:5671,10.0.0.2:5700/v\n"
      "tls            on, the broker's certificate is NOT verified (insecure)\n"
      "login          PLAIN as probes, with the password kept in the queue manager's folder\n";
  EXPECT_EQ(Rvqm({"show", "QB"}).out, shown);

  Ok({"passwd", "QB"}, "changed\n");
  EXPECT_EQ(ReadWholeFile(root + "/qmgrs/QB/password"), "changed\n");
  ::chmod(passwordFile.c_str(), 0644);
  r = Rvqm({"passwd", "QB", "--password-file", passwordFile});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "rvqm: warning: password file " + passwordFile +
                       " is accessible by others (mode 0644); keep it to its owner: chmod 600 " +
                       passwordFile + "\n");
  EXPECT_EQ(ReadWholeFile(root + "/qmgrs/QB/password"), "secret\n");
  EXPECT_EQ(Rvqm({"show", "QB"}).out, shown);

  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string err;
  };
  const Case refused[] = {
      {{"passwd", "QB"},
       "",
       "rvqm passwd: cannot change queue manager QB: the password is empty\n"},
      {{"passwd", "QB"},
       "one\ntwo\n",
       "rvqm passwd: cannot change queue manager QB: the password must hold the password alone "
       "on one line\n"},
      {{"passwd", "QM1"},
       "pw\n",
       "rvqm passwd: cannot change queue manager QM1: queue manager QM1 of backend embedded has "
       "no settings to change\n"},
      {{"passwd", "NOQM"},
       "pw\n",
       "rvqm passwd: cannot open queue manager NOQM: queue manager NOQM does not exist\n"},
  };
  for (const Case& c : refused) {
    r = Rvqm(c.args, c.input);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(ReadWholeFile(root + "/qmgrs/QB/password"), "secret\n") << "a refusal changes nothing";
}

TEST_F(RvqmBrokerModuleTest, BrokerSettingsThatDoNotGoTogetherAreRefused) {
  Ok({"create", "QM1"});
  const std::string tls = "amqps://probes@127.0.0.1:1/v";
  const std::string plain = "amqp://probes@127.0.0.1:1/v";
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"create", "Q1", "--ca-file", passwordFile},
       "rvqm create: --ca-file needs --amqp\nusage: rvqm create QM [--default] [--amqp URL "
       "--password-file FILE]\n"},
      {{"create", "Q2", "--amqp", tls},
       "rvqm create: --amqp needs --password-file (or --cert-file and --key-file)\nusage: rvqm "
       "create QM [--default] [--amqp URL --password-file FILE]\n"},
      {{"create", "Q3", "--amqp", plain, "--password-file", passwordFile, "--ca-file",
        passwordFile},
       "rvqm create: cannot create queue manager Q3: setting tls-ca-file needs a broker URL that "
       "starts with amqps://\n"},
      {{"create", "Q6", "--amqp", "amqp://probes:secret@h/v", "--password-file", passwordFile},
       "rvqm create: cannot create queue manager Q6: broker URL \"amqp://probes:****@h/v\" holds "
       "a password; give the password in a file (--password-file)\n"},
      {{"define", "QM1", "Q", "--type", "quorum"},
       "rvqm define: queue type \"quorum\" is not available on QM1, whose queues are not on a "
       "broker\n"},
      {{"define", "QM1", "Q", "--type", "mirrored"},
       "rvqm define: --type is classic or quorum, not \"mirrored\"\nusage: rvqm define QM "
       "QUEUE... [--maxdepth N] [--maxmsgl BYTES] [--type classic|quorum]\n"},
  };
  for (const Case& c : cases) {
    ProcessResult r = Rvqm(c.args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
  // A client certificate alone logs in by itself; its files are kept by absolute path.
  const std::string dir = MakeTempDir("rvqm-tls");
  WriteWholeFile(dir + "/cert.pem", "certificate");
  WriteWholeFile(dir + "/key.pem", "key");
  ::chmod((dir + "/key.pem").c_str(), 0600);
  ProcessResult r = ProcessRunner(RVQM_PATH, {"create", "QC", "--amqp", tls, "--cert-file",
                                              "cert.pem", "--key-file", "key.pem"})
                        .Env("RV_DATA_DIR", root)
                        .Dir(dir)
                        .Run();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = Rvqm({"show", "QC"});
  EXPECT_NE(r.out.find("tls                 on, the broker's certificate and host name are "
                       "verified against the system's CA store\nclient certificate  " +
                       dir + "/cert.pem\nclient key          " + dir +
                       "/key.pem\nlogin               EXTERNAL, by the client certificate\n"),
            std::string::npos)
      << r.out;
}

TEST(RvqmNoRootTest, MissingDataFolderIsExplained) {
  std::string root = MakeTempDir("rvqm-none") + "/absent";
  ProcessResult r = ProcessRunner(RVQM_PATH, {"list", "QM1"}).Env("RV_DATA_DIR", root).Run();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "rvqm list: cannot use the data folder: the data folder " + root +
                       " does not exist (rvqm create makes it)\n");
}

}  // namespace
