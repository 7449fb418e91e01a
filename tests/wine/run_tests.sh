#!/usr/bin/env bash
# Runs the Windows build under Wine in a throw-away prefix: checks that ecgcomm.exe needs no
# DLL beside it, runs every Windows unit test program, then the end-to-end cases of wine_e2e.py.
#
#   tests/wine/run_tests.sh [BUILD_DIR]     (default build-win; configured with BUILD_TESTING=ON)
#
# Two COM numbers (7 and 8) are mapped onto the two ends of one pty pair for the port tests.
# Exit code 0 when everything passed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build-win}" && pwd)

failed=()
# ecgcomm.exe must run from its folder alone: it may import system DLLs only, never the
# compiler's runtime (libstdc++, libgcc, libwinpthread).
if [ ! -f "$build/server/ecgcomm.exe" ]; then
  echo "no $build/server/ecgcomm.exe"
  failed+=(ecgcomm.exe)
else
  dlls=$(x86_64-w64-mingw32-objdump -p "$build/server/ecgcomm.exe" | awk '/DLL Name:/ {print $3}')
  foreign=$(echo "$dlls" | grep -viE '^(kernel32|msvcrt|user32|advapi32|ws2_32|shlwapi)\.dll$')
  if [ -n "$foreign" ]; then
    echo "ecgcomm.exe needs DLLs that are not part of Windows: $foreign"
    failed+=(static-link)
  else
    echo "ecgcomm.exe imports only system DLLs: $(echo $dlls)"
  fi
fi

export WINEDEBUG=-all
# No Mono or Gecko: their installers would wait for a dialog nobody answers.
export WINEDLLOVERRIDES="mscoree,mshtml="
export TZ=UTC
# Wine keeps per-user state under HOME; CI shells do not always set it.
export HOME="${HOME:-/tmp}"
unset DISPLAY WAYLAND_DISPLAY
WINEPREFIX=$(mktemp -d /tmp/ecgwine.XXXXXX)
export WINEPREFIX
socat_pid=""
cleanup() {
  [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

start=$(date +%s)
wineboot -i >/dev/null 2>&1
wineserver -w
# One server for the whole run, started here so that no test program's output inherits it.
wineserver -p </dev/null >/dev/null 2>&1
echo "wine prefix ready after $(($(date +%s) - start)) s"

socat pty,raw,echo=0,link="$WINEPREFIX/pty-a" pty,raw,echo=0,link="$WINEPREFIX/pty-b" &
socat_pid=$!
for _ in $(seq 50); do
  [ -e "$WINEPREFIX/pty-b" ] && break
  sleep 0.1
done
ln -sf "$WINEPREFIX/pty-a" "$WINEPREFIX/dosdevices/com7"
ln -sf "$WINEPREFIX/pty-b" "$WINEPREFIX/dosdevices/com8"
export ECGWIN_COM_PAIR=7,8
export ECGCOMM_SOURCE_DIR="Z:${root//\//\\}"
export ECGCOMM_BINARY_DIR="Z:${build//\//\\}"

filter="-$(grep -v '^\s*\(#\|$\)' "$here/linux_only_tests.txt" | paste -sd:)"
for exe in "$build"/tests/wine/test_*.exe; do
  name=$(basename "$exe" .exe)
  echo "== $name"
  # Output goes to a file, not a pipe: Wine's device services started on the way (the serial
  # driver) inherit it and would hold a pipe open until the end of the run.
  out="$WINEPREFIX/$name.out"
  (cd "$build/tests/wine" && timeout 300 wine "$exe" --gtest_filter="$filter" >"$out" 2>&1)
  rc=$?
  grep -E '^\[  (FAILED|PASSED|SKIPPED) |^\[==========\] .* ran|: Failure$|Expected|Which is|Value of' "$out" | head -60
  [ $rc -eq 0 ] || failed+=("$name")
done

kill "$socat_pid" 2>/dev/null
socat_pid=""
rm -f "$WINEPREFIX/dosdevices/com7" "$WINEPREFIX/dosdevices/com8"
/usr/bin/python3 "$here/wine_e2e.py" --build "$build" || failed+=(e2e)

if [ ${#failed[@]} -gt 0 ]; then
  echo "Wine suite FAILED: ${failed[*]}"
  exit 1
fi
echo "Wine suite passed in $(($(date +%s) - start)) s"
