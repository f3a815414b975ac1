#!/usr/bin/env bash
# The hub core of the Windows builds on a Windows runtime: cross-compiled with
# MinGW-w64 (wine/), its checks run under Wine in a fresh prefix of the build
# folder, headless. Installs what it needs; exits non-zero on any failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
self=$top/scripts/$(basename "$0")
build=${KESTROVA_WINE_BUILD_DIR:-$top/build-wine}
lock=/tmp/kestrova-port8000.lock

export WINEPREFIX=$build/wine-prefix
export WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installer prompt, no desktop menu entries for the prefix.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# A Windows path of this machine's file, through Wine's drive Z:.
windows_path() {
  local unix=$1
  printf 'Z:%s' "${unix//\//\\}"
}

# Runs one program of checks and adds what it printed to the log. Its output
# goes to a file, not a pipe: processes that Wine starts on the way (its
# desktop process among them) inherit the handle and keep it open.
run_checks() {
  local program=$1
  shift
  local output=$run/$program-$1.out status=0
  timeout --kill-after=10 300 wine "$build/bin/$program.exe" "$@" </dev/null >"$output" 2>&1 || status=$?
  tee -a "$log" <"$output"
  return $status
}

# Port 8000 is shared with other runs on this machine: the caller holds the
# lock for the whole of this phase, listener included.
port_checks() {
  if (exec 3<>/dev/tcp/127.0.0.1/8000) 2>/dev/null; then
    echo "127.0.0.1:8000 already answers: another program listens there." | tee -a "$log"
    return 1
  fi
  local trigger=$run/listen-now ready=$run/listening
  rm -f "$trigger" "$ready"
  # Opens the port one second after the checks ask for it, then accepts and
  # closes connections; it ends by itself after two minutes at most.
  /usr/bin/python3 -c '
import os, socket, sys, time
trigger, ready = sys.argv[1], sys.argv[2]
deadline = time.monotonic() + 120
while not os.path.exists(trigger):
    if time.monotonic() > deadline:
        sys.exit(1)
    time.sleep(0.05)
time.sleep(1.0)
with socket.socket() as server:
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 8000))
    server.listen(16)
    open(ready, "w").close()
    server.settimeout(0.2)
    while time.monotonic() < deadline:
        try:
            server.accept()[0].close()
        except socket.timeout:
            pass
' "$trigger" "$ready" &
  local listener=$!
  trap 'kill "$listener" 2>/dev/null || true' EXIT
  local status=0
  KW_LISTEN_TRIGGER=$(windows_path "$trigger") KW_LISTEN_READY=$(windows_path "$ready") \
    run_checks kestrova-wine-checks-c probes || status=1
  kill "$listener" 2>/dev/null || true
  wait "$listener" 2>/dev/null || true
  trap - EXIT
  # Windows processes of the checks' own listen there next: the owner of the
  # port, its folder, the launch, the stop and the session's end.
  run_checks kestrova-wine-checks-c owner || status=1
  return $status
}

if [ "${1:-}" = --port-checks ]; then
  port_checks
  exit
fi

started=$SECONDS

# What CI's clean Debian 12 lacks: Wine, the MinGW-w64 compilers, and the
# native tools for the Linux side of the comparison and the listener.
"$top/scripts/install-deps.sh" wine wine64 g++-mingw-w64-x86-64-posix cmake make g++ python3

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$top/wine" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-w64.cmake" "${launcher[@]}" >/dev/null
cmake --build "$build" -j2

# The Linux build's reading of the same registry sample, for the comparison.
native=$build/native/registry-dump
native_sources=("$top/wine/registry_dump.cpp" "$top/wine/registry_sample.h" "$top/src/core/hub_utilities.cpp"
  "$top/src/core/hub_utilities.h" "$top/src/core/network.cpp" "$top/src/core/network.h")
stale=no
[ -x "$native" ] || stale=yes
for source in "${native_sources[@]}"; do
  if [ "$source" -nt "$native" ]; then stale=yes; fi
done
if [ $stale = yes ]; then
  mkdir -p "$build/native"
  g++ -std=c++17 -Wall -Wextra -O1 -I"$top/src/core" -I"$top/wine" "$top/wine/registry_dump.cpp" \
    "$top/src/core/hub_utilities.cpp" "$top/src/core/network.cpp" -o "$native"
fi

built=$SECONDS

# A fresh prefix, its server kept alive for the whole run, then ended: only
# this prefix's server and the Windows processes it holds.
server=
# A server works in a folder of its own under /tmp, named in the prefix and
# left with an empty lock file once the server has ended.
remove_server_folder() {
  local name folder
  name=$(cat "$WINEPREFIX/wineserver" 2>/dev/null || true)
  case $name in wine-??????) ;; *) return 0 ;; esac
  for folder in /tmp/"$name"/server-*; do
    [ -d "$folder" ] && rm -f "$folder/lock" && rmdir "$folder" 2>/dev/null || true
  done
  rmdir "/tmp/$name" 2>/dev/null || true
}
port_checks_pid=
end_wine() {
  [ -z "$port_checks_pid" ] || kill "$port_checks_pid" 2>/dev/null || true
  if [ -n "$server" ]; then
    wineserver -k 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
    server=
    remove_server_folder
  fi
}
trap end_wine EXIT
if [ -d "$WINEPREFIX" ]; then
  # A server that an interrupted run left on the old prefix is ended first.
  if compgen -G "/tmp/$(cat "$WINEPREFIX/wineserver" 2>/dev/null || echo none)/server-*/socket" >/dev/null; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
  remove_server_folder
  rm -rf "$WINEPREFIX"
fi
mkdir -p "$WINEPREFIX"
wineserver -f -p </dev/null >"$build/wineserver.log" 2>&1 &
server=$!
# The first start of a prefix takes 5 to 20 s.
if ! timeout 300 wineboot -i </dev/null >"$build/wineboot.log" 2>&1; then
  cat "$build/wineboot.log"
  echo "The Wine prefix $WINEPREFIX could not be made." >&2
  exit 1
fi

# No display here: Wine's null driver still gives windows, which hear a
# session's end as on a desktop. The prefix's desktop process, started by
# wineboot, takes it only from the prefix's next server on.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wait "$server" 2>/dev/null || true
wineserver -f -p </dev/null >>"$build/wineserver.log" 2>&1 &
server=$!

booted=$SECONDS

run=$build/run
rm -rf "$run"
mkdir -p "$run/linux-registry"
log=$run/checks.log
: >"$log"
(cd "$run/linux-registry" && "$native" >"$run/registry-linux.txt")

# The checks' own python, django-admin, cp, tasklist and findstr come first
# on the Windows PATH.
export WINEPATH
WINEPATH=$(windows_path "$build/path")
export KW_LINUX_RECORDS
KW_LINUX_RECORDS=$(windows_path "$run/registry-linux.txt")
export build run log
cd "$run"

failures=0
# In the background, so that an interrupted run stops waiting for the lock.
flock -w 600 "$lock" bash "$self" --port-checks &
port_checks_pid=$!
wait "$port_checks_pid" || failures=$((failures + 1))
port_checks_pid=
port_done=$SECONDS
run_checks kestrova-wine-checks-c launch stop provision registry || failures=$((failures + 1))
run_checks kestrova-wine-checks-a launch || failures=$((failures + 1))
run_checks kestrova-wine-checks-b launch || failures=$((failures + 1))
end_wine

# The Windows programs end their lines with CR LF.
summary='^win-[abc]: [0-9]+ passed, [0-9]+ failed$'
read -r passed failed < <(tr -d '\r' <"$log" | awk -v summary="$summary" '$0 ~ summary { p += $2; f += $4 }
  END { print p + 0, f + 0 }')
# A program that stopped before its closing line counts as one failure.
summaries=$(tr -d '\r' <"$log" | grep -c -E "$summary" || true)
failed=$((failed + 5 - summaries))
[ "$failed" -gt 0 ] || failed=$failures
echo "Windows builds under Wine, in $((SECONDS - started)) s (build $((built - started)) s," \
  "prefix $((booted - built)) s, port 8000 checks with their lock $((port_done - booted)) s," \
  "other checks $((SECONDS - port_done)) s):"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
