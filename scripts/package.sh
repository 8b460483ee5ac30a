#!/usr/bin/env bash
# Builds the Debian packages build/zantu-tools_<version>_<arch>.deb (zantu-cli,
# zantu-sim: no Qt) and build/zantu-console_<version>_<arch>.deb (the window;
# depends on zantu-tools) with CPack's DEB generator, one package per install
# component, dependencies computed from the programs by dpkg-shlibdeps, and
# prints their paths, one a line, zantu-tools first.  Install them with:
#   sudo apt install ./build/zantu-tools_*.deb ./build/zantu-console_*.deb
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/scripts/common.sh"
zantu_install_missing >&2
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" -j"$(zantu_jobs)" >&2  # only the paths go to stdout
rm -f "$here"/build/zantu-console_*.deb "$here"/build/zantu-tools_*.deb
(cd "$here/build" && cpack -G DEB >/dev/null 2>"$here/build/cpack.log") ||
  { cat "$here/build/cpack.log" >&2; exit 1; }
for name in zantu-tools zantu-console; do
  deb=("$here"/build/${name}_*.deb)
  [ -f "${deb[0]}" ] || { echo "package.sh: no $name package was made" >&2; exit 1; }
  echo "${deb[0]}"
done
