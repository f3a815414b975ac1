#!/usr/bin/env bash
# Builds the registry fuzzer with clang into build-fuzz/ and runs it for a
# bounded time over a copy of the seed corpus. A crash, a leak, a sanitizer
# report or a failed check of the target fails the run, and its input is kept
# in build-fuzz/artifacts/.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTROVA_FUZZ_BUILD_DIR:-$top/build-fuzz}
seconds=${KESTROVA_FUZZ_SECONDS:-60}

# clang with its sanitizer and libFuzzer runtimes, which it only recommends.
"$top/scripts/install-deps.sh" cmake make clang-14 libclang-rt-14-dev

cmake -S "$top/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$build" -j 2

# The fuzzer adds what it finds to its corpus: the repository's seeds stay as they are.
corpus=$build/corpus
rm -rf "$corpus" "$build/artifacts"
mkdir -p "$corpus" "$build/artifacts"
cp "$top"/fuzz/corpus/registry/* "$corpus"/
# The target writes each input as a registry file: in memory where it can.
scratch=$(mktemp -d /dev/shm/kestrova-fuzz.XXXXXX 2>/dev/null || mktemp -d "$build/scratch.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

log=$build/fuzz.log
status=0
TMPDIR=$scratch \
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$build/fuzz_registry" -max_total_time="$seconds" -detect_leaks=1 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
    "$corpus" >"$log" 2>&1 </dev/null || status=$?

if [ "$status" -ne 0 ] || [ -n "$(ls -A "$build/artifacts")" ]; then
  tail -n 80 "$log"
  echo "Le fuzzing du registre a échoué (code $status) ; entrées gardées dans $build/artifacts/" >&2
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
echo "Fuzzing du registre : ${seconds} s sans défaut ($(ls "$corpus" | wc -l) entrées au corpus)"
