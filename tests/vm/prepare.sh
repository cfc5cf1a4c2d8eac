#!/usr/bin/env bash
# Prepares what the virtual-machine tier boots, once per machine, under
# build/vm: QEMU and busybox from apt, a stock Debian kernel unpacked (never
# installed), its uncompressed image and an initramfs holding busybox, the
# init script and the driver modules the cases need.
# Usage: tests/vm/prepare.sh BUILD_VM_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="${1:?usage: prepare.sh BUILD_VM_DIR}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

say() { echo "vm: $*" >&2; }
die() { echo "vm: $*" >&2; exit 1; }

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)

packages=(qemu-system-x86 busybox-static xz-utils zstd cpio)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The kernel package the metapackage points at today.
kpkg="$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')"
[[ -n "$kpkg" ]] || die "apt-cache names no kernel package behind linux-image-amd64"
kver="${kpkg#linux-image-}"
stamp="$out/prepared"
# Everything below is redone when the kernel, the init script or this script change.
want="$kpkg $(cat "$here/init.sh" "$0" | sha256sum | cut -c1-16)"
if [[ -f "$stamp" && "$(cat "$stamp")" == "$want" ]]; then
  exit 0
fi
rm -f "$stamp"

kroot="$out/kernel"
if [[ ! -d "$kroot/lib/modules/$kver" ]]; then
  say "fetching $kpkg (unpacked under build/vm, not installed)"
  rm -rf "$out/deb" "$kroot"
  mkdir -p "$out/deb"
  (cd "$out/deb" && apt-get download -q "$kpkg")
  dpkg-deb -x "$out"/deb/"$kpkg"_*.deb "$kroot"
  rm -rf "$out/deb"
fi

# The uncompressed kernel: QEMU boots it through its PVH note, seconds faster
# under TCG than the compressed one. The bzImage header says where the
# compressed payload lies: payload_offset and payload_length (0x248, 0x24c),
# counted from the protected-mode code after the setup sectors.
vmlinuz="$kroot/boot/vmlinuz-$kver"
u8() { od -An -tu1 -j "$1" -N1 "$vmlinuz" | tr -d ' '; }
u32() { od -An -tu4 -j "$1" -N4 "$vmlinuz" | tr -d ' '; }
sects="$(u8 $((0x1f1)))"
((sects == 0)) && sects=4
start=$(((sects + 1) * 512 + $(u32 $((0x248)))))
length="$(u32 $((0x24c)))"
magic="$(od -An -tx1 -j "$start" -N4 "$vmlinuz" | tr -d ' ')"
case "$magic" in
  fd377a58) unpack=(xz -dc --single-stream) ;;
  28b52ffd) unpack=(zstd -dcq) ;;
  1f8b*) unpack=(gzip -dc) ;;
  *) die "unknown compression (magic $magic) in $vmlinuz" ;;
esac
dd if="$vmlinuz" iflag=skip_bytes,count_bytes skip="$start" count="$length" status=none |
  "${unpack[@]}" >"$out/vmlinux.tmp"
[[ "$(head -c4 "$out/vmlinux.tmp" | od -An -tx1 | tr -d ' ')" == 7f454c46 ]] ||
  die "the kernel image unpacked from $vmlinuz is not an ELF file"
mv "$out/vmlinux.tmp" "$out/vmlinux"

# The modules the guest loads, with everything they depend on.
busybox=/bin/busybox
[[ -x "$busybox" ]] || die "busybox-static did not install $busybox"
mods="$kroot/lib/modules/$kver"
[[ -f "$mods/modules.dep" ]] || "$busybox" depmod -b "$kroot" "$kver"
wanted=(virtio_pci 9pnet_virtio 9p overlay usbcore xhci-pci ehci-pci usbserial ftdi_sio cdc-acm
  dummy_hcd configfs libcomposite u_serial usb_f_acm usb_f_serial g_serial)
closure() {
  # modules.dep: "path: dep dep ..."; names use - and _ interchangeably.
  local name="${1//-/_}" line
  line="$(awk -v n="$name" -F: '{ b=$1; sub(/.*\//, "", b); sub(/\.ko.*/, "", b);
          gsub(/-/, "_", b); if (b == n) { print; exit } }' "$mods/modules.dep")"
  [[ -n "$line" ]] || return 0  # built into the kernel
  echo "${line%%:*}"
  local dep
  for dep in ${line#*:}; do
    dep="${dep##*/}"
    closure "${dep%%.ko*}"
  done
}
ird="$out/initramfs"
rm -rf "$ird"
mkdir -p "$ird"/{bin,sbin,proc,sys,dev,tmp,lower,upper,root,share,etc}
for m in "${wanted[@]}"; do closure "$m"; done | sort -u | while read -r rel; do
  mkdir -p "$ird/lib/modules/$kver/$(dirname "$rel")"
  cp "$mods/$rel" "$ird/lib/modules/$kver/$rel"
done
cp "$mods"/modules.{order,builtin} "$ird/lib/modules/$kver/" 2>/dev/null || true
"$busybox" depmod -b "$ird" "$kver"
cp "$busybox" "$ird/bin/busybox"
for applet in $("$busybox" --list); do
  [[ "$applet" == busybox ]] || ln -sf busybox "$ird/bin/$applet"
done
# g_serial asks the kernel to load its functions through /sbin/modprobe.
ln -sf ../bin/busybox "$ird/sbin/modprobe"
install -m 0755 "$here/init.sh" "$ird/init"
printf '%s\n' "${wanted[@]}" >"$ird/etc/modules"
(cd "$ird" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initramfs.cpio.gz"
echo "$want" >"$stamp"
say "prepared $kpkg ($(du -h "$out/initramfs.cpio.gz" | cut -f1) initramfs)"
