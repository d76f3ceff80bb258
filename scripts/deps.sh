# Installs the Debian packages that the build, the demo and the tests need.
# Sourced by demo.sh and test.sh; only packages that are absent are installed.
# shellcheck shell=bash

# To build the programs and the library, and to run the demo.
probes_packages=(
  g++ cmake ninja-build pkg-config
  libxerces-c-dev libicu-dev librabbitmq-dev libssl-dev
)

# For the tests as well: GoogleTest, xmllint and groff (manual pages), dpkg-dev and lintian
# (the Debian package), clang-format (the format check), and the broker for the broker tests.
probes_test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev
  libxml2-utils groff-base dpkg-dev lintian clang-format-14
  rabbitmq-server amqp-tools openssl
)

# Installs probes_packages and the packages given as arguments.
probes_install_deps() {
  local missing=()
  local p
  for p in "${probes_packages[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}
