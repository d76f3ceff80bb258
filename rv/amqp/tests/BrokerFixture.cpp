#include "BrokerFixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "AmqpSettings.h"
#include "DataRoot.h"
#include "ProcessRunner.h"
#include "SmallFile.h"
#include "rvadmin.h"

namespace rv {

std::string BrokerFixture::BrokerDir() {
  const char* dir = std::getenv("PROBES_BROKER_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp/probes-broker";
}

namespace {

std::string Line(const std::string& file) {
  std::string text = ReadWholeFile(file);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

std::string BrokerFixture::BrokerUrl() {
  return Line(BrokerDir() + "/url");
}

std::string BrokerFixture::TlsUrl() {
  return Line(BrokerDir() + "/tls-url");
}

std::string BrokerFixture::TlsFile(const std::string& name) {
  return BrokerDir() + "/tls/" + name;
}

std::string BrokerFixture::Password() {
  std::string password;
  Status s = AmqpSettings::ReadPasswordFile(BrokerDir() + "/password", &password);
  return s.ok() ? password : std::string();
}

void BrokerFixture::SetUp() {
  ASSERT_FALSE(BrokerUrl().empty())
      << "no broker: run scripts/broker.sh start (looked in " << BrokerDir() << ")";
  _root = MakeTempDir("amqp-broker") + "/rv";
  ::setenv("RV_DATA_DIR", _root.c_str(), 1);
  MakeBrokerQm("QB", BrokerUrl(), Password());
  DataRoot root;
  ASSERT_TRUE(DataRoot::Open(false, &root).ok());
  DataRoot::QueueManagerDefinition definition;
  ASSERT_TRUE(root.OpenQueueManager("QB", &definition, &_qmDir).ok());
}

void BrokerFixture::TearDown() {
  if (!_qmDir.valid()) return;
  for (const std::string& q : _queues) {
    RVAdminClearQueue("QB", q.c_str(), nullptr);
    RVAdminUndefineQueue("QB", q.c_str());
  }
}

void BrokerFixture::MakeBrokerQm(const std::string& name, const std::string& url,
                                 const std::string& password,
                                 const std::map<std::string, std::string>& more) {
  DataRoot root;
  ASSERT_TRUE(DataRoot::Open(true, &root).ok());
  Status s = root.CreateQueueManager(name, false);
  ASSERT_TRUE(s.ok()) << s.message();
  DataRoot::QueueManagerDefinition definition;
  UniqueFd dir;
  ASSERT_TRUE(root.OpenQueueManager(name, &definition, &dir).ok());
  if (!password.empty()) {
    ASSERT_TRUE(AmqpSettings::WritePassword(dir.get(), password).ok());
  }
  std::map<std::string, std::string> settings = more;
  settings.insert({{"name", name}, {"backend", "amqp"}, {"url", url}});
  ASSERT_TRUE(SmallFile::WriteSettings(dir.get(), "qmgr.ini", settings).ok());
}

std::string BrokerFixture::NewQueue(const std::string& base) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = "t" + std::to_string(::getpid()) + "." + info->name();
  name = name.substr(0, 40 - std::min<size_t>(base.size(), 20)) + "." + base;
  RVAdminUndefineQueue("QB", name.c_str());
  EXPECT_EQ(RVAdminDefineQueue("QB", name.c_str(), -1, -1), RVRC_NONE) << RVErrorText();
  _queues.push_back(name);
  return name;
}

std::unique_ptr<AmqpSession> BrokerFixture::Raw() {
  AmqpSettings settings;
  EXPECT_TRUE(AmqpUrl::Parse(BrokerUrl(), &settings.url).ok());
  settings.password = Password();
  std::unique_ptr<AmqpSession> session;
  Status s = AmqpSession::Open(settings, AmqpSession::kConnectTimeout, &session);
  EXPECT_TRUE(s.ok()) << s.message();
  return session;
}

bool BrokerFixture::WaitForQueue(const std::string& queue,
                                 const std::function<bool(const amqp_queue_declare_ok_t&)>& done) {
  std::unique_ptr<AmqpSession> raw = Raw();
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (raw && std::chrono::steady_clock::now() < until) {
    amqp_channel_t ch = 0;
    if (!raw->TakeChannel(&ch).ok()) return false;
    amqp_queue_declare_ok_t* ok = amqp_queue_declare(
        raw->state(), ch, amqp_cstring_bytes(queue.c_str()), 1, 0, 0, 0, amqp_empty_table);
    if (!raw->Check(amqp_get_rpc_reply(raw->state()), ch, "declare").ok()) return false;
    if (done(*ok)) return true;
    raw->GiveBackChannel(ch);
    raw->ReleaseBuffers();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool BrokerFixture::WaitForConsumers(const std::string& queue, uint32_t count) {
  return WaitForQueue(queue,
                      [&](const amqp_queue_declare_ok_t& q) { return q.consumer_count == count; });
}

bool BrokerFixture::WaitForDepth(const std::string& queue, uint32_t count) {
  return WaitForQueue(queue,
                      [&](const amqp_queue_declare_ok_t& q) { return q.message_count == count; });
}

RvConnection::RvConnection(const std::string& qm) {
  RVCNO cno;
  RVInitCNO(&cno);
  RVLONG cc;
  RVCONNX(qm.c_str(), &cno, &_hconn, &cc, &_connectReason);
  _connected = cc != RVCC_FAILED;
}

RvConnection::~RvConnection() {
  Disconnect();
}

RVLONG RvConnection::Disconnect() {
  if (!_connected) return RVRC_NONE;
  _connected = false;
  RVLONG cc, rc;
  RVDISC(&_hconn, &cc, &rc);
  return rc;
}

RVLONG RvConnection::Open(const std::string& queue, RVLONG options, RVHOBJ* hobj) {
  RVOD od;
  RVInitOD(&od);
  std::memcpy(od.objectName, queue.data(), std::min(queue.size(), sizeof od.objectName));
  RVLONG cc, rc;
  RVOPEN(_hconn, &od, options, hobj, &cc, &rc);
  return rc;
}

RVLONG RvConnection::Close(RVHOBJ* hobj) {
  RVLONG cc, rc;
  RVCLOSE(_hconn, hobj, RVCO_NONE, &cc, &rc);
  return rc;
}

RVLONG RvConnection::Put(RVHOBJ hobj, const std::string& data, RVMD* md) {
  RVMD local;
  if (md == nullptr) {
    RVInitMD(&local);
    std::memcpy(local.format, RVFMT_STRING, 8);
    md = &local;
  }
  RVPMO pmo;
  RVInitPMO(&pmo);
  RVLONG cc, rc;
  RVPUT(_hconn, hobj, md, &pmo, static_cast<RVLONG>(data.size()), data.data(), &cc, &rc);
  return rc;
}

RVLONG RvConnection::Get(RVHOBJ hobj, RVLONG bufLen, std::string* data, RVMD* md, RVLONG* dataLen,
                         RVLONG options, RVLONG wait, RVLONG* compCode) {
  RVGMO gmo;
  RVInitGMO(&gmo);
  gmo.options = options;
  gmo.waitInterval = wait;
  gmo.matchOptions = RVMO_MATCH_MSG_ID | RVMO_MATCH_CORREL_ID;
  std::string buffer(static_cast<size_t>(bufLen), '\0');
  RVLONG cc, rc;
  RVGET(_hconn, hobj, md, &gmo, bufLen, buffer.data(), dataLen, &cc, &rc);
  if (compCode != nullptr) *compCode = cc;
  if (data != nullptr)
    data->assign(buffer.data(), std::min<RVLONG>(std::max<RVLONG>(*dataLen, 0), bufLen));
  return rc;
}

RVLONG RvConnection::Take(RVHOBJ hobj, std::string* data, RVMD* md, RVLONG wait) {
  RVMD local;
  if (md == nullptr) md = &local;
  RVInitMD(md);
  RVLONG length = 0;
  RVLONG options = RVGMO_NO_SYNCPOINT | (wait != 0 ? RVGMO_WAIT : 0);
  RVLONG rc = Get(hobj, 0, data, md, &length, options, wait);
  if (rc != RVRC_TRUNCATED_MSG_FAILED) return rc;
  md->encoding = RVENC_NATIVE;
  md->codedCharSetId = RVCCSI_Q_MGR;
  return Get(hobj, length, data, md, &length, options, wait);
}

}  // namespace rv
