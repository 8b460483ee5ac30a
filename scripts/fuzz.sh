#!/usr/bin/env bash
# Runs each libFuzzer target for a while (default 600 s each), one after the
# other on one core, then runs every input it kept once more under
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
# The fuzzing itself runs in a build with coverage only: the sanitizers cost
# the receiver and decoder targets five times their speed (every host call and
# data exchange of the console is checked), and the invariants these targets
# assert need none of them.  Every input the fuzzer kept (each one that reached
# something new) and every finding is then run under the sanitizers, so a
# memory fault or undefined behaviour on any path the fuzzer reached is still
# found.  The corpus stays in build-fuzz/corpus/NAME for the next run, findings
# go to build-fuzz/findings/.  Prints, per target, the executions, the rate and
# the findings.
#
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/scripts/common.sh"
zantu_install_missing
secs="${1:-600}"
shift || true
checked="$here/build-fuzz"
fast="$here/build-fuzz-fast"
configure() {
  CXX=clang++ cmake -S "$here" -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANTU_FUZZ=ON \
    -DZANTU_FUZZ_SANITIZE="$2" -DZANTU_BUILD_GUI=OFF -DZANTU_BUILD_BENCH=OFF -DZANTU_WERROR=OFF >/dev/null
  cmake --build "$1" -j"$(zantu_jobs)" --target fuzz_all >/dev/null
}
configure "$checked" "address,undefined"
configure "$fast" ""
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$fast"/fuzz_*; do [ -x "$f" ] && targets+=("$(basename "$f")"); done
fi
mkdir -p "$checked/findings"
status=0
for t in "${targets[@]}"; do
  corpus="$checked/corpus/$t"
  mkdir -p "$corpus"
  log="$checked/findings/$t.log"
  set +e
  "$fast/$t" "$corpus" -max_total_time="$secs" -print_final_stats=1 \
    -artifact_prefix="$checked/findings/$t-" >"$log" 2>&1
  rc=$?
  # Every input kept, and any finding, once more under the sanitizers.
  "$checked/$t" -runs=0 "$corpus" $(ls "$checked/findings/$t-"* 2>/dev/null | grep -v '\.log$') \
    >"$log.checked" 2>&1
  rc2=$?
  set -e
  execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  rate=$(grep -o 'exec/s: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$' || echo "?")
  kept=$(ls "$corpus" | wc -l)
  if [ $rc -eq 0 ] && [ $rc2 -eq 0 ]; then
    echo "$t: $execs executions in ${secs} s ($rate/s), $kept inputs kept and run again under the sanitizers, no findings"
  else
    status=1
    echo "$t: FINDING after $execs executions; see $log, $log.checked and $checked/findings/$t-*"
    grep -hE 'invariant|ERROR|SUMMARY' "$log" "$log.checked" | head -n 5 | sed 's/^/  /'
  fi
done
exit $status
