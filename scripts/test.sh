#!/usr/bin/env bash
# Installs what is missing, builds everything with the tests and runs the whole
# suite (less the unit and hostile suites that run under the sanitizers) and
# every benchmark once; then the unit and hostile suites under the sanitizers, the registry
# fuzzer, the Windows hub core under Wine and the Debian package. Every stage
# runs; the command fails if any of them failed.
# --quick: the quick gate only, the build and then the suites labelled "unit"
# (no port 8000, no display, no Wine).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTROVA_BUILD_DIR:-$top/build}

started=$SECONDS
"$top/scripts/install-deps.sh"
KESTROVA_BUILD_DIR=$build "$top/scripts/build.sh" -DKESTROVA_BUILD_TESTS=ON
echo "=== installation et construction : $((SECONDS - started)) s"

if [ "${1:-}" = --quick ]; then
  cd "$build"
  exec ctest --output-on-failure -j 2 -L '^unit$' </dev/null
fi

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

# The unit and hostile suites that the sanitizers stage builds again and runs
# with more checks (those with a program of their own, as it chooses them) are
# left to it; the suite runs everything else once. The quick gate still runs
# the unit suites of this build.
sanitized=$(cd "$build" && ctest -N -L '^(unit|hostile)$' -LE '^e2e$' | sed -n 's/^ *Test *#[0-9]*: //p' | sort \
  | comm -12 - <(cmake --build . --target help | sed -n 's/^\.\.\. //p' | sort) | paste -sd'|')
stage "suite" bash -c 'cd "$1" && ctest --output-on-failure -j 2 ${2:+-E "^($2)\$"} </dev/null' _ "$build" "$sanitized"
# Every benchmark once with the smallest count: it must reach its end; no figure is read.
# Built first; only the runs hold port 8000.
stage "bancs d'essai" bash -c 'cmake --build "$1" --target bench-programs -j 2 &&
  flock /tmp/kestrova-port8000.lock cmake --build "$1" --target bench-smoke' _ "$build"
stage "sanitizers" bash "$top/scripts/test-sanitizers.sh"
# Half a minute of fuzzing in the gate; scripts/fuzz.sh alone runs a full minute.
stage "fuzzing" env KESTROVA_FUZZ_SECONDS="${KESTROVA_FUZZ_SECONDS:-30}" bash "$top/scripts/fuzz.sh"
stage "wine" bash "$top/scripts/test-wine.sh"
stage "paquet" bash "$top/scripts/test-package.sh"

if [ ${#failed[@]} -ne 0 ]; then
  echo "Étapes en échec : ${failed[*]}" >&2
  exit 1
fi
echo "Toutes les étapes ont réussi."
