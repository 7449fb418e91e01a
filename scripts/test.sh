#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build with its unit and end-to-end tests,
# the Windows cross build, then each extra suite in scripts/suites/ (in name order).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh test
jobs=$(nproc)
# Testing is switched on by name: the demo and the packages may have made ./build without it.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$jobs"
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 300)
for suite in scripts/suites/*.sh; do
  [ -e "$suite" ] || continue
  echo "== suite ${suite##*/}"
  bash "$suite"
done
