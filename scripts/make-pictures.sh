#!/usr/bin/env bash
# Makes the README's pictures from the real program on a private X server,
# into docs/pictures/: main-screen, running-server-panel, new-network-form,
# setup-dialog, failure, client-window and client-connected (.png). Each screen
# is drawn in a session of its own; one that fails is named and the others
# are still drawn. Run it again after any change to a screen; arguments name
# the screens to draw again (e.g. client_window), see tools/pictures.py.
# It builds into build-pictures/ and stages a demo working directory there.
# It listens on loopback port 8000 and scans 127.0.0.0/24: run it alone, as in
#   flock /tmp/kestrova-port8000.lock bash scripts/make-pictures.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTROVA_PICTURES_BUILD_DIR:-$top/build-pictures}
export PATH=/usr/bin:/bin:/usr/sbin:/sbin:$PATH   # Debian's Django belongs to /usr/bin/python3

"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -DKESTROVA_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "${KESTROVA_JOBS:-2}" --target kestrova-linux kestrova-client

"$top/scripts/stage-demo.sh" "$build/demo"
# The pictures show the style sheet that is installed by default.
cp "$top/scripts/style.qss" "$build/demo/style.qss"
rm -rf "$build/pictures-run"
mkdir -p "$build/pictures-run"
/usr/bin/python3 "$top/tools/pictures.py" "$build/kestrova-linux" \
  "$build/kestrova-client" "$build/demo" "$build/pictures-run" "$top/docs/pictures" "$@"
