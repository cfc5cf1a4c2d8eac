#!/usr/bin/env bash
# tevra-updater --grant-port through the real setuid pkexec and a polkitd on
# a system bus of the test's own (tests/vm/polkit.sh), in a mount namespace
# of its own, as uid 1000 would ask from the window: with polkit's answer
# YES the step runs as root for that user; with NO pkexec exits 126 or 127
# and the step never runs. Part "tty": /dev/tty, a refusal, arrives as
# status 2 and its line; before polkit runs, --grant-access says polkit
# could not ask, in its own words. Part "uart": a real UART is granted to that user,
# with a console list of the test's own (bound over sysfs's) that does not
# name it; a machine without a UART skips it (exit 77).
# Usage: pkexec_grant_test.sh UPDATER tty|uart
set -uo pipefail
skip() { echo "SKIPPED: $*"; exit 77; }
[[ $(id -u) == 0 ]] || skip "needs root (a mount namespace, a polkitd of its own)"
if [[ -z "${TEVRA_GRANT_TEST_NS:-}" ]]; then
  exec unshare -m --propagation private env TEVRA_GRANT_TEST_NS=1 "$0" "$@"
fi
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=tests/vm/polkit.sh
. "$here/../vm/polkit.sh"
work="$(mktemp -d)"
trap 'polkit_stop; rm -rf "$work"' EXIT
uid=1000
user="$(getent passwd "$uid" | cut -d: -f1)"
if [[ -z "$user" ]]; then
  # A machine without a desktop user: one of the namespace's own.
  for db in passwd group; do cp "/etc/$db" "$work/$db" && mount --bind "$work/$db" "/etc/$db"; done
  echo "desk:x:$uid:$uid::/nonexistent:/bin/sh" >>/etc/passwd && echo "desk:x:$uid:" >>/etc/group
  user=desk
fi
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

# As the user would: the updater in a directory of theirs.
chmod 0755 "$work" && install -m 0755 -d "$work/home" && install -m 0755 "$1" "$work/home/tevra-updater"
{ mkdir -m 0755 "$work/rules" && mount --bind "$work/rules" /etc/polkit-1/rules.d &&
  mkdir -p /run/dbus && mount -t tmpfs -o mode=0755 tmpfs /run/dbus; } ||
  { echo "FAIL: cannot make a bus directory and rules directory of the test's own" >&2; exit 1; }
# A /dev of our own, with the tty of this machine's first UART.
mount -t tmpfs -o mode=0755 tmpfs /dev || { echo "FAIL: cannot make a /dev of the test's own" >&2; exit 1; }
for n in null:1:3 zero:1:5 random:1:8 urandom:1:9 tty:5:0; do
  IFS=: read -r name maj min <<<"$n"
  mknod -m 0666 "/dev/$name" c "$maj" "$min"
done
ask() {
  setpriv --reuid="$uid" --regid="$uid" --init-groups \
    pkexec "$work/home/tevra-updater" --grant-port "$@" >"$work/out" 2>"$work/err"
}

device=/dev/tty
[[ "${2:-}" == tty || "${2:-}" == uart ]] || { echo "usage: pkexec_grant_test.sh UPDATER tty|uart" >&2; exit 2; }
if [[ "$2" == uart ]]; then
  uart=""
  for dir in /sys/class/tty/ttyS*; do
    t="$(cat "$dir/type" 2>/dev/null)"
    [[ -z "$t" || "$t" == 0 || -n "$uart" ]] || uart="${dir##*/}"
  done
  [[ -n "$uart" ]] || skip "no UART here: the grant through pkexec is tested in the VM tier"
  device="/dev/$uart"
  if ! { IFS=: read -r maj min <"/sys/class/tty/$uart/dev" && mknod -m 0660 "$device" c "$maj" "$min" &&
    echo tty0 >"$work/active" && mount --bind "$work/active" /sys/class/tty/console/active; }; then
    echo "FAIL: cannot make $device and a console list of the test's own" >&2
    exit 1
  fi
fi
if [[ "$2" == tty ]]; then
  # No polkit to ask (no system bus yet): the cause says so, not "refused".
  # The updater root may run (root's, in root's folder) takes the step's way.
  trusted="$(mktemp -d /run/tevra-grant-XXXXXX)" && chmod 0755 "$trusted" &&
    install -m 0755 "$1" "$trusted/tevra-updater" && mknod -m 0660 /dev/ttyUSB0 c 4 64 ||
    { echo "FAIL: cannot make a trusted updater and a node" >&2; exit 1; }
  setpriv --reuid="$uid" --regid="$uid" --init-groups "$trusted/tevra-updater" \
    --grant-access /dev/ttyUSB0 >"$work/out" 2>"$work/err"
  status=$?
  rm -rf "$trusted" /dev/ttyUSB0
  [[ $status == 4 ]] && grep -q "^tevra-updater: pkexec: Error getting authority" "$work/err" &&
    grep -q "polkit could not ask for a password here" "$work/err" &&
    ! grep -q "refused or dismissed" "$work/err" ||
    fail "no polkit: status $status, stderr \"$(cat "$work/err")\" (want 4 and its own cause)"
fi
{ polkit_answer "$user" yes && polkit_start; } || exit 1

ask "$device"
status=$?
if [[ "$device" == /dev/tty ]]; then
  [[ $status == 2 && "$(cat "$work/err")" == "tevra-updater: --grant-port: /dev/tty is a console"* ]] ||
    fail "YES, /dev/tty: status $status, stderr \"$(cat "$work/err")\" (want 2 and the refusal)"
else
  [[ $status == 0 && "$(cat "$work/out")" == "tevra-updater: user $user (uid $uid) may read and write"* ]] ||
    fail "YES, $device: status $status, stdout \"$(cat "$work/out")\", stderr \"$(cat "$work/err")\""
  getfacl -p -n -c "$device" | grep -qx "user:$uid:rw-" || fail "YES, $device: no entry for uid $uid"
  setfacl -b "$device"
fi

polkit_answer "$user" no || exit 1
ask "$device"
status=$?
[[ $status == 126 || $status == 127 ]] || fail "NO, $device: status $status (want 126 or 127)"
! grep -q "tevra-updater" "$work/out" "$work/err" || fail "NO, $device: the step ran: $(cat "$work/err")"
[[ "$device" == /dev/tty ]] || [[ "$(getfacl -p -n -c "$device" | grep -c '^user:')" == 1 ]] ||
  fail "NO: $device has an entry: $(getfacl -p -n -c "$device")"
exit "$failed"
