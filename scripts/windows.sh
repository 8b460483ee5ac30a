#!/usr/bin/env bash
# Cross-builds the Windows programs in build-win/ with mingw-w64
# (cmake/toolchain-mingw64.cmake) and prints their paths, one a line.  Each
# .exe links its runtime statically and imports only system DLLs, so it runs
# on a Windows machine with nothing else installed.  Arguments name the
# targets to build (default: the programs).
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/scripts/common.sh"
zantu_install_missing >&2
build="${ZANTU_WIN_BUILD:-$here/build-win}"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(zantu-cli zantu-sim)

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >&2
cmake --build "$build" -j"$(zantu_jobs)" --target "${targets[@]}" >&2
for t in "${targets[@]}"; do
  [ -f "$build/$t.exe" ] && echo "$build/$t.exe"
done
exit 0
