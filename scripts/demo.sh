#!/usr/bin/env bash
# Demo: a simulated device sends one recording to ecgcomm over a pty pair.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ecgcomm
echo "The demo call arrives with the device simulator; until then the binary is only built."
