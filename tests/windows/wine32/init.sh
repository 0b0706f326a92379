#!/bin/busybox sh
# /init of the 32-bit Wine VM: mounts the i386 root image read-only, gives it
# a fresh /tmp and the tests, runs guest.sh inside it, powers off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

result() {
    echo "TAVRIK_VM_RESULT=$1"
    poweroff -f
}

for m in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci virtio_blk \
         crc16 crc32c_generic mbcache jbd2 ext4; do
    insmod "/modules/$m.ko" || { echo "vm: FAILED to load $m"; result module-load-failed; }
done
n=0
while [ ! -b /dev/vda ] && [ $n -lt 100 ]; do
    sleep 0.1
    n=$((n + 1))
done
mkdir -p /newroot
mount -t ext4 -o ro /dev/vda /newroot || result no-root-image
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
mount -t devtmpfs dev /newroot/dev
mount -t tmpfs -o mode=1777 tmp /newroot/tmp
mkdir -p /newroot/dev/shm && mount -t tmpfs -o mode=1777 shm /newroot/dev/shm
mount --bind /tavrik /newroot/tavrik

echo "vm: kernel $(uname -r), $(nproc) CPUs, root image mounted after $(cut -d' ' -f1 /proc/uptime) s"
chroot /newroot /tavrik/busybox sh /tavrik/guest.sh
result $?
