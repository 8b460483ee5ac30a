#!/usr/bin/env bash
# The Windows console and its installer under Wine on Xvfb, end to end: the
# window starts against the simulated module, its six tabs are read off a
# screenshot, OPEN connects, a DISPENSE is answered, a message box is answered,
# each tab shows a page of its own, EXIT ends it with status 0; its start-up
# time and its idle CPU with the port open are measured.  Then the installer
# installs silently (programs, Start-menu entries, uninstall key) and the
# uninstaller takes it all away.  Only top-level windows are X windows, so
# controls are clicked at their places in the layout.
# The module is the console's own simulated one (--simulate) where the build
# has it, else SIM (the Linux zantu-sim) on a pseudo-terminal that Wine maps
# to COM1, so the Win32 serial channel is under test as well.
# Usage: console_wine.sh BUILD-WIN [SIM]   (BUILD-WIN holds zantu-console.exe and the installer)
set -u
build="$(cd "$1" && pwd)"
linux_sim="${2:-}"
exe="$build/zantu-console.exe"
setup="$(ls "$build"/zantu_*_win64-setup.exe 2>/dev/null | head -n1)"
tmp="$(mktemp -d /tmp/zantu-wine.XXXXXX)"
fail=0
check() {  # check NAME CONDITION...
  local name="$1"; shift
  if "$@"; then echo "ok: $name"; else echo "FAIL: $name"; fail=1; fi
}
xvfb=""
console=""
sim=""
cleanup() {
  [ -n "$console" ] && kill "$console" 2>/dev/null
  [ -n "$sim" ] && kill "$sim" 2>/dev/null
  WINEPREFIX="$tmp/prefix" wineserver -k 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
# Waits (bounded) until a command succeeds: wait_for SECONDS COMMAND...
wait_for() {
  local limit=$(( $1 * 10 )) i=0; shift
  until "$@"; do
    i=$((i + 1)); [ $i -ge $limit ] && return 1
    sleep 0.1
  done
}

# A display of our own, its number chosen by the server.
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$tmp/display" 2>/dev/null &
xvfb=$!
wait_for 10 test -s "$tmp/display" || { echo "FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=":$(cat "$tmp/display")"
# A fresh prefix, without the .NET and HTML engines it would offer to fetch;
# its services started once with no pipe attached, then a server that stays.
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i </dev/null >"$tmp/wineboot.log" 2>&1
wineserver -p 2>/dev/null
win_path() { winepath -w "$1" 2>/dev/null; }

# ---- the window ---------------------------------------------------------------
report="$(wine "$exe" --startup-report 2>/dev/null | tr -d '\r')"
echo "start-up under Wine: $report"
check "--startup-report" grep -q '^shown_ms=' <<<"$report"

module=(--simulate --sim-time-scale 0)
if ! wine "$exe" "${module[@]}" --startup-report >/dev/null 2>&1; then
  [ -x "$linux_sim" ] || { echo "FAIL: the console has no simulator and no SIM was given"; exit 1; }
  "$linux_sim" --no-pace >"$tmp/sim.out" 2>&1 &
  sim=$!
  wait_for 10 grep -q '/dev/pts/' "$tmp/sim.out"
  ln -s "$(grep -o '/dev/pts/[0-9]*' "$tmp/sim.out" | head -n1)" "$tmp/com1"
  # Read when the server starts.
  wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$tmp/com1" /f >/dev/null 2>&1
  wineserver -k; wineserver -p 2>/dev/null
  module=()
  echo "module: $linux_sim on $(readlink "$tmp/com1") as COM1"
fi

trace="$tmp/trace.txt"
started=$(date +%s%N)
wine "$exe" "${module[@]}" --trace "$(win_path "$trace")" >"$tmp/console.out" 2>"$tmp/console.err" &
console=$!
find_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1; }
has_window() { [ -n "$(find_window "$1")" ]; }
wait_for 30 has_window '^ZANTU Ver 1\.2 '

win="$(find_window '^ZANTU Ver 1\.2 ')"
echo "window up after $(( ($(date +%s%N) - started) / 1000000 )) ms (with Wine's start)"
check "the window is up" test -n "$win"
[ -n "$win" ] || exit 1
# Shown where it stays (centred once made) and painted: a screenshot can be taken.
wait_for 10 import -window "$win" "$tmp/start.png" 2>/dev/null
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$win")"  # X, Y: the client area's corner
click() { xdotool mousemove $((X + $1)) $((Y + $2)) click 1; sleep 0.2; }
shot() { import -window "$win" "$1"; }
in_trace() { grep -q -- "$1" "$trace" 2>/dev/null; }

# The six tabs, read off a screenshot of the tab strip (upscaled for the reader).
shot "$tmp/start.png"
convert "$tmp/start.png" -crop 420x30+0+12 -resize 400% -colorspace Gray -threshold 60% "$tmp/tabs.png"
tabs="$(tesseract "$tmp/tabs.png" - --psm 7 2>/dev/null | tr '[:lower:]' '[:upper:]')"
for t in COMM DISPENSE STATUS SETTING TEST DOWN_LOAD; do
  check "tab $t on the screenshot" grep -q "$t" <<<"$tabs"
done

# OPEN on COM1, which --simulate maps to the simulated module.
click 165 189
check "OPEN connects COM1" wait_for 10 in_trace "OPEN COM1"

# Idle with the port open: the console's CPU over a few seconds (Wine runs the
# program as a process of its own).
xdotool mousemove 0 0  # no tooltip watching the pointer
sleep 1
pid="$(pgrep -f 'zantu-console.exe.*--trace' | head -n1)"
if [ -n "$pid" ]; then
  ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
  t0=$(ticks); sleep 5; t1=$(ticks)
  hz=$(getconf CLK_TCK)
  echo "idle CPU with the port open: $(awk -v d=$((t1 - t0)) -v hz="$hz" 'BEGIN{printf "%.2f", 100 * d / hz / 5}') % of a core"
  # A loop that polls the port would use far more than this.
  check "idle: no busy loop" test $((t1 - t0)) -le $((hz / 10))
fi

# DISPENSE: 3 notes from box 1.
click 104 26                   # the DISPENSE tab
click 125 80; xdotool key End BackSpace BackSpace BackSpace; xdotool type 3   # box 1's Request
click 420 60                   # DISPENSE
check "DISPENSE 3,0,0,0 written" wait_for 10 in_trace "TX .*DISPENSE 3,0,0,0"
check "DISPENSE answered" wait_for 10 in_trace "response 'R'"

# The exchange strip below the pages, read off a screenshot while a batch of
# three waits for its next send (Wait 2 s).
click 400 204; xdotool key End BackSpace BackSpace BackSpace BackSpace; xdotool type 3   # Repeat
answers=$(grep -c "response 'R'" "$trace")
click 420 60                   # DISPENSE
wait_for 10 eval '[ "$(grep -c "response '"'"'R'"'"'" "$trace")" -gt "$answers" ]'
sleep 0.5
shot "$tmp/batch.png"
eval "$(xdotool getwindowgeometry --shell "$win" | sed 's/^/WIN_/')"
convert "$tmp/batch.png" -gravity South -crop "${WIN_WIDTH}x40+0+0" +repage -resize 300% -colorspace Gray \
  "$tmp/strip.png"
strip="$(tesseract "$tmp/strip.png" - --psm 6 2>/dev/null | tr '\n' ' ')"
echo "exchange strip: $strip"
check "the exchange strip shows the batch's run and its next send" grep -Eq 'run [0-9] of 3.*next send' <<<"$strip"
wait_for 15 eval '[ "$(grep -c "response '"'"'R'"'"'" "$trace")" -ge $((answers + 3)) ]'

# A message box, answered: SET ORDER with a box named twice.
click 232 26                   # the SETTING tab
click 175 219; xdotool key End BackSpace; xdotool type 2   # order 2 2 3 4
click 90 229                   # SET ORDER
box=""
wait_for 10 has_window '^zantu-console$' && box="$(find_window '^zantu-console$')"
check "SET ORDER's box shows" test -n "$box"
if [ -n "$box" ]; then
  import -window "$box" "$tmp/box.png"
  xdotool key Return  # the box has the keyboard
  check "the box is answered" wait_for 10 eval "! has_window '^zantu-console$'"
fi

# Each tab shows a page of its own.
click 40 26
for i in 0 1 2 3 4 5; do
  [ $i -gt 0 ] && { xdotool key Right; sleep 0.3; }
  shot "$tmp/page-$i.png"
done
check "six different pages" test "$(md5sum "$tmp"/page-*.png | awk '{print $1}' | sort -u | wc -l)" -eq 6
[ -n "${ZANTU_WINE_SHOTS:-}" ] && mkdir -p "$ZANTU_WINE_SHOTS" && cp "$tmp"/page-*.png "$tmp/box.png" "$tmp/batch.png" "$ZANTU_WINE_SHOTS/" 2>/dev/null

# EXIT ends the program with status 0 and closes the port.
click 443 406
rc=0
if wait_for 15 sh -c "! kill -0 $console 2>/dev/null"; then
  wait "$console" || rc=$?
else
  rc=124; kill "$console" 2>/dev/null
fi
console=""
check "EXIT: status 0" test "$rc" -eq 0
check "the trace is whole" in_trace "^# wire trace started "
[ $fail -eq 0 ] || { echo "--- console's standard error"; cat "$tmp/console.err"; }

# ---- the installer ------------------------------------------------------------
if [ -n "$setup" ]; then
  dir="$WINEPREFIX/drive_c/Program Files/ZANTU-100 Service Console"
  menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/ZANTU-100 Service Console"
  key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZantuConsole'
  wine "$setup" /S
  check "installer: exit 0" test $? -eq 0
  programs=(zantu-console.exe zantu-cli.exe uninstall.exe README.md)
  [ -f "$build/zantu-sim.exe" ] && programs+=(zantu-sim.exe)
  for f in "${programs[@]}"; do
    check "installed: $f" test -f "$dir/$f"
  done
  check "installed: Start-menu entry" test -f "$menu/ZANTU-100 Service Console.lnk"
  check "installed: uninstall key" sh -c "wine reg query '$key' 2>/dev/null | grep -q DisplayVersion"
  check "the installed console runs" sh -c "wine '$dir/zantu-console.exe' --version 2>/dev/null | grep -q '^zantu-console '"
  wine "$dir/uninstall.exe" /S
  # The uninstaller runs as a copy of itself and returns at once.
  check "uninstalled: programs gone" wait_for 30 test ! -e "$dir"
  check "uninstalled: Start-menu entry gone" test ! -e "$menu"
  check "uninstalled: key gone" sh -c "! wine reg query '$key' >/dev/null 2>&1"
else
  echo "FAIL: no installer in $build"; fail=1
fi
exit $fail
