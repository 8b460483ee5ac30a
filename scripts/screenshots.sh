#!/usr/bin/env bash
# Renders each of the console's six pages, the wire trace window and the frame
# tool under Xvfb at 1920x1080: at scale 1 to docs/page-N-NAME.png,
# docs/wire-trace.png and docs/frame-tool.png, at scale 2 to the same names in
# docs/scale2.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build-screenshots}"
if [ ! -x "$build/zantu-console" ] || [ -z "${BUILD_DIR:-}" ]; then
  cmake -S "$root" -B "$build" -DZANTU_WERROR=OFF -DZANTU_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j2 --target zantu-console
fi
for scale in 1 2; do
  out="$root/docs"
  [ "$scale" = 1 ] || out="$root/docs/scale$scale"
  mkdir -p "$out"
  QT_SCALE_FACTOR=$scale xvfb-run -a -s "-screen 0 1920x1080x24 -dpi 96" "$build/zantu-console" --screenshot "$out"
  ls -l "$out"/page-*.png "$out"/wire-trace.png "$out"/frame-tool.png
done
