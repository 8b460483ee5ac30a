#!/usr/bin/env bash
# Checks the Debian package as a user receives it: its control fields, lintian,
# the files it holds (and nothing the tests need), the programs run from an
# unpacked copy as an ordinary user, the desktop entry, the AppStream metadata,
# the manual pages against each program's --help, and the install rules with
# DESTDIR and another prefix.
# Usage: check_package.sh BUILD_DIR PACKAGE.deb
set -euo pipefail
build="$1"
deb="$2"
app_id=example.c_seed_246c7533.zantu_console
fail() {
  echo "package check failed: $*" >&2
  exit 1
}
step() { echo "package check: $*"; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
chmod 755 "$tmp"
# Users are not root: as root, run the unpacked programs as nobody.
as_user() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$tmp/home" "$@"
  else
    env HOME="$tmp/home" "$@"
  fi
}
mkdir -p "$tmp/home" && chmod 777 "$tmp/home"

# ---- control fields --------------------------------------------------------
version="$(dpkg-deb -f "$deb" Version)"
arch="$(dpkg-deb -f "$deb" Architecture)"
[ "$(basename "$deb")" = "zantu-console_${version}_${arch}.deb" ] || fail "file name $(basename "$deb")"
[ "$arch" = "$(dpkg --print-architecture)" ] || fail "architecture $arch"
for field in Section Priority Maintainer Description Depends Recommends; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "no $field field"
done
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' || fail "Depends lacks the Qt libraries"
dpkg-deb -f "$deb" Recommends | grep -q 'fonts-' || fail "no Hangul font recommended"
step "zantu-console $version ($arch): $(dpkg-deb -f "$deb" Depends)"

# ---- lintian: no error, no warning that packaging/lintian-overrides does not explain
start=$SECONDS
as_user lintian --fail-on error,warning --display-info "$deb" ||
  fail "lintian found errors or unexplained warnings"
step "lintian clean ($((SECONDS - start)) s)"

# ---- the files: what a user needs and nothing else --------------------------
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' | grep -v '/$' | sort >"$tmp/files"
allowed="^(usr/bin/zantu-(console|sim|cli)"
allowed+="|usr/share/man/man1/zantu-(console|sim|cli)\.1\.gz"
allowed+="|usr/share/applications/zantu-console\.desktop"
allowed+="|usr/share/metainfo/${app_id//./\\.}\.metainfo\.xml"
allowed+="|usr/share/icons/hicolor/(scalable/apps/zantu-console\.svg|[0-9]+x[0-9]+/apps/zantu-console\.png)"
allowed+="|usr/share/doc/zantu-console/(README\.md|copyright|changelog\.gz|docs/page-[0-9]-[a-z]+\.png)"
allowed+="|usr/share/lintian/overrides/zantu-console)$"
if grep -v -E "$allowed" "$tmp/files" >"$tmp/extra"; then
  fail "files a user does not need: $(tr '\n' ' ' <"$tmp/extra")"
fi
for f in usr/bin/zantu-console usr/bin/zantu-sim usr/bin/zantu-cli usr/share/applications/zantu-console.desktop \
  "usr/share/metainfo/$app_id.metainfo.xml" usr/share/icons/hicolor/scalable/apps/zantu-console.svg \
  usr/share/doc/zantu-console/README.md usr/share/doc/zantu-console/copyright \
  usr/share/doc/zantu-console/changelog.gz; do
  grep -qxF "$f" "$tmp/files" || fail "missing $f"
done
for size in 16 22 24 32 48 64 128 256; do
  grep -qxF "usr/share/icons/hicolor/${size}x${size}/apps/zantu-console.png" "$tmp/files" ||
    fail "missing the ${size}x${size} icon"
done

# ---- unpacked, run as a user -----------------------------------------------
root="$tmp/root"
dpkg-deb -x "$deb" "$root"
for size in 16 48 256; do
  file -b "$root/usr/share/icons/hicolor/${size}x${size}/apps/zantu-console.png" |
    grep -q "PNG image data, $size x $size," || fail "the ${size}x${size} icon is not $size pixels"
done
programs=()
for p in "$root"/usr/bin/*; do programs+=("$(basename "$p")"); done
for program in "${programs[@]}"; do
  page="$root/usr/share/man/man1/$program.1.gz"
  [ -f "$page" ] || fail "$program has no manual page"
  # As on a terminal or over ssh: no display and no platform chosen.
  run=(as_user env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/$program")
  out="$("${run[@]}" --version 2>/dev/null)" || fail "$program --version failed"
  [ "$out" = "$program $version" ] || fail "$program --version says '$out', the package is $version"
  "${run[@]}" --help >"$tmp/help" 2>/dev/null || fail "$program --help failed"
  grep -q -- '--version' "$tmp/help" || fail "$program --help does not list --version"
  # The manual page renders without a warning and names every option --help lists.
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >"$tmp/page" 2>"$tmp/page.err" ||
    fail "man -l $program failed"
  [ ! -s "$tmp/page.err" ] || fail "$program's manual page: $(cat "$tmp/page.err")"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES 'EXIT STATUS' EXAMPLES; do
    grep -q "^$section" "$tmp/page" || fail "$program's manual page has no $section"
  done
  for opt in $(grep -o -E -- '--[a-z][a-z-]+' "$tmp/help" | sort -u); do
    grep -q -F -- "$opt" "$tmp/page" || fail "$program's manual page does not mention $opt"
  done
  step "$program: --version, --help and its manual page"
done

# ---- desktop entry and AppStream metadata ----------------------------------
desktop="$root/usr/share/applications/zantu-console.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate"
grep -E '^Exec=' "$desktop" | while IFS= read -r line; do
  exe="${line#Exec=}"
  [ -x "$root/usr/bin/${exe%% *}" ] || fail "the desktop entry starts ${exe%% *}, not in the package"
done
grep -qx 'Icon=zantu-console' "$desktop" || fail "the desktop entry's icon"
metainfo="$root/usr/share/metainfo/$app_id.metainfo.xml"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -q "<id>$app_id</id>" "$metainfo" || fail "AppStream id"
grep -q "<launchable type=\"desktop-id\">zantu-console.desktop</launchable>" "$metainfo" ||
  fail "AppStream launchable"
grep -q "<release version=\"$version\"" "$metainfo" || fail "AppStream has no release $version"
zcat "$root/usr/share/doc/zantu-console/changelog.gz" | head -n 1 | grep -qF "zantu-console ($version)" ||
  fail "the changelog's newest entry is not $version"
step "desktop entry and AppStream metadata valid"

# ---- the About item's Hangul has a font --------------------------------------
[ -n "$(fc-list ':lang=ko' family)" ] || fail "no installed font covers Hangul"

# ---- cmake --install with DESTDIR and another prefix --------------------------
DESTDIR="$tmp/destdir" cmake --install "$build" --prefix /opt/zantu >/dev/null
for f in bin/zantu-console bin/zantu-sim share/man/man1/zantu-console.1.gz \
  share/applications/zantu-console.desktop share/icons/hicolor/48x48/apps/zantu-console.png \
  share/doc/zantu-console/copyright; do
  [ -f "$tmp/destdir/opt/zantu/$f" ] || fail "cmake --install did not put $f under DESTDIR/prefix"
done
step "cmake --install honours DESTDIR and the prefix"
echo "package checks passed"
