#!/usr/bin/env bash
# A 100 MB request through the embedded queue manager against a copy of the same file that
# also flushes it, side by side in one run:
#
#   ours:    upesprobe waiting on UPES.Q in the background, then reqprobe (read the request,
#            put it, wait for the reply on OUT.Q, write it); upesprobe saves the request and
#            puts the reply. The time until both have ended.
#   anchor:  dd if=REQUEST of=COPY bs=1M conv=fsync
#
#   bench/large_roundtrip.sh [BUILD_DIR=build/release] [PAIRS=15] [MEGABYTES=100]
#
# The two take turns, PAIRS times each; the script prints every pair, the medians, the median
# of the ratios ours/anchor, and the peak memory of each tool in the last pair against the
# size of the request.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/pairs.sh
. "$here/bench/pairs.sh"
build=$(cd "${1:-$here/build/release}" && pwd)
pairs=${2:-15}
megabytes=${3:-100}
reqprobe=$build/tools/reqprobe/reqprobe
upesprobe=$build/tools/upesprobe/upesprobe
rvqm=$build/tools/rvqm/rvqm
for tool in "$reqprobe" "$upesprobe" "$rvqm"; do
  [ -x "$tool" ] || { echo "large_roundtrip: $tool is not built" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "large_roundtrip: /usr/bin/time (package time) is not installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/large-roundtrip.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The request: the sample with lines of text in its input data, MEGABYTES in all.
awk -v size=$((megabytes * 1024 * 1024)) '
  { print }
  /<InputData>/ {
    line = "        <Line>" sprintf("%080d", 0) "</Line>"
    for (n = 0; n < size; n += length(line) + 1) print line
  }' "$here/samples/request.xml" >"$work/request.xml"
cp "$here/samples/response-skeleton.xml" "$work/skeleton.xml"
bytes=$(stat -c %s "$work/request.xml")

export RV_DATA_DIR=$work/rv
"$rvqm" create QM
"$rvqm" define QM UPES.Q OUT.Q --maxmsgl $((bytes + 4096))

now_us() { echo $(( ${EPOCHREALTIME/./} )); }

ours() {
  local start end
  rm -f "$work/reply.xml" "$work/saved.xml"
  start=$(now_us)
  /usr/bin/time -f %M -o "$work/upes.kb" \
    "$upesprobe" -r "$work/skeleton.xml" -a "$work/saved.xml" -u UPES.Q -m QM &
  /usr/bin/time -f %M -o "$work/req.kb" \
    "$reqprobe" -i "$work/request.xml" -o "$work/reply.xml" -r UPES.Q -s QM -t OUT.Q -u QM
  wait
  end=$(now_us)
  [ -s "$work/reply.xml" ] || { echo "large_roundtrip: no reply" >&2; exit 1; }
  echo $((end - start))
}

anchor() {
  local start end
  rm -f "$work/copy.xml"
  start=$(now_us)
  dd if="$work/request.xml" of="$work/copy.xml" bs=1M conv=fsync status=none
  end=$(now_us)
  echo $((end - start))
}

ours >/dev/null  # warm both up: the page cache holds the request in both
anchor >/dev/null
cmp -s "$work/request.xml" "$work/saved.xml" || { echo "large_roundtrip: the saved request differs" >&2; exit 1; }
run_pairs ", $megabytes MB, anchor dd conv=fsync"
printf 'median ratio ours/anchor: %.2f (goal: at most 2)\n' "$median_ratio"
awk -v b="$bytes" -v r="$(cat "$work/req.kb")" -v u="$(cat "$work/upes.kb")" 'BEGIN {
  printf "peak memory: reqprobe %.1f MB, upesprobe %.1f MB, request %.1f MB (goal: at most 1.2x and a constant)\n",
    r * 1024 / 1e6, u * 1024 / 1e6, b / 1e6
}'
