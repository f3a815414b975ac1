#!/usr/bin/env bash
# Installs what is missing, builds, stages the demo working directory and opens
# the administrator window there. Without a display it shows the window on a
# private X server, saves a picture of the main screen, prints its path and stops.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTROVA_BUILD_DIR:-$top/build}
demo=$build/demo

"$top/scripts/install-deps.sh"
KESTROVA_BUILD_DIR=$build "$top/scripts/build.sh" -DKESTROVA_BUILD_TESTS=OFF
"$top/scripts/stage-demo.sh" "$demo"
cd "$demo"
export PATH=/usr/bin:/bin:$PATH LANG=${LANG:-C.UTF-8}

if [ -n "${DISPLAY:-}" ]; then
  if [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
    exec "$build/kestrova-linux"
  fi
  exec dbus-run-session -- "$build/kestrova-linux"
fi

shot=$build/main-screen.png
xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" bash -c '
  "$1" >/dev/null 2>&1 &
  program=$!
  for _ in $(seq 1 100); do
    window=$(xdotool search --name "^Accueil Kestrova$" 2>/dev/null | head -n 1)
    [ -n "$window" ] && break
    sleep 0.1
  done
  if [ -z "$window" ]; then
    echo "La fenêtre « Accueil Kestrova » ne s'"'"'est pas ouverte." >&2
    kill "$program"
    wait "$program" 2>/dev/null || true
    exit 1
  fi
  sleep 1
  import -window "$window" "$2"
  kill "$program"
  wait "$program" 2>/dev/null || true
' run "$build/kestrova-linux" "$shot"
echo "$shot"
