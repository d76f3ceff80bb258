#!/usr/bin/env bash
# Installs what is missing, starts a private message broker for the broker tests, builds,
# and runs the whole suite twice: once in an optimised build (which also builds and checks
# the Debian package) and once under AddressSanitizer and UndefinedBehaviorSanitizer. The
# broker is stopped at the end. Last, every C and C++ file must follow .clang-format.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh
probes_install_deps "${probes_test_packages[@]}"
# The broker tests run against a private rabbitmq-server on loopback, with certificates for its
# TLS listener made by openssl.
scripts/broker.sh start
trap 'scripts/broker.sh stop' EXIT

unset KES_TRACE KES_TRACE_FILE RV_DATA_DIR
jobs=$(nproc)

run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

# Both builds keep line tables only (-g1): backtraces and sanitizer reports still name files
# and lines, and the compiler spends a third less time than with full debug information.
run_suite build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPROBES_AMQP_TESTS=ON \
  -DPROBES_PACKAGE_TEST=ON "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DPROBES_SANITIZE=ON -DPROBES_BENCH=OFF \
  -DPROBES_AMQP_TESTS=ON -DPROBES_PACKAGE_TEST=OFF -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1

scripts/check-format.sh
