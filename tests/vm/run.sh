#!/usr/bin/env bash
# The virtual-machine tier: downloads through the kernel's real serial
# drivers (ftdi_sio, the 8250 UART, cdc_acm against g_serial) in three guest
# boots, through the window and headless (tevra-updater --download). Prepares what it needs once under build/vm (see prepare.sh), builds
# the guest's test program, and fails when any case fails or when QEMU does
# not start; it never passes by skipping.
# Usage: tests/vm/run.sh [BOOT...]   (ftdi, uart, acm; default: all three)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
here="$root/tests/vm"
export VM_DIR="$root/build/vm"
export DONGLE_SIM="$root/build/default/sim/dongle-sim"
export VM_BOOT_CAP="${VM_BOOT_CAP:-240}"
program="$root/build/default/tests/vm/vm_driver_test"
share="$VM_DIR/run"

"$here/prepare.sh" "$VM_DIR"
cmake --preset default >/dev/null
cmake --build --preset default --target vm_driver_test dongle-sim tevra-updater tevra-bundle
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
    --payload "$share/$payload" --output "$share/$payload.updater"
done

# The guest's command: the test program with a filter, offscreen, in the
# share, its numbering state in STATE (a directory under the share that outlives a boot),
# then the boot's headless steps (each headless.sh's arguments after SHARE)
# with that state.
steps=()
# shellcheck disable=SC2016 # $status and $? belong to the guest's shell
guest() {
  local state="$1" filter="$2" first="${3:-}" step
  printf 'mkdir -p %q && mkdir -m 0700 /run/vm/runtime && cd %q || exit 1\n' "$share/$state" "$share"
  printf 'env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/run/vm/runtime '
  printf 'TEVRA_VM_STATE=%q TEVRA_VM_FIRST_ADAPTER=%q TEVRA_VM_STDERR=%q ' \
    "$share/$state" "$first" "$share/stderr.log"
  printf '%q --gtest_color=no --gtest_filter=%q 2>>%q\n' "$program" "$filter" "$share/stderr.log"
  printf 'status=$?\n'
  for step in "${steps[@]}"; do
    printf 'XDG_STATE_HOME=%q sh %q %q %s\n' "$share/$state" "$here/headless.sh" "$share" "$step"
  done
  printf 'exit $status\n'
}

# Checks a headless step after its boot: exit status 0, each port's closing
# line says done, and each device end holds the payload byte for byte after
# exactly one erase and one header and one block per 128 bytes (a byte sent
# to the wrong device would add to one count and take from another).
checked=()
check_headless() {
  local name="$1" payload="$share/$2" ends=() ports=() why=() end port last mark counts
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
    checked+=("$name $last")
  done
  for end in "${ends[@]}"; do
    cmp -s "$payload" "$share/$end.img" || why+=("$end's image differs from the payload")
    mark="$(cat "$out.$end.mark" 2>/dev/null || echo 0)"
    counts="$(tail -n +"$((mark + 1))" "$share/$end.log" | awk '
      $0 == "erase" { e++ } $0 == "header" { h++ } /^block [0-9]+ 128 bytes$/ { b++ }
      END { printf "%d %d %d", e, h, b }')"
    [[ "$counts" == "1 $blocks $blocks" ]] ||
      why+=("$end saw erases, headers, blocks: $counts (want 1 $blocks $blocks)")
  done
  if ((${#why[@]})); then
    printf "vm: headless $name: %s\n" "${why[@]}" >&2
    sed "s/^/vm:   $name stderr: /" "$out.err" >&2 2>/dev/null || true
    failed+=("headless $name")
  fi
}
cases="Paths/RealDriverTest"
paced="--pace --baud 115200"
failed=()
only=("$@")
boot() {
  local name="$1" status=0
  shift
  if ((${#only[@]})) && [[ " ${only[*]} " != *" $name "* ]]; then
    return
  fi
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
}

started=$SECONDS
# Two FTDI adapters, A first: A becomes COM3, B COM4; A is unplugged and back.
# Headless through A, then A is unplugged and D (another serial number and
# socket, never seen) plugged in: D is COM3, the number A left.
steps=("ftdi small --end ftdi-a -- /dev/ttyUSB0"
  "next-dongle small --unplug ftdi-a --plug ftdi-d -- COM3")
boot ftdi "$(guest state "$cases.*/ftdi" TEVRA-A)" \
  --modules "xhci-pci ftdi_sio" --trace \
  --usb ftdi-a:1:TEVRA-A --usb ftdi-b:2:TEVRA-B --usb ftdi-d:3:TEVRA-D:out \
  --device-end "ftdi-a:$paced" --device-end "ftdi-b:$paced" --device-end "ftdi-d:$paced"
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
((${#checked[@]} == 0)) || printf 'vm:   headless %s\n' "${checked[@]}"
echo "vm: three boots in $((SECONDS - started)) s"
if ((${#failed[@]})); then
  echo "vm: the updater's stderr in the guest (last lines):" >&2
  tail -n 20 "$share/stderr.log" 2>/dev/null | sed 's/^/vm:   /' >&2 || true
  echo "vm: FAILED: ${failed[*]} (consoles and device logs in $share)" >&2
  exit 1
fi
echo "vm: all real-driver cases passed"
