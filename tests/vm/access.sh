#!/bin/sh
# Runs in the FTDI boot's guest (run.sh puts it after the window's cases):
# a desktop user (uid 1000) not in dialout, with the real pkexec and polkitd
# (polkit.sh). The user's updater is a file of theirs, which root is never
# asked to run: pkexec runs the system's setfacl instead. With polkit saying
# no: the window's dialog shows the commands and nothing changes
# (vm_access_test), and --grant-access prints them. With yes: the window's
# "Allow access" grants /dev/ttyUSB0 and its download completes; then, the
# grant taken back, `--grant-access COM3` from a terminal grants it and
# `--download` goes through; --always shows the rule's commands and asks
# nobody. With the updater installed (root's, with the package's polkit
# action, answered yes for that action only) --always gets the model's
# uaccess rule; a UART is refused --always; the system log (busybox syslogd)
# records each grant; after an unplug and replug the ACL is gone.
# The dialog's screenshots go to SHARE/shots. One line per check in
# SHARE/access.out ("ok: ..." or "FAIL: ..."), then "took N s" and "end";
# run.sh checks it after the boot.
# Usage: access.sh SHARE PAYLOAD END   (END: the dongle-sim behind ttyUSB0)
set -u
here="$(cd "$(dirname "$0")" && pwd)"
share="$1" payload="$2" end="$3"
out="$share/access"
rm -f "$out".*
started=$(date +%s)
work=/run/vm/access
mkdir -p "$work" && chmod 0755 "$work"
dev=/dev/ttyUSB0 rule=/etc/udev/rules.d/70-tevra-updater-0403-6001.rules
check() { # WHAT STATUS(0 = ok) [DETAIL FILE]
  if [ "$2" = 0 ]; then echo "ok: $1"; else echo "FAIL: $1${3:+: $(head -n 3 "$3" 2>&1)}"; fi >>"$out.out"
}
# Waits (0.1 s steps, capped) until the shell condition $1 holds.
await() {
  tries=0
  while ! eval "$1" && [ "$tries" -lt 600 ]; do
    sleep 0.1
    tries=$((tries + 1))
  done
  eval "$1"
}

if ! getent passwd 1000 >/dev/null; then
  echo "desk:x:1000:1000::/tmp:/bin/sh" >>/etc/passwd && echo "desk:x:1000:" >>/etc/group
fi
user="$(getent passwd 1000 | cut -d: -f1)"
as_user() { setpriv --reuid=1000 --regid=1000 --init-groups "$@"; }
/run/vm/bin/busybox syslogd -n -O "$out.syslog" &
syslogd=$!
# shellcheck source=tests/vm/polkit.sh
. "$here/polkit.sh"
polkit_answer "$user" no && polkit_start
check "polkitd answers NO for $user" $?
await '[ -S /dev/log ]'
install -m 0755 "$share/$payload.updater" "$work/tevra-updater"
policy="$here/../../build/default/dist/com.tevra.dongle-updater.grant-port.policy"
mkdir -p "$work/ports" "$work/shots" && ln -sf "$dev" "$work/ports/COM3" && chown -R 1000 "$work"
# The user's session: its own home, state, ports directory and runtime directory.
session() {
  as_user env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$work" USER="$user" \
    XDG_STATE_HOME="$work" XDG_RUNTIME_DIR="$work" TEVRA_PORTS_DIR="$work/ports" "$@"
}
# The window's case $1 of vm_access_test, in the share (the device end's image is there).
window() {
  (cd "$share" && session QT_QPA_PLATFORM=offscreen TEVRA_VM_UPDATER="$work/tevra-updater" \
    TEVRA_VM_DEVICE_END="$end" TEVRA_VM_SHOTS="$work/shots" \
    "$here/../../build/default/tests/vm/vm_access_test" --gtest_color=no \
    --gtest_filter="AccessWindowTest.$1*" >"$out.window-$1" 2>&1) &&
    grep -q "^\[  PASSED  \] 1 test" "$out.window-$1"
}

chgrp dialout "$dev" && chmod 0660 "$dev"
! as_user sh -c ": <>$dev" 2>"$out.eacces" && grep -q "Permission denied" "$out.eacces"
check "uid 1000 cannot open $dev before the grant" $? "$out.eacces"
acl="$(getfacl -p -c "$dev" 2>&1)"

window Refused
check "the window, polkit saying no: the dialog's commands, the node unchanged" $? "$out.window-Refused"
session "$work/tevra-updater" --grant-access COM3 >"$out.refused" 2>&1
[ $? -eq 4 ] && grep -q "refused or dismissed" "$out.refused" &&
  grep -q "for this time, in a terminal: sudo setfacl -m u:$user:rw $dev" "$out.refused" &&
  grep -q "for good: sudo usermod -aG dialout $user" "$out.refused" &&
  [ "$(getfacl -p -c "$dev" 2>&1)" = "$acl" ]
check "--grant-access COM3, polkit saying no: status 4, the commands, the node unchanged" $? "$out.refused"

polkit_answer "$user" yes
check "polkitd answers YES for $user" $?
window Granted
check "the window, polkit saying yes: Allow access opens COM3 and the download completes" $? \
  "$out.window-Granted"
cp "$work"/shots/*.png "$share/" 2>/dev/null
setfacl -b "$dev" && ! as_user sh -c ": <>$dev" 2>/dev/null
check "the window's grant taken back" $?

session "$work/tevra-updater" --grant-access COM3 >"$out.grant" 2>&1
status=$?
[ "$status" = 0 ] && grep -q "root may not run this updater's file: $work/tevra-updater belongs to uid 1000" "$out.grant" &&
  grep -q "asking for /usr/bin/setfacl for this time only" "$out.grant" &&
  grep -q "may read and write it until it is unplugged or the computer restarts" "$out.grant"
check "--grant-access COM3 from a terminal, the user's own file: setfacl, status 0" $? "$out.grant"
getfacl -p -c "$dev" 2>/dev/null | grep -qx "user:$user:rw-"
check "the ACL holds user:$user:rw-" $? "$out.grant"

session "$work/tevra-updater" --download --port COM3 --baud 115200 >"$out.download" 2>&1
status=$?
[ "$status" = 0 ] && grep -q "^COM3: done" "$out.download"
check "uid 1000 downloads through COM3 ($dev) to $end" $? "$out.download"

session "$work/tevra-updater" --grant-access COM3 --always >"$out.always-own" 2>&1
[ $? -eq 4 ] && [ ! -e "$rule" ] &&
  grep -q "in a terminal: echo 'SUBSYSTEM==\"tty\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", TAG+=\"uaccess\"' | sudo tee $rule" "$out.always-own"
check "--always with the user's own file: status 4, the rule's commands, no rule" $? "$out.always-own"

# The package's updater and polkit action, as installed; polkit says yes to
# that action only, so a grant that comes through came through it.
installed="$(sed -n 's/.*exec.path">\(.*\)<.*/\1/p' "$policy")"
install -m 0755 -o root -g root "$share/$payload.updater" "$installed" &&
  install -m 0644 "$policy" /usr/share/polkit-1/actions/ &&
  polkit_answer "$user" yes com.tevra.dongle-updater.grant-port
check "the updater installed at $installed with its polkit action" $?
pkaction --action-id com.tevra.dongle-updater.grant-port --verbose >"$share/access-action.txt" 2>&1
session "$work/tevra-updater" --grant-access COM3 --always >"$out.always" 2>"$out.always-err"
status=$?
[ "$status" = 0 ] && grep -q "0403:6001" "$out.always" &&
  [ "$(cat "$out.always-err")" = "tevra-updater: --grant-port: udev did not reload its rules now (is it running?): the rule applies once udev loads it" ]
check "--always through the installed updater: status 0, the USB ids, the note that udev is not running" $? "$out.always-err"
[ "$(stat -c '%a %U' "$rule" 2>&1)" = "644 root" ] &&
  grep -qx 'SUBSYSTEM=="tty", ATTRS{idVendor}=="0403", ATTRS{idProduct}=="6001", TAG+="uaccess"' "$rule"
check "$rule: 0644, the uaccess line" $? "$rule"
udevadm test --action=add /sys/class/tty/ttyUSB0 >"$out.udev" 2>&1
grep -q '^TAGS=.*:uaccess:' "$out.udev"
check "udevadm test tags ttyUSB0 uaccess" $? "$out.udev"
polkit_answer "$user" yes

acl="$(getfacl -p -c /dev/ttyS0 2>&1)"
as_user pkexec "$work/tevra-updater" --grant-port /dev/ttyS0 --always >"$out.uart" 2>&1
[ $? -eq 2 ] && grep -q "not a USB adapter" "$out.uart" && [ "$(getfacl -p -c /dev/ttyS0 2>&1)" = "$acl" ]
check "--always on the 16550 ttyS0: refused, nothing changed" $? "$out.uart"
env -i PKEXEC_UID=1000 "$work/tevra-updater" --grant-port /dev/ttyS1 >"$out.slot" 2>&1
[ $? -eq 2 ] && grep -q "slot without a UART" "$out.slot"
check "ttyS1, an 8250 slot without a UART: refused" $? "$out.slot"
udevadm test --action=add /sys/class/tty/ttyS0 >"$out.udev-uart" 2>&1
! grep -q '^TAGS=.*:uaccess:' "$out.udev-uart"
check "udevadm test does not tag ttyS0 uaccess" $? "$out.udev-uart"

logged="user $user (uid 1000) may read and write $dev until it is unplugged or the computer restarts"
setfacl_ran="COMMAND=/usr/bin/setfacl -m u:1000:rw $dev"
# shellcheck disable=SC2016 # await evaluates it
await '[ "$(grep -c "$setfacl_ran" "$out.syslog")" -ge 2 ] && grep -q "tevra-updater\[[0-9]*\]: $logged" "$out.syslog"'
grep "tevra-updater\[[0-9]*\]: $logged" "$out.syslog" | grep -q "0403:6001.*$rule"
check "the system log holds every grant (pkexec's line for each setfacl, the step's own)" $? "$out.syslog"

echo "@vm: unplug $end"
await "[ ! -e $dev ]"
echo "@vm: replug $end"
await "[ -c $dev ]"
getfacl -p -c "$dev" >"$out.replug" 2>&1
! grep -q "^user:$user:" "$out.replug"
check "after the replug $dev holds no entry for $user" $? "$out.replug"

polkit_stop
kill "$syslogd"
echo "took $(($(date +%s) - started)) s" >>"$out.out"
echo end >>"$out.out"
exit 0
