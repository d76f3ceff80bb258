#include "AmqpSettings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ProcessRunner.h"
#include "SmallFile.h"
#include "UniqueFd.h"

namespace rv {
namespace {

class AmqpSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _dir = MakeTempDir("amqp-settings");
    _fd.Reset(::open(_dir.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(_fd.valid());
  }
  std::string _dir;
  UniqueFd _fd;
};

TEST_F(AmqpSettingsTest, PasswordFileTakesOneLine) {
  struct Case {
    std::string content;
    bool ok;
    const char* password;
  };
  const Case cases[] = {
      {"s3cret\n", true, "s3cret"},
      {"s3cret", true, "s3cret"},
      {"s3cret\r\n", true, "s3cret"},
      {" with blanks \n", true, " with blanks "},
      {"", false, ""},
      {"\n", false, ""},
      {"one\ntwo\n", false, ""},
      {std::string("nul\0x", 5), false, ""},
      {std::string(1024, 'p'), true, nullptr},
      {std::string(1025, 'p'), false, ""},
      {std::string(100000, 'p'), false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 20));
    std::string path = _dir + "/pw";
    WriteWholeFile(path, c.content);
    std::string password;
    Status s = AmqpSettings::ReadPasswordFile(path, &password);
    EXPECT_EQ(s.ok(), c.ok) << s.message();
    if (!c.ok) {
      EXPECT_EQ(s.reason(), RVRC_OPTIONS_ERROR);
    } else if (c.password != nullptr) {
      EXPECT_EQ(password, c.password);
    }
  }
  std::string password;
  EXPECT_FALSE(AmqpSettings::ReadPasswordFile(_dir + "/missing", &password).ok());
}

TEST_F(AmqpSettingsTest, StoredPasswordIsPrivateAndReadBack) {
  ASSERT_TRUE(SmallFile::WriteSettings(
                  _fd.get(), "qmgr.ini",
                  {{"name", "QB"}, {"backend", "amqp"}, {"url", "amqp://probes@127.0.0.1:5679/t"}})
                  .ok());
  AmqpSettings settings;
  Status s = AmqpSettings::Read(_fd.get(), "QB", &settings);
  EXPECT_EQ(s.reason(), RVRC_Q_MGR_NOT_AVAILABLE);
  EXPECT_NE(s.message().find("password"), std::string::npos) << s.message();

  ::umask(0);
  ASSERT_TRUE(AmqpSettings::WritePassword(_fd.get(), "pa ss").ok());
  ::umask(022);
  struct stat st;
  ASSERT_EQ(::stat((_dir + "/password").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  s = AmqpSettings::Read(_fd.get(), "QB", &settings);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(settings.password, "pa ss");
  EXPECT_EQ(settings.url.port(), 5679);
  EXPECT_EQ(settings.url.vhost(), "t");
}

TEST_F(AmqpSettingsTest, MalformedUrlMakesTheQueueManagerUnavailable) {
  ASSERT_TRUE(AmqpSettings::WritePassword(_fd.get(), "x").ok());
  for (const char* url : {"", "amqp://u:p@h/v", "nonsense"}) {
    ASSERT_TRUE(SmallFile::WriteSettings(_fd.get(), "qmgr.ini",
                                         {{"name", "QB"}, {"backend", "amqp"}, {"url", url}})
                    .ok());
    AmqpSettings settings;
    Status s = AmqpSettings::Read(_fd.get(), "QB", &settings);
    EXPECT_EQ(s.reason(), RVRC_Q_MGR_NOT_AVAILABLE) << url;
    EXPECT_NE(s.message().find("URL"), std::string::npos) << s.message();
  }
}

TEST_F(AmqpSettingsTest, NewQueueManagerSettingsThatDoNotGoTogetherAreRefused) {
  const std::string pw = _dir + "/pw";
  WriteWholeFile(pw, "pw\n");
  const std::string tls = "amqps://u@h/v";
  using Settings = std::map<std::string, std::string>;
  struct Case {
    Settings settings;
    const char* error;  // in the message
  };
  const Case cases[] = {
      {{{"password-file", pw}}, "needs the setting url"},
      {{{"url", tls}}, "needs the setting password-file (or a client certificate"},
      {{{"url", tls}, {"password-file", pw}, {"password", "x"}}, "either"},
      {{{"url", tls}, {"password", ""}}, "the password is empty"},
      {{{"url", "amqp://u@h/v"}, {"password-file", pw}, {"tls-ca-file", pw}}, "amqps://"},
      {{{"url", tls}, {"tls-cert-file", pw}}, "needs both tls-cert-file and tls-key-file"},
      {{{"url", tls}, {"password-file", pw}, {"tls-verify", "maybe"}}, "\"yes\" or \"no\""},
      {{{"url", tls}, {"password-file", pw}, {"tls-ca-file", _dir + "/none"}}, "cannot read"},
      {{{"url", tls}, {"password-file", pw}, {"colour", "red"}}, "\"colour\" is not one"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    Settings definition;
    std::string password;
    Status s = AmqpSettings::Configure(c.settings, &definition, &password);
    EXPECT_EQ(s.reason(), RVRC_OPTIONS_ERROR);
    EXPECT_NE(s.message().find(c.error), std::string::npos) << s.message();
  }
}

TEST_F(AmqpSettingsTest, TlsSettingsAreKeptByPathAndDescribedWithoutThePassword) {
  WriteWholeFile(_dir + "/ca.pem", "ca");
  WriteWholeFile(_dir + "/cert.pem", "cert");
  WriteWholeFile(_dir + "/key.pem", "key");
  std::map<std::string, std::string> definition;
  std::string password;
  ASSERT_EQ(::chdir(_dir.c_str()), 0);
  Status s = AmqpSettings::Configure({{"url", "amqps://u@h1,h2:5700/v"},
                                      {"password", "s3cret\n"},
                                      {"tls-ca-file", "ca.pem"},
                                      {"tls-cert-file", _dir + "/cert.pem"},
                                      {"tls-key-file", "key.pem"}},
                                     &definition, &password);
  ASSERT_TRUE(s.ok()) << s.message();
  EXPECT_EQ(password, "s3cret");
  EXPECT_EQ(definition, (std::map<std::string, std::string>{{"url", "amqps://u@h1:5671,h2:5700/v"},
                                                            {"tls-ca-file", _dir + "/ca.pem"},
                                                            {"tls-cert-file", _dir + "/cert.pem"},
                                                            {"tls-key-file", _dir + "/key.pem"}}));

  definition["name"] = "QB";
  ASSERT_TRUE(SmallFile::WriteSettings(_fd.get(), "qmgr.ini", definition).ok());
  AmqpSettings settings;
  s = AmqpSettings::Read(_fd.get(), "QB", &settings);
  ASSERT_TRUE(s.ok()) << s.message() << " (a client certificate needs no password)";
  EXPECT_TRUE(settings.external());
  EXPECT_TRUE(settings.tls.verify);
  ASSERT_TRUE(AmqpSettings::WritePassword(_fd.get(), password).ok());
  ASSERT_TRUE(AmqpSettings::Read(_fd.get(), "QB", &settings).ok());
  EXPECT_FALSE(settings.external()) << "a password logs in with it, over the client certificate";
  const std::vector<std::pair<std::string, std::string>> described = {
      {"url", "amqps://u@h1:5671,h2:5700/v"},
      {"tls",
       "on, the broker's certificate and host name are verified against " + _dir + "/ca.pem"},
      {"client certificate", _dir + "/cert.pem"},
      {"client key", _dir + "/key.pem"},
      {"login", "PLAIN as u, with the password kept in the queue manager's folder"}};
  EXPECT_EQ(settings.Describe(), described);

  // A new password replaces the stored one; nothing else may change that way.
  ASSERT_TRUE(AmqpSettings::ChangePassword(_fd.get(), {{"password", "new"}}).ok());
  EXPECT_EQ(ReadWholeFile(_dir + "/password"), "new\n");
  EXPECT_EQ(AmqpSettings::ChangePassword(_fd.get(), {{"url", "amqp://x@y/z"}}).reason(),
            RVRC_OPTIONS_ERROR);
  EXPECT_EQ(AmqpSettings::ChangePassword(_fd.get(), {}).reason(), RVRC_OPTIONS_ERROR);
  EXPECT_EQ(ReadWholeFile(_dir + "/password"), "new\n");
}

}  // namespace
}  // namespace rv
