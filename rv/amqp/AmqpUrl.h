// AmqpUrl: the address of an AMQP 0-9-1 broker as a queue manager's definition gives it,
// amqp://[user@]host[:port][,host[:port]...][/vhost], or amqps:// for the same over TLS. Several
// hosts stand for the nodes of one cluster, tried in their order. The user and the vhost may be
// percent-encoded (the default vhost "/" is written %2f). A password never appears in the URL:
// it lives in a file of its own, so a URL that carries one is refused, and the refusal shows the
// URL with the password masked. A plain value; safe to copy and to use from any thread.
#pragma once

#include <string>
#include <vector>

#include "Status.h"

namespace rv {

class AmqpUrl {
 public:
  static constexpr int kDefaultPort = 5672;
  static constexpr int kDefaultTlsPort = 5671;

  struct Endpoint {
    std::string host;
    int port = kDefaultPort;
  };

  // Parses text. Refuses (RVRC_Q_MGR_NAME_ERROR, with a message that says why) another scheme,
  // a password, an empty or malformed host, a port outside 1..65535, a query or fragment, and
  // bad percent escapes. Without a user the broker's usual "guest" is taken; without a vhost "/".
  static Status Parse(const std::string& text, AmqpUrl* url);
  // text with the password of a "user:password@" part replaced by "****", for messages.
  static std::string Masked(const std::string& text);

  bool tls() const { return _tls; }
  const std::string& user() const { return _user; }
  // At least one.
  const std::vector<Endpoint>& endpoints() const { return _endpoints; }
  const std::string& host() const { return _endpoints.front().host; }
  int port() const { return _endpoints.front().port; }
  const std::string& vhost() const { return _vhost; }
  // amqp[s]://user@host:port[,host:port...]/vhost with the user and vhost percent-encoded
  // where needed.
  std::string ToString() const;
  // The same for one of the endpoints alone.
  std::string ToString(const Endpoint& endpoint) const;

 private:
  bool _tls = false;
  std::string _user = "guest";
  std::vector<Endpoint> _endpoints;
  std::string _vhost = "/";
};

}  // namespace rv
