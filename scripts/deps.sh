#!/usr/bin/env bash
# Installs what a command needs on a Debian machine, when it is missing:
#   deps.sh demo      a compiler, CMake, make and Python: enough to build ecgcomm and show a call
#   deps.sh package   those, the MinGW-w64 cross compiler and dpkg's tools for the packages
#   deps.sh [test]    those of the demo, the cross compiler, GoogleTest, socat and the exFAT
#                     tools (suites install their own extras: Wine, clang, the package checks')
# The demo and the packages get no recommended packages, so a fresh machine stays lean.
set -euo pipefail
profile=${1:-test}
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v make >/dev/null || need+=(make)
command -v g++ >/dev/null || need+=(g++)
command -v python3 >/dev/null || need+=(python3)
flags=(--no-install-recommends)
case $profile in
demo) ;;
package | test)
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
  ;;&
package)
  command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
  command -v file >/dev/null || need+=(file)
  ;;
test)
  flags=()
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  command -v socat >/dev/null || need+=(socat)
  command -v flock >/dev/null || need+=(util-linux)
  # The exFAT destination case (run as root): an image formatted, loop-mounted through FUSE.
  [ -x /usr/sbin/mkfs.exfat ] || need+=(exfatprogs)
  [ -x /usr/sbin/mount.exfat-fuse ] || need+=(exfat-fuse)
  ;;
*)
  echo "usage: $0 [demo|package|test]" >&2
  exit 2
  ;;
esac
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${flags[@]}" "${need[@]}"
fi
