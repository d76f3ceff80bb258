#include "AmqpSession.h"

#include <amqp_tcp_socket.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

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

// Opens a TCP connection to host:port before the deadline. The socket stays non-blocking, as
// rabbitmq-c keeps its own, with TCP_NODELAY. Returns -1 with *why set, or with *why empty when
// the deadline passed.
int ConnectTcp(const std::string& host, int port, AmqpSession::Clock::time_point deadline,
               std::string* why) {
  struct addrinfo hints {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    *why = "cannot resolve " + host + ": " + ::gai_strerror(rc);
    return -1;
  }
  std::unique_ptr<struct addrinfo, void (*)(struct addrinfo*)> list(found, ::freeaddrinfo);
  *why = "no address for " + host;
  for (struct addrinfo* a = found; a != nullptr; a = a->ai_next) {
    int fd = ::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      *why = Status::SystemText(errno);
      continue;
    }
    int err = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      struct pollfd p = {fd, POLLOUT, 0};
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Left(deadline)).count();
      int ready = ms > 0 ? ::poll(&p, 1, static_cast<int>(ms)) : 0;
      if (ready <= 0) {
        ::close(fd);
        why->clear();
        return -1;
      }
      socklen_t len = sizeof err;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    }
    if (err == 0) {
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    *why = Status::SystemText(err);
    ::close(fd);
  }
  return -1;
}

std::string Text(amqp_bytes_t b) {
  return b.len == 0 ? std::string() : std::string(static_cast<const char*>(b.bytes), b.len);
}

}  // namespace

Status AmqpSession::Open(const AmqpUrl& url, const std::string& password,
                         std::chrono::milliseconds limit, std::unique_ptr<AmqpSession>* session) {
  const auto deadline = Clock::now() + limit;
  const std::string seconds = std::to_string((limit.count() + 999) / 1000) + " s";
  std::unique_ptr<AmqpSession> s(new AmqpSession());
  s->_where = "broker " + url.ToString();
  s->_state = amqp_new_connection();
  if (s->_state == nullptr) return Status::Error(RVRC_RESOURCE_PROBLEM, "out of memory");
  amqp_socket_t* socket = amqp_tcp_socket_new(s->_state);
  if (socket == nullptr) return Status::Error(RVRC_RESOURCE_PROBLEM, "out of memory");

  std::string why;
  const int fd = ConnectTcp(url.host(), url.port(), deadline, &why);
  if (fd < 0) {
    s->_broken = true;
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                         "cannot reach the " + s->_where + ": " +
                             (why.empty() ? "no answer within " + seconds : why));
  }
  amqp_tcp_socket_set_sockfd(socket, fd);
  struct timeval tv;
  tv = ToTimeval(Left(deadline));
  amqp_set_handshake_timeout(s->_state, &tv);
  amqp_rpc_reply_t reply =
      amqp_login(s->_state, url.vhost().c_str(), 0, AMQP_DEFAULT_FRAME_SIZE, kHeartbeatSeconds,
                 AMQP_SASL_METHOD_PLAIN, url.user().c_str(), password.c_str());
  if (reply.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION &&
      reply.library_error == AMQP_STATUS_TIMEOUT) {
    s->_broken = true;
    return Status::Error(RVRC_Q_MGR_NOT_AVAILABLE,
                         "the " + s->_where + " did not answer the login within " + seconds);
  }
  Status st = s->Check(reply, 0, "cannot log in to the " + s->_where + " as " + url.user());
  if (!st.ok()) return st;
  int max = amqp_get_channel_max(s->_state);
  s->_channelMax = static_cast<amqp_channel_t>(max <= 0 || max > 65535 ? 65535 : max);

  tv = ToTimeval(Left(deadline));
  amqp_set_rpc_timeout(s->_state, &tv);
  amqp_channel_t channel = 0;
  st = s->OpenChannel(&channel);
  if (!st.ok()) return st;
  s->_idle.push_back(channel);
  tv = ToTimeval(kReplyTimeout);
  amqp_set_rpc_timeout(s->_state, &tv);
  s->_connecting = false;
  *session = std::move(s);
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
