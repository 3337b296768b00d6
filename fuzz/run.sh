#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every fuzz target of build/fuzz.
#   fuzz/run.sh [seconds]      each target for that long (default 60), growing a working
#                              corpus in out/fuzz/corpus/<target> from the seeds
#   fuzz/run.sh --ci [seconds] each target once over its committed corpus, then for that
#                              long (default 5) on fresh inputs from a throw-away copy
# Findings land in out/fuzz/findings/<target>/; FUZZ_TARGETS names a subset of the targets.
# Without --ci a target runs in FUZZ_JOBS processes at once (default: one a core), which
# share its working corpus. Prints one line of figures per target and exits non-zero when
# any target found something. The targets run with the address
# sanitizer's cheap settings (fuzz/fuzz_support.cpp); a finding is run again with its full
# settings (allocation stacks, quarantine) for the report, <log>.full.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

ci=0
if [ "${1:-}" = "--ci" ]; then ci=1; shift; fi
seconds="${1:-$([ $ci = 1 ] && echo 5 || echo 60)}"
bin=$PWD/build/fuzz/bin
jobs="${FUZZ_JOBS:-$(nproc)}"
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "FUZZ_JOBS must be a count of processes, not '$jobs'" >&2; exit 2; }
# FUZZ_TARGETS="page stream" runs only those.
read -r -a targets <<< "${FUZZ_TARGETS:-settings escape media_file printer_data model_data page stream}"
out=$PWD/out/fuzz
failed=()

# The figures of a run from libFuzzer's final statistics: of each process's own log, added.
figures() {
  local runs rate
  runs=$(cat "$@" | sed -n 's/^stat::number_of_executed_units: *//p' | awk '{s += $1} END {print s}')
  rate=$(cat "$@" | sed -n 's/^stat::average_exec_per_sec: *//p' | awk '{s += $1} END {print s}')
  echo "${runs:-?} executions, ${rate:-?} per second"
}

for target in "${targets[@]}"; do
  fuzzer="$bin/fuzz_$target"
  seeds="$PWD/fuzz/corpus/$target"
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
    logs=("$log")
  else
    mkdir -p "$out/corpus/$target"
    if [ "$jobs" -gt 1 ]; then
      # libFuzzer's own processes, each with a seed of its own, writing fuzz-N.log into
      # the folder it runs in and taking up what the others add to the corpus.
      rm -rf "$log.d" && mkdir "$log.d"
      (cd "$log.d" && "$fuzzer" "${common[@]}" -jobs="$jobs" -workers="$jobs" \
         -max_total_time="$seconds" "$out/corpus/$target" "$seeds") >"$log" 2>&1
      status=$?
      logs=("$log.d"/fuzz-*.log)
    else
      "$fuzzer" "${common[@]}" -max_total_time="$seconds" "$out/corpus/$target" "$seeds" >"$log" 2>&1
      status=$?
      logs=("$log")
    fi
  fi
  if [ $status -ne 0 ]; then
    echo "$target: FAILED after $(figures "${logs[@]}") (see ${logs[*]}; input in $findings)"
    cat "${logs[@]}" | grep -m3 -E "FINDING|ERROR|SUMMARY" | sed 's/^/  /'
    for input in "$findings"*; do
      [ -f "$input" ] || continue
      ASAN_OPTIONS=malloc_context_size=30:quarantine_size_mb=256 "$fuzzer" "$input" \
        >"$log.full" 2>&1
    done
    failed+=("$target")
  else
    echo "$target: clean, $(figures "${logs[@]}") in ${seconds} s$([ ${#logs[@]} -gt 1 ] && echo " (${#logs[@]} processes)")"
  fi
done

if ((${#failed[@]})); then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets clean"
