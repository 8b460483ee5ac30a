#!/usr/bin/env bash
# Runs each libFuzzer target for a while (default 600 s each), one after the
# other on one core, keeping its corpus in build-fuzz/corpus/NAME and any
# finding in build-fuzz/findings/.  Prints, per target, the executions, the
# rate and the findings.
#
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/scripts/common.sh"
zantu_install_missing
secs="${1:-600}"
shift || true
build="$here/build-fuzz"
CXX=clang++ cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZANTU_FUZZ=ON -DZANTU_BUILD_GUI=OFF -DZANTU_BUILD_BENCH=OFF -DZANTU_WERROR=OFF >/dev/null
cmake --build "$build" -j"$(zantu_jobs)" --target fuzz_all >/dev/null
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_receiver fuzz_decoder fuzz_hexloader)
mkdir -p "$build/findings"
status=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  log="$build/findings/$t.log"
  set +e
  "$build/$t" "$build/corpus/$t" -max_total_time="$secs" -print_final_stats=1 \
    -artifact_prefix="$build/findings/$t-" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  rate=$(grep -o 'exec/s: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$' || echo "?")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$' || echo "?")
  if [ $rc -eq 0 ]; then
    echo "$t: $execs executions in ${secs} s ($rate/s), coverage $cov, no findings"
  else
    status=1
    echo "$t: FINDING after $execs executions; see $log and $build/findings/$t-*"
    grep -E 'invariant|ERROR|SUMMARY' "$log" | head -n 5 | sed 's/^/  /'
  fi
done
exit $status
