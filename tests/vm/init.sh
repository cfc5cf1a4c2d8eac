#!/bin/sh
# PID 1 of the test guest (busybox). Loads the drivers the boot asks for,
# makes the host's / (read-only over 9p, under a tmpfs overlay) the root of
# a chroot, runs the boot's command there and powers off. The share (the
# kernel's vmshare= argument: a host directory, writable) brings the command
# and the module list in and takes the exit status out; it appears at the
# same path inside the chroot.
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

halt() {
  echo "vm-init: $*"
  sync
  poweroff -f
}

opts=trans=virtio,version=9p2000.L,msize=512000
for m in virtio_pci 9pnet_virtio 9p overlay; do
  modprobe "$m" || halt "cannot load $m"
done
mount -t 9p -o "$opts" vmshare /share || halt "cannot mount the share"
mount -t 9p -o "$opts,ro,cache=loose" hostroot /lower || halt "cannot mount the host's root"
mount -t tmpfs tmpfs /upper
mkdir -p /upper/data /upper/work
mount -t overlay overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work /root ||
  halt "cannot mount the overlay"

for m in $(cat /share/modules 2>/dev/null); do
  modprobe "$m" || halt "cannot load $m"
done

mount -t proc proc /root/proc
mount -t sysfs sysfs /root/sys
mount -t devtmpfs devtmpfs /root/dev
# /tmp stays the overlay's: the checkout itself may live under the host's /tmp.
mount -t tmpfs tmpfs /root/run
mkdir -p "/root$vmshare" "/root/lib/modules/$(uname -r)" /root/run/vm/bin
mount -o bind /share "/root$vmshare"
# The guest's modules and busybox, for the cases that load or remove drivers.
mount -o bind "/lib/modules/$(uname -r)" "/root/lib/modules/$(uname -r)"
mount -o bind /bin /root/run/vm/bin

echo "vm-init: running the command"
env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp \
  TERM=dumb VM_SHARE="$vmshare" chroot /root /bin/sh "$vmshare/command"
echo "$?" >/share/status
halt "done"
