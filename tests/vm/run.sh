#!/usr/bin/env bash
# The virtual-machine tier: downloads through the kernel's real serial
# drivers (ftdi_sio, the 8250 UART, cdc_acm against g_serial) in three guest
# boots, through the window and headless (tevra-updater --download, and
# --download --watch while adapters are plugged in), and a desktop user given
# the FTDI adapter through pkexec (access.sh). Prepares what it needs once under build/vm (see prepare.sh), builds
# the guest's test program, and fails when any case fails or when QEMU does
# not start; it never passes by skipping.
# Usage: tests/vm/run.sh [BOOT...]   (ftdi, uart, acm; default: all three)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
here="$root/tests/vm"
export VM_DIR="$root/build/vm"
export DONGLE_SIM="$root/build/default/sim/dongle-sim"
export VM_BOOT_CAP="${VM_BOOT_CAP:-360}"
program="$root/build/default/tests/vm/vm_driver_test"
share="$VM_DIR/run"

"$here/prepare.sh" "$VM_DIR"
cmake --preset default >/dev/null
cmake --build --preset default --target vm_driver_test vm_access_test dongle-sim tevra-updater tevra-bundle
rm -rf "$share"
mkdir -p "$share"
# The headless downloads' updaters: one with a 16 KB firmware, one with 2 KB
# (every byte value, then random bytes) for the single ports.
head -c 16384 /dev/urandom >"$share/full"
{
  printf '%b' "$(printf '\\x%02x' {0..255})"
  head -c 1792 /dev/urandom
} >"$share/small"
for payload in full small; do
  "$root/build/default/bundler/tevra-bundle" pack --updater "$root/build/default/app/tevra-updater" \
    --payload "$share/$payload" --output "$share/$payload.updater" --force
done

# The guest's command: the test program with a filter, offscreen, in the
# share, its numbering state in STATE (a directory under the share that outlives a boot),
# then the boot's headless steps (each headless.sh's arguments after SHARE)
# and its watch step (watch.sh's, when set) with that state.
steps=() watch="" access=""
# shellcheck disable=SC2016 # $status and $? belong to the guest's shell
guest() {
  local state="$1" filter="$2" first="${3:-}" step
  printf 'mkdir -p %q && mkdir -m 0700 /run/vm/runtime && cd %q || exit 1\n' "$share/$state" "$share"
  printf 'env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/run/vm/runtime '
  printf 'TEVRA_VM_STATE=%q TEVRA_VM_FIRST_ADAPTER=%q TEVRA_VM_STDERR=%q ' \
    "$share/$state" "$first" "$share/stderr.log"
  printf '%q --gtest_color=no --gtest_filter=%q 2>>%q\n' "$program" "$filter" "$share/stderr.log"
  printf 'status=$?\n'
  [[ -z "$access" ]] || printf 'sh %q %q %s\n' "$here/access.sh" "$share" "$access"
  for step in "${steps[@]}"; do
    printf 'XDG_STATE_HOME=%q sh %q %q %s\n' "$share/$state" "$here/headless.sh" "$share" "$step"
  done
  [[ -z "$watch" ]] ||
    printf 'XDG_STATE_HOME=%q sh %q %q %s\n' "$share/$state" "$here/watch.sh" "$share" "$watch"
  printf 'exit $status\n'
}

# Shows the last 40 lines of FILE ($2) under LABEL ($1) on stderr: a failure
# says why in CI's own output, whose checkout may be gone by the time
# someone looks.
show() {
  if [[ ! -s "$2" ]]; then
    echo "vm:   $1: ${2#"$share"/} is empty or missing" >&2
    return
  fi
  echo "vm:   $1 (the last 40 lines of ${2#"$share"/}):" >&2
  tail -n 40 "$2" | sed 's/^/vm:     | /' >&2
}

# Erases, headers and 128-byte blocks device end $1 saw after the mark file
# $2 (its log's length before the step).
seen() {
  local mark
  mark="$(cat "$2" 2>/dev/null || echo 0)"
  tail -n +"$((mark + 1))" "$share/$1.log" | awk '
    $0 == "erase" { e++ } $0 == "header" { h++ } /^block [0-9]+ 128 bytes$/ { b++ }
    END { printf "%d %d %d", e, h, b }'
}

# Checks a headless step after its boot: exit status 0, each port's closing
# line says done, and each device end holds the payload byte for byte after
# exactly one erase and one header and one block per 128 bytes (a byte sent
# to the wrong device would add to one count and take from another).
checked=()
check_headless() {
  local name="$1" payload="$share/$2" ends=() ports=() why=() end port last counts
  shift 2
  while [[ "$1" != -- ]]; do [[ "$1" == --unplug ]] || ends+=("$2"); shift 2; done
  shift
  ports=("$@")
  local out="$share/headless-$name" blocks=$(($(stat -c %s "$payload") / 128))
  local status
  status="$(cat "$out.status" 2>/dev/null || echo "none")"
  [[ "$status" == 0 ]] || why+=("exit status $status")
  for port in "${ports[@]}"; do
    last="$(grep "^$port: " "$out.out" 2>/dev/null | tail -n 1)"
    [[ "$last" == "$port: done: "* ]] || why+=("$port closed with \"$last\"")
    checked+=("headless $name $last")
  done
  for end in "${ends[@]}"; do
    cmp -s "$payload" "$share/$end.img" || why+=("$end's image differs from the payload")
    counts="$(seen "$end" "$out.$end.mark")"
    [[ "$counts" == "1 $blocks $blocks" ]] ||
      why+=("$end saw erases, headers, blocks: $counts (want 1 $blocks $blocks)")
  done
  if ((${#why[@]})); then
    printf "vm: headless $name: %s\n" "${why[@]}" >&2
    show "headless $name: its output" "$out.out"
    show "headless $name: its stderr" "$out.err"
    failed+=("headless $name")
  fi
}
# Checks the watch step after its boot: exit status 0, one closing line per
# plug, each done, and as many report lines, done, naming the adapters'
# serial numbers (ftdi-e is TEVRA-E) in the order plugged; each image byte
# for byte after one erase, one header and one block per 128 bytes per plug
# (the first end plugged twice); no erase on an adapter plugged in before.
check_watch() {
  local payload="$share/$1" leave=() plugged=() why=() out="$share/watch"
  local closed=() times=() end p n i counts status reported wanted="" to_erase to_close
  shift
  while [[ "$1" != -- ]]; do leave+=("$2"); shift 2; done
  shift
  plugged=("$@" "$1")
  local blocks=$(($(stat -c %s "$payload") / 128))
  status="$(cat "$out.status" 2>/dev/null || echo "none")"
  [[ "$status" == 0 ]] || why+=("exit status $status")
  mapfile -t closed < <(grep -E '^[^ ]+: (done|failed|interrupted)' "$out.out" 2>/dev/null)
  n=0
  for i in "${closed[@]}"; do if [[ "$i" == *": done: "* ]]; then n=$((n + 1)); fi; done
  ((${#closed[@]} == ${#plugged[@]} && n == ${#plugged[@]})) ||
    why+=("${#closed[@]} closing lines, $n done (want ${#plugged[@]}, all done)")
  for end in "${plugged[@]}"; do wanted+="${wanted:+ }TEVRA-${end#ftdi-}"; done
  reported="$(python3 -c '
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1])]
print(" ".join(r["serial"] if r["result"] == "done" else r["result"] for r in rows))
' "$out.report" 2>&1)" || true
  [[ "$reported" == "${wanted^^}" ]] || why+=("the report says \"$reported\" (want ${wanted^^})")
  for end in "$@"; do
    n=0
    for p in "${plugged[@]}"; do if [[ "$p" == "$end" ]]; then n=$((n + 1)); fi; done
    cmp -s "$payload" "$share/$end.img" || why+=("$end's image differs from the payload")
    counts="$(seen "$end" "$out.$end.mark")"
    [[ "$counts" == "$n $((n * blocks)) $((n * blocks))" ]] ||
      why+=("$end saw erases, headers, blocks: $counts (want $n $((n * blocks)) $((n * blocks)))")
  done
  for end in "${leave[@]}"; do
    counts="$(seen "$end" "$out.$end.mark")"
    [[ "${counts%% *}" == 0 ]] || why+=("$end, plugged in before the watch, saw ${counts%% *} erases")
  done
  mapfile -t times 2>/dev/null <"$out.times" || true
  for i in "${!times[@]}"; do
    read -r end to_erase to_close <<<"${times[i]}"
    checked+=("$(printf 'watch %s: "erasing" %d.%01d s after the plug request (500 ms settle), "%s" after %d.%01d s' \
      "$end" $((to_erase / 1000)) $((to_erase % 1000 / 100)) "${closed[i]:-}" \
      $((to_close / 1000)) $((to_close % 1000 / 100)))")
  done
  if ((${#why[@]})); then
    printf "vm: watch: %s\n" "${why[@]}" >&2
    show "watch: its output" "$out.out"
    show "watch: its stderr" "$out.err"
    failed+=("watch")
  fi
}
# Checks the access step (access.sh) after its boot: every check ok, and it
# ran to its end. Its checks' file (a failed check followed by the last
# lines it looked at) shows whole on a failure.
check_access() {
  local out="$share/access.out"
  if ! grep -qx end "$out" 2>/dev/null || grep -q '^FAIL' "$out"; then
    grep '^FAIL' "$out" 2>/dev/null | sed 's/^/vm: access: /' >&2
    grep -qx end "$out" 2>/dev/null || echo "vm: access: access.sh did not run to its end" >&2
    echo "vm:   access: its checks:" >&2
    sed 's/^/vm:     | /' "$out" >&2 2>/dev/null || true
    show "access: the system log" "$share/access.syslog"
    failed+=("access")
  fi
  checked+=("access: $(grep -c '^ok' "$out" 2>/dev/null) checks ok, $(grep '^took' "$out" 2>/dev/null)")
}
cases="Paths/RealDriverTest"
paced="--pace --baud 115200"
failed=()
only=("$@")
boot() {
  local name="$1" status=0 before=${#failed[@]}
  shift
  if ((${#only[@]})) && [[ " ${only[*]} " != *" $name "* ]]; then
    return
  fi
  : >"$share/stderr.log"
  "$here/boot.sh" "$name" "$share" "$@" || status=$?
  if ((status == 90)); then
    echo "vm: FAILED: QEMU does not start on this machine; the real-driver cases cannot run" >&2
    exit 1
  fi
  ((status == 0)) || failed+=("$name (status $status)")
  local step
  for step in "${steps[@]}"; do
    # shellcheck disable=SC2086 # the step's words
    check_headless $step
  done
  # shellcheck disable=SC2086 # the step's words
  [[ -z "$watch" ]] || check_watch $watch
  [[ -z "$access" ]] || check_access
  if ((${#failed[@]} > before)); then
    echo "vm: boot $name failed: ${failed[*]:before}" >&2
    show "boot $name: the updater's stderr in the guest" "$share/stderr.log"
    show "boot $name: the guest's console" "$share/$name.console"
    cp "$share/stderr.log" "$share/$name.stderr.log"
  fi
}

started=$SECONDS
# Two FTDI adapters, A first: A becomes COM3, B COM4; A is unplugged and back.
# Headless through A, then A is unplugged and D (another serial number and
# socket, never seen) plugged in: D is COM3, the number A left. Then a
# station (--watch) while E, F and G are plugged in and E again; B and D,
# there before, are left alone.
steps=("ftdi small --end ftdi-a -- /dev/ttyUSB0"
  "next-dongle small --unplug ftdi-a --plug ftdi-d -- COM3")
watch="small --leave ftdi-b --leave ftdi-d -- ftdi-e ftdi-f ftdi-g"
# Before the headless steps: uid 1000 gets ttyUSB0 (A) through pkexec; the
# console (ttyS0) and a 16550 (ttyS1, "spare") are refused.
access="small ftdi-a"
boot ftdi "$(guest state "$cases.*/ftdi" TEVRA-A)" \
  --modules "xhci-pci ftdi_sio" --trace \
  --usb ftdi-a:1:TEVRA-A --usb ftdi-b:2:TEVRA-B --usb ftdi-d:3:TEVRA-D:out \
  --usb ftdi-e:4:TEVRA-E:out --usb ftdi-f:5:TEVRA-F:out --usb ftdi-g:6:TEVRA-G:out \
  --device-end "ftdi-a:$paced" --device-end "ftdi-b:$paced" --device-end "ftdi-d:$paced" \
  --device-end "ftdi-e:$paced" --device-end "ftdi-f:$paced" --device-end "ftdi-g:$paced" \
  --uart spare
watch="" access=""
# The same adapters in the other order (same state), a third (COM5) and a
# 16550 as ttyS1; headless through ttyS1, then through the three at once.
steps=("uart small --end uart -- /dev/ttyS1"
  "three-ftdi full --end ftdi-a --end ftdi-b --end ftdi-c -- COM3 COM4 COM5")
boot uart "$(guest state "$cases.Downloads/uart:$cases.TwoAdaptersKeepTheirNumbers/ftdi" TEVRA-B)" \
  --modules "xhci-pci ftdi_sio" --trace \
  --usb ftdi-b:1:TEVRA-B --usb ftdi-a:2:TEVRA-A --usb ftdi-c:3:TEVRA-C --uart uart \
  --device-end "ftdi-a:$paced" --device-end "ftdi-b:$paced" --device-end "ftdi-c:$paced" \
  --device-end "uart:$paced"
# CDC-ACM: both ends in the guest, the device end on g_serial's ttyGS0.
steps=("acm small --gadget acm-headless -- /dev/ttyACM0")
boot acm "$(guest state-acm "$cases.Downloads/acm")" \
  --modules "cdc-acm dummy_hcd g_serial"

echo "vm: figures (download ratio against the protocol's 25.6 s floor):"
grep -h '^timing ' "$share"/*.console | sed 's/^/vm:   /' || true
((${#checked[@]} == 0)) || printf 'vm:   %s\n' "${checked[@]}"
echo "vm: three boots in $((SECONDS - started)) s"
if ((${#failed[@]})); then
  echo "vm: FAILED: ${failed[*]} (consoles and device logs in $share)" >&2
  exit 1
fi
echo "vm: all real-driver cases passed"
