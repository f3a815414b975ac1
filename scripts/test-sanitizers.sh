#!/usr/bin/env bash
# Builds the unit and hostile suites with AddressSanitizer and
# UndefinedBehaviorSanitizer into build-asan/ and runs them; the end-to-end
# cases run once, in the suite stage. Any sanitizer report fails the run,
# including those of the programs the tests start (the command interpreter
# stand-in among them).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTROVA_ASAN_BUILD_DIR:-$top/build-asan}

"$top/scripts/install-deps.sh"
# clang with its sanitizer and libFuzzer runtimes, which it only recommends.
"$top/scripts/install-deps.sh" cmake make clang-14 libclang-rt-14-dev

# clang rather than g++: with g++ the undefined-behaviour sanitizer is a
# runtime apart from AddressSanitizer's and writes its reports to the error
# stream whatever log_path says.
sanitizers="-fsanitize=address,undefined"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVA_BUILD_TESTS=ON "${launcher[@]}" \
  -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_CXX_FLAGS="$sanitizers -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitizers" >/dev/null
# Only the suites that run here, each a target of its own name (and what it
# depends on); a script test's name is no target.
targets=$(cmake --build "$build" --target help | sed -n 's/^\.\.\. //p' | sort)
chosen=$(cd "$build" && ctest -N -L '^(unit|hostile)$' -LE '^e2e$' | sed -n 's/^ *Test *#[0-9]*: //p' | sort \
  | comm -12 - <(echo "$targets"))
cmake --build "$build" -j 2 --target $chosen
selection="^($(echo $chosen | tr ' ' '|'))\$"

# One report file per process that found something: a test that reads only a
# program's exit status, or kills it, would otherwise never see the report.
reports=$build/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
common="halt_on_error=1:exitcode=86:print_stacktrace=1:log_path=$reports/report"
export ASAN_OPTIONS="$common:detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="$common"
export LSAN_OPTIONS="suppressions=$top/scripts/lsan.supp:print_suppressions=0"
# The program draws no OpenGL; Mesa's GLX, which Qt's X11 plugin would load,
# leaks a buffer of a driver that is unloaded by the time the leaks are listed.
export QT_XCB_GL_INTEGRATION=none

status=0
# The suites that listen on port 8000 under the lock that other runs share.
(cd "$build" && ctest --output-on-failure -j 2 -R "$selection" -LE '^port8000$' </dev/null) || status=$?
(cd "$build" && flock /tmp/kestrova-port8000.lock \
   ctest --output-on-failure -j 2 -R "$selection" -L '^port8000$' </dev/null) || status=$?

found=("$reports"/report.*)
if [ -e "${found[0]}" ]; then
  for report in "${found[@]}"; do
    echo "=== $report"
    cat "$report"
  done
  echo "Rapports des sanitizers : ${#found[@]}" >&2
  status=1
fi
exit $status
