#include "AmqpUrl.h"

#include <cctype>

namespace rv {

namespace {

Status Refuse(const std::string& text, const std::string& why) {
  return Status::Error(RVRC_Q_MGR_NAME_ERROR,
                       "broker URL \"" + AmqpUrl::Masked(text) + "\" " + why);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Undoes %XX escapes; false for a truncated or non-hex escape or an escaped NUL.
bool Unescape(const std::string& in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out->push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size()) return false;
    int hi = HexValue(in[i + 1]);
    int lo = HexValue(in[i + 2]);
    if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

std::string Escape(const std::string& in) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : in) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

bool IsHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// Parses one "host[:port]" or "[v6 address][:port]" of the authority.
Status ParseEndpoint(const std::string& text, const std::string& item, int defaultPort,
                     AmqpUrl::Endpoint* endpoint) {
  std::string portText;
  endpoint->port = defaultPort;
  if (!item.empty() && item.front() == '[') {
    size_t close = item.find(']');
    if (close == std::string::npos) return Refuse(text, "has an unterminated [IPv6] address");
    endpoint->host = item.substr(1, close - 1);
    std::string after = item.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return Refuse(text, "has characters after its [IPv6] address");
      portText = after.substr(1);
      if (portText.empty()) return Refuse(text, "has an empty port");
    }
    if (endpoint->host.empty() ||
        endpoint->host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos) {
      return Refuse(text, "has a malformed IPv6 address");
    }
  } else {
    size_t colon = item.find(':');
    endpoint->host = item.substr(0, colon);
    if (colon != std::string::npos) {
      portText = item.substr(colon + 1);
      if (portText.empty()) return Refuse(text, "has an empty port");
    }
    if (endpoint->host.empty()) return Refuse(text, "names no host");
    for (char c : endpoint->host) {
      if (!IsHostChar(c)) return Refuse(text, "has a malformed host name");
    }
  }
  if (!portText.empty()) {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) {
      return Refuse(text, "has a malformed port");
    }
    endpoint->port = std::stoi(portText);
    if (endpoint->port < 1 || endpoint->port > 65535) {
      return Refuse(text, "has a port outside 1..65535");
    }
  }
  return Status::Ok();
}

}  // namespace

Status AmqpUrl::Parse(const std::string& text, AmqpUrl* url) {
  static const std::string kScheme = "amqp://";
  static const std::string kTlsScheme = "amqps://";
  AmqpUrl u;
  std::string rest;
  if (text.compare(0, kScheme.size(), kScheme) == 0) {
    rest = text.substr(kScheme.size());
  } else if (text.compare(0, kTlsScheme.size(), kTlsScheme) == 0) {
    u._tls = true;
    rest = text.substr(kTlsScheme.size());
  } else {
    return Refuse(text, "does not start with amqp:// or amqps://");
  }
  for (char c : text) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) {
      return Refuse(text, "holds a blank or control character");
    }
  }
  if (text.find_first_of("?#") != std::string::npos) {
    return Refuse(text, "has a query or fragment, which is not supported");
  }
  size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);

  size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string userinfo = authority.substr(0, at);
    authority = authority.substr(at + 1);
    if (userinfo.find(':') != std::string::npos) {
      return Refuse(text, "holds a password; give the password in a file (--password-file)");
    }
    if (userinfo.empty() || !Unescape(userinfo, &u._user) || u._user.empty()) {
      return Refuse(text, "has an empty or malformed user name");
    }
  }

  size_t from = 0;
  for (;;) {
    size_t comma = authority.find(',', from);
    Endpoint endpoint;
    Status s = ParseEndpoint(text, authority.substr(from, comma - from),
                             u._tls ? kDefaultTlsPort : kDefaultPort, &endpoint);
    if (!s.ok()) return s;
    u._endpoints.push_back(endpoint);
    if (comma == std::string::npos) break;
    from = comma + 1;
  }

  if (!path.empty()) {
    if (path.find('/') != std::string::npos) {
      return Refuse(text, "has a '/' in its vhost; write it as %2f");
    }
    if (!Unescape(path, &u._vhost)) return Refuse(text, "has a malformed vhost");
  }
  *url = u;
  return Status::Ok();
}

std::string AmqpUrl::Masked(const std::string& text) {
  size_t scheme = text.find("://");
  size_t from = scheme == std::string::npos ? 0 : scheme + 3;
  size_t end = text.find_first_of("/?#", from);
  size_t at = text.rfind('@', end == std::string::npos ? std::string::npos : end);
  if (at == std::string::npos || at < from) return text;
  size_t colon = text.find(':', from);
  if (colon == std::string::npos || colon > at) return text;
  return text.substr(0, colon + 1) + "****" + text.substr(at);
}

namespace {

std::string HostText(const AmqpUrl::Endpoint& e) {
  std::string host = e.host.find(':') != std::string::npos ? "[" + e.host + "]" : e.host;
  return host + ":" + std::to_string(e.port);
}

}  // namespace

std::string AmqpUrl::ToString() const {
  std::string hosts;
  for (const Endpoint& e : _endpoints) hosts += (hosts.empty() ? "" : ",") + HostText(e);
  return std::string(_tls ? "amqps://" : "amqp://") + Escape(_user) + "@" + hosts + "/" +
         Escape(_vhost);
}

std::string AmqpUrl::ToString(const Endpoint& endpoint) const {
  return std::string(_tls ? "amqps://" : "amqp://") + Escape(_user) + "@" + HostText(endpoint) +
         "/" + Escape(_vhost);
}

}  // namespace rv
