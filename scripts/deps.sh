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
  { [ -x /usr/sbin/mkfs.exfat ] && [ -x /usr/sbin/mount.exfat-fuse ]; } || need+=(exfatprogs exfat-fuse)  # a case-insensitive folder
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

# Wine's 32-bit loader is a 32-bit x86 Linux program. A kernel that cannot run
# those refuses it (exit status 126, "Exec format error"); there qemu-user runs
# them, registered for them with binfmt_misc, and Wine's preloader reserves the
# Windows address space at start (without it, Wine under qemu-user takes about a
# minute to start each process). A machine that runs them itself is left as is.
if [ "${1:-}" = windows ]; then
  binfmt=/proc/sys/fs/binfmt_misc
  status=0
  /usr/lib/wine/wine --version >/dev/null 2>&1 || status=$?
  if [ "$status" -eq 126 ] || [ -e "$binfmt/qemu-i386" ]; then
    need32=()
    [ -x /usr/bin/qemu-i386-static ] || need32+=(qemu-user-static)
    [ -e /usr/lib/wine/wine-preloader ] || need32+=(wine32-preloader:i386)
    if [ ${#need32[@]} -gt 0 ]; then
      require_root "${need32[@]}"
      echo "Installing: ${need32[*]} (32-bit x86 programs through qemu-user)"
      apt-get update -qq >/dev/null
      apt_install "${need32[@]}"
    fi
    if [ "$(head -n 1 "$binfmt/qemu-i386" 2>/dev/null)" != enabled ]; then
      [ "$(id -u)" -eq 0 ] || { echo "deps.sh: this kernel cannot run 32-bit x86 programs; run as root to run them through qemu-user" >&2; exit 1; }
      [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
      echo "Registering qemu-i386-static for 32-bit x86 programs with binfmt_misc"
      if [ -e "$binfmt/qemu-i386" ]; then
        echo 1 >"$binfmt/qemu-i386"
      else
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' >"$binfmt/register"
      fi
    fi
    /usr/lib/wine/wine --version >/dev/null 2>&1 || {
      echo "deps.sh: 32-bit x86 programs do not run on this machine, not even through qemu-user" >&2
      exit 1
    }
  fi
fi
