#!/usr/bin/env bash
# A window that cannot start says why on the desktop as well: a private
# dbus-daemon and a notification server on it (notification_server.py), and
# buses that misbehave (fake_bus.py), which it must leave within 3 s.
#   tests/app/start_failure_notification_test.sh UPDATER APP_ID
# Each case prints ok or FAIL; the status is that of the whole run (77,
# skipped, when a case cannot run here). KEEP=1 leaves the bus, the calls
# and the lines in the temporary directory.
set -uo pipefail
here=$(dirname "$(realpath "$0")")
updater=$(realpath "$1")
app_id=$2
command -v dbus-daemon >/dev/null && /usr/bin/python3 -c 'import dbus, gi' 2>/dev/null ||
  { echo "SKIPPED: needs dbus-daemon, python3-dbus and python3-gi (scripts/setup.sh)"; exit 77; }
tmp=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -CONT "$p" 2>/dev/null; kill "$p" 2>/dev/null; done
  [[ -n ${KEEP:-} ]] || rm -rf "$tmp"
}
trap cleanup EXIT
failures=0 skipped=0
check() {  # name, then the command that must succeed
  local name=$1
  shift
  if "$@"; then echo "ok   $name"; else echo "FAIL $name"; failures=$((failures + 1)); fi
}
until_found() {  # pattern, file: waits 20 s at most
  local i
  for ((i = 0; i < 200; i++)); do grep -q "$1" "$2" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

mkdir -m 700 "$tmp/run" "$tmp/empty" "$tmp/bin"
abstract=tevra-notify-test-$$-$RANDOM
cat >"$tmp/bus.conf" <<CONF
<busconfig>
  <type>session</type>
  <listen>unix:path=$tmp/run/bus</listen>
  <listen>unix:abstract=$abstract</listen>
  <policy context="default">
    <allow send_destination="*"/><allow receive_sender="*"/><allow own="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$tmp/bus.conf" --nofork --print-address=3 3>"$tmp/address" 2>/dev/null &
daemon=$!
pids+=("$daemon")
until_found unix: "$tmp/address" || { echo "FAIL dbus-daemon did not start"; exit 1; }
"$here/notification_server.py" "unix:path=$tmp/run/bus" "$tmp/calls" "$tmp/silent" &
pids+=($!)
until_found ready "$tmp/calls" || { echo "FAIL the notification server did not start"; exit 1; }
# Never started, whatever the address says.
printf '#!/bin/sh\ntouch %q/autolaunched\n' "$tmp" >"$tmp/bin/dbus-launch"
chmod +x "$tmp/bin/dbus-launch"

prefix='tevra-updater: cannot start the window: '
run() {  # the window without a display, the given environment added: status 1, one line
  local start=${EPOCHREALTIME/./}
  timeout -s KILL 20 env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS \
    QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$tmp/empty" PATH="$tmp/bin:$PATH" "$@" "$updater" 2>"$tmp/err"
  local status=$?
  took=$(((${EPOCHREALTIME/./} - start) / 1000))
  [[ $status -eq 1 && $(wc -l <"$tmp/err") -eq 1 ]] && grep -q "^$prefix" "$tmp/err"
}
# The server's nth Notify call, with the cause of stderr's line as the body's
# markup shows it verbatim.
notified() {
  local n=$1 i
  for ((i = 0; i < 200; i++)); do
    (($(grep -cx -- -- "$tmp/calls") >= n)) && break
    sleep 0.1
  done
  awk -v n="$n" '$0 == "--" { k++; next } k == n - 1 && $0 != "ready"' "$tmp/calls" >"$tmp/call"
  diff - "$tmp/call" <<CALL
Tevra dongle updater
0
$app_id
The updater window cannot start
$(sed "s/^$prefix//; s/&/\\&amp;/g; s/</\\&lt;/g; s/>/\\&gt;/g" "$tmp/err")
[]
urgency=2 (Byte)
-1
CALL
}

no_bus() { run && cp "$tmp/err" "$tmp/line" && ((took < 2000)); }
check "no session bus: one line, status 1, at once" no_bus
same_line() { cmp -s "$tmp/err" "$tmp/line"; }
runtime_bus() { run XDG_RUNTIME_DIR="$tmp/run" && same_line && notified 1 && ((took < 2000)); }
check "the bus at \$XDG_RUNTIME_DIR/bus: the same line, and the cause is notified" runtime_bus
address_list() {
  run DBUS_SESSION_BUS_ADDRESS="autolaunch:;tcp:host=localhost,port=1;unix:path=$tmp/none;unix:abstract=$abstract" &&
    same_line && notified 2 && [[ ! -e $tmp/autolaunched ]]
}
check "DBUS_SESSION_BUS_ADDRESS: unusable entries skipped, unix:abstract= notified, no autolaunch" \
  address_list
nowhere() { run DBUS_SESSION_BUS_ADDRESS="unix:path=$tmp/none" && same_line && ((took < 2000)); }
check "an address that leads nowhere: the same line, at once" nowhere

markup() {
  run XDG_RUNTIME_DIR="$tmp/run" DISPLAY='&<b>x</b>' && notified 3 &&
    grep -qF 'display &amp;&lt;b&gt;x&lt;/b&gt;;' "$tmp/call"
}
check "a cause with & and <b>: its markup escaped, so it shows verbatim" markup

# The other way to fail: the module does not load (root: the system Qt is hidden).
module_fails() {
  run XDG_RUNTIME_DIR="$tmp/run" unshare -m "$here/../portable/without_system_qt.sh" &&
    ! same_line && notified 4
}
# Without libdbus (an empty file in its place) nothing is sent, at once.
no_libdbus() {
  run XDG_RUNTIME_DIR="$tmp/run" unshare -m sh -c 'mount --bind /dev/null "$0" && exec "$1"' \
    "$(realpath /usr/lib/x86_64-linux-gnu/libdbus-1.so.3)" && ! same_line && ((took < 2000))
}
if unshare -m true 2>/dev/null; then
  check "the module does not load: its cause is notified" module_fails
  check "without libdbus: the same line, at once" no_libdbus
else
  echo "SKIPPED the module does not load, without libdbus (unshare -m needs root)"
  skipped=1
fi

# Hung: a server that leaves the call unanswered, a bus that answers nothing.
silent() { run XDG_RUNTIME_DIR="$tmp/run" "$@" && same_line && ((took < 8000)); }
touch "$tmp/silent"
check "a notification server that never answers: the same line, given up within the bound" silent
kill -STOP "$daemon"
check "a bus that never answers: the same line, given up within the bound" silent
kill -CONT "$daemon"

# Buses that misbehave (fake_bus.py): however the bus behaves, the window's
# failure ends within the notification's 3 s.
declare -A fault=([flood]="floods valid signals" [trickle]="sends a byte now and then"
  [mute]="never answers the login" [half-auth]="stalls in the login's answer"
  [half-message]="stalls mid-message" [full]="never accepts a connection")
for mode in flood trickle mute half-auth half-message full; do
  "$here/fake_bus.py" "$mode" "$tmp/$mode" >"$tmp/$mode.log" &
  pids+=($!)
  until_found ready "$tmp/$mode.log" || { echo "FAIL fake_bus.py $mode did not start"; exit 1; }
  check "a bus that ${fault[$mode]}: the same line, given up within the bound" \
    silent DBUS_SESSION_BUS_ADDRESS="unix:path=$tmp/$mode"
  echo "     ended after $took ms"
done

echo "$failures failed"
((failures == 0)) || exit 1
# A case that could not run here: the run counts as skipped, never passed.
((skipped == 0)) || exit 77
