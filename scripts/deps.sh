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

# Wine's 32-bit loader is a 32-bit x86 Linux program. The kernel runs it
# itself, or hands it to qemu-user through a binfmt_misc handler for 32-bit x86
# programs; a kernel without 32-bit x86 and with no such handler refuses it
# (exit status 126, "Exec format error"). Through qemu-user, Wine needs its
# preloader, which reserves the Windows address space at start: without it each
# Wine process takes about a minute to start. What decides is how the loader
# actually runs, not what /proc/sys/fs/binfmt_misc shows: in a container that
# folder may not be mounted while the kernel's handler still applies.
if [ "${1:-}" = windows ]; then
  loader=/usr/lib/wine/wine
  preloader=/usr/lib/wine/wine-preloader
  binfmt=/proc/sys/fs/binfmt_misc

  # Prints how the loader runs: natively, qemu (through qemu-user, which answers
  # QEMU_VERSION with its own version), refused (status 126) or failing.
  loader_runs() {
    local out status=0
    out=$(QEMU_VERSION=1 "$loader" --version 2>/dev/null) || status=$?
    if [ "$status" -eq 126 ]; then echo refused
    elif [ "$status" -ne 0 ]; then echo failing
    elif [ "${out#qemu-}" != "$out" ]; then echo qemu
    else echo natively
    fi
  }

  way=$(loader_runs)
  if [ "$way" != natively ]; then
    # A package can be recorded as installed while its file is missing (files
    # left out of a container's image): such a package is installed again.
    need32=()
    [ -x /usr/bin/qemu-i386-static ] || need32+=(qemu-user-static)
    [ -e "$preloader" ] || need32+=(wine32-preloader:i386)
    if [ ${#need32[@]} -gt 0 ]; then
      require_root "${need32[@]}"
      echo "Installing: ${need32[*]} (32-bit x86 programs through qemu-user)"
      apt-get update -qq >/dev/null
      apt_install --reinstall "${need32[@]}"
    fi
    way=$(loader_runs)
  fi
  if [ "$way" = refused ]; then
    [ "$(id -u)" -eq 0 ] || { echo "deps.sh: this kernel cannot run 32-bit x86 programs; run as root to run them through qemu-user" >&2; exit 1; }
    # A container may refuse the mount; there the handler must come from outside.
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
    [ -e "$binfmt/register" ] || {
      echo "deps.sh: this kernel cannot run 32-bit x86 programs, and $binfmt cannot be mounted to hand them to qemu-user; register qemu-i386-static there from outside (flag F)" >&2
      exit 1
    }
    if [ -e "$binfmt/qemu-i386" ]; then
      echo "Enabling the binfmt_misc handler qemu-i386 for 32-bit x86 programs"
      echo 1 >"$binfmt/qemu-i386"
    else
      # Flag F: the kernel opens qemu-i386-static now, so the handler also
      # serves containers and chroots that do not have the file.
      echo "Registering qemu-i386-static for 32-bit x86 programs with binfmt_misc"
      printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' >"$binfmt/register"
    fi
    way=$(loader_runs)
  fi
  case $way in
    natively) ;;
    qemu)
      [ -e "$preloader" ] || {
        echo "deps.sh: Wine's 32-bit loader runs through qemu-user, but $preloader is missing after installing wine32-preloader:i386" >&2
        exit 1
      } ;;
    *)
      echo "deps.sh: Wine's 32-bit loader does not run on this machine, not even through qemu-user: $("$loader" --version 2>&1 | head -n 1)" >&2
      exit 1 ;;
  esac
fi
