// The broker going away, and a queue deleted, under a getter that waits: the wait ends at once
// with a reason and a text, and no message is lost. The broker is taken away by a relay between
// the queue manager and the private broker, which drops the connections as a crashed broker or
// a broken network does, or first says connection.close 320 as a broker that stops does.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "BrokerFixture.h"
#include "rvadmin.h"

namespace rv {
namespace {

using Clock = std::chrono::steady_clock;

// A TCP relay on a loopback port of its own to the broker's port: every connection accepted is
// paired with one to the broker, and bytes go both ways until Drop ends all pairs.
class BrokerRelay {
 public:
  explicit BrokerRelay(int brokerPort) : _brokerPort(brokerPort) {
    _listen.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(0);
    EXPECT_EQ(::bind(_listen.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(_listen.get(), 8), 0);
    socklen_t n = sizeof a;
    ::getsockname(_listen.get(), reinterpret_cast<sockaddr*>(&a), &n);
    _port = ntohs(a.sin_port);
    EXPECT_EQ(::pipe2(_wake, O_CLOEXEC), 0);
    _thread = std::thread([this] { Run(); });
  }
  ~BrokerRelay() {
    Command('q');
    _thread.join();
    ::close(_wake[0]);
    ::close(_wake[1]);
  }
  int port() const { return _port; }
  // Ends every connection; politely: after a connection.close 320 to the client, as a broker
  // that shuts down sends. Returns once they are closed.
  void Drop(bool politely) { Command(politely ? 'p' : 'c'); }

 private:
  static sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
  }
  // connection.close (class 10, method 50) with reply code 320, as one frame on channel 0.
  static std::string CloseFrame() {
    const std::string text =
        "CONNECTION_FORCED - broker forced connection closure with reason "
        "'shutdown'";
    std::string payload;
    auto u16 = [&](int v) {
      payload.push_back(static_cast<char>(v >> 8));
      payload.push_back(static_cast<char>(v & 0xff));
    };
    u16(10);
    u16(50);
    u16(320);
    payload.push_back(static_cast<char>(text.size()));
    payload += text;
    u16(0);
    u16(0);
    std::string frame = {1, 0, 0};
    for (int shift = 24; shift >= 0; shift -= 8) {
      frame.push_back(static_cast<char>((payload.size() >> shift) & 0xff));
    }
    return frame + payload + static_cast<char>(0xce);
  }
  void Command(char c) {
    std::unique_lock<std::mutex> lock(_mutex);
    _done = false;
    ASSERT_EQ(::write(_wake[1], &c, 1), 1);
    _doneChanged.wait(lock, [this] { return _done; });
  }
  void Finish() {
    std::lock_guard<std::mutex> lock(_mutex);
    _done = true;
    _doneChanged.notify_all();
  }
  void Run() {
    std::vector<std::pair<UniqueFd, UniqueFd>> pairs;  // client, broker
    for (;;) {
      std::vector<pollfd> fds = {{_listen.get(), POLLIN, 0}, {_wake[0], POLLIN, 0}};
      for (auto& [client, broker] : pairs) {
        fds.push_back({client.get(), POLLIN, 0});
        fds.push_back({broker.get(), POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[1].revents != 0) {
        char c = 0;
        if (::read(_wake[0], &c, 1) != 1) continue;
        if (c == 'p') {
          const std::string frame = CloseFrame();
          for (auto& p : pairs) (void)!::write(p.first.get(), frame.data(), frame.size());
        }
        pairs.clear();
        Finish();
        if (c == 'q') return;
        continue;
      }
      if (fds[0].revents != 0) {
        UniqueFd client(::accept4(_listen.get(), nullptr, nullptr, SOCK_CLOEXEC));
        UniqueFd broker(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = Loopback(_brokerPort);
        if (client.valid() &&
            ::connect(broker.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
          pairs.emplace_back(std::move(client), std::move(broker));
        }
        continue;
      }
      for (size_t i = 0; i < pairs.size(); ++i) {
        for (int side = 0; side < 2; ++side) {
          if (fds[2 + 2 * i + side].revents == 0) continue;
          int from = side == 0 ? pairs[i].first.get() : pairs[i].second.get();
          int to = side == 0 ? pairs[i].second.get() : pairs[i].first.get();
          char buf[65536];
          ssize_t n = ::read(from, buf, sizeof buf);
          if (n <= 0 || ::write(to, buf, static_cast<size_t>(n)) != n) {
            pairs.erase(pairs.begin() + static_cast<std::ptrdiff_t>(i));
            goto next;  // the poll set no longer matches
          }
        }
      }
    next:;
    }
  }

  int _brokerPort;
  int _port = 0;
  UniqueFd _listen;
  int _wake[2] = {-1, -1};
  std::thread _thread;
  std::mutex _mutex;
  std::condition_variable _doneChanged;
  bool _done = false;
};

class AmqpFaultsTest : public BrokerFixture {
 protected:
  // Queue manager RELAYED reaches the broker through a relay.
  void SetUp() override {
    BrokerFixture::SetUp();
    AmqpUrl url;
    ASSERT_TRUE(AmqpUrl::Parse(BrokerUrl(), &url).ok());
    _relay = std::make_unique<BrokerRelay>(url.port());
    std::string vhost = BrokerUrl().substr(BrokerUrl().rfind('/'));
    MakeBrokerQm("RELAYED",
                 "amqp://" + url.user() + "@127.0.0.1:" + std::to_string(_relay->port()) + vhost,
                 Password());
  }
  // A get without limit on queue through connection c, in a thread of its own; the outcome is
  // in reason, text and data once the thread ends.
  struct Getter {
    RVLONG reason = -1;
    std::string text, data;
    std::thread thread;
  };
  void StartGetter(RvConnection* c, RVHOBJ in, Getter* g) {
    g->thread = std::thread([c, in, g] {
      g->reason = c->Take(in, &g->data, nullptr, RVWI_UNLIMITED);
      g->text = RVErrorText();
    });
  }
  std::unique_ptr<BrokerRelay> _relay;
};

TEST_F(AmqpFaultsTest, WaitingGetEndsWith2009WhenTheBrokerGoesAway) {
  for (bool politely : {false, true}) {
    SCOPED_TRACE(politely ? "broker stops" : "connection drops");
    const std::string q = NewQueue(politely ? "stop" : "drop");
    RvConnection c("RELAYED");
    ASSERT_TRUE(c.connected()) << RVErrorText();
    RVHOBJ in;
    ASSERT_EQ(c.Open(q, RVOO_INPUT_AS_Q_DEF, &in), RVRC_NONE);
    Getter g;
    StartGetter(&c, in, &g);
    ASSERT_TRUE(WaitForConsumers(q, 1));
    const auto dropped = Clock::now();
    _relay->Drop(politely);
    g.thread.join();
    EXPECT_LT(Clock::now() - dropped, std::chrono::seconds(5));
    EXPECT_EQ(g.reason, RVRC_CONNECTION_BROKEN) << g.text;
    EXPECT_NE(g.text.find(politely ? "320 CONNECTION_FORCED" : "connection"), std::string::npos)
        << g.text;
    // A message put meanwhile waits for the next getter.
    RvConnection direct("QB");
    RVHOBJ out, in2;
    ASSERT_EQ(direct.Open(q, RVOO_OUTPUT, &out), RVRC_NONE);
    ASSERT_EQ(direct.Put(out, "for the next getter"), RVRC_NONE);
    ASSERT_EQ(direct.Open(q, RVOO_INPUT_AS_Q_DEF, &in2), RVRC_NONE);
    EXPECT_EQ(direct.Take(in2, &g.data), RVRC_NONE);
    EXPECT_EQ(g.data, "for the next getter");
  }
}

TEST_F(AmqpFaultsTest, DeliveredButUnacknowledgedMessageGoesBackWhenTheBrokerGoesAway) {
  const std::string q = NewQueue("held");
  RvConnection direct("QB");
  RVHOBJ out;
  ASSERT_EQ(direct.Open(q, RVOO_OUTPUT, &out), RVRC_NONE);
  ASSERT_EQ(direct.Put(out, "kept"), RVRC_NONE);
  RvConnection relayed("RELAYED");
  RVHOBJ held;
  ASSERT_EQ(relayed.Open(q, RVOO_INPUT_AS_Q_DEF, &held), RVRC_NONE);
  RVMD md;
  RVInitMD(&md);
  RVLONG length = 0;
  ASSERT_EQ(relayed.Get(held, 0, nullptr, &md, &length), RVRC_TRUNCATED_MSG_FAILED);
  _relay->Drop(false);
  std::string data;
  EXPECT_EQ(relayed.Take(held, &data), RVRC_CONNECTION_BROKEN);
  RVHOBJ in;
  ASSERT_EQ(direct.Open(q, RVOO_INPUT_AS_Q_DEF, &in), RVRC_NONE);
  EXPECT_EQ(direct.Take(in, &data, nullptr, 10000), RVRC_NONE);
  EXPECT_EQ(data, "kept");
}

TEST_F(AmqpFaultsTest, DeletedQueueEndsAWaitingGetWith2085) {
  const std::string q = NewQueue("deleted");
  RvConnection c("QB");
  RVHOBJ in;
  ASSERT_EQ(c.Open(q, RVOO_INPUT_AS_Q_DEF, &in), RVRC_NONE);
  Getter g;
  StartGetter(&c, in, &g);
  ASSERT_TRUE(WaitForConsumers(q, 1));
  ASSERT_EQ(RVAdminUndefineQueue("QB", q.c_str()), RVRC_NONE) << RVErrorText();
  g.thread.join();
  EXPECT_EQ(g.reason, RVRC_UNKNOWN_OBJECT_NAME);
  EXPECT_NE(g.text.find("queue " + q + " of queue manager QB was deleted on the broker"),
            std::string::npos)
      << g.text;
  // Defined again, the queue serves the same handle.
  ASSERT_EQ(RVAdminDefineQueue("QB", q.c_str(), -1, -1), RVRC_NONE) << RVErrorText();
  RVHOBJ out;
  ASSERT_EQ(c.Open(q, RVOO_OUTPUT, &out), RVRC_NONE);
  ASSERT_EQ(c.Put(out, "after the new definition"), RVRC_NONE);
  EXPECT_EQ(c.Take(in, &g.data, nullptr, 5000), RVRC_NONE);
  EXPECT_EQ(g.data, "after the new definition");
}

}  // namespace
}  // namespace rv
