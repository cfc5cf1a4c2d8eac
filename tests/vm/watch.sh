#!/bin/sh
# Runs in the test guest after a boot's headless steps (run.sh appends it):
# `tevra-updater --download --watch` with the updater run.sh bundled with
# PAYLOAD, while boot.sh plugs in each FTDI adapter END in turn, each waited
# for until its closing line, then unplugs the first one and plugs it in
# again: one outcome per plug. The --leave ends are adapters plugged in
# before the watch, which it must leave alone. Leaves in the share watch.out,
# .err, .status, .report, each end's log length before the run
# (watch.END.mark) and watch.times: per plug, the end and the milliseconds
# from asking for the plug to the "erasing" line and to the closing line
# (seen in 0.1 s steps). run.sh checks them after the boot.
# Usage: watch.sh SHARE PAYLOAD [--leave END]... -- END...
set -u
share="$1" payload="$2"
shift 2
out="$share/watch"
rm -f "$out".*
leave=""
while [ "$1" != -- ]; do
  case "$1" in
    --leave) leave="$leave $2" ;;
    *) echo "watch.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift 2
done
shift
for end in $leave "$@"; do
  wc -l <"$share/$end.log" >"$out.$end.mark"
done

# An empty ports directory of its own: the adapters come through /dev only.
ports=/run/vm/watch-ports
mkdir -p "$ports"
: >"$out.out"
TEVRA_PORTS_DIR="$ports" "$share/$payload.updater" --download --watch --count $(($# + 1)) \
  --settle 500 --baud 115200 --report "$out.report" >"$out.out" 2>"$out.err" &
pid=$!

now_ms() { echo $(($(date +%s%N) / 1000000)); }
lines() { grep -cE "$1" "$out.out"; }
ended() { grep -q '^watched: ' "$out.out"; }
# Waits (0.1 s steps, 300 s at most: the guest is emulated, on a busy
# machine many times slower) until the output holds $2 lines like $1, or
# the updater has ended; says when the lines were there.
wait_lines() {
  deadline=$(($(date +%s) + 300))
  while [ "$(lines "$1")" -lt "$2" ] && ! ended && [ "$(date +%s)" -lt "$deadline" ]; do
    sleep 0.1
  done
  now_ms
}
usb_nodes() { find /dev -maxdepth 1 -name 'ttyUSB*' | wc -l; }
outcomes=0
# Asks boot.sh to plug in END ($1) and waits for its outcome.
plug() {
  outcomes=$((outcomes + 1))
  asked=$(now_ms)
  echo "@vm: plug $1"
  erasing=$(wait_lines ': erasing$' "$outcomes")
  closed=$(wait_lines '^[^ ]+: (done|failed|interrupted)' "$outcomes")
  echo "$1 $((erasing - asked)) $((closed - asked))" >>"$out.times"
}

echo "watch: plugging in$*, then $1 again"
wait_lines '^watching ' 1 >/dev/null
for end in "$@"; do plug "$end"; done
want=$(($(usb_nodes) - 1)) deadline=$(($(date +%s) + 300))
echo "@vm: unplug $1"
while [ "$(usb_nodes)" -ne "$want" ] && [ "$(date +%s)" -lt "$deadline" ]; do
  sleep 0.1
done
plug "$1"
wait_lines '^watched: ' 1 >/dev/null
ended || kill -TERM "$pid"
wait "$pid"
echo "$?" >"$out.status"
exit 0
