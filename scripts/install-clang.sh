#!/usr/bin/env bash
# Installs, from Debian's packages, clang with its sanitizer and libFuzzer
# runtimes, and the build tools, where they are missing.
set -euo pipefail

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v clang++-14 >/dev/null || need+=(clang-14)
# clang only recommends its runtimes; a plain install leaves them out.
compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-$(uname -m).a" >/dev/null \
  || need+=(libclang-rt-14-dev)
[ ${#need[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "Installation des paquets manquants : ${need[*]}"
"${as_root[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q --no-install-recommends "${need[@]}"
