#!/usr/bin/env bash
# Sanitizer runs: the whole Linux suite (unit and end-to-end) built with AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded tests (engine thread and poster, control pipe
# and end-event thread, log writer, process entry) built with ThreadSanitizer. Any report fails
# the run; there are no suppressions. The ThreadSanitizer build links a small shim for the one
# lock call the sanitizer does not see (cmake/sanitizers/tsan_clocklock.cpp says why).
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: every test"
cmake --preset asan >/dev/null
cmake --build build-asan -j"$jobs" >/dev/null
(cd build-asan && ctest -j"$jobs" --timeout 600 --output-on-failure)

echo "== ThreadSanitizer: the threaded tests"
threaded=(test_logging test_csi test_server test_hardening)
cmake --preset tsan >/dev/null
cmake --build build-tsan -j"$jobs" --target ecgcomm "${threaded[@]}" >/dev/null
# The soak drives the engine round by round on the test thread: no threads, and slow here.
for t in "${threaded[@]}"; do
  [ -x "build-tsan/tests/$t" ] || continue
  echo "-- $t"
  env TZ=UTC ECGCOMM_SOURCE_DIR="$PWD" ECGCOMM_BINARY_DIR="$PWD/build-tsan" \
    "build-tsan/tests/$t" --gtest_brief=1 --gtest_filter=-Soak.*
done
