// BrokerFixture: the set-up that the broker tests share. scripts/broker.sh start runs a private
// rabbitmq-server on loopback and leaves its URLs (plain and TLS), the test user's password and
// the test certificates in PROBES_BROKER_DIR (default /tmp/probes-broker). Each test gets a data
// root of its own (RV_DATA_DIR) with queue manager QB defined on that broker, and queues whose
// names carry the test process's id, so tests may run in parallel; the queues are deleted
// afterwards. RvConnection wraps the six calls for the tests. One thread per object.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AmqpSession.h"
#include "UniqueFd.h"
#include "rvic.h"

namespace rv {

class BrokerFixture : public ::testing::Test {
 protected:
  static std::string BrokerDir();
  static std::string BrokerUrl();
  // amqps://probes@localhost:PORT/VHOST
  static std::string TlsUrl();
  // A file of the broker's tls/ folder: ca.pem, other-ca.pem, client.pem, client.key.
  static std::string TlsFile(const std::string& name);
  static std::string Password();

  void SetUp() override;
  void TearDown() override;

  // Defines queue manager name in the test's data root as a broker queue manager, with more
  // settings of its definition (the TLS ones) when given; no password file for an empty one.
  void MakeBrokerQm(const std::string& name, const std::string& url, const std::string& password,
                    const std::map<std::string, std::string>& more = {});
  // A new durable queue on the broker, unique to this process and test; deleted at the end.
  std::string NewQueue(const std::string& base);
  // A session of its own to the broker, for what the RV calls cannot do or see.
  std::unique_ptr<AmqpSession> Raw();
  // Waits until queue has count consumers (as many getters wait on it), or holds count ready
  // messages. False after 20 s.
  bool WaitForConsumers(const std::string& queue, uint32_t count);
  bool WaitForDepth(const std::string& queue, uint32_t count);

  // Waits until what the broker says of queue satisfies done; false after 20 s.
  bool WaitForQueue(const std::string& queue,
                    const std::function<bool(const amqp_queue_declare_ok_t&)>& done);

  std::string _root;  // the data root
  UniqueFd _qmDir;    // folder of QB
  std::vector<std::string> _queues;
};

// One connection through the C interface, with at most one open queue handle per Open call.
class RvConnection {
 public:
  explicit RvConnection(const std::string& qm);
  ~RvConnection();
  RVLONG connectReason() const { return _connectReason; }
  bool connected() const { return _connected; }

  // Opens queue; returns the reason code and sets *hobj.
  RVLONG Open(const std::string& queue, RVLONG options, RVHOBJ* hobj);
  RVLONG Close(RVHOBJ* hobj);
  RVLONG Disconnect();
  // Puts data with md (start values and format "RVSTR   " when null); returns the reason.
  RVLONG Put(RVHOBJ hobj, const std::string& data, RVMD* md = nullptr);
  // Gets into a buffer of bufLen bytes with the given get options and wait interval. md is in
  // and out (start values when fresh); *data gets min(dataLen, bufLen) bytes.
  RVLONG Get(RVHOBJ hobj, RVLONG bufLen, std::string* data, RVMD* md, RVLONG* dataLen,
             RVLONG options = RVGMO_NO_SYNCPOINT, RVLONG wait = 0, RVLONG* compCode = nullptr);
  // The usual two-step take: learn the length with an empty buffer, then take the message.
  RVLONG Take(RVHOBJ hobj, std::string* data, RVMD* md = nullptr, RVLONG wait = 0);

 private:
  RVHCONN _hconn = RVHC_UNUSABLE_HCONN;
  RVLONG _connectReason = 0;
  bool _connected = false;
};

}  // namespace rv
