#!/usr/bin/env bash
# Short fuzz runs in CI: every fuzz target for about 30 seconds (FUZZ_SECONDS to change it).
# Reuses the clang build of the sanitizer suite when it ran first.
# Installs clang 14 and its runtime libraries when they are missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
if ! command -v clang++-14 >/dev/null ||
  ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q clang-14 libclang-rt-14-dev
fi
./fuzz/run.sh "${FUZZ_SECONDS:-30}"
