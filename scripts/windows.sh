#!/usr/bin/env bash
# Cross-builds the Windows programs in build-win/ with mingw-w64
# (cmake/toolchain-mingw64.cmake), then their installer
# (zantu_<version>_win64-setup.exe, NSIS) and a zip of the three, and prints
# their paths, one a line.  Each .exe links its runtime statically and imports
# only system DLLs, so it runs on a Windows machine with nothing else
# installed.  Arguments name the targets to build (default: the programs and
# the two packages).
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/scripts/common.sh"
zantu_install_missing >&2
build="${ZANTU_WIN_BUILD:-$here/build-win}"
targets=("$@")

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$here" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >&2
if [ ${#targets[@]} -eq 0 ]; then
  # The programs this build has (zantu-sim.exe where the simulator's line
  # runner exists on Windows), and the two packages.
  have="$(cmake --build "$build" --target help 2>/dev/null)"
  for t in zantu-cli zantu-sim zantu-console windows-installer windows-zip; do
    grep -q -- "\.\.\. $t\$" <<<"$have" && targets+=("$t")
  done
fi
cmake --build "$build" -j"$(zantu_jobs)" --target "${targets[@]}" >&2
for t in "${targets[@]}"; do
  case "$t" in
    windows-installer) ls "$build"/zantu_*_win64-setup.exe ;;
    windows-zip) ls "$build"/zantu_*_win64.zip ;;
    *) [ -f "$build/$t.exe" ] && echo "$build/$t.exe" ;;
  esac
done
exit 0
