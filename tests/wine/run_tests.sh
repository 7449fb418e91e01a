#!/usr/bin/env bash
# tests/wine/run_tests.sh [BUILD_DIR]: the Windows build's tests under Wine in a throw-away prefix.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build-win}" && pwd)
failed=()

# ecgcomm.exe must run from its folder alone: system DLLs only, no compiler runtime.
dlls=$(x86_64-w64-mingw32-objdump -p "$build/server/ecgcomm.exe" | awk '/DLL Name:/ {print $3}')
if [ -z "$dlls" ] || echo "$dlls" | grep -qviE '^(kernel32|msvcrt|user32|advapi32|ws2_32|shlwapi)\.dll$'
then
  echo "ecgcomm.exe is missing or needs DLLs that are not part of Windows: $dlls"
  failed+=(static-link)
fi

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" TZ=UTC HOME="${HOME:-/tmp}"
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
wineboot -i >/dev/null 2>&1
wineserver -w
# One server for the whole run, started apart so that no test program's output inherits it.
wineserver -p </dev/null >/dev/null 2>&1

socat pty,raw,echo=0,link="$WINEPREFIX/pty-a" pty,raw,echo=0,link="$WINEPREFIX/pty-b" &
socat_pid=$!
for _ in $(seq 50); do [ -e "$WINEPREFIX/pty-b" ] && break; sleep 0.1; done
ln -sf "$WINEPREFIX/pty-a" "$WINEPREFIX/dosdevices/com7"
ln -sf "$WINEPREFIX/pty-b" "$WINEPREFIX/dosdevices/com8"
export ECGWIN_COM_PAIR=7,8

filter="-$(grep -v '^\s*\(#\|$\)' "$here/linux_only_tests.txt" | paste -sd:)"
for exe in "$build"/tests/wine/test_*.exe; do
  name=$(basename "$exe" .exe) && echo "== $name"
  out="$WINEPREFIX/$name.out" # a file: Wine's services would hold a pipe open until the end
  (cd "$build/tests/wine" && timeout 300 wine "$exe" --gtest_filter="$filter" >"$out" 2>&1)
  rc=$?
  grep -E '^\[  (FAILED|PASSED|SKIPPED) |^\[==========\] .* ran|: Failure$|Expected|Which is|Value of' "$out" | head -60
  [ $rc -eq 0 ] || failed+=("$name")
done
kill "$socat_pid" 2>/dev/null && socat_pid=""
rm -f "$WINEPREFIX/dosdevices/com7" "$WINEPREFIX/dosdevices/com8"
for case in direct_two_files cancel_during_transfer console_event; do
  /usr/bin/python3 "$root/tests/e2e/e2e.py" "$case" --wine "$build" || failed+=("e2e.$case")
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "Wine suite FAILED: ${failed[*]}"
  exit 1
fi
echo "Wine suite passed"
