#!/usr/bin/env bash
# Installs what is missing, builds in Release the five programs that it runs (no tests, no
# benchmarks, no broker module) and runs the main job: a request/response round trip between reqprobe and
# upesprobe through a local queue manager, then mapprobe and eventecho on the sample request.
# The build's output goes to build/demo/build.log and is shown only when the build fails.
# Everything runs in a fresh temporary folder that is removed at the end; no process is left
# running.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh
probes_install_deps

build=build/demo
mkdir -p "$build"
log=$build/build.log
echo "building rvqm, reqprobe, upesprobe, mapprobe and eventecho (log: $log)"
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DPROBES_BENCH=OFF -DPROBES_AMQP=OFF &&
  cmake --build "$build" -j "$(nproc)" --target rvqm reqprobe upesprobe mapprobe eventecho; } \
  >"$log" 2>&1; then
  cat "$log" >&2
  echo "demo: the build failed (log: $log)" >&2
  exit 1
fi
bin() { echo "$root/$build/tools/$1/$1"; }

work=$(mktemp -d "${TMPDIR:-/tmp}/probes-demo-XXXXXX")
upes_pid=
cleanup() {
  if [ -n "$upes_pid" ] && kill -0 "$upes_pid" 2>/dev/null; then kill "$upes_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
export RV_DATA_DIR="$work/rv"
unset KES_TRACE KES_TRACE_FILE
cp samples/request.xml samples/response-skeleton.xml samples/reqprobe.ini samples/upesprobe.ini "$work/"
cd "$work"

step() { printf '\n== %s\n' "$*"; }

step "set up queue manager DEMO.QM with the queues UPES.Q and OUT.Q"
"$(bin rvqm)" create DEMO.QM
"$(bin rvqm)" define DEMO.QM UPES.Q OUT.Q
"$(bin rvqm)" list DEMO.QM

step "upesprobe waits on UPES.Q (parameters from upesprobe.ini)"
timeout 60 "$(bin upesprobe)" -l upesprobe.ini &
upes_pid=$!

step "reqprobe puts request.xml on UPES.Q with OUT.Q as reply-to and waits for the reply (trace on)"
KES_TRACE=10:4:1 KES_TRACE_FILE="$work/trace.log" timeout 60 "$(bin reqprobe)" -l reqprobe.ini
wait "$upes_pid"
upes_pid=

step "the request that upesprobe saved (saved-request.xml)"
cat saved-request.xml
cmp saved-request.xml request.xml
echo "(equal to request.xml)"

step "the reply that reqprobe wrote (reply.xml): the skeleton with the request's correlation element"
cat reply.xml
grep -q '<ActImplCorrelID>00000A1B00000C2D</ActImplCorrelID>' reply.xml

step "trace excerpt of reqprobe (KES_TRACE=10:4:1)"
# Each record: time, pid, source:line, signature, level, category, component | text.
grep -E 'target queue|QueueManager:|Writing data' trace.log | sed 's/^.* UTC pid [0-9]* \([^ ]*\) .* | /\1  /'

step "queues after the round trip"
"$(bin rvqm)" list DEMO.QM

step "mapprobe request.xml: the message map"
"$(bin mapprobe)" request.xml
echo

step "eventecho request.xml: the SAX events back out as markup"
"$(bin eventecho)" request.xml

step "demo completed"
