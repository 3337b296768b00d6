#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every fuzz target of build/fuzz.
#   fuzz/run.sh [seconds]      each target for that long (default 60), growing a working
#                              corpus in out/fuzz/corpus/<target> from the seeds
#   fuzz/run.sh --ci [seconds] each target once over its committed corpus, then for that
#                              long (default 5) on fresh inputs from a throw-away copy
# Findings land in out/fuzz/findings/<target>/; FUZZ_TARGETS names a subset of the targets. Prints one line of figures per target and
# exits non-zero when any target found something. The targets run with the address
# sanitizer's cheap settings (fuzz/fuzz_support.cpp); a finding is run again with its full
# settings (allocation stacks, quarantine) for the report, <log>.full.
set -uo pipefail
cd "$(dirname "$0")/.."

ci=0
if [ "${1:-}" = "--ci" ]; then ci=1; shift; fi
seconds="${1:-$([ $ci = 1 ] && echo 5 || echo 60)}"
bin=build/fuzz/bin
# FUZZ_TARGETS="page stream" runs only those.
read -r -a targets <<< "${FUZZ_TARGETS:-settings escape media_file printer_data model_data page stream}"
out=out/fuzz
failed=()

# The figures of a run from libFuzzer's final statistics.
figures() {
  local log=$1 runs rate
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  echo "${runs:-?} executions, ${rate:-?} per second"
}

for target in "${targets[@]}"; do
  fuzzer="$bin/fuzz_$target"
  seeds="fuzz/corpus/$target"
  findings="$out/findings/$target/"
  mkdir -p "$findings" "$out/logs"
  log="$out/logs/$target.log"
  if [ ! -x "$fuzzer" ]; then
    echo "$target: $fuzzer is not built (cmake --preset fuzz && cmake --build --preset fuzz)"
    failed+=("$target")
    continue
  fi
  common=(-artifact_prefix="$findings" -timeout=30 -print_final_stats=1)
  if [ $ci = 1 ]; then
    if ! "$fuzzer" "${common[@]}" -runs=0 "$seeds" >"$log.corpus" 2>&1; then
      echo "$target: FAILED on its corpus (see $log.corpus)"
      failed+=("$target")
      continue
    fi
    work=$(mktemp -d)
    cp -r "$seeds/." "$work/"
    "$fuzzer" "${common[@]}" -max_total_time="$seconds" "$work" >"$log" 2>&1
    status=$?
    rm -rf "$work"
  else
    mkdir -p "$out/corpus/$target"
    "$fuzzer" "${common[@]}" -max_total_time="$seconds" "$out/corpus/$target" "$seeds" >"$log" 2>&1
    status=$?
  fi
  if [ $status -ne 0 ]; then
    echo "$target: FAILED after $(figures "$log") (see $log; input in $findings)"
    grep -m3 -E "FINDING|ERROR|SUMMARY" "$log" | sed 's/^/  /'
    for input in "$findings"*; do
      [ -f "$input" ] || continue
      ASAN_OPTIONS=malloc_context_size=30:quarantine_size_mb=256 "$fuzzer" "$input" \
        >"$log.full" 2>&1
    done
    failed+=("$target")
  else
    echo "$target: clean, $(figures "$log") in ${seconds} s"
  fi
done

if ((${#failed[@]})); then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets clean"
