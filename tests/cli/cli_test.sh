#!/usr/bin/env bash
# The console's command line on a machine with no display: --help, --version
# and --list-ports exit 0, bad options exit 2 with one line.  Usage: cli_test.sh CONSOLE
set -u
console="$1"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail=0
check() {  # check NAME CONDITION...
  local name="$1"; shift
  if "$@"; then echo "ok: $name"; else echo "FAIL: $name"; fail=1; fi
}
run() {  # run ARGS...: sets rc, out, err; no display of any kind
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/config" \
    "$console" "$@" >"$tmp/out" 2>"$tmp/err"
  rc=$?
  out="$(cat "$tmp/out")"
  err="$(cat "$tmp/err")"
}
mkdir -p "$tmp/home" "$tmp/config/zantu"

run --help
check "--help exits 0" test "$rc" -eq 0
check "--help names --list-ports" grep -q -- "--list-ports" "$tmp/out"
run --version
check "--version" test "$rc" -eq 0 -a "$out" = "zantu-console 1.2"

# A fake sysfs and /dev: one USB adapter with a by-id name, one built-in UART.
sys="$tmp/sys"; dev="$tmp/dev"
usb="$sys/devices/pci0000:00/usb1/1-1"
mkdir -p "$usb/1-1:1.0/ttyUSB0/tty/ttyUSB0" "$sys/devices/platform/serial8250/tty/ttyS0" \
  "$sys/class/tty" "$dev/serial/by-id"
printf '0403\n' >"$usb/idVendor"; printf '6001\n' >"$usb/idProduct"
printf 'FTDI\n' >"$usb/manufacturer"; printf 'FT232R USB UART\n' >"$usb/product"; printf 'A1\n' >"$usb/serial"
ln -s ../../bus/usb-serial/drivers/ftdi_sio "$usb/1-1:1.0/ttyUSB0/driver"
ln -s ../../bus/usb-serial "$usb/1-1:1.0/ttyUSB0/subsystem"
ln -s "$usb/1-1:1.0/ttyUSB0" "$usb/1-1:1.0/ttyUSB0/tty/ttyUSB0/device"
ln -s "$usb/1-1:1.0/ttyUSB0/tty/ttyUSB0" "$sys/class/tty/ttyUSB0"
ln -s ../../bus/platform/drivers/serial8250 "$sys/devices/platform/serial8250/driver"
ln -s ../../bus/platform "$sys/devices/platform/serial8250/subsystem"
ln -s "$sys/devices/platform/serial8250" "$sys/devices/platform/serial8250/tty/ttyS0/device"
printf '4\n' >"$sys/devices/platform/serial8250/tty/ttyS0/type"
ln -s "$sys/devices/platform/serial8250/tty/ttyS0" "$sys/class/tty/ttyS0"
touch "$dev/ttyUSB0" "$dev/ttyS0"
ln -s ../../ttyUSB0 "$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0"
byid="$dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0"

# COM3 saved in the user's settings, COM5 given for this run.
printf '[ports]\nCOM3=%s\n' "$byid" >"$tmp/config/zantu/zantu-console.conf"
run --list-ports --sys-root "$sys" --dev-root "$dev" --port "5=$dev/ttyS0"
check "--list-ports exits 0" test "$rc" -eq 0
check "--list-ports: two lines" test "$(wc -l <"$tmp/out")" -eq 2
check "--list-ports: ttyS0 line" test "$(sed -n 1p "$tmp/out")" = "$dev/ttyS0 com=5 driver=serial8250"
check "--list-ports: ttyUSB0 line" test "$(sed -n 2p "$tmp/out")" = \
  "$dev/ttyUSB0 com=3 driver=ftdi_sio usb=0403:6001 vendor=\"FTDI\" product=\"FT232R USB UART\" serial=\"A1\" by-id=$byid"
run --list-ports --sys-root "$tmp/none" --dev-root "$tmp/none"
check "--list-ports with none exits 0" test "$rc" -eq 0 -a -z "$out"
check "--list-ports with none says so" test "$err" = "zantu-console: no serial ports found"

for bad in "--bogus" "--port" "--port 11=/dev/x" "--port 3" "stray" "--simulate --sim-time-scale x" \
  "--sim-save-flash $tmp/f.bin" "--simulate --sim-save-flash $tmp/none/f.bin" "--simulate --sim-save-flash $tmp"; do
  # shellcheck disable=SC2086
  run $bad
  check "'$bad' exits 2" test "$rc" -eq 2
  check "'$bad' gives one line" test "$(wc -l <"$tmp/err")" -eq 1 -a -z "$out"
done
exit $fail
