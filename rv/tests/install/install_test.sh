#!/usr/bin/env bash
# Installs the build tree into a fresh prefix and uses the RV library from there alone: a C
# program built with "cc prog.c $(pkg-config --cflags --libs rvic)" and the same program built
# by a CMake project with find_package(rvic). Also checks what the installed objects export and
# that a program of the embedded queue manager does not link the broker's libraries.
#   install_test.sh BUILD_DIR THIS_DIR REQPROBE C_COMPILER SANITIZE(1|0) [STATIC_LIBSTDCXX(1|0)]
set -euo pipefail
build=$1 here=$2 reqprobe=$3 cc=$4 sanitize=$5 static_cxx=${6:-0}

work=$(mktemp -d "${TMPDIR:-/tmp}/rv-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "install_test: $*" >&2
  exit 1
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "cmake --install failed"
pc=$(find "$prefix" -name rvic.pc)
[ -n "$pc" ] || fail "no rvic.pc under $prefix"
libdir=$(cd "$(dirname "$pc")/.." && pwd)

# Nothing of the build tree may help: the module is found beside the installed library.
unset RV_MODULE_DIR RV_DATA_DIR
export PKG_CONFIG_PATH= PKG_CONFIG_LIBDIR=$(dirname "$pc")
flags=$(pkg-config --cflags --libs rvic)
case "$flags" in *"$prefix"*) ;; *) fail "pkg-config gives $flags, not the prefix $prefix" ;; esac
sanitizer=()
[ "$sanitize" = 1 ] && sanitizer=(-fsanitize=address,undefined)

# shellcheck disable=SC2086  # the flags are words
"$cc" -std=c11 -Wall -Wextra -Werror "${sanitizer[@]}" "$here/prog.c" $flags -o "$work/prog" ||
  fail "the C program does not build against the installed tree"
mkdir "$work/run1"
LD_LIBRARY_PATH=$libdir RV_DATA_DIR=$work/run1/data "$work/prog" "$work/run1" ||
  fail "the C program built with pkg-config failed"

cmake -S "$here" -B "$work/consumer" -G Ninja -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="${sanitizer[*]}" >"$work/consumer.log" ||
  fail "find_package(rvic) failed: $(cat "$work/consumer.log")"
cmake --build "$work/consumer" >>"$work/consumer.log" || fail "the CMake consumer does not build"
mkdir "$work/run2"
LD_LIBRARY_PATH=$libdir RV_DATA_DIR=$work/run2/data "$work/consumer/prog" "$work/run2" ||
  fail "the C program built with the CMake package failed"

# The shared library exports exactly the calls that the installed headers declare, under a
# versioned SONAME; the module exports its entry point alone.
lib=$(readlink -f "$libdir/librvic.so")
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWi]$/ { sub(/@.*/, "", $3); print $3 }' | sort)
declared=$(grep -ho '^RV_API [^(]*(' "$prefix/include/rvic.h" "$prefix/include/rvadmin.h" |
  sed 's/($//; s/.*[ *]//' | sort)
[ "$exported" = "$declared" ] || fail "librvic exports
$exported
but the headers declare
$declared"
readelf -d "$lib" | grep -q 'SONAME.*\[librvic\.so\.[0-9]*\]' || fail "no versioned SONAME"
module=$libdir/rvic/rvic-amqp.so
[ "$(nm -D --defined-only "$module" | awk '$2 == "T" { print $3 }')" = rv_backend ] ||
  fail "the module exports more than rv_backend"
readelf -d "$module" | grep -q 'NEEDED.*librabbitmq' || fail "the module does not link librabbitmq"

# The programs link the library statically without the broker's libraries, and load ICU
# only when they convert: none of them is mapped at start-up.
if readelf -d "$reqprobe" | grep -E 'NEEDED.*(librabbitmq|libssl|libcrypto|libicu)'; then
  fail "$reqprobe links the broker's or ICU's libraries"
fi
# Where the build links the C++ library into the queue tools, it is not loaded at start-up.
if [ "$static_cxx" = 1 ] && readelf -d "$reqprobe" | grep -E 'NEEDED.*libstdc\+\+'; then
  fail "$reqprobe loads libstdc++ at start-up"
fi
echo "install_test: $(nm -D --defined-only "$lib" | grep -c ' T ') calls exported; all checks passed"
