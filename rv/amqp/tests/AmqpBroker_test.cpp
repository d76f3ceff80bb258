// The broker backend against a real rabbitmq-server (scripts/broker.sh start), through the six
// calls, as the queue tools use them.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "AmqpDescriptor.h"
#include "BrokerFixture.h"
#include "DataRoot.h"
#include "ProcessRunner.h"

namespace rv {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr RVLONG kIn = RVOO_INPUT_AS_Q_DEF;
constexpr RVLONG kOut = RVOO_OUTPUT;

class AmqpBrokerTest : public BrokerFixture {
 protected:
  // Runs the peer program; output to a file that the test reads.
  int StartPeer(std::vector<std::string> args, const std::string& out) {
    return ProcessRunner(RV_AMQP_PEER, std::move(args)).Env("RV_DATA_DIR", _root).Start(out);
  }
  static std::string WaitForLine(const std::string& file, const std::string& start) {
    auto until = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < until) {
      std::string text = ReadWholeFile(file);
      if (text.find(start) != std::string::npos) return text;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return "";
  }
};

TEST_F(AmqpBrokerTest, UnknownQueueGives2085AndTheConnectionGoesOn) {
  std::string q = NewQueue("known");
  RvConnection c("QB");
  ASSERT_TRUE(c.connected()) << RVReasonText(c.connectReason());
  for (RVLONG options : {kIn, kOut, kIn | kOut}) {
    RVHOBJ h;
    EXPECT_EQ(c.Open("no.such.queue", options, &h), RVRC_UNKNOWN_OBJECT_NAME);
  }
  RVHOBJ out, in;
  ASSERT_EQ(c.Open(q, kOut, &out), RVRC_NONE);
  ASSERT_EQ(c.Open(q, kIn, &in), RVRC_NONE);
  EXPECT_EQ(c.Put(out, "after the failed opens"), RVRC_NONE);
  std::string data;
  EXPECT_EQ(c.Take(in, &data), RVRC_NONE);
  EXPECT_EQ(data, "after the failed opens");
  EXPECT_EQ(c.Close(&in), RVRC_NONE);
  EXPECT_EQ(c.Close(&out), RVRC_NONE);
  EXPECT_EQ(c.Disconnect(), RVRC_NONE);
}

TEST_F(AmqpBrokerTest, TruncatedGetKeepsMessageForItsHandle) {
  std::string q = NewQueue("held");
  RvConnection c("QB"), rival("QB");
  RVHOBJ out, in, rin;
  ASSERT_EQ(c.Open(q, kOut, &out), RVRC_NONE);
  ASSERT_EQ(c.Open(q, kIn, &in), RVRC_NONE);
  ASSERT_EQ(rival.Open(q, kIn, &rin), RVRC_NONE);
  const std::string first(5000, 'a'), second = "second";
  ASSERT_EQ(c.Put(out, first), RVRC_NONE);
  ASSERT_EQ(c.Put(out, second), RVRC_NONE);

  RVMD md;
  RVInitMD(&md);
  RVLONG length = -7, cc = -1;
  std::string data;
  EXPECT_EQ(c.Get(in, 0, &data, &md, &length, RVGMO_NO_SYNCPOINT, 0, &cc),
            RVRC_TRUNCATED_MSG_FAILED);
  EXPECT_EQ(cc, RVCC_WARNING);
  EXPECT_EQ(length, 5000);
  EXPECT_EQ(std::string(md.format, 8), RVFMT_STRING);

  // The rival sees only the second message while the first is held.
  std::string other;
  EXPECT_EQ(rival.Take(rin, &other), RVRC_NONE);
  EXPECT_EQ(other, second);
  EXPECT_EQ(rival.Take(rin, &other), RVRC_NO_MSG_AVAILABLE);

  md.encoding = RVENC_NATIVE;
  md.codedCharSetId = RVCCSI_Q_MGR;
  EXPECT_EQ(c.Get(in, length, &data, &md, &length, RVGMO_NO_SYNCPOINT, 0, &cc), RVRC_NONE);
  EXPECT_EQ(cc, RVCC_OK);
  EXPECT_EQ(data, first);
  EXPECT_EQ(c.Take(in, &data), RVRC_NO_MSG_AVAILABLE);
  EXPECT_EQ(rival.Take(rin, &other), RVRC_NO_MSG_AVAILABLE);
}

TEST_F(AmqpBrokerTest, HeldMessageGoesBackWhenItsHolderLetsGoOrDies) {
  enum class Release { kClose, kDisconnect, kKill };
  for (Release how : {Release::kClose, Release::kDisconnect, Release::kKill}) {
    SCOPED_TRACE(static_cast<int>(how));
    std::string q = NewQueue("back" + std::to_string(static_cast<int>(how)));
    RvConnection putter("QB");
    RVHOBJ out;
    ASSERT_EQ(putter.Open(q, kOut, &out), RVRC_NONE);
    ASSERT_EQ(putter.Put(out, "one"), RVRC_NONE);
    ASSERT_EQ(putter.Put(out, "two"), RVRC_NONE);

    if (how == Release::kKill) {
      std::string file = MakeTempDir("peer") + "/out";
      int pid = StartPeer({"hold", "QB", q}, file);
      EXPECT_NE(WaitForLine(file, "held 3"), "");
      ::kill(pid, SIGKILL);
      ProcessRunner::Wait(pid);
    } else {
      RvConnection holder("QB");
      RVHOBJ in;
      ASSERT_EQ(holder.Open(q, kIn, &in), RVRC_NONE);
      RVMD md;
      RVInitMD(&md);
      RVLONG length = 0;
      ASSERT_EQ(holder.Get(in, 0, nullptr, &md, &length), RVRC_TRUNCATED_MSG_FAILED);
      if (how == Release::kClose) {
        EXPECT_EQ(holder.Close(&in), RVRC_NONE);
      } else {
        EXPECT_EQ(holder.Disconnect(), RVRC_NONE);
      }
    }
    RvConnection taker("QB");
    RVHOBJ in;
    ASSERT_EQ(taker.Open(q, kIn, &in), RVRC_NONE);
    std::string data;
    EXPECT_EQ(taker.Take(in, &data, nullptr, 5000), RVRC_NONE);
    EXPECT_EQ(data, "one");
    EXPECT_EQ(taker.Take(in, &data), RVRC_NONE);
    EXPECT_EQ(data, "two");
    EXPECT_EQ(taker.Take(in, &data), RVRC_NO_MSG_AVAILABLE);
  }
}

TEST_F(AmqpBrokerTest, DescriptorArrivesAsTheEmbeddedBackendGivesIt) {
  // The same puts through an embedded queue manager of the same name in a second data root.
  std::string q = NewQueue("md");
  const std::string brokerRoot = _root;
  const std::string embeddedRoot = MakeTempDir("amqp-embedded") + "/rv";
  ::setenv("RV_DATA_DIR", embeddedRoot.c_str(), 1);
  {
    DataRoot root;
    ASSERT_TRUE(DataRoot::Open(true, &root).ok());
    ASSERT_TRUE(root.CreateQueueManager("QB", false).ok());
  }
  ASSERT_EQ(0, ProcessRunner(RVQM_PROGRAM, {"define", "QB", q})
                   .Env("RV_DATA_DIR", embeddedRoot)
                   .Run()
                   .status);

  struct Case {
    const char* name;
    void (*set)(RVMD*);
  };
  const Case cases[] = {
      {"start values", [](RVMD*) {}},
      {"reply-to without queue manager", [](RVMD* md) { std::memcpy(md->replyToQ, "REPLY", 5); }},
      {"everything",
       [](RVMD* md) {
         md->report = 3;
         md->messageType = 1;
         md->expiry = 600000;
         md->feedback = 9;
         md->priority = 6;
         md->persistence = RVPER_NOT_PERSISTENT;
         std::memcpy(md->messageId, "ID-0123456789-abcdefghij", 24);
         std::memcpy(md->correlationId, "CORREL\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\1", 24);
         std::memcpy(md->replyToQ, "R.Q", 3);
         std::memcpy(md->replyToQMgr, "OTHER.QM", 8);
         std::memcpy(md->userIdentifier, "TEST", 4);
         std::memcpy(md->accountingToken, "\1\2\3\0\5", 5);
         std::memcpy(md->applIdentityData, "identity", 8);
         std::memcpy(md->applOriginData, "orig", 4);
         md->messageSequenceNumber = 4;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RVMD got[2];
    for (int i = 0; i < 2; ++i) {
      ::setenv("RV_DATA_DIR", i == 0 ? brokerRoot.c_str() : embeddedRoot.c_str(), 1);
      RvConnection conn("QB");
      ASSERT_TRUE(conn.connected()) << RVReasonText(conn.connectReason());
      RVHOBJ out, in;
      ASSERT_EQ(conn.Open(q, kOut, &out), RVRC_NONE);
      ASSERT_EQ(conn.Open(q, kIn, &in), RVRC_NONE);
      RVMD md;
      RVInitMD(&md);
      std::memcpy(md.format, RVFMT_STRING, 8);
      std::memcpy(md.messageId, "fixed message identifier", 24);
      c.set(&md);
      ASSERT_EQ(conn.Put(out, "payload", &md), RVRC_NONE);
      std::string data;
      ASSERT_EQ(conn.Take(in, &data, &got[i]), RVRC_NONE);
      EXPECT_EQ(data, "payload");
    }
    // The put time is the clock's at each put.
    std::memcpy(got[1].putDate, got[0].putDate, 8);
    std::memcpy(got[1].putTime, got[0].putTime, 8);
    if (got[0].expiry > 0) {
      EXPECT_NEAR(got[0].expiry, got[1].expiry, 20);
      got[1].expiry = got[0].expiry;
    }
    EXPECT_EQ(0, std::memcmp(&got[0], &got[1], sizeof(RVMD)))
        << AmqpDescriptor::ToHex(reinterpret_cast<RVBYTE*>(&got[0]), sizeof(RVMD)) << "\n"
        << AmqpDescriptor::ToHex(reinterpret_cast<RVBYTE*>(&got[1]), sizeof(RVMD));
  }
  ::setenv("RV_DATA_DIR", brokerRoot.c_str(), 1);
}

TEST_F(AmqpBrokerTest, PersistenceAndIdentifiersTravelAsAmqpProperties) {
  std::string q = NewQueue("props");
  RvConnection c("QB");
  RVHOBJ out, in;
  ASSERT_EQ(c.Open(q, kOut, &out), RVRC_NONE);
  ASSERT_EQ(c.Open(q, kIn, &in), RVRC_NONE);
  struct Case {
    RVLONG persistence;
    uint8_t deliveryMode;
  };
  const Case cases[] = {
      {RVPER_NOT_PERSISTENT, 1}, {RVPER_PERSISTENT, 2}, {RVPER_PERSISTENCE_AS_Q_DEF, 2}};
  std::unique_ptr<AmqpSession> raw = Raw();
  amqp_channel_t ch = 0;
  ASSERT_TRUE(raw->TakeChannel(&ch).ok());
  for (const Case& k : cases) {
    RVMD md;
    RVInitMD(&md);
    md.persistence = k.persistence;
    std::memcpy(md.correlationId, "correlation", 11);
    std::memcpy(md.replyToQ, "REPLY.Q", 7);
    ASSERT_EQ(c.Put(out, "x", &md), RVRC_NONE);
    amqp_rpc_reply_t r = amqp_basic_get(raw->state(), ch, amqp_cstring_bytes(q.c_str()), 1);
    ASSERT_TRUE(raw->Check(r, ch, "get").ok());
    ASSERT_EQ(r.reply.id, AMQP_BASIC_GET_OK_METHOD);
    amqp_message_t m;
    ASSERT_TRUE(raw->Check(amqp_read_message(raw->state(), ch, &m, 0), ch, "read").ok());
    auto text = [](amqp_bytes_t b) { return std::string(static_cast<char*>(b.bytes), b.len); };
    EXPECT_EQ(m.properties.delivery_mode, k.deliveryMode);
    EXPECT_EQ(text(m.properties.message_id), AmqpDescriptor::ToHex(md.messageId, 24));
    EXPECT_EQ(text(m.properties.correlation_id), "correlation") << "text travels as text";
    EXPECT_EQ(text(m.properties.reply_to), "REPLY.Q");
    EXPECT_EQ(text(m.body), "x");
    amqp_destroy_message(&m);
  }

  // A message from another AMQP client: the standard properties fill the descriptor.
  amqp_basic_properties_t p{};
  p._flags = AMQP_BASIC_DELIVERY_MODE_FLAG | AMQP_BASIC_REPLY_TO_FLAG | AMQP_BASIC_MESSAGE_ID_FLAG;
  p.delivery_mode = 2;
  p.reply_to = amqp_cstring_bytes("ANSWERS");
  p.message_id = amqp_cstring_bytes("42");
  ASSERT_EQ(amqp_basic_publish(raw->state(), ch, amqp_empty_bytes, amqp_cstring_bytes(q.c_str()), 0,
                               0, &p, amqp_cstring_bytes("foreign")),
            AMQP_STATUS_OK);
  RVMD md;
  std::string data;
  ASSERT_EQ(c.Take(in, &data, &md, 5000), RVRC_NONE);
  EXPECT_EQ(data, "foreign");
  EXPECT_EQ(std::string(md.replyToQ), "ANSWERS");
  EXPECT_EQ(md.persistence, RVPER_PERSISTENT);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(md.messageId), 3), std::string("42\0", 3));
}

TEST_F(AmqpBrokerTest, WaitsEndIn2033OrWakeOnAPut) {
  std::string q = NewQueue("wait");
  RvConnection c("QB");
  RVHOBJ in;
  ASSERT_EQ(c.Open(q, kIn, &in), RVRC_NONE);
  for (RVLONG wait : {0, 300, 1200}) {
    std::string data;
    auto start = Clock::now();
    EXPECT_EQ(c.Take(in, &data, nullptr, wait), RVRC_NO_MSG_AVAILABLE);
    auto took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(wait));
    EXPECT_LT(took, milliseconds(wait + 500));
  }
  Clock::time_point putAt;
  std::thread putter([&] {
    std::this_thread::sleep_for(milliseconds(400));
    RvConnection p("QB");
    RVHOBJ out;
    ASSERT_EQ(p.Open(q, kOut, &out), RVRC_NONE);
    putAt = Clock::now();
    EXPECT_EQ(p.Put(out, "wake up"), RVRC_NONE);
  });
  std::string data;
  EXPECT_EQ(c.Take(in, &data, nullptr, RVWI_UNLIMITED), RVRC_NONE);
  auto woke = Clock::now();
  putter.join();
  EXPECT_EQ(data, "wake up");
  EXPECT_LT(woke - putAt, milliseconds(500));
}

TEST_F(AmqpBrokerTest, QuiescingEndsAWaitThatAskedForIt) {
  std::string q = NewQueue("quiesce");
  RvConnection c("QB");
  RVHOBJ in;
  ASSERT_EQ(c.Open(q, kIn, &in), RVRC_NONE);
  std::thread quiescer([&] {
    std::this_thread::sleep_for(milliseconds(300));
    DataRoot root;
    ASSERT_TRUE(DataRoot::Open(false, &root).ok());
    ASSERT_TRUE(root.SetQuiescing("QB", true).ok());
  });
  RVMD md;
  RVInitMD(&md);
  RVLONG length = 0;
  auto start = Clock::now();
  EXPECT_EQ(c.Get(in, 100, nullptr, &md, &length,
                  RVGMO_WAIT | RVGMO_NO_SYNCPOINT | RVGMO_FAIL_IF_QUIESCING, RVWI_UNLIMITED),
            RVRC_Q_MGR_QUIESCING);
  EXPECT_LT(Clock::now() - start, milliseconds(2500));
  quiescer.join();
  RvConnection refused("QB");
  EXPECT_EQ(refused.connectReason(), RVRC_Q_MGR_QUIESCING);
}

TEST_F(AmqpBrokerTest, FiveMegabyteMessageArrivesWhole) {
  std::string q = NewQueue("big");
  std::string big(5 << 20, '\0');
  std::mt19937 random(7);
  for (char& ch : big) ch = static_cast<char>(random());
  RvConnection c("QB");
  RVHOBJ out, in;
  ASSERT_EQ(c.Open(q, kOut, &out), RVRC_NONE);
  ASSERT_EQ(c.Open(q, kIn, &in), RVRC_NONE);
  ASSERT_EQ(c.Put(out, big), RVRC_NONE);
  std::string data;
  ASSERT_EQ(c.Take(in, &data), RVRC_NONE);
  EXPECT_EQ(data.size(), big.size());
  EXPECT_TRUE(data == big);
}

TEST_F(AmqpBrokerTest, TwoPuttersAndTwoGettersLoseAndDuplicateNothing) {
  std::string q = NewQueue("load");
  constexpr int kEach = 1000;
  std::string dir = MakeTempDir("load");
  std::vector<int> getters, putters;
  for (int i = 0; i < 2; ++i) {
    getters.push_back(StartPeer({"get", "QB", q, "3000"}, dir + "/get" + std::to_string(i)));
  }
  for (int i = 0; i < 2; ++i) {
    putters.push_back(StartPeer({"put", "QB", q, "P" + std::to_string(i), std::to_string(kEach)},
                                dir + "/put" + std::to_string(i)));
  }
  for (int pid : putters) EXPECT_EQ(ProcessRunner::Wait(pid, std::chrono::seconds(90)).status, 0);
  std::multiset<std::string> all;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(ProcessRunner::Wait(getters[i], std::chrono::seconds(90)).status, 0);
    std::istringstream in(ReadWholeFile(dir + "/get" + std::to_string(i)));
    std::map<std::string, int> last;  // per putter, the last number this getter saw
    for (std::string line; std::getline(in, line);) {
      all.insert(line);
      std::string putter = line.substr(0, line.find('-'));
      int n = std::stoi(line.substr(line.find('-') + 1));
      EXPECT_GT(n, last.count(putter) ? last[putter] : -1) << "order broken at " << line;
      last[putter] = n;
    }
  }
  EXPECT_EQ(all.size(), 2u * kEach);
  for (int p = 0; p < 2; ++p) {
    for (int n = 0; n < kEach; ++n) {
      std::string m = "P" + std::to_string(p) + "-" + std::to_string(n);
      ASSERT_EQ(all.count(m), 1u) << m;
    }
  }
}

TEST_F(AmqpBrokerTest, PutToAQueueDeletedAfterOpenIsReturnedAs2085) {
  std::string q = NewQueue("gone");
  RvConnection c("QB");
  RVHOBJ out;
  ASSERT_EQ(c.Open(q, kOut, &out), RVRC_NONE);
  std::unique_ptr<AmqpSession> raw = Raw();
  amqp_channel_t ch = 0;
  ASSERT_TRUE(raw->TakeChannel(&ch).ok());
  amqp_queue_delete(raw->state(), ch, amqp_cstring_bytes(q.c_str()), 0, 0);
  ASSERT_TRUE(raw->Check(amqp_get_rpc_reply(raw->state()), ch, "delete").ok());
  EXPECT_EQ(c.Put(out, "nowhere"), RVRC_UNKNOWN_OBJECT_NAME);
  EXPECT_EQ(c.Put(out, "still nowhere"), RVRC_UNKNOWN_OBJECT_NAME);
  EXPECT_EQ(c.Close(&out), RVRC_NONE);
}

TEST_F(AmqpBrokerTest, ConnectFailuresGiveTheirReasons) {
  AmqpUrl url;
  ASSERT_TRUE(AmqpUrl::Parse(BrokerUrl(), &url).ok());
  std::string base = "amqp://" + url.user() + "@127.0.0.1:" + std::to_string(url.port()) + "/";
  struct Case {
    const char* qm;
    std::string url;
    std::string password;
    RVLONG reason;
  };
  const Case cases[] = {
      {"WRONG.PW", base + url.vhost(), "not the password", RVRC_NOT_AUTHORIZED},
      {"NO.RIGHTS", base + "%2f", Password(), RVRC_NOT_AUTHORIZED},
      {"NO.VHOST", base + "no-such-vhost", Password(), RVRC_Q_MGR_NOT_AVAILABLE},
      {"DOWN", "amqp://u@127.0.0.1:1/v", "pw", RVRC_Q_MGR_NOT_AVAILABLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.qm);
    MakeBrokerQm(c.qm, c.url, c.password);
    auto start = Clock::now();
    RvConnection conn(c.qm);
    EXPECT_FALSE(conn.connected());
    EXPECT_EQ(conn.connectReason(), c.reason);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  }
}

TEST_F(AmqpBrokerTest, BrowseShowsMessagesAndHandsThemBack) {
  std::string q = NewQueue("browse");
  RvConnection c("QB");
  RVHOBJ out, browse;
  ASSERT_EQ(c.Open(q, kOut, &out), RVRC_NONE);
  for (const char* m : {"m1", "m2-longer", "m3"}) ASSERT_EQ(c.Put(out, m), RVRC_NONE);
  ASSERT_EQ(c.Open(q, RVOO_BROWSE, &browse), RVRC_NONE);
  for (int round = 0; round < 2; ++round) {
    std::vector<std::string> seen;
    RVLONG option = RVGMO_BROWSE_FIRST;
    for (;;) {
      RVMD md;
      RVInitMD(&md);
      RVLONG length = 0;
      std::string data;
      RVLONG rc = c.Get(browse, 4, &data, &md, &length, option | RVGMO_NO_SYNCPOINT);
      if (rc == RVRC_TRUNCATED_MSG_FAILED) {
        rc = c.Get(browse, length, &data, &md, &length, RVGMO_BROWSE_NEXT | RVGMO_NO_SYNCPOINT);
      }
      if (rc != RVRC_NONE) {
        EXPECT_EQ(rc, RVRC_NO_MSG_AVAILABLE);
        break;
      }
      seen.push_back(data);
      option = RVGMO_BROWSE_NEXT;
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"m1", "m2-longer", "m3"})) << "round " << round;
  }
  EXPECT_EQ(c.Close(&browse), RVRC_NONE);
  RVHOBJ in;
  ASSERT_EQ(c.Open(q, kIn, &in), RVRC_NONE);
  for (const char* m : {"m1", "m2-longer", "m3"}) {
    std::string data;
    EXPECT_EQ(c.Take(in, &data), RVRC_NONE);
    EXPECT_EQ(data, m);
  }
}

TEST_F(AmqpBrokerTest, GetByCorrelationIdScansAndKeepsTheRest) {
  std::string q = NewQueue("match");
  RvConnection c("QB");
  RVHOBJ out, in;
  ASSERT_EQ(c.Open(q, kOut, &out), RVRC_NONE);
  ASSERT_EQ(c.Open(q, kIn, &in), RVRC_NONE);
  for (const char* m : {"a", "b", "c"}) {
    RVMD md;
    RVInitMD(&md);
    std::memcpy(md.correlationId, m, 1);
    ASSERT_EQ(c.Put(out, m, &md), RVRC_NONE);
  }
  RVMD md;
  RVInitMD(&md);
  std::memcpy(md.correlationId, "b", 1);
  RVLONG length = 0;
  std::string data;
  EXPECT_EQ(c.Get(in, 10, &data, &md, &length, RVGMO_NO_SYNCPOINT | RVGMO_WAIT, 100),
            RVRC_GMO_ERROR);
  EXPECT_EQ(c.Get(in, 10, &data, &md, &length), RVRC_NONE);
  EXPECT_EQ(data, "b");
  EXPECT_EQ(c.Get(in, 10, &data, &md, &length), RVRC_NO_MSG_AVAILABLE);
  for (const char* m : {"a", "c"}) {
    EXPECT_EQ(c.Take(in, &data), RVRC_NONE);
    EXPECT_EQ(data, m);
  }
}

}  // namespace
}  // namespace rv
