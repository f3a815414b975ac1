#!/usr/bin/env bash
# Installs what is missing, builds everything with the tests and runs the whole
# suite; then the same suite under the sanitizers, the registry fuzzer, the
# Windows hub core under Wine and the Debian package. Every stage runs; the
# command fails if any of them failed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTROVA_BUILD_DIR:-$top/build}

"$top/scripts/install-deps.sh"
KESTROVA_BUILD_DIR=$build "$top/scripts/build.sh" -DKESTROVA_BUILD_TESTS=ON

failed=()
stage() {
  local name=$1
  shift
  echo "=== $name"
  local started=$SECONDS
  if "$@"; then
    echo "=== $name : réussi en $((SECONDS - started)) s"
  else
    echo "=== $name : ÉCHEC après $((SECONDS - started)) s" >&2
    failed+=("$name")
  fi
}

stage "suite" bash -c 'cd "$1" && ctest --output-on-failure -j 2 </dev/null' _ "$build"
stage "sanitizers" bash "$top/scripts/test-sanitizers.sh"
stage "fuzzing" bash "$top/scripts/fuzz.sh"
stage "wine" bash "$top/scripts/test-wine.sh"
stage "paquet" bash "$top/scripts/test-package.sh"

if [ ${#failed[@]} -ne 0 ]; then
  echo "Étapes en échec : ${failed[*]}" >&2
  exit 1
fi
echo "Toutes les étapes ont réussi."
