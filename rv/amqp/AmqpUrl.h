// AmqpUrl: the address of an AMQP 0-9-1 broker as a queue manager's definition gives it,
// amqp://[user@]host[:port][/vhost]. The user and the vhost may be percent-encoded (the default
// vhost "/" is written %2f). A password never appears in the URL: it lives in a file of its own,
// so a URL that carries one is refused. A plain value; safe to copy and to use from any thread.
#pragma once

#include <string>

#include "Status.h"

namespace rv {

class AmqpUrl {
 public:
  static constexpr int kDefaultPort = 5672;

  // Parses text. Refuses (RVRC_Q_MGR_NAME_ERROR, with a message that says why) another scheme,
  // a password, an empty or malformed host, a port outside 1..65535, a query or fragment, and
  // bad percent escapes. Without a user the broker's usual "guest" is taken; without a vhost "/".
  static Status Parse(const std::string& text, AmqpUrl* url);

  const std::string& user() const { return _user; }
  const std::string& host() const { return _host; }
  int port() const { return _port; }
  const std::string& vhost() const { return _vhost; }
  // amqp://user@host:port/vhost with the user and vhost percent-encoded where needed.
  std::string ToString() const;

 private:
  std::string _user = "guest";
  std::string _host;
  int _port = kDefaultPort;
  std::string _vhost = "/";
};

}  // namespace rv
