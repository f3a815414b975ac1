#!/usr/bin/env bash
# Builds the Debian package into build-pkg/ (KESTROVA_PACKAGE_BUILD_DIR) with
# Debian's hardening flags, and prints the package's path.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTROVA_PACKAGE_BUILD_DIR:-$top/build-pkg}

# Debian's flags, all hardening included; CMake reads no CPPFLAGS, so the
# preprocessor's (the fortified functions) go with the compiler's.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

# Build type None: the flags are Debian's alone, as Debian's own CMake builds
# do. Given on the command line, they also replace those of an earlier run.
# Only what the package installs: no Windows builds, no stand-ins (the check
# that they install on request is a test of the suite).
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$top" -B "$build" -DKESTROVA_BUILD_TESTS=OFF -DKESTROVA_WINDOWS_BUILDS=OFF -DCMAKE_BUILD_TYPE=None "${launcher[@]}" \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >/dev/null
cmake --build "$build" -j "${KESTROVA_JOBS:-2}" >&2
rm -f "$build"/kestrova_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/kestrova_*.deb)
echo "${debs[0]}"
