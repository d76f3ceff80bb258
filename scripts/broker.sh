#!/usr/bin/env bash
# Starts, waits for and stops a private rabbitmq-server for the broker tests and benchmarks.
#
#   scripts/broker.sh start    start the node (unless it runs), wait until it answers, and
#                              create the test vhost and user; prints the URL
#   scripts/broker.sh wait     wait until a started node answers (at most 60 s)
#   scripts/broker.sh stop     stop the node and its private epmd; nothing is left running
#   scripts/broker.sh status   exit 0 when the node answers; starts nothing
#
# The node listens on loopback only and keeps everything (data, logs, Erlang cookie, its own
# epmd on a port of its own) in one folder, so it neither sees nor touches any other broker or
# Erlang node on the machine. Besides plain AMQP it has a TLS listener whose certificates are
# made with openssl at the first start: a test CA, a server certificate for the name
# "localhost" (not for 127.0.0.1, so that a client can be shown a host name that does not
# match), a client certificate for the user "probes-cert" (login by certificate, EXTERNAL), and
# a second CA that signed nothing here. The tests find the broker through files in that folder:
#   url        amqp://probes@127.0.0.1:PORT/probes-test
#   tls-url    amqps://probes@localhost:TLS_PORT/probes-test
#   password   the user's password (mode 0600)
#   tls/       ca.pem, other-ca.pem, client.pem and client.key (mode 0600)
#
# Settings (environment):
#   PROBES_BROKER_DIR        folder of the node      (default /tmp/probes-broker)
#   PROBES_BROKER_PORT       AMQP port               (default 5679)
#   PROBES_BROKER_TLS_PORT   AMQP over TLS port      (default 5680)
#   PROBES_BROKER_DIST_PORT  Erlang distribution     (default 25679)
#   PROBES_BROKER_EPMD_PORT  the private epmd        (default 4379)
set -euo pipefail

dir=${PROBES_BROKER_DIR:-/tmp/probes-broker}
port=${PROBES_BROKER_PORT:-5679}
tls_port=${PROBES_BROKER_TLS_PORT:-5680}
dist_port=${PROBES_BROKER_DIST_PORT:-25679}
epmd_port=${PROBES_BROKER_EPMD_PORT:-4379}
node=probes@localhost
vhost=probes-test
user=probes
cert_user=probes-cert
bin=/usr/lib/rabbitmq/bin

die() {
  echo "broker.sh: $*" >&2
  exit 1
}

[ -x "$bin/rabbitmq-server" ] || die "rabbitmq-server is not installed (apt-get install rabbitmq-server)"

# The environment that both the server and rabbitmqctl need to find each other.
node_env() {
  export HOME="$dir"
  export ERL_EPMD_PORT="$epmd_port"
  export ERL_EPMD_ADDRESS=127.0.0.1
  export RABBITMQ_NODENAME="$node"
  export RABBITMQ_CONF_ENV_FILE="$dir/rabbitmq-env.conf"
  export RABBITMQ_CONFIG_FILE="$dir/rabbitmq.conf"
  export RABBITMQ_ENABLED_PLUGINS_FILE="$dir/enabled_plugins"
  export RABBITMQ_MNESIA_BASE="$dir/mnesia"
  export RABBITMQ_LOG_BASE="$dir/log"
  export RABBITMQ_PID_FILE="$dir/pid"
  export RABBITMQ_LOGS=-
}

ctl() {
  (node_env && "$bin/rabbitmqctl" -n "$node" "$@")
}

# True when the node's epmd runs on its port. Without it the node cannot be up, and rabbitmqctl
# would start an epmd of its own that nothing stops, so it is asked only when this holds.
epmd_runs() {
  ERL_EPMD_PORT="$epmd_port" epmd -names >/dev/null 2>&1
}

answers() {
  epmd_runs && ctl -q status >/dev/null 2>&1
}

wait_until_up() {
  local i
  for i in $(seq 1 120); do
    if ctl -q await_startup --timeout 2 >/dev/null 2>&1; then return 0; fi
    if [ -f "$dir/server.pid" ] && ! kill -0 "$(cat "$dir/server.pid")" 2>/dev/null; then
      tail -n 30 "$dir/out.txt" >&2 || true
      die "the broker stopped while starting (log: $dir/out.txt)"
    fi
    sleep 0.5
  done
  die "the broker did not answer within 60 s (log: $dir/out.txt)"
}

# Makes the test certificates unless a set valid for another day is there: EC keys, 30 days.
make_certificates() {
  local tls="$dir/tls"
  if [ -f "$tls/client.pem" ] &&
    openssl x509 -checkend 86400 -noout -in "$tls/server.pem" >/dev/null 2>&1; then
    return 0
  fi
  command -v openssl >/dev/null || die "openssl is not installed (apt-get install openssl)"
  rm -rf "$tls"
  mkdir -p "$tls"
  (
    cd "$tls"
    umask 077
    key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    for ca in ca other-ca; do
      openssl req -x509 "${key[@]}" -days 30 -subj "/CN=probes $ca" -keyout "$ca.key" \
        -out "$ca.pem" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
    done
    printf 'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' >server.ext
    printf 'extendedKeyUsage=clientAuth\n' >client.ext
    for who in server:localhost client:$cert_user; do
      name=${who%%:*}
      openssl req "${key[@]}" -subj "/CN=${who#*:}" -keyout "$name.key" -out "$name.csr" 2>/dev/null
      openssl x509 -req -days 30 -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial \
        -extfile "$name.ext" -out "$name.pem" 2>/dev/null
    done
    rm -f ./*.csr ./*.ext ca.srl other-ca.key
    chmod 644 ./*.pem
  ) || die "openssl could not make the test certificates in $tls"
}

start() {
  mkdir -p "$dir/log" "$dir/mnesia"
  chmod 700 "$dir"
  if answers; then
    [ -f "$dir/tls-url" ] ||
      echo "broker.sh: the running node has no TLS listener; stop and start it again" >&2
    echo "amqp://$user@127.0.0.1:$port/$vhost"
    return 0
  fi
  make_certificates
  : >"$dir/rabbitmq-env.conf"
  echo '[rabbitmq_auth_mechanism_ssl].' >"$dir/enabled_plugins"
  cat >"$dir/rabbitmq.conf" <<EOF
loopback_users = none
log.console = true
log.console.level = warning
listeners.ssl.1 = 127.0.0.1:$tls_port
ssl_options.cacertfile = $dir/tls/ca.pem
ssl_options.certfile = $dir/tls/server.pem
ssl_options.keyfile = $dir/tls/server.key
ssl_options.verify = verify_peer
ssl_options.fail_if_no_peer_cert = false
ssl_cert_login_from = common_name
auth_mechanisms.1 = PLAIN
auth_mechanisms.2 = AMQPLAIN
auth_mechanisms.3 = EXTERNAL
EOF
  if [ ! -f "$dir/.erlang.cookie" ]; then
    head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$dir/.erlang.cookie"
    chmod 400 "$dir/.erlang.cookie"
  fi
  (
    node_env
    export RABBITMQ_NODE_IP_ADDRESS=127.0.0.1
    export RABBITMQ_NODE_PORT="$port"
    export RABBITMQ_DIST_PORT="$dist_port"
    export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}"
    cd "$dir"
    setsid "$bin/rabbitmq-server" >"$dir/out.txt" 2>&1 </dev/null &
    echo $! >"$dir/server.pid"
  )
  wait_until_up
  if [ ! -f "$dir/password" ]; then
    (umask 077 && head -c 18 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$dir/password")
  fi
  ctl -q add_vhost "$vhost" >/dev/null 2>&1 || true
  ctl -q delete_user "$user" >/dev/null 2>&1 || true
  ctl -q add_user "$user" "$(cat "$dir/password")" >/dev/null
  ctl -q set_permissions -p "$vhost" "$user" '.*' '.*' '.*' >/dev/null
  # The user that logs in with its client certificate has no password at all.
  ctl -q delete_user "$cert_user" >/dev/null 2>&1 || true
  ctl -q add_user "$cert_user" "$(head -c 18 /dev/urandom | od -An -tx1 | tr -d ' \n')" >/dev/null
  ctl -q clear_password "$cert_user" >/dev/null
  ctl -q set_permissions -p "$vhost" "$cert_user" '.*' '.*' '.*' >/dev/null
  echo "amqps://$user@localhost:$tls_port/$vhost" >"$dir/tls-url"
  echo "amqp://$user@127.0.0.1:$port/$vhost" >"$dir/url"
  cat "$dir/url"
}

stop() {
  if [ -d "$dir" ]; then
    if epmd_runs; then ctl -q stop >/dev/null 2>&1 || true; fi
    if [ -f "$dir/server.pid" ]; then
      local pid i
      pid=$(cat "$dir/server.pid")
      for i in $(seq 1 60); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.5
      done
      if kill -0 "$pid" 2>/dev/null; then kill -KILL -- "-$pid" 2>/dev/null || true; fi
      rm -f "$dir/server.pid"
    fi
  fi
  # The node started its own epmd on a port of its own; it has no other users.
  ERL_EPMD_PORT="$epmd_port" epmd -kill >/dev/null 2>&1 || true
}

case "${1:-}" in
  start) start ;;
  wait) wait_until_up ;;
  stop) stop ;;
  status) answers ;;
  *)
    echo "usage: scripts/broker.sh start|wait|stop|status" >&2
    exit 2
    ;;
esac
