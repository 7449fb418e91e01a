#!/usr/bin/env bash
# Demo: builds ecgcomm, starts it on a simulated serial line (a pty pair relayed at 57,600 baud),
# lets the device simulator send one generated recording, shows where the .ECG file landed and
# the log, and stops the process through its control pipe. No hardware, no root.
# Output stays in ./demo-out.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
./scripts/deps.sh demo
# A ./build the test command made is reused as it is; a new one is made without the tests,
# which the demo does not need (nor GoogleTest).
if [ -f build/CMakeCache.txt ]; then
  cmake -S . -B build >/dev/null
else
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build build -j"$(nproc)" --target ecgcomm
binary=$root/build/server/ecgcomm
[ -x "$binary" ] || { echo "ecgcomm was not built" >&2; exit 1; }

out=$root/demo-out
rm -rf "$out"
mkdir -p "$out/in" "$out/sent"
work=$(mktemp -d "${TMPDIR:-/tmp}/ecgdemo.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

wait_for() { # file text seconds
  for _ in $(seq 1 $(($3 * 10))); do
    grep -qsF -- "$2" "$1" && return 0
    sleep 0.1
  done
  echo "timed out waiting for \"$2\" in $1" >&2
  return 1
}

echo "== simulated line: COM1 <-> $work/device-tty at 57600 baud"
python3 testbench/line.py --com-dir "$work/ports" --com 1 --peer-link "$work/device-tty" \
  --baud 57600 >"$work/line.out" 2>&1 &
pids+=($!)
wait_for "$work/line.out" ready 10

echo "== starting ecgcomm through the parent tool (control pipe $work/ctl.sock)"
ECGCOMM_PORTS="$work/ports" python3 testbench/parent.py --pipe "$work/ctl.sock" \
  --send 'first:log=Client disconnected.' --timeout 180 -- \
  "$binary" -comport 1 -baudrate 576 -directory "$out/in" >"$out/parent.out" 2>&1 &
parent=$!
wait_for "$out/in/logfile_1.log" "Starting CSI task." 30

echo "== the device calls and sends a generated 4096-byte recording"
python3 testbench/device.py --tty "$work/device-tty" --generate 4096 --save-dir "$out/sent" |
  tee "$out/device.out"

echo "== waiting for the parent to stop ecgcomm through the control pipe"
wait "$parent" || true
cat "$out/parent.out"

echo
stored=$(find "$out/in" -name '*.ECG' | head -n 1)
if [ -z "$stored" ]; then
  echo "No .ECG file was stored." >&2
  exit 1
fi
echo "== the recording landed in: $stored"
if cmp -s "$stored" "$out/sent/sent-1.obj"; then
  echo "   (byte-identical to what the device sent)"
else
  echo "   DIFFERS from what the device sent" >&2
  exit 1
fi
echo
echo "== log ($out/in/logfile_1.log):"
cat "$out/in/logfile_1.log"
