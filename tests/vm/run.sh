#!/usr/bin/env bash
# The virtual-machine tier: downloads through the kernel's real serial
# drivers (ftdi_sio, the 8250 UART, cdc_acm against g_serial) in three guest
# boots. Prepares what it needs once under build/vm (see prepare.sh), builds
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
cmake --build --preset default --target vm_driver_test dongle-sim
rm -rf "$share"
mkdir -p "$share"

# The guest's command: the test program with a filter, offscreen, its
# numbering state in STATE (a directory under the share that outlives a boot).
guest() {
  local state="$1" filter="$2" first="${3:-}"
  printf 'mkdir -p %q && mkdir -m 0700 /tmp/runtime && cd /tmp && exec env QT_QPA_PLATFORM=offscreen ' \
    "$share/$state"
  printf 'XDG_RUNTIME_DIR=/tmp/runtime TEVRA_VM_SHARE=%q ' "$share"
  printf 'TEVRA_VM_STATE=%q TEVRA_VM_FIRST_ADAPTER=%q TEVRA_VM_STDERR=%q ' \
    "$state" "$first" "$share/stderr.log"
  printf '%q --gtest_color=no --gtest_filter=%q 2>>%q\n' "$program" "$filter" "$share/stderr.log"
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
}

started=$SECONDS
# Two FTDI adapters, A first: A becomes COM3, B COM4; A is unplugged and back.
boot ftdi "$(guest state "$cases.RunsOfEveryByteValueAt9600And115200/ftdi:$cases.UnplugMidDownloadThenReplugAndDownloadAgain/ftdi:Adapters/*" TEVRA-A)" \
  --modules "xhci-pci ftdi_sio" --trace \
  --usb ftdi-a:1:TEVRA-A --usb ftdi-b:2:TEVRA-B \
  --device-end "ftdi-a:$paced" --device-end "ftdi-b:$paced"
# The same adapters in the other order (same state), and a 16550 as ttyS1.
boot uart "$(guest state "$cases.RunsOfEveryByteValueAt9600And115200/uart:$cases.FullDownload/uart:Adapters/*" TEVRA-B)" \
  --modules "xhci-pci ftdi_sio" --trace \
  --usb ftdi-b:1:TEVRA-B --usb ftdi-a:2:TEVRA-A --uart uart \
  --device-end "ftdi-a:$paced" --device-end "ftdi-b:$paced" --device-end "uart:$paced"
# CDC-ACM: both ends in the guest, the device end on g_serial's ttyGS0.
boot acm "$(guest state-acm "$cases.RunsOfEveryByteValueAt9600And115200/acm:$cases.UnplugMidDownloadThenReplugAndDownloadAgain/acm")" \
  --modules "cdc-acm dummy_hcd g_serial"

echo "vm: figures (download ratio against the protocol's 25.6 s floor):"
grep -h '^timing ' "$share"/*.console | sed 's/^/vm:   /' || true
echo "vm: three boots in $((SECONDS - started)) s"
if ((${#failed[@]})); then
  echo "vm: the updater's stderr in the guest (last lines):" >&2
  tail -n 20 "$share/stderr.log" 2>/dev/null | sed 's/^/vm:   /' >&2 || true
  echo "vm: FAILED: ${failed[*]} (consoles and device logs in $share)" >&2
  exit 1
fi
echo "vm: all real-driver cases passed"
