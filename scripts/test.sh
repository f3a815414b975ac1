#!/usr/bin/env bash
# Installs what is missing, builds everything with the tests, runs the whole suite.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTROVA_BUILD_DIR:-$top/build}

"$top/scripts/install-deps.sh"
KESTROVA_BUILD_DIR=$build "$top/scripts/build.sh" -DKESTROVA_BUILD_TESTS=ON
cd "$build"
ctest --output-on-failure -j 2 </dev/null
