#!/usr/bin/env bash
# Checks the Debian packages zantu-tools and zantu-console as a user receives
# them: each one's control fields (zantu-tools with nothing graphical, the
# console depending on it), lintian, the files it holds (and nothing the tests
# need); then both unpacked together: the programs run as an ordinary user, the desktop entry, the AppStream metadata,
# the manual pages against each program's --help, and the install rules with
# DESTDIR and another prefix.
# Usage: check_package.sh BUILD_DIR TOOLS.deb CONSOLE.deb (as scripts/package.sh prints them)
set -euo pipefail
build="$1"
shift
debs=("$@")
packages=()
[ ${#debs[@]} -eq 2 ] || { echo "usage: check_package.sh BUILD_DIR TOOLS.deb CONSOLE.deb" >&2; exit 2; }
app_id=example.c_seed_246c7533.zantu_console
fail() {
  echo "package check failed: $*" >&2
  exit 1
}
step() { echo "package check: $*"; }

# Everything nobody runs or reads lies in this folder under /tmp, and nobody
# runs from it: the clone may lie in a folder that user cannot enter (a
# private home folder, a mktemp -d folder).
tmp="$(mktemp -d /tmp/zantu-package.XXXXXX)"
trap 'rm -rf "$tmp"' EXIT
chmod 755 "$tmp"
# Users are not root: as root, run the unpacked programs as nobody.
as_user() {
  if [ "$(id -u)" -eq 0 ]; then
    (cd "$tmp" && setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$tmp/home" "$@")
  else
    (cd "$tmp" && env HOME="$tmp/home" "$@")
  fi
}
mkdir -p "$tmp/home" "$tmp/debs" && chmod 777 "$tmp/home"
# The packages as that user may read them.
for i in "${!debs[@]}"; do
  cp "${debs[$i]}" "$tmp/debs/"
  debs[$i]="$tmp/debs/$(basename "${debs[$i]}")"
done
chmod -R a+rX "$tmp/debs"

# ---- each package: control fields, lintian, the files it holds ---------------
root="$tmp/root"
version=""
for deb in "${debs[@]}"; do
  package="$(dpkg-deb -f "$deb" Package)"
  version="$(dpkg-deb -f "$deb" Version)"
  arch="$(dpkg-deb -f "$deb" Architecture)"
  [ "$(basename "$deb")" = "${package}_${version}_${arch}.deb" ] || fail "file name $(basename "$deb")"
  [ "$arch" = "$(dpkg --print-architecture)" ] || fail "$package: architecture $arch"
  for field in Section Priority Maintainer Description Depends; do
    [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "$package: no $field field"
  done
  depends="$(dpkg-deb -f "$deb" Depends)"
  case "$package" in
  zantu-tools)
    # A test station without a desktop: nothing graphical comes with it.
    if grep -q -i -E 'libqt|libgl|libx11|libxcb|libfontconfig' <<<"$depends"; then
      fail "zantu-tools depends on graphical libraries: $depends"
    fi
    allowed="^(usr/bin/zantu-(sim|cli)"
    allowed+="|usr/share/man/man1/zantu-(sim|cli)\.1\.gz"
    allowed+="|usr/share/doc/zantu-tools/(copyright|changelog\.gz)"
    allowed+="|usr/share/lintian/overrides/zantu-tools)$"
    required=(usr/bin/zantu-sim usr/bin/zantu-cli usr/share/doc/zantu-tools/copyright
      usr/share/doc/zantu-tools/changelog.gz)
    ;;
  zantu-console)
    grep -q 'libqt6widgets6' <<<"$depends" || fail "zantu-console's Depends lacks the Qt libraries"
    grep -q 'libqt6charts6' <<<"$depends" || fail "zantu-console's Depends lacks Qt Charts"
    grep -q -F "zantu-tools (= $version)" <<<"$depends" || fail "zantu-console does not depend on zantu-tools $version"
    dpkg-deb -f "$deb" Recommends | grep -q 'fonts-' || fail "no Hangul font recommended"
    allowed="^(usr/bin/zantu-console"
    allowed+="|usr/share/man/man1/zantu-console\.1\.gz"
    allowed+="|usr/share/applications/zantu-console\.desktop"
    allowed+="|usr/share/metainfo/${app_id//./\\.}\.metainfo\.xml"
    allowed+="|usr/share/icons/hicolor/(scalable/apps/zantu-console\.svg|[0-9]+x[0-9]+/apps/zantu-console\.png)"
    allowed+="|usr/share/doc/zantu-console/(README\.md|copyright|changelog\.gz|docs/[a-z0-9-]+\.png)"
    allowed+="|usr/share/lintian/overrides/zantu-console)$"
    required=(usr/bin/zantu-console usr/share/applications/zantu-console.desktop
      "usr/share/metainfo/$app_id.metainfo.xml" usr/share/icons/hicolor/scalable/apps/zantu-console.svg
      usr/share/doc/zantu-console/README.md usr/share/doc/zantu-console/copyright
      usr/share/doc/zantu-console/changelog.gz)
    for size in 16 22 24 32 48 64 128 256; do
      required+=("usr/share/icons/hicolor/${size}x${size}/apps/zantu-console.png")
    done
    ;;
  *) fail "unknown package $package" ;;
  esac
  step "$package $version ($arch): $depends"

  # lintian: no error, no warning that the package's overrides do not explain
  start=$SECONDS
  as_user lintian --fail-on error,warning --display-info "$deb" ||
    fail "lintian found errors or unexplained warnings in $package"
  step "$package: lintian clean ($((SECONDS - start)) s)"

  # The files: what a user needs and nothing else.
  dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' | grep -v '/$' | sort >"$tmp/files"
  if grep -v -E "$allowed" "$tmp/files" >"$tmp/extra"; then
    fail "$package: files a user does not need: $(tr '\n' ' ' <"$tmp/extra")"
  fi
  for f in "${required[@]}"; do
    grep -qxF "$f" "$tmp/files" || fail "$package: missing $f"
  done
  zcat <(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/changelog.gz") | head -n 1 |
    grep -qF "$package ($version)" || fail "$package: the changelog's newest entry is not $package $version"
  # Both unpacked into one tree, as installed together.
  dpkg-deb -x "$deb" "$root"
  packages+=("$package")
done
[ "$(printf '%s\n' "${packages[@]}" | sort | tr '\n' ' ')" = "zantu-console zantu-tools " ] ||
  fail "want the packages zantu-console and zantu-tools, got ${packages[*]}"

# ---- unpacked, run as a user -----------------------------------------------
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
