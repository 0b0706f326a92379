#!/bin/busybox sh
# /init of the 32-bit Wine VM: mounts the i386 root image read-only, gives it
# a fresh /tmp and the tests, runs guest.sh inside it, powers off.
. /guest_lib.sh

vm_insmod_all   # the block device and ext4 modules
for disk in /dev/vda /dev/vdb; do
    vm_wait_for $disk 30 || { echo "vm: no $disk"; vm_result no-disk; }
done
mkdir -p /newroot
mount -t ext4 -o ro /dev/vda /newroot || vm_result no-root-image
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
mount -t devtmpfs dev /newroot/dev
mount -t tmpfs -o mode=1777 tmp /newroot/tmp
mkdir -p /newroot/dev/shm && mount -t tmpfs -o mode=1777 shm /newroot/dev/shm
mount --bind /tavrik /newroot/tavrik

echo "vm: kernel $(uname -r), $(nproc) CPUs, root image mounted after $(cut -d' ' -f1 /proc/uptime) s"
chroot /newroot /tavrik/busybox sh /tavrik/guest.sh
vm_result $?
