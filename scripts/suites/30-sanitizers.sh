#!/usr/bin/env bash
# Sanitizer runs: the whole Linux suite (unit and end-to-end) under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded tests (engine thread and poster, communication
# task, control pipe and end-event thread, log writer, process entry) under ThreadSanitizer. Any report fails the
# run; there are no suppressions. The ASan+UBSan run uses the clang build that also holds the
# fuzz targets (one build instead of two; the fuzz suite reuses it). The ThreadSanitizer build
# links a small shim for the one lock call the sanitizer does not see
# (cmake/sanitizers/tsan_clocklock.cpp says why).
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)
if ! command -v clang++-14 >/dev/null ||
  ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q clang-14 libclang-rt-14-dev
fi
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== AddressSanitizer + UndefinedBehaviorSanitizer (clang 14): every test"
cmake --preset fuzz >/dev/null
cmake --build build-fuzz -j"$jobs" >/dev/null
# The exFAT case checks the file system's behaviour, not memory: the plain build runs it, and
# the code it takes is run here by the storage unit tests. Two minutes saved.
(cd build-fuzz && ctest -j"$jobs" --timeout 600 --output-on-failure -E '^e2e\.exfat$')

echo "== ThreadSanitizer: the threaded tests"
threaded=(test_logging test_csi test_comm test_server)
cmake --preset tsan >/dev/null
cmake --build build-tsan -j"$jobs" --target ecgcomm "${threaded[@]}" >/dev/null
for t in "${threaded[@]}"; do
  [ -x "build-tsan/tests/$t" ] || continue
  echo "-- $t"
  env TZ=UTC "build-tsan/tests/$t" --gtest_brief=1
done
