#!/usr/bin/env bash
# CPU time of starting a queue tool that does nothing (`reqprobe -h`, `upesprobe -h`) against
# the smallest program of the C library (/bin/true), side by side in one run:
#
#   bench/startup_bench.sh [BUILD_DIR=build/release] [ROUNDS=15]
#
# Each round runs every program 40 times under `perf stat -e task-clock`, in turn; the script
# prints the median over the rounds of each program's mean CPU time per start, and the median
# ratio of each tool to /bin/true (goal for reqprobe -h: at most 2 ms).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/pairs.sh
. "$here/bench/pairs.sh"
build=$(cd "${1:-$here/build/release}" && pwd)
rounds=${2:-15}
command -v perf >/dev/null || { echo "startup_bench: perf (package linux-perf) is not installed" >&2; exit 1; }
programs=("/bin/true" "$build/tools/reqprobe/reqprobe -h" "$build/tools/upesprobe/upesprobe -h")
for p in "${programs[@]}"; do
  [ -x "${p%% *}" ] || { echo "startup_bench: ${p%% *} is not built" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/startup-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Milliseconds of CPU per start, the mean of 40 starts (the tools end -h with status 255).
cpu_ms() {
  # shellcheck disable=SC2086
  { perf stat -x, -r 40 -e task-clock $1 2>&1 >/dev/null || true; } | awk -F, '/task-clock/ { print $1 }'
}

for ((r = 1; r <= rounds; ++r)); do
  floor=
  for i in "${!programs[@]}"; do
    ms=$(cpu_ms "${programs[$i]}")
    [ -n "$ms" ] || { echo "startup_bench: perf stat gave no task-clock" >&2; exit 1; }
    echo "$ms" >>"$work/ms.$i"
    if [ "$i" = 0 ]; then floor=$ms; else awk -v a="$ms" -v b="$floor" 'BEGIN { print a / b }' >>"$work/ratio.$i"; fi
  done
done
printf '%-40s %10s %16s\n' program "CPU (ms)" "ratio to true"
for i in "${!programs[@]}"; do
  ratio=-
  [ "$i" = 0 ] || ratio=$(median <"$work/ratio.$i")
  printf '%-40s %10.2f %16s\n' "$(basename "${programs[$i]}")" "$(median <"$work/ms.$i")" "$ratio"
done
echo "medians of $rounds rounds of 40 starts each (goal: reqprobe -h at most 2 ms)"
