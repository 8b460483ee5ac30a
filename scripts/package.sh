#!/usr/bin/env bash
# Builds the Debian package build/zantu-console_<version>_<arch>.deb (CPack's
# DEB generator; dependencies computed from the programs by dpkg-shlibdeps)
# and prints its path.  Install it with: sudo apt install ./build/zantu-console_*.deb
here="$(cd "$(dirname "$0")/.." && pwd)"
source "$here/scripts/common.sh"
zantu_install_missing >&2
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" -j"$(zantu_jobs)" >&2  # only the path goes to stdout
rm -f "$here"/build/zantu-console_*.deb
(cd "$here/build" && cpack -G DEB >/dev/null 2>"$here/build/cpack.log") ||
  { cat "$here/build/cpack.log" >&2; exit 1; }
deb=("$here"/build/zantu-console_*.deb)
[ -f "${deb[0]}" ] || { echo "package.sh: no package was made" >&2; exit 1; }
echo "${deb[0]}"
