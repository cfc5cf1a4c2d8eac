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
# uaccess rule. The guest's console (ttyS0) is refused, by the step and
# before setfacl is asked for; a 16550 (ttyS1) is refused --always, and so
# is a slot without a UART; the system log (busybox syslogd) records each
# grant; after an unplug and replug the ACL is gone. The dialog's
# screenshots go to SHARE/shots. One line per check in SHARE/access.out
# ("ok: ..." or "FAIL: ..." and the last lines of what it looked at), then
# "took N s" and "end"; run.sh checks it after the boot.
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
# One line per check; a failed one is followed by the last lines of what
# it looked at, for run.sh to show.
check() { # WHAT STATUS(0 = ok) [DETAIL FILE]
  if [ "$2" = 0 ]; then
    echo "ok: $1 (at $(($(date +%s) - started)) s)" >>"$out.out"
  else
    echo "FAIL: $1 (at $(($(date +%s) - started)) s)" >>"$out.out"
    [ -z "${3:-}" ] || tail -n 40 "$3" 2>&1 | sed "s|^|  ${3##*/}: |" >>"$out.out"
  fi
}
# Waits until the shell condition $2 holds, $1 seconds at most (an emulated
# guest on a busy machine is many times slower: caps only a failure reaches).
# A wait that gives up says so in the checks' file.
await() {
  deadline=$(($(date +%s) + $1))
  until eval "$2"; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
      echo "waited $1 s in vain for: $2" >>"$out.out"
      return 1
    fi
    sleep 0.1
  done
}

if ! getent passwd 1000 >/dev/null; then
  echo "desk:x:1000:1000::/tmp:/bin/sh" >>/etc/passwd && echo "desk:x:1000:" >>/etc/group
fi
user="$(getent passwd 1000 | cut -d: -f1)"
as_user() { setpriv --reuid=1000 --regid=1000 --init-groups "$@"; }
/run/vm/bin/busybox syslogd -n -O "$out.syslog" &
syslogd=$!
await 300 '[ -S /dev/log ]'
check "syslogd listens on /dev/log" $?
# shellcheck source=tests/vm/polkit.sh
. "$here/polkit.sh"
export POLKIT_LOG="$out.polkitd"
polkit_answer "$user" no && polkit_start
check "polkitd answers NO for $user" $? "$out.polkitd"
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

# The 8250 ports: the guest's console (the kernel's own list names it), a
# 16550 with a UART, and a slot without one.
console="" uart="" slot="" active="$(cat /sys/class/tty/console/active)"
for name in $active; do
  [ -n "$console" ] || [ ! -e "/sys/class/tty/$name/device" ] || console="$name"
done
for dir in /sys/class/tty/ttyS*; do
  name="${dir##*/}"
  case "$(cat "$dir/type")" in
    0) slot="${slot:-$name}" ;;
    *) [ "$name" = "$console" ] || uart="${uart:-$name}" ;;
  esac
done
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
check "polkitd answers YES for $user" $? "$out.polkitd"
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

acl="$(getfacl -p -c "/dev/$console" 2>&1)"
session "$work/tevra-updater" --grant-access "/dev/$console" >"$out.console-setfacl" 2>&1
[ $? -eq 2 ] && [ -n "$console" ] && grep -q "is a console" "$out.console-setfacl" &&
  [ "$(getfacl -p -c "/dev/$console" 2>&1)" = "$acl" ]
check "--grant-access /dev/${console:-(none)}, the console: refused before setfacl is asked for" $? \
  "$out.console-setfacl"

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

acl="$(getfacl -p -c "/dev/$console" 2>&1)"
as_user pkexec "$work/tevra-updater" --grant-port "/dev/$console" >"$out.console" 2>&1
[ $? -eq 2 ] && [ -n "$console" ] && grep -q "is a console" "$out.console" &&
  [ "$(getfacl -p -c "/dev/$console" 2>&1)" = "$acl" ] &&
  ! getfacl -p -c "/dev/$console" 2>&1 | grep -q "^user:$user:"
check "the console /dev/${console:-(none in \"$active\")}: refused, no entry" $? \
  "$out.console"
acl="$(getfacl -p -c "/dev/$uart" 2>&1)"
as_user pkexec "$work/tevra-updater" --grant-port "/dev/$uart" --always >"$out.uart" 2>&1
[ $? -eq 2 ] && [ -n "$uart" ] && grep -q "not a USB adapter" "$out.uart" &&
  [ "$(getfacl -p -c "/dev/$uart" 2>&1)" = "$acl" ]
check "--always on the 16550 /dev/${uart:-(none)}: refused, nothing changed" $? "$out.uart"
env -i PKEXEC_UID=1000 "$work/tevra-updater" --grant-port "/dev/$slot" >"$out.slot" 2>&1
[ $? -eq 2 ] && [ -n "$slot" ] && grep -q "slot without a UART" "$out.slot"
check "/dev/${slot:-(none)}, an 8250 slot without a UART: refused" $? "$out.slot"
udevadm test --action=add "/sys/class/tty/$uart" >"$out.udev-uart" 2>&1
! grep -q '^TAGS=.*:uaccess:' "$out.udev-uart"
check "udevadm test does not tag $uart uaccess" $? "$out.udev-uart"

logged="user $user (uid 1000) may read and write $dev until it is unplugged or the computer restarts"
# shellcheck disable=SC2034 # await evaluates it
setfacl_ran="COMMAND=/usr/bin/setfacl -m u:1000:rw $dev"
# shellcheck disable=SC2016 # await evaluates it
await 300 '[ "$(grep -c "$setfacl_ran" "$out.syslog")" -ge 2 ] && grep -q "tevra-updater\[[0-9]*\]: $logged" "$out.syslog"' &&
  grep "tevra-updater\[[0-9]*\]: $logged" "$out.syslog" | grep -q "0403:6001.*$rule"
check "the system log holds every grant (pkexec's line for each setfacl, the step's own)" $? "$out.syslog"

echo "@vm: unplug $end"
await 300 "[ ! -e $dev ]"
check "the unplugged $dev is gone" $?
echo "@vm: replug $end"
await 300 "[ -c $dev ]" && getfacl -p -c "$dev" >"$out.replug" 2>&1 &&
  ! grep -q "^user:$user:" "$out.replug"
check "after the replug $dev holds no entry for $user" $? "$out.replug"

polkit_stop
kill "$syslogd"
echo "took $(($(date +%s) - started)) s" >>"$out.out"
echo end >>"$out.out"
exit 0
