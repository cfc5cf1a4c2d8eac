#!/usr/bin/env bash
# tevra-updater --grant-port, the real program as root, the user given as
# pkexec gives it (PKEXEC_UID in an empty environment). Every refusal exits
# 2 with one line on stderr saying why and leaves the node as it was (mode,
# owner, access list). Nodes are made with mknod on a tmpfs /dev in a mount
# namespace of the test's own, so nothing of this machine's /dev changes.
# One part per run; a part this machine cannot run exits 77 (skipped):
#   refusals  the command line, the user, terminals and consoles, paths,
#             links, files, nodes whose number is another tty's
#   console   the tty the kernel writes its console to now (needs a serial
#             console)
#   slot      an 8250 slot without a UART (needs one)
#   grant     a real UART is granted (ACL read back, the system log line on
#             a /dev/log of the test's own), --always refused for it (no USB
#             ids) without a rule file; with the console list (bound over
#             sysfs's) naming it among others it is refused, and with no
#             list it is refused too (needs a UART)
# Usage: grant_port_test.sh UPDATER PART
set -uo pipefail
skip() { echo "SKIPPED: $*"; exit 77; }
[[ $(id -u) == 0 ]] || skip "needs root (a mount namespace, nodes made with mknod)"
if [[ -z "${TEVRA_GRANT_TEST_NS:-}" ]]; then
  exec unshare -m --propagation private env TEVRA_GRANT_TEST_NS=1 "$0" "$@"
fi
updater="$1" part="$2"
work="$(mktemp -d)"
listener=""
trap '[[ -z "$listener" ]] || kill "$listener"; rm -rf "$work"' EXIT
uid=1000
getent passwd "$uid" >/dev/null || uid=65534
user="$(getent passwd "$uid" | cut -d: -f1)"
failed=0

# What a refusal must not change: kind, mode, owner, group, access list.
state() { stat -c '%F %a %u %g' "$1" 2>&1; getfacl -p -n -c -E "$1" 2>&1; }
fail() { echo "FAIL: $*" >&2; failed=1; }

# refuses WHAT PATTERN TARGET [VAR=VALUE...] -- ARG...: status 2, nothing on
# stdout, one stderr line matching PATTERN, TARGET unchanged.
refuses() {
  local what="$1" pattern="$2" target="$3" vars=() before status
  shift 3
  while [[ "$1" != -- ]]; do vars+=("$1"); shift; done
  shift
  ((${#vars[@]})) || vars=("PKEXEC_UID=$uid")
  before="$(state "$target")"
  env -i "${vars[@]}" "$updater" --grant-port "$@" >"$work/out" 2>"$work/err"
  status=$?
  [[ $status == 2 ]] || fail "$what: status $status (want 2)"
  [[ ! -s "$work/out" ]] || fail "$what: stdout: $(cat "$work/out")"
  { [[ $(wc -l <"$work/err") == 1 ]] && grep -qE "^tevra-updater: --grant-port: $pattern" "$work/err"; } ||
    fail "$what: stderr \"$(cat "$work/err")\" (want one line: $pattern)"
  [[ "$(state "$target")" == "$before" ]] || fail "$what: $target changed"
}

# A /dev of our own, for nodes with the numbers of this machine's ttys.
own_dev() {
  { mount -t tmpfs -o mode=0755 tmpfs /dev && mknod -m 0666 /dev/null c 1 3; } || {
    echo "FAIL: cannot make a /dev of the test's own" >&2
    exit 1
  }
}
# node NAME [TTY]: /dev/NAME, root:dialout 0660, with the number of the tty NAME (or TTY).
node() {
  local number
  number="$(cat "/sys/class/tty/${2:-$1}/dev")" &&
    mknod -m 0660 "/dev/$1" c "${number%%:*}" "${number#*:}" && chgrp dialout "/dev/$1"
}
# The first 8250 port with a UART, and the first slot without one.
uart="" empty=""
for dir in /sys/class/tty/ttyS*; do
  case "$(cat "$dir/type" 2>/dev/null)" in
    "") ;;
    0) empty="${empty:-${dir##*/}}" ;;
    *) uart="${uart:-${dir##*/}}" ;;
  esac
done

refusals() {
  local node path given pts
  exec 3<>/dev/ptmx
  pts="/dev/pts/$(awk '/^tty-index:/ { print $2 }' /proc/$$/fdinfo/3)"
  refuses "a pseudo-terminal" "\"$pts\" is not a device node directly in /dev" "$pts" -- "$pts"
  refuses /dev/ptmx "/dev/ptmx is not a serial adapter" /dev/ptmx -- /dev/ptmx
  for node in /dev/tty /dev/console /dev/tty0 /dev/tty1; do
    refuses "$node" "$node is a console: whoever may read it reads what is typed there" "$node" -- "$node"
  done
  refuses "/etc/shadow" "\"/etc/shadow\" is not a device node directly in /dev" /etc/shadow -- /etc/shadow
  for path in ttyS0 /dev/../dev/ttyS0 /dev/. /dev/ /dev; do
    refuses "\"$path\"" "\"$path\" is not a device node directly in /dev" /dev/tty1 -- "$path"
  done
  refuses "a directory" "/dev/pts is not a character device" /dev/pts -- /dev/pts
  refuses "a missing path" "/dev/ttyUSB99 does not exist" /dev/tty1 -- /dev/ttyUSB99
  refuses "direct root" "no user to grant to" /dev/tty1 PATH=/usr/bin -- /dev/tty1
  refuses "root via pkexec" "root needs no grant" /dev/tty1 PKEXEC_UID=0 SUDO_UID="$uid" -- /dev/tty1
  refuses "root via sudo" "root needs no grant" /dev/tty1 SUDO_UID=0 -- /dev/tty1
  for given in abc 1000x "" -5 " 1000" 99999999999; do
    refuses "PKEXEC_UID=\"$given\"" "the user id from pkexec or sudo is not a number" /dev/tty1 \
      PKEXEC_UID="$given" -- /dev/tty1
  done
  refuses "an unknown user" "no user has the id 3999999999" /dev/tty1 PKEXEC_UID=3999999999 -- /dev/tty1
  refuses "a uid after the device" "takes a device and --always only, not \"$uid\"" /dev/tty1 -- /dev/tty1 "$uid"
  refuses "--always twice" "takes a device and --always only, not \"--always\"" /dev/tty1 -- \
    /dev/tty1 --always --always
  refuses "an unknown option" "takes a device and --always only, not \"--uid\"" /dev/tty1 -- /dev/tty1 --uid
  refuses "no device" "needs a device" /dev/tty1 --
  refuses "an option first" "needs a device" /dev/tty1 -- --always /dev/tty1
  cp "$updater" "$work/updater" && chmod 0755 "$work" "$work/updater"
  local before status
  before="$(state /dev/tty1)"
  setpriv --reuid="$uid" --regid="$uid" --clear-groups env -i PKEXEC_UID="$uid" "$work/updater" \
    --grant-port /dev/tty1 >"$work/out" 2>"$work/err"
  status=$?
  [[ $status == 2 && "$(cat "$work/err")" == "tevra-updater: --grant-port: must run as root, through pkexec or sudo" ]] ||
    fail "not root: status $status, stderr \"$(cat "$work/err")\""
  [[ "$(state /dev/tty1)" == "$before" ]] || fail "not root: /dev/tty1 changed"

  exec 3>&-
  own_dev
  node ttyUSB7 tty1
  refuses "another tty's number" "/dev/ttyUSB7 is not the serial port the kernel knows by that name" \
    /dev/ttyUSB7 -- /dev/ttyUSB7
  ln -s ttyUSB7 /dev/ttyUSB0
  refuses "a link" "/dev/ttyUSB0 is a symbolic link" /dev/ttyUSB7 -- /dev/ttyUSB0
  : >/dev/ttyUSB1
  refuses "a regular file" "/dev/ttyUSB1 is not a character device" /dev/ttyUSB1 -- /dev/ttyUSB1
}

# The kernel's own list, as it is: every serial port in it is refused.
console() {
  local name consoles=() active
  read -ra active </sys/class/tty/console/active
  for name in "${active[@]}"; do
    if [[ -e "/sys/class/tty/$name/device" ]]; then consoles+=("$name"); fi
  done
  ((${#consoles[@]})) ||
    skip "no serial console here (/sys/class/tty/console/active: $(cat /sys/class/tty/console/active 2>&1))"
  own_dev
  for name in "${consoles[@]}"; do
    node "$name"
    refuses "the console $name" "/dev/$name is a console: whoever may read it reads what is typed there" \
      "/dev/$name" -- "/dev/$name"
    refuses "the console $name, --always" "/dev/$name is a console" "/dev/$name" -- "/dev/$name" --always
  done
}

slot() {
  [[ -n "$empty" ]] || skip "no 8250 slot without a UART here"
  own_dev
  node "$empty"
  refuses "an 8250 slot without a UART" "/dev/$empty is a serial port slot without a UART" \
    "/dev/$empty" -- "/dev/$empty"
}

grant() {
  [[ -n "$uart" ]] || skip "no UART here: the grant itself is tested in the VM tier"
  own_dev
  node "$uart"
  # The console list as the kernel could word it, first without the UART
  # (names that merely contain its name do not count), then with it.
  printf 'tty0 %s1 x%s netcon0\n' "$uart" "$uart" >"$work/active"
  mount --bind "$work/active" /sys/class/tty/console/active || {
    echo "FAIL: cannot put a console list of the test's own over sysfs's" >&2
    exit 1
  }
  local list
  for list in "tty0 $uart" "$uart tty0"$'\n' "netcon0  $uart"$'\n\n'; do
    printf '%s' "$list" >"$work/active"
    refuses "the console list \"$list\"" "/dev/$uart is a console" "/dev/$uart" -- "/dev/$uart"
  done
  printf 'tty0 %s1 x%s netcon0\n' "$uart" "$uart" >"$work/active"

  # The system log: a /dev/log of our own.
  python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log")
with open(sys.argv[1], "ab", buffering=0) as out:
    while True:
        out.write(s.recv(4096) + b"\n")
' "$work/syslog" &
  listener=$!
  local tries
  for ((tries = 0; tries < 300; tries++)); do [[ -S /dev/log ]] && break; sleep 0.1; done
  local rules
  rules="$(ls /etc/udev/rules.d)"
  refuses "--always on a UART" "/dev/$uart is not a USB adapter: --always needs" "/dev/$uart" -- \
    "/dev/$uart" --always
  [[ "$(ls /etc/udev/rules.d)" == "$rules" ]] || fail "--always on a UART: /etc/udev/rules.d changed"

  local granted="tevra-updater: user $user (uid $uid) may read and write /dev/$uart until the computer restarts"
  env -i SUDO_UID=65534 "$updater" --grant-port "/dev/$uart" >/dev/null 2>&1 || fail "sudo's user: not granted"
  env -i PKEXEC_UID="$uid" SUDO_UID=65534 "$updater" --grant-port "/dev/$uart" >"$work/out" 2>"$work/err"
  local status=$?
  [[ $status == 0 && "$(cat "$work/out")" == "$granted" && ! -s "$work/err" ]] ||
    fail "grant: status $status, stdout \"$(cat "$work/out")\", stderr \"$(cat "$work/err")\""
  local want="user::rw- user:$uid:rw- user:65534:rw- group::rw- mask::rw- other::--- "
  [[ "$(getfacl -p -n -c -E "/dev/$uart" | grep . | tr '\n' ' ')" == "$want" ]] ||
    fail "grant: the access list is $(getfacl -p -n -c -E "/dev/$uart" | grep . | tr '\n' ' ') (want $want)"
  [[ "$(stat -c '%U:%G' "/dev/$uart")" == root:dialout ]] || fail "grant: owner changed"
  for ((tries = 0; tries < 300; tries++)); do
    grep -qF "tevra-updater[" "$work/syslog" 2>/dev/null && [[ $(grep -c . "$work/syslog") == 2 ]] && break
    sleep 0.1
  done
  # <85>: LOG_AUTHPRIV | LOG_NOTICE.
  grep -F "tevra-updater[" "$work/syslog" 2>/dev/null | grep -F "]: ${granted#tevra-updater: }" |
    grep -q '^<85>' ||
    fail "grant: the system log holds \"$(cat "$work/syslog" 2>&1)\""

  # No list to tell whether it is a console: refused, as it may be one.
  setfacl -b "/dev/$uart"
  if ! umount /sys/class/tty/console/active ||
    ! mount -t tmpfs -o mode=0755 tmpfs "$(realpath /sys/class/tty/console)"; then
    echo "FAIL: cannot hide the console list" >&2
    exit 1
  fi
  refuses "no console list" "cannot tell whether /dev/$uart is a console \(/sys/class/tty/console/active\): No such file" \
    "/dev/$uart" -- "/dev/$uart"
}

case "$part" in
  refusals) refusals ;;
  console) console ;;
  slot) slot ;;
  grant) grant ;;
  *) echo "usage: grant_port_test.sh UPDATER refusals|console|slot|grant" >&2; exit 2 ;;
esac
exit "$failed"
