// Connects to brokers that cannot serve: a closed port, and a listener that accepts and then
// says nothing. Neither needs a real broker; both must end with 2059 and never hang.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>

#include "AmqpConnection.h"
#include "AmqpSettings.h"
#include "ProcessRunner.h"
#include "SmallFile.h"

namespace rv {
namespace {

using Clock = std::chrono::steady_clock;

// A TCP socket on a free loopback port. With listen it accepts connections (into its backlog)
// and never answers; without, connects to its port are refused.
class Loopback {
 public:
  explicit Loopback(bool listen) {
    _fd.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(_fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t n = sizeof a;
    ::getsockname(_fd.get(), reinterpret_cast<sockaddr*>(&a), &n);
    _port = ntohs(a.sin_port);
    if (listen) {
      EXPECT_EQ(::listen(_fd.get(), 8), 0);
    }
  }
  int port() const { return _port; }

 private:
  UniqueFd _fd;
  int _port = 0;
};

class AmqpConnectTest : public ::testing::Test {
 protected:
  // Queue manager QB in a folder of its own that names the broker at port.
  QueueManagerDir Folder(int port) { return Folder("127.0.0.1:" + std::to_string(port)); }
  // The same for hosts, "HOST:PORT[,HOST:PORT...]".
  QueueManagerDir Folder(const std::string& hosts) {
    std::string dir = MakeTempDir("amqp-connect");
    auto fd = std::make_shared<UniqueFd>(::open(dir.c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_TRUE(SmallFile::WriteSettings(
                    fd->get(), "qmgr.ini",
                    {{"name", "QB"}, {"backend", "amqp"}, {"url", "amqp://probes@" + hosts + "/t"}})
                    .ok());
    EXPECT_TRUE(AmqpSettings::WritePassword(fd->get(), "pw").ok());
    return {"QB", fd};
  }
};

TEST_F(AmqpConnectTest, RefusedPortGivesNotAvailableAtOnce) {
  Loopback closed(false);
  std::unique_ptr<Connection> c;
  auto start = Clock::now();
  Status s = AmqpConnection::Connect(Folder(closed.port()), &c);
  EXPECT_EQ(s.reason(), RVRC_Q_MGR_NOT_AVAILABLE);
  EXPECT_NE(s.message().find("cannot reach"), std::string::npos) << s.message();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(c, nullptr);
}

TEST_F(AmqpConnectTest, SilentBrokerTimesOutAfterTheLimit) {
  Loopback silent(true);
  for (auto limit : {std::chrono::milliseconds(300), std::chrono::milliseconds(1500)}) {
    std::unique_ptr<Connection> c;
    auto start = Clock::now();
    Status s = AmqpConnection::Connect(Folder(silent.port()), &c, limit);
    auto took = Clock::now() - start;
    EXPECT_EQ(s.reason(), RVRC_Q_MGR_NOT_AVAILABLE) << s.message();
    EXPECT_NE(s.message().find("did not answer"), std::string::npos) << s.message();
    EXPECT_GE(took, limit - std::chrono::milliseconds(50));
    EXPECT_LT(took, limit + std::chrono::milliseconds(1000));
  }
}

TEST_F(AmqpConnectTest, EveryNodeOfTheUrlIsTriedAndNamedWhenNoneServes) {
  Loopback refused(false), silent(true);
  const std::string r = "127.0.0.1:" + std::to_string(refused.port());
  const std::string q = "127.0.0.1:" + std::to_string(silent.port());
  std::unique_ptr<Connection> c;
  auto start = Clock::now();
  Status s = AmqpConnection::Connect(Folder(r + "," + q), &c, std::chrono::milliseconds(1200));
  auto took = Clock::now() - start;
  EXPECT_EQ(s.reason(), RVRC_Q_MGR_NOT_AVAILABLE);
  const std::string expected = "queue manager QB: no node of the broker amqp://probes@" + r + "," +
                               q + "/t can be used: cannot reach the broker amqp://probes@" + r +
                               "/t: Connection refused; the broker amqp://probes@" + q +
                               "/t did not answer the login within 1.";  // 1.2 s, or nearly
  EXPECT_EQ(s.message().substr(0, expected.size()), expected);
  // The refusing node costs nothing, so the silent one had nearly the whole limit.
  EXPECT_GE(took, std::chrono::milliseconds(1100));
  EXPECT_LT(took, std::chrono::milliseconds(2200));
}

TEST_F(AmqpConnectTest, SilentBrokerTimesOutAfterTenSecondsByDefault) {
  Loopback silent(true);
  std::unique_ptr<Connection> c;
  auto start = Clock::now();
  Status s = AmqpConnection::Connect(Folder(silent.port()), &c);
  auto took = Clock::now() - start;
  EXPECT_EQ(s.reason(), RVRC_Q_MGR_NOT_AVAILABLE) << s.message();
  EXPECT_GE(took, std::chrono::milliseconds(9900));
  EXPECT_LT(took, std::chrono::seconds(12));
}

}  // namespace
}  // namespace rv
