#!/usr/bin/env bash
# Configures the tree as scripts/demo.sh does (no tests, no benchmarks, no broker module) in a
# temporary folder and checks that the configuration holds no test and no GoogleTest.
#   build_without_tests_test.sh SOURCE_DIR
set -euo pipefail
source=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/probes-notests.XXXXXX")
trap 'rm -rf "$work"' EXIT

if ! cmake -S "$source" -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DPROBES_BENCH=OFF -DPROBES_AMQP=OFF >"$work/configure.log" 2>&1; then
  cat "$work/configure.log" >&2
  echo "build_without_tests_test: the tree does not configure without tests" >&2
  exit 1
fi
if grep -q 'gtest\|gmock' "$work/build.ninja"; then
  echo "build_without_tests_test: a build without tests still uses GoogleTest" >&2
  exit 1
fi
for tool in rvqm reqprobe upesprobe mapprobe eventecho; do
  grep -q "^build tools/$tool/$tool:" "$work/build.ninja" || {
    echo "build_without_tests_test: no target builds $tool" >&2
    exit 1
  }
done
echo "build_without_tests_test: configures without tests"
