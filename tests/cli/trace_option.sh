#!/usr/bin/env bash
# zantu-console --trace FILE: a file that cannot be opened stops the start
# with a clear line and exit code 2; a good one gets its first line at once.
# As root, the refusal is tried again as an ordinary user (nobody).
set -u
console="$1"
export QT_QPA_PLATFORM=offscreen
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# A home of its own: the window keeps its settings there.
mkdir -p "$dir/home"
export HOME="$dir/home" XDG_CONFIG_HOME="$dir/home/.config"

out="$("$console" --trace "$dir/missing/t.txt" 2>&1)"; rc=$?
[ $rc -eq 2 ] || fail "missing folder: exit $rc, want 2 ($out)"
case "$out" in *"cannot open trace file '$dir/missing/t.txt': No such file or directory"*) ;;
  *) fail "missing folder: said '$out'" ;; esac

out="$("$console" --trace "$dir" 2>&1)"; rc=$?
[ $rc -eq 2 ] || fail "a folder: exit $rc, want 2 ($out)"

"$console" --trace "$dir/t.txt" --startup-report >/dev/null 2>&1 || fail "good file: exit $?"
head -n1 "$dir/t.txt" | grep -q '^# wire trace started ' || fail "good file: no first line"

if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  # A copy of the program, run from its folder: the build folder may lie in
  # one that user cannot enter (a private home, a mktemp -d folder).
  mkdir "$dir/locked" && chmod 755 "$dir/locked" "$dir"
  cp "$console" "$dir/console" && chmod 755 "$dir/console"
  chown 65534:65534 "$dir/home"
  out="$(cd "$dir" && setpriv --reuid=65534 --regid=65534 --clear-groups ./console --trace "$dir/locked/t.txt" 2>&1)"; rc=$?
  [ $rc -eq 2 ] || fail "ordinary user: exit $rc, want 2 ($out)"
  case "$out" in *"Permission denied"*) ;; *) fail "ordinary user: said '$out'" ;; esac
fi
echo "ok"
