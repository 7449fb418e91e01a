#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan), writes their seed corpora and runs
# each target for the given number of seconds, then prints executions and coverage per target.
# Usage: fuzz/run.sh [seconds per target, default 30] [target ...]
# Corpora grow in build-fuzz/corpus/<target> from run to run; an input that breaks a target is
# kept in build-fuzz/findings/<target>/ and makes the script exit 1.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(slip_receive udp_recvfrom obj_file command_line profile csi_engine)
build=$PWD/build-fuzz

cmake --preset fuzz >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_seeds $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null
"$build"/fuzz/fuzz_seeds . "$build/seeds"

# Longest input per target: a little over what the parser can take in one piece, so that
# time goes into the structure of inputs rather than into their length.
max_len() {
  case "$1" in
    slip_receive) echo 3000 ;;
    udp_recvfrom) echo 1100 ;;
    csi_engine) echo 2048 ;;
    profile | command_line) echo 512 ;;
    *) echo 4096 ;;
  esac
}

status=0
summary=()
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  findings="$build/findings/$t"
  mkdir -p "$corpus" "$findings"
  log="$build/fuzz-$t.log"
  set +e
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$build/seeds/$t" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  cov=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 | grep -o 'cov: [0-9]*' || true)
  ft=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 | grep -o 'ft: [0-9]*' || true)
  if [ "$rc" -ne 0 ]; then
    status=1
    summary+=("$(printf '%-14s FINDING (exit %s) after %s executions, see %s and %s' \
      "$t" "$rc" "${execs:-?}" "$log" "$findings")")
    grep -E 'ERROR|invariant broken|runtime error|SUMMARY' "$log" | head -5 >&2 || true
  else
    summary+=("$(printf '%-14s %12s executions  %s  %s  corpus %s' "$t" "${execs:-?}" \
      "${cov:-cov: ?}" "${ft:-ft: ?}" "$(ls "$corpus" | wc -l)")")
  fi
done
echo "fuzz run: ${seconds}s per target"
printf '%s\n' "${summary[@]}"
exit $status
