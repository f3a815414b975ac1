#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the demo and the tests
# need and this machine lacks; given package names, those instead (the extra
# stages of the test command). Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config qtbase5-dev qtbase5-dev-tools
  # the tests' translations (lrelease)
  qttools5-dev-tools
  # images the windows load (SVG icons) and the fonts they are drawn with
  libqt5svg5 qt5-image-formats-plugins fonts-dejavu-core
  # the hubs: Debian's Django, and the image generator
  python3 python3-django python3-pil
  # the keeper's desktop: terminal, session bus, X server for headless runs
  gnome-terminal dbus-x11 xvfb xauth xdotool xclip imagemagick
  # the desktop's browser is reached through xdg-open
  xdg-utils
  # the tools the program runs
  net-tools nmap curl
  # DNS-SD: the client browses through Avahi, a hub announces itself over the
  # system bus; the tests run their own avahi-daemon in network namespaces
  libavahi-client-dev avahi-daemon python3-dbus dbus-daemon iproute2 util-linux
)

[ $# -eq 0 ] || packages=("$@")

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "Installation des paquets manquants : ${missing[*]}"
"${as_root[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
