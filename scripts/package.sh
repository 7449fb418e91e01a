#!/usr/bin/env bash
# Builds the packages into ./dist: the Debian package (.deb) from the Linux build in ./build and
# the Windows .zip from the MinGW-w64 cross build in ./build-win. Build folders that the test
# command made are reused as they are; missing ones are configured without the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh package
jobs=$(nproc)

configure() { # folder, options for its first configuration
  local dir=$1
  shift
  if [ -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" >/dev/null
  else
    cmake -S . -B "$dir" -DBUILD_TESTING=OFF "$@" >/dev/null
  fi
}
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
configure build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release

rm -rf dist
mkdir -p dist
for dir in build build-win; do
  cmake --build "$dir" -j"$jobs" >/dev/null
  # A fresh folder per run, so that only this run's package is taken.
  rm -rf "$dir/packages"
  (cd "$dir" && cpack -B "$PWD/packages") >"$dir/cpack.log" 2>&1 || {
    cat "$dir/cpack.log" >&2
    exit 1
  }
  find "$dir/packages" -maxdepth 1 \( -name '*.deb' -o -name '*.zip' \) -exec mv {} dist/ \;
done
ls -l dist
[ -n "$(ls dist/*.deb 2>/dev/null)" ] && [ -n "$(ls dist/*.zip 2>/dev/null)" ] || {
  echo "package.sh: a package is missing in dist/" >&2
  exit 1
}
