#!/usr/bin/env bash
# Boots the test guest once under QEMU (TCG) and runs one command in it.
#
# Usage: boot.sh NAME SHARE COMMAND [--modules "m1 m2"] [--device-end NAME:ARGS]...
#                [--usb NAME:PORT:SERIAL[:out]]... [--uart NAME] [--trace]
#
#   SHARE        a host directory the guest sees, writable, at the same path
#   COMMAND      a shell script text run by /bin/sh in the guest's chroot
#   --modules    drivers the guest loads before the command
#   --usb        an FTDI adapter (QEMU's usb-serial) on xHCI port PORT (1-8) with
#                that serial number; its device end is dongle-sim NAME;
#                "out": not plugged in until the guest asks
#   --uart       a 16550 as the guest's ttyS1; its device end is dongle-sim NAME
#   --device-end extra dongle-sim options for device end NAME
#   --trace      record QEMU's line-setting trace events in SHARE/trace.log
#
# Each device end is a dongle-sim on the host connected to the adapter's
# socket; it writes SHARE/NAME.log (one line per event) and SHARE/NAME.img.
# The guest asks for an unplug or a (re)plug of adapter NAME by printing
# "@vm: unplug NAME" or "@vm: replug NAME" ("plug" alike) on its console;
# this script answers through QEMU's monitor. The console goes to
# SHARE/NAME.console and, indented, to standard output.
#
# Environment: VM_DIR (build/vm), DONGLE_SIM (the program), VM_BOOT_CAP
# (seconds before a guest that has not finished is stopped; default 300).
# Exit status: the command's; 90 when QEMU could not start, 91 when the
# guest did not finish.
set -euo pipefail

name="$1" share="$2" command="$3"
shift 3
modules="" trace=0
usb=() uart=""
declare -A end_args=()
while (($#)); do
  case "$1" in
    --modules) modules="$2"; shift 2 ;;
    --usb) usb+=("$2"); shift 2 ;;
    --uart) uart="$2"; shift 2 ;;
    --device-end) end_args["${2%%:*}"]="${2#*:}"; shift 2 ;;
    --trace) trace=1; shift ;;
    *) echo "boot.sh: unknown option $1" >&2; exit 2 ;;
  esac
done

vm="${VM_DIR:?}"
sim="${DONGLE_SIM:?}"
cap="${VM_BOOT_CAP:-300}"
sockets="$(mktemp -d /tmp/tevra-vm.XXXXXX)"
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$sockets"
}
trap cleanup EXIT

printf '%s\n' "$command" >"$share/command"
printf '%s\n' $modules >"$share/modules"
rm -f "$share/status"
console="$share/$name.console"
: >"$console"

args=(-accel tcg -machine pc -cpu max -smp 2 -m 1024 -nodefaults -no-user-config
  -display none -no-reboot
  -kernel "$vm/vmlinux" -initrd "$vm/initramfs.cpio.gz"
  -append "console=ttyS0 quiet loglevel=4 panic=-1 vmshare=$share"
  -serial stdio
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
  -virtfs "local,path=$share,mount_tag=vmshare,security_model=none,multidevs=remap"
  -chardev "pipe,id=mon,path=$sockets/mon" -mon chardev=mon,mode=readline)
mkfifo "$sockets/mon.in" "$sockets/mon.out"
if ((trace)); then
  : >"$share/trace.log"
  args+=(-D "$share/trace.log" -trace usb_serial_set_baud -trace usb_serial_set_data
    -trace serial_update_parameters)
fi
ends=()
declare -A plug=()
if ((${#usb[@]})); then
  args+=(-device qemu-xhci,id=xhci,p2=8,p3=8)
  for u in "${usb[@]}"; do
    IFS=: read -r end port serial out <<<"$u"
    args+=(-chardev "socket,id=$end,path=$sockets/$end,server=on,wait=off")
    plug[$end]="usb-serial,bus=xhci.0,port=$port,chardev=$end,always-plugged=on,serial=$serial"
    [[ -n "$out" ]] || args+=(-device "${plug[$end]},id=$end-0")
    ends+=("$end")
  done
fi
if [[ -n "$uart" ]]; then
  args+=(-chardev "socket,id=$uart,path=$sockets/$uart,server=on,wait=off"
    -device "isa-serial,chardev=$uart,index=1")
  ends+=("$uart")
fi

# Follows the console, answering the guest's unplug and replug requests.
follow() {
  local line end verb
  declare -A next=()
  while IFS= read -r line; do
    line="${line%$'\r'}"
    printf '%s\n' "$line" >>"$console"
    printf '  | %s\n' "$line"
    if [[ "$line" =~ @vm:\ (unplug|replug|plug)\ ([A-Za-z0-9-]+) ]]; then
      verb="${BASH_REMATCH[1]}" end="${BASH_REMATCH[2]}"
      if [[ -z "${plug[$end]:-}" ]]; then
        echo "boot.sh: the guest asked to $verb an unknown adapter $end" >&2
        continue
      fi
      : "${next[$end]:=0}"
      # Opened at the first request: QEMU holds the other end from its start.
      [[ -e /dev/fd/3 ]] || exec 3>"$sockets/mon.in"
      if [[ "$verb" == unplug ]]; then
        echo "device_del $end-${next[$end]}" >&3
        next[$end]=$((next[$end] + 1))
      else
        echo "device_add ${plug[$end]},id=$end-${next[$end]}" >&3
      fi
    fi
  done
}

started=$(date +%s%N)
timeout --kill-after=10 "$cap" qemu-system-x86_64 "${args[@]}" </dev/null 2>"$share/$name.qemu-err" |
  follow &
qemu_pipeline=$!
cat "$sockets/mon.out" >"$share/$name.monitor" &
pids+=($!)
# A device end connects once QEMU listens on its socket: QEMU just started
# on a busy machine can take longer to get there than a device end waits.
declare -A sims=()
for end in "${ends[@]}"; do
  until [[ -S "$sockets/$end" ]] || ! kill -0 "$qemu_pipeline" 2>/dev/null ||
    (($(date +%s%N) - started >= cap * 1000000000)); do
    sleep 0.1
  done
  # shellcheck disable=SC2086 # the extra options are words on purpose
  "$sim" --socket "$sockets/$end" --image "$share/$end.img" ${end_args[$end]:-} \
    >"$share/$end.log" 2>&1 &
  sims[$end]=$!
  pids+=($!)
done
if ((${#ends[@]})); then
  listening_ms=$((($(date +%s%N) - started) / 1000000))
  printf 'vm: boot %s: QEMU listened for the device ends %d.%01d s after its start\n' "$name" \
    $((listening_ms / 1000)) $((listening_ms % 1000 / 100))
fi
set +e
wait "$qemu_pipeline"
set -e
# A device end that ended before the guest did failed the cases behind it.
for end in "${ends[@]}"; do
  if ! kill -0 "${sims[$end]}" 2>/dev/null; then
    echo "vm: the device end $end ended during the boot ($name):" >&2
    tail -n 5 "$share/$end.log" | sed 's/^/vm:   /' >&2
  fi
done
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
if [[ ! -f "$share/status" ]]; then
  if ! grep -q "vm-init:" "$console"; then
    echo "vm: QEMU could not start the guest ($name):" >&2
    sed 's/^/vm:   /' "$share/$name.qemu-err" >&2
    exit 90
  fi
  if ((elapsed_ms >= cap * 1000)); then
    echo "vm: the guest ($name) did not finish within ${cap} s (console: $console)" >&2
  else
    echo "vm: the guest ($name) stopped without an exit status (console: $console)" >&2
  fi
  exit 91
fi
status="$(cat "$share/status")"
printf 'vm: boot %s finished with status %s in %d.%01d s\n' "$name" "$status" \
  $((elapsed_ms / 1000)) $((elapsed_ms % 1000 / 100))
exit "$status"
