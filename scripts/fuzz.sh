#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz", clang's libFuzzer) and runs every
# one of them, or the named ones, for the given number of seconds each:
#
#   scripts/fuzz.sh [seconds per target] [target...]
#
# Seeds come from tests/fuzz/corpus/<target>/ and are never written to. New
# corpus entries and crash inputs go to build/fuzz/findings/<target>/ (corpus/
# and crashes/), where later runs start from them; copy an input worth keeping
# into the seed corpus by hand. Prints the executions of each target; exits 1
# when a target crashed or broke one of its properties.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [seconds per target] [target...]" >&2
  exit 2
fi
[ $# -gt 0 ] && shift

available=()
for folder in tests/fuzz/corpus/*/; do
  available+=("$(basename "$folder")")
done
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=("${available[@]}")
fi
for target in "${targets[@]}"; do
  if [ ! -d "tests/fuzz/corpus/$target" ]; then
    echo "Unknown fuzz target '$target'; known: ${available[*]}" >&2
    exit 2
  fi
done

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "${FUZZ_BUILD_JOBS:-2}"

findings=build/fuzz/findings
count_files() { find "$1" -maxdepth 1 -type f | wc -l; }
stat_of() { sed -n "s/^stat::$1: *//p" "$2" | tail -n 1; }

status=0
summary=()
for target in "${targets[@]}"; do
  out="$findings/$target"
  mkdir -p "$out/corpus" "$out/crashes"
  log="$out/last-run.log"
  corpus_before=$(count_files "$out/corpus")
  crashes_before=$(count_files "$out/crashes")
  echo "== $target: $seconds s (log: $log)"
  result=0
  # The outer limit only guards against a fuzzer that stops answering.
  timeout --signal=KILL $((seconds + 300)) \
    "build/fuzz/tests/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/crashes/" \
    "$out/corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1 || result=$?
  executions=$(stat_of number_of_executed_units "$log")
  rate=$(stat_of average_exec_per_sec "$log")
  added=$(( $(count_files "$out/corpus") - corpus_before ))
  crashes=$(( $(count_files "$out/crashes") - crashes_before ))
  seeds=$(count_files "tests/fuzz/corpus/$target")
  verdict=ok
  if [ "$result" -ne 0 ] || [ "$crashes" -ne 0 ]; then
    verdict="FAILED (exit $result; see $log and $out/crashes/)"
    status=1
  fi
  summary+=("$(printf '%-22s %8s %12s %8s %6s %10s %10s  %s' "$target" "$seconds" \
    "${executions:-?}" "${rate:-?}" "$seeds" "$(count_files "$out/corpus")" "+$added" "$verdict")")
done

echo
printf '%-22s %8s %12s %8s %6s %10s %10s  %s\n' target seconds executions exec/s seeds corpus new result
printf '%s\n' "${summary[@]}"
exit $status
