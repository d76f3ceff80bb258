# Installs the Debian packages that the build, the tests and the demo need.
# Sourced by demo.sh and test.sh; only packages that are absent are installed.
probes_packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libxerces-c-dev libicu-dev librabbitmq-dev libssl-dev
  libxml2-utils groff-base
)

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
