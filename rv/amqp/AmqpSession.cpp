#include "AmqpSession.h"

#include <amqp_ssl_socket.h>
#include <amqp_tcp_socket.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "UniqueFd.h"

extern char* program_invocation_short_name;

namespace rv {

namespace {

struct timeval ToTimeval(std::chrono::microseconds d) {
  if (d.count() < 0) d = std::chrono::microseconds(0);
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(d.count() / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(d.count() % 1000000);
  return tv;
}

std::chrono::microseconds Left(AmqpSession::Clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::microseconds>(deadline -
                                                               AmqpSession::Clock::now());
}

// "10 s", "1.2 s".
std::string Seconds(AmqpSession::Clock::duration d) {
  const int64_t tenths =
      (std::max<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count(), 0) +
       50) /
      100;
  return std::to_string(tenths / 10) + (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") +
         " s";
}

std::string Text(amqp_bytes_t b) {
  return b.len == 0 ? std::string() : std::string(static_cast<const char*>(b.bytes), b.len);
}

// The library reports a failed TCP connect only as "a socket error". One more plain attempt,
// bounded by the deadline, finds the system's reason ("Connection refused") for the message.
std::string SocketFailure(const std::string& host, int port,
                          AmqpSession::Clock::time_point deadline) {
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) return std::string("cannot resolve ") + host + ": " + ::gai_strerror(rc);
  std::unique_ptr<struct addrinfo, void (*)(struct addrinfo*)> list(found, ::freeaddrinfo);
  std::string why = "a socket error occurred";
  for (struct addrinfo* a = found; a != nullptr; a = a->ai_next) {
    UniqueFd fd(::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int err = !fd.valid() ? errno : ::connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      struct pollfd p = {fd.get(), POLLOUT, 0};
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Left(deadline)).count();
      if (ms <= 0 || ::poll(&p, 1, static_cast<int>(ms)) <= 0) continue;
      socklen_t len = sizeof err;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    }
    if (err != 0) why = Status::SystemText(err);
  }
  return why;
}

// Keeps the first problem of the chain in the long that the context's application data points
// to (the session's own field, not a thread-local: the module is loaded with dlopen).
int RememberVerifyError(int ok, X509_STORE_CTX* store) {
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* first =
      ssl != nullptr ? static_cast<long*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
  if (!ok && first != nullptr && *first == X509_V_OK) *first = X509_STORE_CTX_get_error(store);
  return ok;
}

// OpenSSL's reason for the last failure of this thread, or empty.
std::string TlsReason() {
  unsigned long e = ERR_peek_last_error();
  const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return reason != nullptr ? reason : "";
}

amqp_table_entry_t Entry(const char* key, amqp_field_value_kind_t kind) {
  amqp_table_entry_t e{};
  e.key = amqp_cstring_bytes(key);
  e.value.kind = kind;
  return e;
}

}  // namespace

Status AmqpSession::Open(const AmqpSettings& settings, std::chrono::milliseconds limit,
                         std::unique_ptr<AmqpSession>* session) {
  const auto deadline = Clock::now() + limit;
  const std::vector<AmqpUrl::Endpoint>& endpoints = settings.url.endpoints();
  std::string failures;
  for (size_t i = 0; i < endpoints.size(); ++i) {
    // Each node gets its share of the time left, so that a silent one leaves time for the next.
    const auto share = (deadline - Clock::now()) / static_cast<int>(endpoints.size() - i);
    std::unique_ptr<AmqpSession> s(new AmqpSession());
    Status st = s->Connect(settings, endpoints[i], Clock::now() + share);
    if (st.ok()) {
      *session = std::move(s);
      return st;
    }
    // The nodes of one cluster share their users and vhosts: a refusal would be the same.
    if (endpoints.size() == 1 || st.reason() == RVRC_NOT_AUTHORIZED) return st;
    failures += (failures.empty() ? "" : "; ") + st.message();
  }
  return Status::Error(
      RVRC_Q_MGR_NOT_AVAILABLE,
      "no node of the broker " + settings.url.ToString() + " can be used: " + failures);
}

Status AmqpSession::SetUpTls(amqp_socket_t* socket, const AmqpSettings::Tls& tls) {
  amqp_ssl_socket_set_verify_peer(socket, tls.verify);
  amqp_ssl_socket_set_verify_hostname(socket, tls.verify);
  auto* context = static_cast<SSL_CTX*>(amqp_ssl_socket_get_context(socket));
  if (tls.verify) {
    if (!tls.caFile.empty()) {
      if (amqp_ssl_socket_set_cacert(socket, tls.caFile.c_str()) != AMQP_STATUS_OK) {
        return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                             "cannot use the CA file " + tls.caFile + ": " + TlsReason());
      }
    } else if (context == nullptr || SSL_CTX_set_default_verify_paths(context) != 1) {
      return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                           "cannot use the system's CA store: " + TlsReason());
    }
    if (context != nullptr) {
      SSL_CTX_set_app_data(context, &_verifyError);
      SSL_CTX_set_verify(context, SSL_CTX_get_verify_mode(context), RememberVerifyError);
    }
  }
  if (!tls.certFile.empty() && amqp_ssl_socket_set_key(socket, tls.certFile.c_str(),
                                                       tls.keyFile.c_str()) != AMQP_STATUS_OK) {
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE, "cannot use the client certificate " +
                                                       tls.certFile + " with the key " +
                                                       tls.keyFile + ": " + TlsReason());
  }
  return Status::Ok();
}

std::string AmqpSession::OpenFailure(int code, const AmqpUrl::Endpoint& endpoint,
                                     const AmqpSettings::Tls& tls, Clock::time_point started,
                                     Clock::time_point deadline) const {
  switch (code) {
    case AMQP_STATUS_TIMEOUT:
      return "no answer within " + Seconds(deadline - started);
    case AMQP_STATUS_SOCKET_ERROR:
    case AMQP_STATUS_HOSTNAME_RESOLUTION_FAILED:
      return SocketFailure(endpoint.host, endpoint.port, deadline);
    case AMQP_STATUS_SSL_HOSTNAME_VERIFY_FAILED:
      return "TLS: the broker's certificate is not for host " + endpoint.host +
             " (host name verification failed)";
    case AMQP_STATUS_SSL_PEER_VERIFY_FAILED: {
      std::string why = _verifyError != X509_V_OK ? X509_verify_cert_error_string(_verifyError)
                                                  : std::string("no certificate");
      return "TLS: the broker's certificate is not trusted (" + why + "; checked against " +
             (tls.caFile.empty() ? std::string("the system's CA store") : tls.caFile) + ")";
    }
    case AMQP_STATUS_SSL_ERROR:
    case AMQP_STATUS_SSL_CONNECTION_FAILED: {
      std::string why = TlsReason();
      return "TLS handshake failed" + (why.empty() ? "" : ": " + why);
    }
    default:
      return amqp_error_string2(code);
  }
}

Status AmqpSession::Connect(const AmqpSettings& settings, const AmqpUrl::Endpoint& endpoint,
                            Clock::time_point deadline) {
  const auto started = Clock::now();
  _where = "broker " + settings.url.ToString(endpoint);
  _state = amqp_new_connection();
  if (_state == nullptr) return Status::Error(RVRC_RESOURCE_PROBLEM, "out of memory");
  amqp_socket_t* socket =
      settings.url.tls() ? amqp_ssl_socket_new(_state) : amqp_tcp_socket_new(_state);
  if (socket == nullptr) return Status::Error(RVRC_RESOURCE_PROBLEM, "out of memory");
  _broken = true;  // until the login is done: nothing to close politely
  if (settings.url.tls()) {
    Status s = SetUpTls(socket, settings.tls);
    if (!s.ok()) {
      return Status::Error(s.reason(), "cannot connect to the " + _where + ": " + s.message());
    }
  }
  _verifyError = X509_V_OK;
  ERR_clear_error();
  struct timeval tv = ToTimeval(Left(deadline));
  int rc = amqp_socket_open_noblock(socket, endpoint.host.c_str(), endpoint.port, &tv);
  if (rc != AMQP_STATUS_OK) {
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                         "cannot reach the " + _where + ": " +
                             OpenFailure(rc, endpoint, settings.tls, started, deadline));
  }
  _broken = false;

  // Asking for consumer cancel notifications makes the broker end a waiting get's consumer
  // with basic.cancel when its queue is deleted, rather than leave it waiting for ever.
  amqp_table_entry_t capabilities[] = {Entry("consumer_cancel_notify", AMQP_FIELD_KIND_BOOLEAN)};
  capabilities[0].value.value.boolean = 1;
  const std::string name =
      std::string(program_invocation_short_name != nullptr ? program_invocation_short_name
                                                           : "rvic") +
      " (pid " + std::to_string(::getpid()) + ")";
  amqp_table_entry_t properties[] = {Entry("capabilities", AMQP_FIELD_KIND_TABLE),
                                     Entry("connection_name", AMQP_FIELD_KIND_UTF8)};
  properties[0].value.value.table.num_entries = 1;
  properties[0].value.value.table.entries = capabilities;
  properties[1].value.value.bytes = amqp_cstring_bytes(name.c_str());
  amqp_table_t clientProperties = {2, properties};

  tv = ToTimeval(Left(deadline));
  amqp_set_handshake_timeout(_state, &tv);
  const AmqpUrl& url = settings.url;
  // The broker takes the user of a login by certificate from the certificate; the identity
  // sent must only not be empty.
  amqp_rpc_reply_t reply =
      settings.external()
          ? amqp_login_with_properties(_state, url.vhost().c_str(), 0, AMQP_DEFAULT_FRAME_SIZE,
                                       kHeartbeatSeconds, &clientProperties,
                                       AMQP_SASL_METHOD_EXTERNAL, url.user().c_str())
          : amqp_login_with_properties(_state, url.vhost().c_str(), 0, AMQP_DEFAULT_FRAME_SIZE,
                                       kHeartbeatSeconds, &clientProperties, AMQP_SASL_METHOD_PLAIN,
                                       url.user().c_str(), settings.password.c_str());
  if (reply.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION &&
      reply.library_error == AMQP_STATUS_TIMEOUT) {
    _broken = true;
    return Status::Error(
        RVRC_Q_MGR_NOT_AVAILABLE,
        "the " + _where + " did not answer the login within " + Seconds(deadline - started));
  }
  if (!url.tls() && reply.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION &&
      (reply.library_error == AMQP_STATUS_SOCKET_ERROR ||
       reply.library_error == AMQP_STATUS_CONNECTION_CLOSED)) {
    // What a TLS listener does with a plain AMQP greeting.
    _broken = true;
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                         "cannot log in to the " + _where + ": " +
                             amqp_error_string2(reply.library_error) +
                             " during the login (if the port is a TLS port, use amqps://)");
  }
  Status st =
      Check(reply, 0,
            "cannot log in to the " + _where +
                (settings.external() ? " with the client certificate " + settings.tls.certFile
                                     : " as " + url.user()));
  if (!st.ok()) return st;
  int max = amqp_get_channel_max(_state);
  _channelMax = static_cast<amqp_channel_t>(max <= 0 || max > 65535 ? 65535 : max);

  tv = ToTimeval(Left(deadline));
  amqp_set_rpc_timeout(_state, &tv);
  amqp_channel_t channel = 0;
  st = OpenChannel(&channel);
  if (!st.ok()) return st;
  _idle.push_back(channel);
  tv = ToTimeval(kReplyTimeout);
  amqp_set_rpc_timeout(_state, &tv);
  _connecting = false;
  return Status::Ok();
}

AmqpSession::~AmqpSession() {
  if (_state != nullptr && !_broken) {
    struct timeval tv = ToTimeval(std::chrono::seconds(2));
    amqp_set_rpc_timeout(_state, &tv);
    amqp_connection_close(_state, AMQP_REPLY_SUCCESS);
  }
  Destroy();
}

void AmqpSession::Destroy() {
  if (_state != nullptr) amqp_destroy_connection(_state);
  _state = nullptr;
  _channels.clear();
  _idle.clear();
}

Status AmqpSession::Usable() const {
  if (_state == nullptr || _broken) {
    return Status::Error(RVRC_CONNECTION_BROKEN,
                         "the connection to the " + _where + " is broken" +
                             (_brokenText.empty() ? "" : ": " + _brokenText));
  }
  return Status::Ok();
}

Status AmqpSession::Broken(RVLONG reason, const std::string& text) {
  _broken = true;
  if (_brokenText.empty()) _brokenText = text;
  if (_connecting && reason != RVRC_NOT_AUTHORIZED) reason = RVRC_Q_MGR_NOT_AVAILABLE;
  return Status::Error(reason, text);
}

Status AmqpSession::ServerClose(uint16_t code, const std::string& text, bool connection,
                                const std::string& what) {
  RVLONG reason = connection ? RVRC_CONNECTION_BROKEN : RVRC_UNEXPECTED_ERROR;
  switch (code) {
    case AMQP_ACCESS_REFUSED:
      reason = RVRC_NOT_AUTHORIZED;
      break;
    case AMQP_NOT_ALLOWED:
      reason = text.find("not found") != std::string::npos ? RVRC_Q_MGR_NOT_AVAILABLE
                                                           : RVRC_NOT_AUTHORIZED;
      break;
    case AMQP_NOT_FOUND:
      reason = RVRC_UNKNOWN_OBJECT_NAME;
      break;
    case AMQP_RESOURCE_LOCKED:
      reason = RVRC_OBJECT_IN_USE;
      break;
    case AMQP_PRECONDITION_FAILED:
      reason =
          text.find("max size") != std::string::npos ? RVRC_MSG_TOO_BIG_FOR_Q : RVRC_OPTIONS_ERROR;
      break;
    case AMQP_RESOURCE_ERROR:
      reason = RVRC_RESOURCE_PROBLEM;
      break;
    default:
      break;
  }
  std::string message = what + ": the broker answered " + std::to_string(code) + " " + text;
  if (connection) return Broken(reason, message);
  return Status::Error(reason, message);
}

Status AmqpSession::Check(const amqp_rpc_reply_t& reply, amqp_channel_t channel,
                          const std::string& what) {
  switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
      return Status::Ok();
    case AMQP_RESPONSE_NONE:
      return Broken(RVRC_CONNECTION_BROKEN, what + ": no reply");
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
      return CheckCode(reply.library_error, what);
    case AMQP_RESPONSE_SERVER_EXCEPTION: {
      amqp_frame_t frame{};
      frame.frame_type = AMQP_FRAME_METHOD;
      frame.channel = reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD ? 0 : channel;
      frame.payload.method = reply.reply;
      Status s = HandleClose(frame, what);
      if (!s.ok()) return s;
      return Broken(RVRC_CONNECTION_BROKEN, what + ": unexpected answer from the broker");
    }
  }
  return Broken(RVRC_UNEXPECTED_ERROR, what + ": unknown reply");
}

Status AmqpSession::CheckCode(int code, const std::string& what) {
  if (code == AMQP_STATUS_OK) return Status::Ok();
  RVLONG reason = code == AMQP_STATUS_NO_MEMORY ? RVRC_RESOURCE_PROBLEM : RVRC_CONNECTION_BROKEN;
  return Broken(reason, what + ": " + amqp_error_string2(code));
}

Status AmqpSession::HandleClose(const amqp_frame_t& frame, const std::string& what) {
  if (frame.frame_type != AMQP_FRAME_METHOD) return Status::Ok();
  if (frame.payload.method.id == AMQP_CONNECTION_CLOSE_METHOD) {
    auto* m = static_cast<amqp_connection_close_t*>(frame.payload.method.decoded);
    amqp_connection_close_ok_t ok{};
    amqp_send_method(_state, 0, AMQP_CONNECTION_CLOSE_OK_METHOD, &ok);
    return ServerClose(m->reply_code, Text(m->reply_text), true, what);
  }
  if (frame.payload.method.id == AMQP_CHANNEL_CLOSE_METHOD) {
    auto* m = static_cast<amqp_channel_close_t*>(frame.payload.method.decoded);
    amqp_channel_close_ok_t ok{};
    int rc = amqp_send_method(_state, frame.channel, AMQP_CHANNEL_CLOSE_OK_METHOD, &ok);
    _channels.erase(frame.channel);
    _idle.erase(std::remove(_idle.begin(), _idle.end(), frame.channel), _idle.end());
    Status s = ServerClose(m->reply_code, Text(m->reply_text), false, what);
    if (rc != AMQP_STATUS_OK) CheckCode(rc, what);
    return s;
  }
  return Status::Ok();
}

Status AmqpSession::OpenChannel(amqp_channel_t* channel) {
  amqp_channel_t n = 1;
  while (n <= _channelMax && _channels.count(n) != 0) ++n;
  if (n > _channelMax || n == 0) {
    return Status::Error(RVRC_RESOURCE_PROBLEM, "all " + std::to_string(_channelMax) +
                                                    " channels of the " + _where + " are in use");
  }
  amqp_channel_open(_state, n);
  Status s = Check(amqp_get_rpc_reply(_state), n, "cannot open a channel to the " + _where);
  if (!s.ok()) return s;
  _channels[n] = Channel();
  _channels[n].serial = ++_serials;
  *channel = n;
  return Status::Ok();
}

Status AmqpSession::TakeChannel(amqp_channel_t* channel) {
  Status s = Usable();
  if (!s.ok()) return s;
  if (!_idle.empty()) {
    *channel = _idle.back();
    _idle.pop_back();
    return Status::Ok();
  }
  return OpenChannel(channel);
}

void AmqpSession::GiveBackChannel(amqp_channel_t channel) {
  if (_broken || _channels.count(channel) == 0) return;
  if (std::find(_idle.begin(), _idle.end(), channel) == _idle.end()) _idle.push_back(channel);
}

Status AmqpSession::EnableConfirms(amqp_channel_t channel) {
  auto it = _channels.find(channel);
  if (it == _channels.end()) {
    Status s = Usable();
    return s.ok()
               ? Status::Error(RVRC_CONNECTION_BROKEN, "the channel to the " + _where + " is lost")
               : s;
  }
  if (it->second.confirms) return Status::Ok();
  amqp_confirm_select(_state, channel);
  Status s = Check(amqp_get_rpc_reply(_state), channel,
                   "cannot turn on publisher confirms with the " + _where);
  if (!s.ok()) return s;
  it = _channels.find(channel);
  if (it != _channels.end()) {
    it->second.confirms = true;
    it->second.published = 0;
  }
  return Status::Ok();
}

uint64_t AmqpSession::NextPublishTag(amqp_channel_t channel) {
  return ++_channels[channel].published;
}

Status AmqpSession::Sync(amqp_channel_t channel, const std::string& what) {
  amqp_basic_qos(_state, channel, 0, 1, 0);
  Status s = Check(amqp_get_rpc_reply(_state), channel, what);
  if (s.ok()) _channels[channel].prefetchSet = true;
  return s;
}

Status AmqpSession::WaitFrame(const std::optional<Clock::time_point>& deadline, amqp_frame_t* frame,
                              bool* timedOut) {
  *timedOut = false;
  Status s = Usable();
  if (!s.ok()) return s;
  struct timeval tv;
  const struct timeval* limit = nullptr;
  if (deadline) {
    tv = ToTimeval(Left(*deadline));
    limit = &tv;
  }
  int rc = amqp_simple_wait_frame_noblock(_state, frame, limit);
  if (rc == AMQP_STATUS_TIMEOUT) {
    *timedOut = true;
    return Status::Ok();
  }
  return CheckCode(rc, "lost the connection to the " + _where);
}

void AmqpSession::ReleaseBuffers() {
  if (_state != nullptr && !_broken) amqp_maybe_release_buffers(_state);
}

Status AmqpSession::Close() {
  Status s;
  if (_state != nullptr && !_broken) {
    s = Check(amqp_connection_close(_state, AMQP_REPLY_SUCCESS), 0,
              "cannot close the connection to the " + _where);
  }
  Destroy();
  _broken = true;
  if (_brokenText.empty()) _brokenText = "the connection was closed";
  return s;
}

}  // namespace rv
