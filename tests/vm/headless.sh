#!/bin/sh
# Runs in the test guest after the window's cases (run.sh appends it to a
# boot's command): one `tevra-updater --download` through PORTS with the
# updater run.sh bundled with PAYLOAD (SHARE/PAYLOAD.updater). Leaves its
# output, its stderr and its exit status in the share (headless-NAME.out, .err,
# .status) and each device end's log length before the run
# (headless-NAME.END.mark): run.sh checks them after the boot, once the device
# ends have saved their images.
# --gadget END: that device end runs here, a dongle-sim on g_serial's ttyGS0.
# --unplug END, --plug END: boot.sh unplugs or plugs in that FTDI adapter
# first, in the order given; a plugged one is a device end.
# Usage: headless.sh SHARE NAME PAYLOAD [--end END]... [--gadget END]
#                    [--unplug END]... [--plug END]... -- PORT...
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
share="$1" name="$2" payload="$3"
shift 3
out="$share/headless-$name"
rm -f "$out".*

usb_nodes() { find /dev -maxdepth 1 -name 'ttyUSB*' | wc -l; }
# Waits until the shell condition $1 holds, 300 s at most: the guest is
# emulated, on a busy machine many times slower. False when it gave up.
await() {
  deadline=$(($(date +%s) + 300))
  until eval "$1"; do
    [ "$(date +%s)" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
# Asks boot.sh for "unplug END" or "plug END" ($1) and waits until the USB
# serial nodes number $2 more.
plug() {
  want=$(($(usb_nodes) + $2))
  echo "@vm: $1"
  await "[ \$(usb_nodes) -eq $want ]" ||
    echo "headless.sh: no /dev/ttyUSB node came or went within 300 s after \"$1\""
}
ends="" gadget=""
while [ "$1" != -- ]; do
  case "$1" in
    --end) ends="$ends $2" ;;
    --gadget) gadget="$2" ends="$ends $2" ;;
    --unplug) plug "unplug $2" -1 ;;
    --plug) plug "plug $2" 1; ends="$ends $2" ;;
    *) echo "headless.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
shift

sim=""
if [ -n "$gadget" ]; then
  "$root/build/default/sim/dongle-sim" --tty /dev/ttyGS0 --pace --baud 115200 \
    --image "$share/$gadget.img" >"$share/$gadget.log" 2>&1 &
  sim=$!
  # Its first line says it is listening (or why it is not).
  # shellcheck disable=SC2016 # await evaluates it
  await '[ -s "$share/$gadget.log" ]' || echo "headless.sh: $gadget said nothing within 300 s"
fi
for end in $ends; do
  wc -l <"$share/$end.log" >"$out.$end.mark"
done

ports=""
for port in "$@"; do ports="$ports --port $port"; done
echo "headless $name:$ports"
# shellcheck disable=SC2086 # one word per option on purpose
"$share/$payload.updater" --download $ports --baud 115200 >"$out.out" 2>"$out.err"
echo "$?" >"$out.status"

if [ -n "$sim" ]; then
  kill -TERM "$sim"
  wait "$sim"
fi
exit 0
