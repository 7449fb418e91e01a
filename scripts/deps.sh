#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, when it is missing.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v socat >/dev/null || need+=(socat)
command -v flock >/dev/null || need+=(util-linux)
# The exFAT destination case (run as root): an image formatted, loop-mounted through FUSE.
[ -x /usr/sbin/mkfs.exfat ] || need+=(exfatprogs)
[ -x /usr/sbin/mount.exfat-fuse ] || need+=(exfat-fuse)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${need[@]}"
fi
