#!/usr/bin/env bash
# Round trip of one request through the embedded queue manager against the same four queue
# operations done by the AMQP command-line tools on a broker, side by side in one run:
#
#   ours:    upesprobe waiting on UPES.Q in the background, then reqprobe (put the request,
#            wait for the reply on OUT.Q, write it); the time until both have ended
#   anchor:  amqp-publish, amqp-get, amqp-publish, amqp-get (package amqp-tools), one
#            process each, on a private rabbitmq-server (scripts/broker.sh)
#   floor:   durable_floor (bench/DurableFloor.cpp): the file writes, renames and flushes that
#            the same round trip must make durable, with no queue code, on the same disk; the
#            time it reports itself
#
#   bench/embedded_roundtrip.sh [BUILD_DIR=build/release] [PAIRS=21]
#
# Ours takes turns with the anchor, PAIRS times each, and then with the floor, PAIRS times
# each; the script prints every pair, the medians and the median of the ratios ours/anchor and
# ours/floor. The broker is started when it does not run (and stopped
# again at the end); PROBES_BROKER_DIR, PROBES_BROKER_PORT, PROBES_BROKER_DIST_PORT and
# PROBES_BROKER_EPMD_PORT choose a private one as for scripts/broker.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/pairs.sh
. "$here/bench/pairs.sh"
build=$(cd "${1:-$here/build/release}" && pwd)
pairs=${2:-21}
reqprobe=$build/tools/reqprobe/reqprobe
upesprobe=$build/tools/upesprobe/upesprobe
rvqm=$build/tools/rvqm/rvqm
durable_floor=$build/bench/durable_floor
for tool in "$reqprobe" "$upesprobe" "$rvqm" "$durable_floor"; do
  [ -x "$tool" ] || { echo "embedded_roundtrip: $tool is not built" >&2; exit 1; }
done
command -v amqp-publish >/dev/null || { echo "embedded_roundtrip: amqp-tools is not installed" >&2; exit 1; }

export PROBES_BROKER_DIR=${PROBES_BROKER_DIR:-/tmp/probes-broker}
started=0
if ! "$here/scripts/broker.sh" status >/dev/null 2>&1; then
  "$here/scripts/broker.sh" start >/dev/null
  started=1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/embedded-roundtrip.XXXXXX")
cleanup() {
  rm -rf "$work"
  if [ "$started" = 1 ]; then "$here/scripts/broker.sh" stop >/dev/null; fi
}
trap cleanup EXIT

# The anchor's queues: durable, on the private broker; the tools take the password in the URL.
url=$(cat "$PROBES_BROKER_DIR/url")
password=$(cat "$PROBES_BROKER_DIR/password")
tool_url=${url/@/:$password@}
tag=rt$$
for q in "$tag.A" "$tag.B"; do amqp-declare-queue --url="$tool_url" -d -q "$q" >/dev/null; done

# Ours: a private data root with the two queues of the demo.
export RV_DATA_DIR=$work/rv
"$rvqm" create QM
"$rvqm" define QM UPES.Q OUT.Q
cp "$here/samples/request.xml" "$work/request.xml"
cp "$here/samples/response-skeleton.xml" "$work/skeleton.xml"
request=$(cat "$work/request.xml")
skeleton=$(cat "$work/skeleton.xml")

now_us() { echo $(( ${EPOCHREALTIME/./} )); }

ours() {
  local start end
  rm -f "$work/reply.xml" "$work/saved.xml"
  start=$(now_us)
  "$upesprobe" -r "$work/skeleton.xml" -a "$work/saved.xml" -u UPES.Q -m QM &
  "$reqprobe" -i "$work/request.xml" -o "$work/reply.xml" -r UPES.Q -s QM -t OUT.Q -u QM
  wait
  end=$(now_us)
  [ -s "$work/reply.xml" ] || { echo "embedded_roundtrip: no reply" >&2; exit 1; }
  echo $((end - start))
}

anchor() {
  local start end got
  start=$(now_us)
  amqp-publish --url="$tool_url" -p -r "$tag.A" -b "$request"
  got=$(amqp-get --url="$tool_url" -q "$tag.A")
  amqp-publish --url="$tool_url" -p -r "$tag.B" -b "$skeleton"
  got=$got$(amqp-get --url="$tool_url" -q "$tag.B")
  end=$(now_us)
  [ -n "$got" ] || { echo "embedded_roundtrip: amqp-get got nothing" >&2; exit 1; }
  echo $((end - start))
}

# One round trip of messages the size of the request, in a folder beside the data root.
floor() {
  "$durable_floor" -s "$(stat -c %s "$work/request.xml")" "$work" |
    awk '{ printf "%d\n", $1 * 1000 }'
}

ours >/dev/null  # warm both up: page cache, the broker's connections
anchor >/dev/null
floor >/dev/null
run_pairs ""
printf 'median ratio ours/anchor: %.2f (goal: at most 0.5)\n' "$median_ratio"
echo "ours against durable_floor, the flushes of the same round trip with no queue code:"
run_pairs ", anchor durable_floor" floor
printf 'median ratio ours/floor: %.2f (goal: at most 1.25)\n' "$median_ratio"
for q in "$tag.A" "$tag.B"; do amqp-delete-queue --url="$tool_url" -q "$q" >/dev/null 2>&1 || true; done
