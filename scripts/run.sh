#!/usr/bin/env bash
# Builds the console and runs it against the embedded module simulator.
# Extra arguments go to zantu-console (for instance --port 1=/dev/ttyUSB0
# without --simulate to drive a real module).
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/scripts/common.sh"
zantu_install_missing
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" -j"$(zantu_jobs)" --target zantu-console
args=("$@")
[ ${#args[@]} -eq 0 ] && args=(--simulate)
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  exec xvfb-run -a "$here/build/zantu-console" "${args[@]}"
fi
exec "$here/build/zantu-console" "${args[@]}"
