#!/usr/bin/env bash
# The soak: the console core with its real channel against the simulated
# module on a pseudo-terminal, random faults on every frame, a random operator,
# every invariant checked after every event.  Built with AddressSanitizer and
# UndefinedBehaviorSanitizer, so a memory fault or undefined behaviour ends it
# too.  Ends with the faults injected by kind and
#   soak: N exchanges, F faults injected, V violations
# and exits 0 only when V is 0.
#
# Usage: scripts/soak.sh [--exchanges N] [--seed S] [--fault-rate R]
#        (default 100000 exchanges, seed 1, rate 0.05; scripts/test.sh runs a short one)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/scripts/common.sh"
zantu_install_missing
build="${SOAK_BUILD_DIR:-$here/build-asan}"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DZANTU_SANITIZE=address,undefined \
  -DZANTU_BUILD_GUI=OFF -DZANTU_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(zantu_jobs)" --target zantu-soak >/dev/null
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  exec "$build/zantu-soak" "$@"
