// AmqpSession: one AMQP 0-9-1 connection to a broker, through rabbitmq-c, with its channels.
// Every queue handle works on a channel of its own, so that a channel the broker closes after a
// failed operation (an unknown queue, a refused publish) costs only that handle's channel, and
// deliveries held by one handle are never touched by another. Channels are kept open in a pool
// for reuse. The session turns the library's replies and the broker's close methods into Status
// values: a refused login or vhost gives RVRC_NOT_AUTHORIZED, a broker that cannot be reached or
// does not finish the connect in time RVRC_Q_MGR_NOT_AVAILABLE, a connection that fails later
// RVRC_CONNECTION_BROKEN (and every later call reports that too). An amqps:// URL connects
// over TLS with rabbitmq-c's SSL socket, verifying the broker's certificate and host name
// unless the settings turn that off. A URL with several hosts (the nodes of a cluster) is tried
// host by host until one takes the connection.
//
// Heartbeats are on (kHeartbeatSeconds), so a wait without limit notices a dead broker; a
// connection left unused outside the calls for two heartbeat intervals is closed by the broker.
// Owned by one AmqpConnection and shared with its queue handles; one thread at a time.
#pragma once

#include <amqp.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AmqpSettings.h"
#include "AmqpUrl.h"
#include "Status.h"

namespace rv {

class AmqpSession {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kConnectTimeout{10000};
  static constexpr std::chrono::milliseconds kReplyTimeout{30000};
  static constexpr int kHeartbeatSeconds = 60;

  // Connects, logs in (with the password, or by client certificate) and opens a first channel,
  // all within limit (RVRC_Q_MGR_NOT_AVAILABLE when it runs out); the hosts of the URL share the
  // limit. The message of a failure names the broker's URL (host and port) and the system's,
  // TLS's or broker's reason. Resolving a host name is left to the system's resolver and its
  // own time limits; an address in the URL needs none.
  static Status Open(const AmqpSettings& settings, std::chrono::milliseconds limit,
                     std::unique_ptr<AmqpSession>* session);
  ~AmqpSession();
  AmqpSession(const AmqpSession&) = delete;
  AmqpSession& operator=(const AmqpSession&) = delete;

  amqp_connection_state_t state() const { return _state; }
  // "broker amqp://user@host:port/vhost", for messages.
  const std::string& where() const { return _where; }
  // RVRC_CONNECTION_BROKEN once the connection has failed or was closed.
  Status Usable() const;

  // An open channel for the caller's use alone: an idle one, or a newly opened one.
  Status TakeChannel(amqp_channel_t* channel);
  // Returns a channel that holds no unacknowledged delivery and no consumer to the pool; a
  // channel that the broker closed meanwhile is dropped.
  void GiveBackChannel(amqp_channel_t channel);
  // A number that tells this opening of the channel from later ones under the same number;
  // 0 once the channel is closed.
  uint64_t Serial(amqp_channel_t channel) const {
    auto it = _channels.find(channel);
    return it == _channels.end() ? 0 : it->second.serial;
  }
  // Puts the channel in publisher-confirm mode unless it is already.
  Status EnableConfirms(amqp_channel_t channel);
  // The delivery tag that the broker gives the next message published on a confirm channel.
  uint64_t NextPublishTag(amqp_channel_t channel);
  // Sets the prefetch limit of consumers on the channel to 1, and serves as a round trip that
  // proves the broker has handled everything sent before on that channel.
  Status Sync(amqp_channel_t channel, const std::string& what);
  bool PrefetchSet(amqp_channel_t channel) const {
    auto it = _channels.find(channel);
    return it != _channels.end() && it->second.prefetchSet;
  }

  // The Status of a library RPC on channel. A channel.close from the broker is answered and the
  // channel forgotten; a connection failure marks the session broken.
  Status Check(const amqp_rpc_reply_t& reply, amqp_channel_t channel, const std::string& what);
  // The Status of a library call that returns a status code (publish, ack, send).
  Status CheckCode(int code, const std::string& what);
  // Waits for the next frame until deadline (none: without limit). *timedOut tells a deadline
  // that passed; any other failure is the connection's and is returned.
  Status WaitFrame(const std::optional<Clock::time_point>& deadline, amqp_frame_t* frame,
                   bool* timedOut);
  // For a method frame that is a channel.close or connection.close: answers it, forgets the
  // channel or marks the session broken, and returns the matching error. Ok for other frames.
  Status HandleClose(const amqp_frame_t& frame, const std::string& what);
  // Frees the library's frame memory; call between operations, never while a decoded frame or
  // message is still in use.
  void ReleaseBuffers();
  // Ends the connection politely; the session is unusable afterwards.
  Status Close();

 private:
  struct Channel {
    bool confirms = false;
    bool prefetchSet = false;
    uint64_t published = 0;
    uint64_t serial = 0;
  };

  AmqpSession() = default;
  // Connects to one host of the URL before deadline.
  Status Connect(const AmqpSettings& settings, const AmqpUrl::Endpoint& endpoint,
                 Clock::time_point deadline);
  Status SetUpTls(amqp_socket_t* socket, const AmqpSettings::Tls& tls);
  // Why the library's socket open failed with code.
  std::string OpenFailure(int code, const AmqpUrl::Endpoint& endpoint, const AmqpSettings::Tls& tls,
                          Clock::time_point started, Clock::time_point deadline) const;
  Status Broken(RVLONG reason, const std::string& text);
  Status ServerClose(uint16_t code, const std::string& text, bool connection,
                     const std::string& what);
  Status OpenChannel(amqp_channel_t* channel);
  void Destroy();

  amqp_connection_state_t _state = nullptr;
  std::string _where;
  bool _broken = false;
  bool _connecting = true;  // failures now mean "not available" rather than "broken"
  // The first problem that verifying the broker's certificate chain met in the handshake; the
  // library says only that verification failed. Its TLS context points here.
  long _verifyError = 0;
  std::string _brokenText;
  std::map<amqp_channel_t, Channel> _channels;  // open channels
  std::vector<amqp_channel_t> _idle;            // open channels nobody uses
  amqp_channel_t _channelMax = 0;
  uint64_t _serials = 0;
};

}  // namespace rv
