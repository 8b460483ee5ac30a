#!/usr/bin/env bash
# Renders each of the console's six pages to docs/page-N-NAME.png under Xvfb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build-screenshots}"
cmake -S "$root" -B "$build" -DZANTU_WERROR=OFF -DZANTU_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target zantu-console
mkdir -p "$root/docs"
xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$build/zantu-console" --screenshot "$root/docs"
ls -l "$root"/docs/page-*.png
