#!/usr/bin/env bash
# The Windows tools under Wine, end to end, in one fresh prefix with one
# persistent wineserver: the cross-built unit suite (ctest, Wine as the
# emulator); the Win32 channel step by step (channel_check.exe) against the
# Linux simulator on a pseudo-terminal that Wine maps to COM1, the far end
# lost and back included; and zantu-cli.exe against it: a batch with a resend,
# a batch whose ACK never comes, a download at a tenth of the line's time, a
# port lost mid-batch, the record and trace files, the in-process simulated
# module.  Each check prints "ok: NAME" or "FAIL: NAME"; the exit status is 0
# when all passed.
# Usage: tools_wine.sh BUILD-WIN LINUX-BUILD   (LINUX-BUILD holds zantu-sim)
set -u
build="$(cd "$1" && pwd)"
linux_sim="$(cd "$2" && pwd)/zantu-sim"
cli="$build/zantu-cli.exe"
tmp="$(mktemp -d /tmp/zantu-wine-tools.XXXXXX)"
fail=0
sim=""
check() {  # check NAME CONDITION...
  local name="$1"; shift
  if "$@"; then echo "ok: $name"; else echo "FAIL: $name"; fail=1; fi
}
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null
  WINEPREFIX="$tmp/prefix" wineserver -k 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
wait_for() {  # wait_for SECONDS COMMAND...
  local limit=$(( $1 * 10 )) i=0; shift
  until "$@"; do
    i=$((i + 1)); [ $i -ge $limit ] && return 1
    sleep 0.1
  done
}

# A fresh prefix; its services started once with no pipe attached (a piped
# wine would otherwise hand the pipe to them and never end), COM1 mapped to a
# link in our folder (read when the server starts), then a server that stays.
# The server writes a long dump when a port's far end goes away: to a file.
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i </dev/null >"$tmp/wineboot.log" 2>&1
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$tmp/com1" /f </dev/null >/dev/null 2>&1
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
wineserver -p 2>"$tmp/wineserver.log"
wine cmd /c exit </dev/null >/dev/null 2>&1
win_path() { winepath -w "$1" 2>/dev/null; }
run() {  # run OUT-FILE PROGRAM ARGS...: status in $rc, output without CRs in OUT-FILE
  local out="$1"; shift
  timeout 120 wine "$@" </dev/null >"$out.raw" 2>&1
  rc=$?
  tr -d '\r' <"$out.raw" >"$out"
}

# The Linux simulator on a new pseudo-terminal, COM1 pointed at it.
start_sim() {
  [ -n "$sim" ] && { kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; }
  "$linux_sim" "$@" >"$tmp/sim.out" 2>&1 &
  sim=$!
  wait_for 10 grep -q '/dev/pts/' "$tmp/sim.out" || { echo "FAIL: the simulator did not start"; exit 1; }
  ln -sfn "$(grep -o '/dev/pts/[0-9]*' "$tmp/sim.out" | head -n1)" "$tmp/com1"
}

# ---- the unit suite ------------------------------------------------------------
started=$SECONDS
if (cd "$build" && ctest -j2 --timeout 120 --output-on-failure >"$tmp/ctest.log" 2>&1); then
  echo "ok: unit suite under Wine: $(grep -o '[0-9]* tests failed out of [0-9]*' "$tmp/ctest.log" | sed 's/^0 tests failed out of /all of /') ($((SECONDS - started)) s)"
else
  grep -E 'FAILED|Failure|tests failed' "$tmp/ctest.log" | head -n 40
  echo "FAIL: unit suite under Wine"; fail=1
fi

# ---- the channel, step by step, the far end lost and back -----------------------
start_sim --no-pace
timeout 120 wine "$build/channel_check.exe" COM1 --stall --lost </dev/null >"$tmp/channel.raw" 2>&1 &
checker=$!
if wait_for 60 grep -q 'waiting for the stall' "$tmp/channel.raw"; then
  kill -STOP "$sim"
  wait_for 30 grep -q 'waiting for the far end' "$tmp/channel.raw"
  kill -CONT "$sim"
fi
if wait_for 60 grep -q 'waiting for the loss' "$tmp/channel.raw"; then
  kill "$sim"; wait "$sim" 2>/dev/null; sim=""
  sleep 1
  start_sim --no-pace
fi
wait "$checker"
channel_rc=$?
tr -d '\r' <"$tmp/channel.raw" | grep -E '^(ok|FAIL): ' | sed 's/^\(ok\|FAIL\): /\1: channel: /'
[ $channel_rc -eq 0 ] || { echo "FAIL: channel_check.exe ended with status $channel_rc"; fail=1; }

# ---- zantu-cli.exe -------------------------------------------------------------
start_sim --no-pace --withhold-ack 1
record="$tmp/batch.csv" trace="$tmp/trace.txt"
run "$tmp/resend.out" "$cli" --port COM1 --record "$(win_path "$record")" --unit U1 \
  --trace "$(win_path "$trace")" dispense 1 0 0 0 --repeat 2 --wait 1
check "zantu-cli.exe: a batch with a resend ends well (status $rc)" test $rc -eq 0
check "zantu-cli.exe: the resend is in the trace" grep -qi 'resend' "$trace"
check "zantu-cli.exe: the trace starts with its header" grep -q '^# console zantu-cli' "$trace"
check "zantu-cli.exe: two answer rows and a summary in the record" \
  test "$(grep -c ',U1,' "$record")" -ge 3
check "zantu-cli.exe: the record is written as bytes (CR LF, no CR CR LF)" \
  bash -c "! grep -q $'\r\r' '$record' && grep -q $'\r\$' '$record'"

start_sim --no-pace --withhold-ack 4
run "$tmp/timeout.out" "$cli" --port COM1 status
check "zantu-cli.exe: no ACK after three resends is a link failure (status $rc, want 2)" test $rc -eq 2

seq 1 20000 | head -c 40960 >"$tmp/image.bin"
objcopy -I binary -O ihex "$tmp/image.bin" "$tmp/image.hex"
start_sim --time-scale 0.1
started=$SECONDS
run "$tmp/download.out" "$cli" --port COM1 download "$(win_path "$tmp/image.hex")"
check "zantu-cli.exe: a paced download is written and verified (status $rc, $((SECONDS - started)) s)" \
  bash -c "[ $rc -eq 0 ] && grep -qi 'verif' '$tmp/download.out'"

start_sim --no-pace --hangup-after 2
run "$tmp/lost.out" "$cli" --port COM1 dispense 1 0 0 0 --repeat 5 --wait 1
check "zantu-cli.exe: the port lost mid-batch is a link failure (status $rc, want 2)" test $rc -eq 2

run "$tmp/own.out" "$cli" --simulate --sim-time-scale 0 status
check "zantu-cli.exe --simulate: its own module answers STATUS (status $rc)" test $rc -eq 0

run "$tmp/ports.out" "$cli" list-ports
check "zantu-cli.exe list-ports names COM1 (status $rc)" grep -q 'COM1' "$tmp/ports.out"

if [ $fail -ne 0 ]; then
  for f in resend timeout download lost own ports; do
    [ -f "$tmp/$f.out" ] && { echo "--- $f"; tail -n 15 "$tmp/$f.out"; }
  done
fi
exit $fail
