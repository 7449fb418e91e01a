#!/usr/bin/env bash
# The Windows build proven under Wine: builds ecgcomm.exe and the Windows test programs with
# the MinGW-w64 cross compiler, then runs them under Wine (tests/wine/run_tests.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v wine >/dev/null || [ ! -x /usr/lib/wine/wine64 ] || ! command -v socat >/dev/null
then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q wine wine64 socat
fi
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBUILD_TESTING=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win -j"$(nproc)"
exec tests/wine/run_tests.sh build-win
