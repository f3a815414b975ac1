#!/usr/bin/env bash
# Builds the Debian package into build-pkg/ and checks it as a packager would
# (lintian, AppStream and desktop entry validation, contents); installs it with
# apt-get, starts the installed launchers headless for keepers of the run's
# own (a fresh home; a registry of two networks), checks the main screen's
# traces and the working directory the launcher prepared, then removes the
# package. Exits non-zero on any failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build-pkg
export PATH=/usr/bin:/bin:/usr/sbin:/sbin:$PATH DEBIAN_FRONTEND=noninteractive
exec </dev/null

"$top/scripts/install-deps.sh"
# Beyond the build: dpkg-buildflags and dpkg-shlibdeps for the package,
# lintian, appstreamcli and desktop-file-validate to check it.
"$top/scripts/install-deps.sh" dpkg-dev desktop-file-utils lintian appstream

deb=$(KESTROVA_PACKAGE_BUILD_DIR=$build "$top/scripts/build-package.sh")
deb=$(basename "$deb")

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
  # Besides the launcher's line, xvfb-run's own shell reports the end of what it ran.
  [ "$(grep -vx 'Terminated' "$scratch/$name.err")" = "kestrova : dossier de travail : $work" ]
  check $? "$name: the error stream holds only the line naming the working folder" \
    "$(head -c 300 "$scratch/$name.err")"
  [ "$(cat "$work/networks.data")"$'\n' = "$registry" ]
  check $? "$name: the keeper's registry is left as it was" "$(cat "$work/networks.data")"
  missing=""
  for file in img/people.jpeg img/velmor_logo.svg img/loading.gif img/fuseum.gif fuseum.gif velmor_logo.ico \
              wifi.gif settings.py urls.py hubs/views.py ressources/hub.json \
              templates/hubs/base.html static/css/espace.css; do
    case $file in
      settings.py | urls.py | hubs/* | ressources/* | templates/* | static/*) source=$share/template/$file ;;
      fuseum.gif | wifi.gif | velmor_logo.ico) source=$share/img/$file ;;
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
              net-tools curl procps; do
  grep -Eq "(^|, )$needed( |,|$)" <<<"$depends" || lacking="$lacking $needed"
done
[ -z "$lacking" ]
check $? "the package depends on the libraries and tools the programs use" "lacking:$lacking in $depends"
! grep -Eq '(^|, )nmap( |,|$)' <<<"$depends" \
  && grep -Eq '(^|, )nmap( |,|$)' <<<"$(dpkg-deb -f "$deb" Recommends)"
check $? "nmap, which only the members' program runs, is recommended, not required" "$depends"

contents=$(dpkg -c "$deb")
! grep -Eq '/kestrova-(win-[abc]|cmd)$' <<<"$contents"
check $? "the Windows builds and kestrova-cmd are not in the package" \
  "$(grep -E 'kestrova-(win|cmd)' <<<"$contents")"
# Each image once: a second copy is a symbolic link, not a file.
dpkg-deb -x "$deb" "$scratch/unpacked"
twice=$(find "$scratch/unpacked" -type f -regex '.*\.\(gif\|svg\|ico\|png\|jpe?g\)' -exec md5sum {} + \
  | sort | uniq -w32 -D | sed "s|$scratch/unpacked||")
[ -z "$twice" ]
check $? "no image is installed twice" "$twice"
lintian --fail-on error,warning --display-level '>=warning' "$deb" >"$scratch/lintian.log" 2>&1
check $? "lintian finds no error or warning that is not overridden" "$(cat "$scratch/lintian.log")"

apt-get install -y -q --reinstall "./$deb" >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log"; exit 1; }
installed=yes
check 0 "apt-get installs ./$deb"

absent=""
for file in /usr/bin/kestrova /usr/bin/kestrova-linux /usr/bin/kestrova-membre /usr/bin/kestrova-client; do
  [ -x "$file" ] || absent="$absent $file"
done
for file in $share/style.qss $share/img/people.jpeg $share/template/settings.py \
            /usr/share/applications/kestrova.desktop /usr/share/applications/kestrova-membre.desktop \
            /usr/share/icons/hicolor/scalable/apps/kestrova.svg /usr/share/doc/kestrova/copyright \
            /usr/share/doc/kestrova/changelog.gz; do
  [ -f "$file" ] || absent="$absent $file"
done
# A manual page for every command the package puts on PATH.
for file in $(dpkg -L kestrova | grep '^/usr/bin/'); do
  [ -f "/usr/share/man/man1/$(basename "$file").1.gz" ] || absent="$absent man:$(basename "$file")"
done
[ -z "$absent" ]
check $? "the programs, launchers, data, desktop entries, icon, documents and manual pages are installed" \
  "absent:$absent"
validation=$(desktop-file-validate /usr/share/applications/kestrova*.desktop 2>&1)
check $? "the desktop entries are valid" "$validation"
validation=$(appstreamcli validate --no-net $(dpkg -L kestrova | grep '^/usr/share/metainfo/.') 2>&1)
check $? "the AppStream metadata is valid" "$validation"
grep -qx 'Exec=kestrova' /usr/share/applications/kestrova.desktop \
  && grep -qx 'Exec=kestrova-membre' /usr/share/applications/kestrova-membre.desktop
check $? "the desktop entries run the launchers" "$(grep Exec= /usr/share/applications/kestrova*.desktop)"
# The build tree goes away; nothing installed may lean on it.
leaning=$(grep -rlF "$top" /usr/bin/kestrova /usr/bin/kestrova-* $share 2>/dev/null || true)
[ -z "$leaning" ]
check $? "no installed file names the build tree" "$leaning"

# Working directory under $HOME, where the keeper put only the registry: the
# rest is put in place, and no demo is made.
mkdir -p "$scratch/home/.local/share/kestrova"
printf '%s' "$registry" > "$scratch/home/.local/share/kestrova/networks.data"
launch registry-only "$scratch/home/.local/share" HOME="$scratch/home"
cmp -s "$share/style.qss" "$scratch/home/.local/share/kestrova/style.qss" \
  && [ ! -e "$scratch/home/.local/share/kestrova/demo" ]
check $? "registry-only: the default style sheet is put in place, and no demo"

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

# A first start where django-admin cannot be found: the folder is made all
# the same, without the demo, and the error stream says why. The program runs
# off screen, with only the tools the launcher uses on PATH.
mkdir -p "$scratch/bare-path" "$scratch/no-django"
for tool in mkdir find cp mv rm cmp wc flock; do ln -s "$(command -v $tool)" "$scratch/bare-path/$tool"; done
env -i PATH="$scratch/bare-path" HOME="$scratch/no-django" QT_QPA_PLATFORM=offscreen \
  /usr/bin/kestrova >/dev/null 2>"$scratch/no-django.err" &
without=$!
for _ in $(seq 1 100); do
  [ "$(readlink "/proc/$without/exe" 2>/dev/null)" = /usr/bin/kestrova-linux ] && break
  sleep 0.1
done
kill "$without" 2>/dev/null
wait "$without" 2>/dev/null
work=$scratch/no-django/.local/share/kestrova
grep -qx "kestrova : dossier de travail : $work" "$scratch/no-django.err" \
  && grep -q "django-admin est introuvable" "$scratch/no-django.err" \
  && [ -f "$work/settings.py" ] && [ ! -s "$work/networks.data" ] && [ ! -e "$work/demo" ]
check $? "without django-admin, the first start prepares the folder without the demo and says why" \
  "$(cat "$scratch/no-django.err"; ls "$work" 2>&1 | tr '\n' ' ')"

# The fresh home: first start with the demo network, second start, members' launcher.
# It listens on 127.0.0.2:8000 and scans 127.0.0.0/24, which other runs share.
flock /tmp/kestrova-port8000.lock /usr/bin/python3 "$top/tests/package/installed_launchers.py" "$scratch" \
  | sed 's/^/      /'
check "${PIPESTATUS[0]}" "the installed launchers' starts in a fresh home (checks above)"

apt-get remove -y -q kestrova >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log"; exit 1; }
installed=""
[ ! -e /usr/bin/kestrova ] && [ ! -e /usr/bin/kestrova-linux ] && [ ! -d $share ]
check $? "apt-get remove takes the package away"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
