#!/usr/bin/env bash
# Builds the Debian package into build-pkg/, installs it with apt-get, starts
# the installed launcher headless for a keeper of the run's own (a temporary
# home holding a registry of two networks), checks the main screen's traces
# and the working directory the launcher prepared, checks that an installed
# Windows build finds the installed command interpreter stand-in, then
# removes the package. Exits non-zero on any failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-pkg
export PATH=/usr/bin:/bin:/usr/sbin:/sbin:$PATH DEBIAN_FRONTEND=noninteractive
exec </dev/null

"$top/scripts/install-deps.sh"
# Beyond the build: dpkg-shlibdeps for the package's library dependencies,
# desktop-file-validate for its desktop entry.
"$top/scripts/install-deps.sh" dpkg-dev desktop-file-utils

cmake -S "$top" -B "$build" -DKESTROVA_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j "${KESTROVA_JOBS:-2}"
rm -f "$build"/kestrova_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/kestrova_*.deb)
deb=$(basename "${debs[0]}")

scratch=$(mktemp -d /tmp/kestrova-package.XXXXXX)
mkdir -m 700 "$scratch/runtime"
installed=""
runner=""
program=""
passed=0
failed=0

check() {  # condition-status, what, what was seen instead
  if [ "$1" -eq 0 ]; then
    passed=$((passed + 1))
    echo "PASS  $2"
  else
    failed=$((failed + 1))
    printf 'FAIL  %s\n      saw: %s\n' "$2" "${3:-}"
  fi
}

# Ends, by id, the program this script started and then the xvfb-run that
# carries it, with whatever is left below that.
stop_run() {
  if [ -n "$program" ] && kill -0 "$program" 2>/dev/null; then
    kill "$program" 2>/dev/null || true
  fi
  if [ -n "$runner" ]; then
    for _ in $(seq 1 50); do
      kill -0 "$runner" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$runner" 2>/dev/null; then
      for child in $(ps -o pid= --ppid "$runner"); do
        kill "$child" 2>/dev/null || true
      done
      kill "$runner" 2>/dev/null || true
    fi
    wait "$runner" 2>/dev/null || true
  fi
  runner=""
  program=""
}

finish() {
  stop_run
  if [ -n "$installed" ]; then
    apt-get remove -y -q kestrova >/dev/null || true
  fi
  rm -rf "$scratch"
}
trap finish EXIT

# Stand-ins: this computer's address is 127.0.0.2, and the browser only
# records what it is asked to open.
mkdir -p "$scratch/stand-ins"
cat > "$scratch/stand-ins/ifconfig" <<'EOF'
#!/bin/sh
cat <<'LISTING'
lo: flags=73<UP,LOOPBACK,RUNNING>  mtu 65536
        inet 127.0.0.1  netmask 255.0.0.0

eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500
        inet 127.0.0.2  netmask 255.255.255.0  broadcast 0.0.0.0

LISTING
EOF
printf '#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s/browser.log"\n' "$scratch" > "$scratch/stand-ins/xdg-open"
chmod +x "$scratch/stand-ins/ifconfig" "$scratch/stand-ins/xdg-open"

# start NAME FOLDER COMMAND ENV...: runs COMMAND in FOLDER on a private
# display with only the given environment, output in $scratch/NAME.out and
# .err; sets $runner to the xvfb-run and $program to the command's own id.
start() {
  local name=$1 folder=$2 command=$3
  shift 3
  rm -f "$scratch/$name.pid"
  (cd "$folder" && exec env -i PATH="$scratch/stand-ins:/usr/bin:/bin" LANG=C.UTF-8 \
    XDG_RUNTIME_DIR="$scratch/runtime" "$@" \
    xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" \
    sh -c 'echo $$ > "$1"; shift; exec "$@"' sh "$scratch/$name.pid" "$command") \
    >"$scratch/$name.out" 2>"$scratch/$name.err" &
  runner=$!
  for _ in $(seq 1 100); do
    [ -s "$scratch/$name.pid" ] && break
    sleep 0.1
  done
  program=$(cat "$scratch/$name.pid" 2>/dev/null || true)
}

# The value of VARIABLE in the started program's environment.
program_env() {
  tr '\0' '\n' <"/proc/$program/environ" 2>/dev/null | sed -n "s/^$1=//p"
}

# wait_for FILE TEXT: until FILE begins with TEXT, for at most 30 s.
wait_for() {
  printf '%s' "$2" > "$scratch/expected"
  local size
  size=$(wc -c < "$scratch/expected")
  for _ in $(seq 1 300); do
    cmp -s -n "$size" "$scratch/expected" "$1" && return 0
    sleep 0.1
  done
  return 1
}

registry=$'Réseau des essais|essais|\nAtelier du Port|/srv/hubs/atelier|\n'
traces=$registry$'1\n2\n'
share=/usr/share/kestrova

# launch NAME DATA-FOLDER ENV...: one start of the installed launcher for a
# keeper whose working directory is DATA-FOLDER/kestrova.
launch() {
  local name=$1 work=$2/kestrova
  shift 2
  start "$name" "$scratch" kestrova "$@"
  wait_for "$scratch/$name.out" "$traces"
  check $? "$name: the main screen traces the two registry lines, then the counters 1 and 2" \
    "$(head -c 300 "$scratch/$name.out")"
  [ -n "$program" ] && [ "$(readlink "/proc/$program/exe" 2>/dev/null)" = /usr/bin/kestrova-linux ] \
    && [ "$(readlink "/proc/$program/cwd" 2>/dev/null)" = "$work" ]
  check $? "$name: the installed kestrova-linux runs in $work" \
    "$(readlink "/proc/$program/exe" "/proc/$program/cwd" 2>&1 | tr '\n' ' ')"
  stop_run
  # xvfb-run's own shell reports the end of what it ran.
  ! grep -qvx 'Terminated' "$scratch/$name.err"
  check $? "$name: nothing on the error stream" "$(head -c 300 "$scratch/$name.err")"
  [ "$(cat "$work/networks.data")"$'\n' = "$registry" ]
  check $? "$name: the keeper's registry is left as it was" "$(cat "$work/networks.data")"
  missing=""
  for file in img/people.jpeg img/velmor_logo.svg img/loading.gif img/fuseum.gif fuseum.gif velmor_logo.ico \
              wifi.gif settings.py urls.py hubs/views.py ressources/hub.json \
              templates/hubs/base.html static/css/espace.css; do
    case $file in
      settings.py | urls.py | hubs/* | ressources/* | templates/* | static/*) source=$share/template/$file ;;
      *) source=$share/$file ;;
    esac
    cmp -s "$source" "$work/$file" || missing="$missing $file"
  done
  [ -z "$missing" ]
  check $? "$name: the working directory holds the images and the hub template" "missing:$missing"
}

# From here on every check runs and is counted.
set +e
cd "$build"
dpkg-deb -f "$deb" Package | grep -qx kestrova
check $? "the package is named kestrova" "$(dpkg-deb -f "$deb" Package)"
depends=$(dpkg-deb -f "$deb" Depends)
lacking=""
for needed in libqt5widgets5 libqt5gui5 libqt5core5a libqt5svg5 python3-django gnome-terminal \
              net-tools nmap curl procps; do
  grep -Eq "(^|, )$needed( |,|$)" <<<"$depends" || lacking="$lacking $needed"
done
[ -z "$lacking" ]
check $? "the package depends on the libraries and tools the programs use" "lacking:$lacking in $depends"

apt-get install -y -q --reinstall "./$deb" >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log"; exit 1; }
installed=yes
check 0 "apt-get installs ./$deb"

absent=""
for file in /usr/bin/kestrova /usr/bin/kestrova-linux /usr/bin/kestrova-win-a /usr/bin/kestrova-win-b \
            /usr/bin/kestrova-win-c /usr/bin/kestrova-cmd; do
  [ -x "$file" ] || absent="$absent $file"
done
for file in $share/style.qss $share/img/people.jpeg $share/template/settings.py \
            /usr/share/applications/kestrova.desktop /usr/share/icons/hicolor/scalable/apps/kestrova.svg; do
  [ -f "$file" ] || absent="$absent $file"
done
[ -z "$absent" ]
check $? "the programs, launcher, data, desktop entry and icon are installed" "absent:$absent"
validation=$(desktop-file-validate /usr/share/applications/kestrova.desktop 2>&1)
check $? "the desktop entry is valid" "$validation"
grep -qx 'Exec=kestrova' /usr/share/applications/kestrova.desktop
check $? "the desktop entry runs the launcher" "$(grep Exec= /usr/share/applications/kestrova.desktop)"
# The build tree goes away; nothing installed may lean on it.
leaning=$(grep -rlF "$top" /usr/bin/kestrova /usr/bin/kestrova-* $share 2>/dev/null || true)
[ -z "$leaning" ]
check $? "no installed file names the build tree" "$leaning"

# First start, working directory under $HOME: only the registry is there.
mkdir -p "$scratch/home/.local/share/kestrova"
printf '%s' "$registry" > "$scratch/home/.local/share/kestrova/networks.data"
launch first-start "$scratch/home/.local/share" HOME="$scratch/home"
cmp -s "$share/style.qss" "$scratch/home/.local/share/kestrova/style.qss"
check $? "first-start: the default style sheet is put in place"

# Under XDG_DATA_HOME, with a style sheet and images of the keeper's own that
# must stay as they are.
keeper=$scratch/data/kestrova
mkdir -p "$keeper/img"
printf '%s' "$registry" > "$keeper/networks.data"
printf 'QPushButton { color: green; }\n' > "$keeper/style.qss"
printf 'not an image\n' > "$keeper/img/velmor_logo.ico"
launch xdg-data-home "$scratch/data" HOME="$scratch/home" XDG_DATA_HOME="$scratch/data"
[ "$(cat "$keeper/style.qss")" = 'QPushButton { color: green; }' ] \
  && [ "$(cat "$keeper/img/velmor_logo.ico")" = 'not an image' ]
check $? "xdg-data-home: the keeper's own style sheet and image are not replaced" \
  "$(cat "$keeper/style.qss" "$keeper/img/velmor_logo.ico")"
[ ! -e "$scratch/browser.log" ] || ! grep -q '^http' "$scratch/browser.log"
check $? "no hub is opened in the browser at start" "$(cat "$scratch/browser.log" 2>/dev/null)"

# An installed Windows build runs its commands through the installed stand-in
# for the command interpreter. Its network's folder does not exist, so the
# stand-in's cd says so, and no server ever starts.
mkdir -p "$scratch/win"
printf 'Absent|hub-absent|\n' > "$scratch/win/networks.data"
# The window then probes 127.0.0.1:8000, which is shared with other runs.
exec 9>/tmp/kestrova-port8000.lock
flock 9
start win-a "$scratch/win" /usr/bin/kestrova-win-a HOME="$scratch/home"
export DISPLAY XAUTHORITY
DISPLAY=$(program_env DISPLAY)
XAUTHORITY=$(program_env XAUTHORITY)
window=""
for _ in $(seq 1 100); do
  window=$(xdotool search --name '^Accueil Kestrova$' 2>/dev/null | head -n 1)
  [ -n "$window" ] && break
  sleep 0.1
done
if [ -n "$window" ]; then
  # Keyboard focus starts on the network's button.
  xdotool windowfocus --sync "$window" key space
  wait_for_text() {
    for _ in $(seq 1 300); do
      grep -qF "$1" "$scratch/win-a.err" && return 0
      sleep 0.1
    done
    return 1
  }
  wait_for_text "ne répond pas"
  xdotool windowfocus --sync "$window" key Escape
fi
for _ in $(seq 1 100); do
  kill -0 "$runner" 2>/dev/null || break
  sleep 0.1
done
! kill -0 "$runner" 2>/dev/null
check $? "kestrova-win-a ends when its window is closed"
stop_run
exec 9>&-
grep -qF "Le chemin d'accès spécifié est introuvable." "$scratch/win-a.err" \
  && ! grep -qF "Interpréteur de commandes introuvable" "$scratch/win-a.err"
check $? "kestrova-win-a runs its start command through the installed stand-in" \
  "$(head -c 400 "$scratch/win-a.err")"

apt-get remove -y -q kestrova >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log"; exit 1; }
installed=""
[ ! -e /usr/bin/kestrova ] && [ ! -e /usr/bin/kestrova-linux ] && [ ! -d $share ]
check $? "apt-get remove takes the package away"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
