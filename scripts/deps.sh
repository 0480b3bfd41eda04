#!/usr/bin/env bash
# Installs, from the distribution's package archive, whatever the build and the
# tests need and this machine lacks. Usage: scripts/deps.sh [build|windows]
# (build: only what building the program needs; windows: also MinGW-w64 and Wine)
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
if [ "${1:-}" != build ]; then
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  command -v clang++ >/dev/null 2>&1 || need+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-dev)
fi
if [ "${1:-}" = windows ]; then
  command -v i686-w64-mingw32-g++ >/dev/null 2>&1 || need+=(g++-mingw-w64-i686)
fi

# Every change to the package manager needs root: say so in one line before
# apt-get or dpkg would.
require_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "deps.sh: missing packages: $*; run as root or install them" >&2
    exit 1
  fi
}

apt_install() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

if [ ${#need[@]} -gt 0 ]; then
  require_root "${need[@]}"
  echo "Installing: ${need[*]}"
  apt-get update -qq >/dev/null
  apt_install "${need[@]}"
fi

if [ "${1:-}" = windows ] && ! command -v wine >/dev/null 2>&1; then
  require_root wine32:i386 wine
  echo "Installing: wine (32-bit)"
  dpkg --add-architecture i386
  apt-get update -qq >/dev/null
  apt_install wine32:i386 wine
fi
