#!/bin/sh
# The Windows builds and their interpreter stand-in stay test products, yet
# install on request: cmake --install BUILD --component windows-builds.
set -eu
build=$1
prefix=$(mktemp -d /tmp/kestrova-windows-builds.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --component windows-builds --prefix "$prefix" >/dev/null
installed=$(ls "$prefix/bin" | tr '\n' ' ')
[ "$installed" = 'kestrova-cmd kestrova-win-a kestrova-win-b kestrova-win-c ' ] \
  || { echo "expected kestrova-cmd and the three Windows builds in bin/, saw: $installed"; exit 1; }
