#!/usr/bin/env bash
# Configures and builds every program this host can make into build/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTROVA_BUILD_DIR:-$top/build}
# A compiler cache, where the machine has one, serves every build folder and clone.
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
