# Shared by the set-up scripts: installs what the project needs when missing.
set -euo pipefail
ZANTU_PACKAGES=(cmake g++ make pkg-config qt6-base-dev libgl-dev libgtest-dev libgmock-dev
  libbenchmark-dev xvfb xauth fonts-wine clang libclang-rt-14-dev binutils util-linux)
# The batch record window's charts, saved as PNG or SVG (Qt Charts' CMake files want
# the OpenGL module's).
ZANTU_PACKAGES+=(qt6-charts-dev qt6-svg-dev libqt6opengl6-dev)
# The command-line tool's tests read its JSON with a real parser.
ZANTU_PACKAGES+=(nlohmann-json3-dev)
# zantu-cli's plans (TOML) and their hash, and the results database: SQLite
# for a station, PostgreSQL for a line (the tests start a server of their own).
ZANTU_PACKAGES+=(libtomlplusplus-dev libssl-dev libsqlite3-dev libpqxx-dev postgresql)
# The icon's sizes, the About item's Hangul, the Debian package and its checks.
ZANTU_PACKAGES+=(librsvg2-bin fonts-lexi-gulim dpkg-dev file lintian desktop-file-utils appstream man-db)
# The fixed font many desktops resolve "monospace" to (the font system does
# not call it fixed pitch): the wire trace window is tested with it.
ZANTU_PACKAGES+=(fonts-noto-mono)
# The Windows programs: cross-built with mingw-w64 (posix threads), tested
# under Wine, and their installer.
ZANTU_PACKAGES+=(g++-mingw-w64-x86-64-posix mingw-w64 wine nsis)
# The Windows zip; the window's test under Wine: clicks, screenshots and the
# tab texts read off them.
ZANTU_PACKAGES+=(zip xdotool imagemagick tesseract-ocr)

# Whether another program (apt-get, a desktop's updater) holds a package
# manager lock now: the lock files' inodes among the kernel's record locks.
zantu_apt_lock_held() {
  local f ino
  for f in /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock; do
    [ -e "$f" ] || continue
    ino="$(stat -c %i "$f" 2>/dev/null)" || continue
    grep -qE "^[0-9]+: .* [0-9a-f]+:[0-9a-f]+:$ino " /proc/locks 2>/dev/null && return 0
  done
  return 1
}

# apt-get that waits for a package lock another program holds (at most
# ZANTU_APT_LOCK_WAIT seconds, default 600) instead of failing at once.  apt's
# own time-out (DPkg::Lock::Timeout) covers the dpkg lock only, not the lock
# of the package lists that "update" takes, so the wait is also made here.
zantu_apt_get() {
  local wait="${ZANTU_APT_LOCK_WAIT:-600}" sudo="" start=$SECONDS
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  if zantu_apt_lock_held; then
    echo "Another program (apt-get, a software updater) holds the package lock; waiting for it to finish (at most $wait s)..." >&2
    while zantu_apt_lock_held && [ $((SECONDS - start)) -lt "$wait" ]; do sleep 2; done
  fi
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout="$((wait - (SECONDS - start) > 0 ? wait - (SECONDS - start) : 1))" "$@"
}

zantu_install_missing() {
  local missing=()
  for p in "${ZANTU_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    zantu_apt_get update -qq
    zantu_apt_get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# Runs a command with a time limit (timeout's form: 90s, 15m), so that one
# hang cannot use up a CI job.  Past the limit the command is stopped (killed
# 30 s later if it holds on), the limit is named on standard error and the
# status is 124; otherwise the command's own.  Ctrl+C still reaches it.
zantu_timed() {
  local limit="$1" rc=0
  shift
  timeout --foreground -k 30s "$limit" "$@" || rc=$?
  [ "$rc" -eq 124 ] && echo "timed out after $limit: $*" >&2
  return "$rc"
}

zantu_jobs() { nproc 2>/dev/null || echo 2; }
