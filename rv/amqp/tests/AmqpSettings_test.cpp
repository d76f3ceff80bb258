#include "AmqpSettings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

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

}  // namespace
}  // namespace rv
