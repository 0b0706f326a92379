# Sourced by the scripts that boot a test VM (tests/vm/run.sh,
# tests/windows/wine32/run.sh): the pinned kernel, the initramfs, the boot,
# and the one way a VM's run is judged. The sourcing script sets VM_SCRIPT
# (its name in messages) and WORK (its folder of downloads and intermediate
# files), and may set BOOT_TIMEOUT (seconds).
#
# The guest's side is tests/vm/guest_lib.sh, sourced by every VM's /init: the
# test programs write GoogleTest's output to the console, then the VM writes
# one line TAVRIK_VM_RESULT=<status> (0: every test program passed) and powers
# off once the console has sent it all.

# shellcheck source=kernel.env
. "$(dirname "${BASH_SOURCE[0]}")/kernel.env"
KREL=$KERNEL_ABI-amd64
VM_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VM_ROOT=$(cd "$VM_LIB_DIR/../.." && pwd)
BOOT_TIMEOUT=${BOOT_TIMEOUT:-240}

fail() {
    echo "" >&2
    echo "****************************************************************" >&2
    echo "$VM_SCRIPT: FAILED: $*" >&2
    echo "****************************************************************" >&2
    exit 1
}
step() { echo "== $(date +%T) $*"; }

# vm_kernel_debs PACKAGE...: the pinned version of each kernel package in
# $WORK/debs, taken from another build folder's VM when one has it, else
# downloaded (after an apt-get update when the lists do not know the version).
vm_kernel_debs() {
    local debs=$WORK/debs p cached
    mkdir -p "$debs"
    for p in "$@"; do
        ls "$debs/${p}_${KERNEL_VERSION}_"*.deb >/dev/null 2>&1 && continue
        for cached in "$VM_ROOT"/build*/*/debs/"${p}_${KERNEL_VERSION}_"*.deb \
                      "$VM_ROOT"/build*/*/*/debs/"${p}_${KERNEL_VERSION}_"*.deb; do
            # A copy, then a rename: whole files only, for the same reason.
            [ -f "$cached" ] && cp "$cached" "$debs/partial.deb" && mv "$debs/partial.deb" "$debs/$(basename "$cached")" && break
        done
        ls "$debs/${p}_${KERNEL_VERSION}_"*.deb >/dev/null 2>&1 && continue
        step "downloading $p $KERNEL_VERSION"
        # Into a folder of its own first: another VM's script may be copying
        # from $debs at the same time, and must only ever see whole files.
        rm -rf "$debs/partial" && mkdir -p "$debs/partial"
        if ! (cd "$debs/partial" && apt-get download -q "$p=$KERNEL_VERSION" >"$WORK/download.log" 2>&1); then
            step "apt-get update (the package lists do not know $p $KERNEL_VERSION)"
            apt-get -o DPkg::Lock::Timeout=600 -q update >/dev/null || fail "apt-get update"
            (cd "$debs/partial" && apt-get download -q "$p=$KERNEL_VERSION" >"$WORK/download.log" 2>&1) \
                || { cat "$WORK/download.log"; fail "cannot download $p=$KERNEL_VERSION"; }
        fi
        mv "$debs/partial/${p}_${KERNEL_VERSION}_"*.deb "$debs/" || fail "cannot download $p=$KERNEL_VERSION"
    done
}
vm_deb() { echo "$WORK/debs/${1}_${KERNEL_VERSION}_"*.deb; }

# vm_kernel MODULE...: the kernel ($VM_KERNEL) and the named modules of the
# kernel's package (found under $VM_MODULES by name), extracted once.
VM_KDIR=$WORK/kernel
VM_KERNEL=$VM_KDIR/boot/vmlinuz-$KREL
VM_MODULES=$VM_KDIR/lib/modules/$KREL/kernel
vm_kernel() {
    local stamp m patterns
    vm_kernel_debs "linux-image-$KREL-unsigned"
    stamp="$VM_KDIR/.extracted $KERNEL_VERSION $*"
    [ -f "$VM_KDIR/.extracted" ] && [ "$(cat "$VM_KDIR/.extracted")" = "$stamp" ] && return 0
    step "extracting the kernel and its modules $*"
    rm -rf "$VM_KDIR"
    mkdir -p "$VM_KDIR"
    patterns=("./boot/vmlinuz-$KREL")
    for m in "$@"; do patterns+=("./lib/modules/$KREL/kernel/*/$m.ko"); done
    dpkg-deb --fsys-tarfile "$(vm_deb "linux-image-$KREL-unsigned")" | tar -x -C "$VM_KDIR" --wildcards "${patterns[@]}" \
        || fail "extracting the kernel"
    echo "$stamp" >"$VM_KDIR/.extracted"
}

# vm_initramfs_begin DIR INIT: a fresh initramfs tree with busybox, INIT as
# its /init and the guest's library; the caller adds the rest.
vm_initramfs_begin() {
    local dir=$1
    step "packing the initramfs"
    rm -rf "$dir"
    mkdir -p "$dir"/{bin,dev,proc,sys,tmp,modules}
    cp /bin/busybox "$dir/bin/busybox"
    cp "$2" "$dir/init"
    chmod 755 "$dir/init"
    cp "$VM_LIB_DIR/guest_lib.sh" "$dir/guest_lib.sh"
}
# vm_add_modules DIR FILE...: kernel modules into the initramfs's /modules,
# and their names, in this order, into /modules/order (vm_insmod_all).
vm_add_modules() {
    local dir=$1 m
    shift
    for m in "$@"; do
        cp "$m" "$dir/modules/" || fail "no module $m"
        basename "$m" .ko >>"$dir/modules/order"
    done
}
# vm_module NAME: the path of the kernel package's module NAME.
vm_module() { find "$VM_MODULES" -name "$1.ko" | head -1; }
# vm_initramfs_pack DIR OUT
vm_initramfs_pack() {
    (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1 >"$2") || fail "packing the initramfs"
}

# vm_boot LOG INITRD APPEND QEMU_ARG...: boots $VM_KERNEL with INITRD and the
# kernel command line APPEND (words of the form NAME=VALUE reach /init as its
# environment), within BOOT_TIMEOUT seconds; shows the console and keeps it
# in LOG. qemu runs in the background, so an interrupted run ends it too.
vm_qemu_pid=""
vm_side_pid=""
trap '[ -z "$vm_side_pid" ] || kill "$vm_side_pid" 2>/dev/null; [ -z "$vm_qemu_pid" ] || kill "$vm_qemu_pid" 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM
vm_boot() {
    local log=$1 initrd=$2 append=$3 rc tail_pid started=$SECONDS
    shift 3
    [ -f "$VM_KERNEL" ] || fail "no kernel $VM_KERNEL"
    step "booting the VM (qemu, TCG, timeout ${BOOT_TIMEOUT}s)"
    # The log exists before tail looks for it, not once qemu's shell has made it.
    : >"$log"
    # no_timer_check: an emulated CPU on a busy host can miss the kernel's
    # IO-APIC timer check at boot, which then panics ("IO-APIC + timer
    # doesn't work"), as seen here once under load; the emulated timer works.
    timeout "$BOOT_TIMEOUT" qemu-system-x86_64 -no-reboot -nographic -nic none "$@" \
        -kernel "$VM_KERNEL" -initrd "$initrd" \
        -append "console=ttyS0 quiet loglevel=3 panic=-1 no_timer_check $append" \
        </dev/null >"$log" 2>&1 &
    vm_qemu_pid=$!
    tail -n +1 -f --pid="$vm_qemu_pid" "$log" &
    tail_pid=$!
    rc=0
    wait "$vm_qemu_pid" || rc=$?
    wait "$tail_pid" || true
    vm_qemu_pid=""
    echo ""
    step "VM finished (qemu exit $rc) after $((SECONDS - started)) s"
    [ "$rc" != 124 ] || fail "the VM did not finish within ${BOOT_TIMEOUT}s (log: $log)"
}

# vm_judge LOG RUNS NAME: the result protocol. The VM passed when it wrote
# TAVRIK_VM_RESULT=0, exactly RUNS GoogleTest passing summaries, and no
# failed or skipped test (each test needs the VM's conditions, so a skip is a
# fault). The tests that passed go into a JUnit report NAME.xml in
# $TAVRIK_JUNIT_DIR for tools/test.sh's total.
vm_judge() {
    local log=$1 runs=$2 name=$3 result summaries count
    result=$(grep -a -o "TAVRIK_VM_RESULT=[^[:space:]]*" "$log" | tail -1 | cut -d= -f2 | tr -d '\r')
    [ -n "$result" ] || fail "the VM ended without a result (log: $log)"
    [ "$result" = 0 ] || fail "tests in the VM failed (result $result; log: $log)"
    summaries=$(grep -a -c -E "^\[  PASSED  \] [1-9][0-9]* tests?\." "$log")
    [ "$summaries" = "$runs" ] \
        || fail "the VM's output has $summaries passing summaries of test programs, not $runs (log: $log)"
    ! grep -aq "^\[  FAILED  \]" "$log" || fail "a test failed in the VM (log: $log)"
    ! grep -aq "^\[  SKIPPED \]" "$log" || fail "a test was skipped in the VM (log: $log)"
    count=$(grep -a -o -E "^\[  PASSED  \] [0-9]+" "$log" | awk '{n += $4} END {print n + 0}')
    if [ -n "${TAVRIK_JUNIT_DIR:-}" ]; then
        printf '<testsuite name="%s" tests="%s" failures="0" disabled="0" skipped="0"/>\n' "$name" "$count" \
            >"$TAVRIK_JUNIT_DIR/$name.xml"
    fi
    echo "$VM_SCRIPT: $count tests in $runs test runs passed in the VM"
}

# vm_side_start FUNCTION LOG: runs FUNCTION in the background, its output in
# LOG: what the boot needs and the tests' build does not (kernel, modules,
# images), made meanwhile. The script's exit ends it, and a VM it boots.
vm_side_start() {
    (
        trap '[ -z "$vm_qemu_pid" ] || kill "$vm_qemu_pid" 2>/dev/null || true' EXIT
        trap 'exit 143' TERM
        "$1"
    ) >"$2" 2>&1 &
    vm_side_pid=$!
    vm_side_log=$2
}
# vm_side_wait WHAT: waits for it and shows its output; fails naming WHAT when
# it failed.
vm_side_wait() {
    local status=0
    step "waiting for $1"
    wait "$vm_side_pid" || status=$?
    vm_side_pid=""
    cat "$vm_side_log"
    [ $status -eq 0 ] || fail "$1 (log above)"
}
