#!/usr/bin/env bash
# Time from process start to the console window shown, and resident memory
# after start-up, five runs under Xvfb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build-screenshots}"
cmake -S "$root" -B "$build" -DZANTU_WERROR=OFF -DZANTU_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target zantu-console >/dev/null
for i in 1 2 3 4 5; do
  xvfb-run -a -s "-screen 0 1024x768x24" "$build/zantu-console" --startup-report 2>/dev/null
done
