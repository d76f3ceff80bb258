#!/usr/bin/env bash
# Installs what is missing, builds in Release and runs the main job.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/deps.sh
probes_install_deps

cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DPROBES_BENCH=OFF
cmake --build build/demo -j "$(nproc)"
echo "built:"
find build/demo/tools -maxdepth 2 -type f -perm -u+x | sort
