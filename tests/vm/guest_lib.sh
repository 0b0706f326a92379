# Sourced by the /init of every test VM (busybox sh; tests/vm/vm.sh puts it
# into the initramfs): the first mounts, loading modules, waiting for a
# device, and the one line the host judges the VM by.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

# vm_drain TTY: returns once TTY has sent everything written to it. busybox
# stty sets the terminal with TCSETSW, which waits for exactly that; a
# power-off does not, and would cut off the last lines.
vm_drain() {
    stty -F "$1" "$(stty -F "$1" -g)" 2>/dev/null
}

# vm_result STATUS: the result line (0: every test program passed), then the
# power-off once the console has sent it.
vm_result() {
    echo "TAVRIK_VM_RESULT=$1"
    vm_drain /dev/ttyS0
    poweroff -f
}

# vm_insmod NAME [PARAMETER...]: /modules/NAME.ko, or the VM ends saying
# which one failed.
vm_insmod() {
    m=$1
    shift
    insmod "/modules/$m.ko" "$@" || { echo "vm: FAILED to load $m"; vm_result module-load-failed; }
}

# vm_insmod_all: every module in /modules, in the order the host gave.
vm_insmod_all() {
    for m in $(cat /modules/order); do vm_insmod "$m"; done
}

# vm_wait_for PATH SECONDS: a device node appears a moment after its driver
# registers it (devtmpfs adds it from a kernel thread); false when it has not
# appeared after SECONDS.
vm_wait_for() {
    n=0
    while [ ! -e "$1" ] && [ $n -lt $(($2 * 10)) ]; do
        sleep 0.1
        n=$((n + 1))
    done
    [ -e "$1" ]
}
