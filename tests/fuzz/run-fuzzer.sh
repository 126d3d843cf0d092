#!/usr/bin/env bash
# One fuzzer as a test: each regression input once, then RUNS new inputs
# from the seeds on, with a fixed random seed so that a run repeats. A crash
# leaves its input at ARTIFACTS<kind>-<hash>.
# Usage: run-fuzzer.sh FUZZER SEEDS REGRESSIONS RUNS ARTIFACTS
set -euo pipefail
fuzzer=$1 seeds=$2 regressions=$3 runs=$4 artifacts=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$(dirname "$artifacts")" "$seeds"
options=(-timeout=10 -rss_limit_mb=2048 "-artifact_prefix=$artifacts")
mapfile -t inputs < <(find "$regressions" -type f ! -name .keep | sort)
if [ ${#inputs[@]} -gt 0 ]; then
  "$fuzzer" "${options[@]}" "${inputs[@]}" 2>"$work/replay.log" || { cat "$work/replay.log"; exit 1; }
fi
"$fuzzer" "${options[@]}" -runs="$runs" -seed=1 -print_final_stats=1 "$work" "$seeds" "$regressions" 2>"$work/fuzz.log" ||
  { tail -n 60 "$work/fuzz.log"; exit 1; }
echo "${#inputs[@]} regression inputs replayed; $(grep -o 'number_of_executed_units: *[0-9]*' "$work/fuzz.log" | grep -o '[0-9]*$') inputs run"
