// Broker queue managers over TLS, against the TLS listener of the private broker
// (scripts/broker.sh): what connects, and what is refused with which reason and text.
#include <cstdlib>
#include <cstring>

#include "AmqpSettings.h"
#include "BrokerFixture.h"

namespace rv {
namespace {

class AmqpTlsTest : public BrokerFixture {
 protected:
  // amqps://USER@HOST:TLSPORT/VHOST of the private broker, for another user or host.
  static std::string TlsUrlFor(const std::string& user, const std::string& host) {
    AmqpUrl url;
    EXPECT_TRUE(AmqpUrl::Parse(TlsUrl(), &url).ok()) << TlsUrl();
    std::string vhost = url.ToString().substr(url.ToString().rfind('/'));
    return "amqps://" + user + "@" + host + ":" + std::to_string(url.port()) + vhost;
  }
  // Puts and takes one message through queue manager qm.
  void RoundTrip(const std::string& qm, const std::string& queue) {
    RvConnection c(qm);
    ASSERT_TRUE(c.connected()) << RVErrorText();
    RVHOBJ out, in;
    ASSERT_EQ(c.Open(queue, RVOO_OUTPUT, &out), RVRC_NONE);
    ASSERT_EQ(c.Open(queue, RVOO_INPUT_AS_Q_DEF, &in), RVRC_NONE);
    ASSERT_EQ(c.Put(out, "over " + qm), RVRC_NONE);
    std::string data;
    EXPECT_EQ(c.Take(in, &data), RVRC_NONE);
    EXPECT_EQ(data, "over " + qm);
  }
};

TEST_F(AmqpTlsTest, VerifiedConnectionsCarryMessages) {
  const std::string queue = NewQueue("tls");
  // Verified against the CA file; by client certificate alone (EXTERNAL: the broker takes the
  // user, probes-cert, from the certificate, not from the URL); unverified, to a host name that
  // the certificate does not name.
  MakeBrokerQm("TLS.CA", TlsUrl(), Password(), {{"tls-ca-file", TlsFile("ca.pem")}});
  MakeBrokerQm("TLS.CERT", TlsUrlFor("someone-else", "localhost"), "",
               {{"tls-ca-file", TlsFile("ca.pem")},
                {"tls-cert-file", TlsFile("client.pem")},
                {"tls-key-file", TlsFile("client.key")}});
  MakeBrokerQm("TLS.INSECURE", TlsUrlFor("probes", "127.0.0.1"), Password(),
               {{"tls-verify", "no"}});
  for (const char* qm : {"TLS.CA", "TLS.CERT", "TLS.INSECURE"}) {
    SCOPED_TRACE(qm);
    RoundTrip(qm, queue);
  }
  // Without a CA file the system's store counts, which OpenSSL lets SSL_CERT_FILE replace.
  MakeBrokerQm("TLS.SYSTEM", TlsUrl(), Password());
  ::setenv("SSL_CERT_FILE", TlsFile("ca.pem").c_str(), 1);
  RoundTrip("TLS.SYSTEM", queue);
  ::unsetenv("SSL_CERT_FILE");
}

TEST_F(AmqpTlsTest, UntrustedOrMisnamedBrokerIsRefusedWithItsReason) {
  AmqpUrl plain, tls;
  ASSERT_TRUE(AmqpUrl::Parse(BrokerUrl(), &plain).ok());
  ASSERT_TRUE(AmqpUrl::Parse(TlsUrl(), &tls).ok());
  struct Case {
    const char* qm;
    std::string url;
    std::map<std::string, std::string> tls;
    std::vector<std::string> words;  // the error text holds each
  };
  const Case cases[] = {
      {"WRONG.CA",
       TlsUrl(),
       {{"tls-ca-file", TlsFile("other-ca.pem")}},
       {"cannot reach the broker " + TlsUrl(),
        "not trusted (self-signed certificate in certificate chain", TlsFile("other-ca.pem")}},
      {"SYSTEM.CA", TlsUrl(), {}, {"not trusted", "the system's CA store"}},
      {"WRONG.HOST",
       TlsUrlFor("probes", "127.0.0.1"),
       {{"tls-ca-file", TlsFile("ca.pem")}},
       {"not for host 127.0.0.1", "host name verification failed"}},
      {"NOT.TLS.PORT",
       "amqps://probes@127.0.0.1:" + std::to_string(plain.port()) + "/v",
       {{"tls-verify", "no"}},
       {"TLS handshake failed"}},
      {"PLAIN.TO.TLS.PORT",
       "amqp://probes@127.0.0.1:" + std::to_string(tls.port()) + "/v",
       {},
       {"during the login (if the port is a TLS port, use amqps://)"}},
      {"NO.SUCH.CA",
       TlsUrl(),
       {{"tls-ca-file", TlsFile("missing.pem")}},
       {"cannot use the CA file " + TlsFile("missing.pem")}},
      {"KEY.NOT.CERTS",
       TlsUrl(),
       {{"tls-cert-file", TlsFile("client.pem")}, {"tls-key-file", TlsFile("ca.pem")}},
       {"cannot use the client certificate " + TlsFile("client.pem")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.qm);
    MakeBrokerQm(c.qm, c.url, Password(), c.tls);
    RvConnection conn(c.qm);
    EXPECT_FALSE(conn.connected());
    EXPECT_EQ(conn.connectReason(), RVRC_Q_MGR_NOT_AVAILABLE);
    const std::string text = RVErrorText();
    for (const std::string& word : c.words) {
      EXPECT_NE(text.find(word), std::string::npos) << word << " in " << text;
    }
    EXPECT_EQ(text.find(Password()), std::string::npos);
  }
}

}  // namespace
}  // namespace rv
