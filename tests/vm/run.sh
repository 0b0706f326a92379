#!/bin/bash
# Runs the Linux DVB card library's tests against the kernel's virtual DVB
# driver (vidtv) in a qemu VM (TCG, no KVM needed).
#
#   tests/vm/run.sh [BUILD_DIR]
#
# Installs what it needs with apt-get (run as root), builds the tests in
# BUILD_DIR (default: build-vm in the source tree; an existing build tree may
# be passed and is reused), downloads the pinned Debian kernel (kernel.env),
# builds the vidtv modules against it, packs an initramfs, boots it and prints
# the tests' output, then the figures of bench_dvb_watcher (the card library's
# change detection while idle). Exits non-zero, loudly, when anything fails:
# the VM not booting, a module not loading, or any test. The benchmark is not
# a test: when it cannot build or run, that is said, and nothing else changes.
#
# Downloads and intermediate files are kept in BUILD_DIR/vm, so a second run
# only rebuilds and boots.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=$(mkdir -p "${1:-$ROOT/build-vm}" && cd "${1:-$ROOT/build-vm}" && pwd)
WORK=$BUILD/vm
VM_SCRIPT=tests/vm/run.sh
# shellcheck source=vm_script.sh
. "$HERE/vm_script.sh"
BOOT_TIMEOUT=${TAVRIK_VM_TIMEOUT:-240}

START=$(date +%s)
mkdir -p "$WORK"

# --- Packages ---------------------------------------------------------------
step "packages (tools/install-deps.sh vm)"
"$ROOT/tools/install-deps.sh" vm >/dev/null || fail "installing packages (tools/install-deps.sh vm)"
kernel_debs=("linux-image-$KREL-unsigned" "linux-headers-$KREL" "linux-headers-$KERNEL_ABI-common"
             "linux-kbuild-6.1" "linux-source-6.1")
# The pinned kernel's packages are downloaded below: the package lists must know them.
if ! apt-cache madison "linux-image-$KREL-unsigned" 2>/dev/null | grep -q "$KERNEL_VERSION"; then
    step "apt-get update"
    apt-get -o DPkg::Lock::Timeout=600 -q update >/dev/null || fail "apt-get update"
fi

# --- The tests ----------------------------------------------------------------
step "building the tests in $BUILD"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || fail "cmake configure"
else
    # A tree configured before libdvbv5 was installed finds it now.
    cmake -S "$ROOT" -B "$BUILD" >/dev/null || fail "cmake configure"
fi
nice cmake --build "$BUILD" -j2 --target tavrik_dvb_tests tavrik_dvb_dialog_tests \
    || fail "building the tests"
TEST_BINS=("$BUILD/tests/dvb/tavrik_dvb_tests" "$BUILD/tests/dvb/tavrik_dvb_dialog_tests")
for t in "${TEST_BINS[@]}"; do [ -x "$t" ] || fail "no $t"; done
# The watcher's idle cost is a figure, not a test: without it the tests still run.
BENCH_BIN=$BUILD/bench/dvb/bench_dvb_watcher
if ! nice cmake --build "$BUILD" -j2 --target bench_dvb_watcher; then
    echo "tests/vm/run.sh: WARNING: bench_dvb_watcher did not build; the VM runs without it" >&2
    rm -f "$BENCH_BIN"
fi

# --- The kernel and vidtv -------------------------------------------------------
DEBS=$WORK/debs
ROOTFS=$WORK/kernel-root
mkdir -p "$DEBS"
for p in "${kernel_debs[@]}"; do
    if ! ls "$DEBS/${p}_${KERNEL_VERSION}_"*.deb >/dev/null 2>&1; then
        step "downloading $p $KERNEL_VERSION"
        (cd "$DEBS" && apt-get download -q "$p=$KERNEL_VERSION" 2>&1 | grep -v "unsandboxed" || true)
        ls "$DEBS/${p}_${KERNEL_VERSION}_"*.deb >/dev/null 2>&1 || fail "cannot download $p=$KERNEL_VERSION"
    fi
done

EXTRACTED=$ROOTFS/.extracted-$KERNEL_VERSION-2   # bump the suffix when the layout changes
if [ ! -f "$EXTRACTED" ]; then
    step "extracting the kernel, the headers and the vidtv sources"
    rm -rf "$ROOTFS"
    mkdir -p "$ROOTFS"
    deb() { echo "$DEBS/${1}_${KERNEL_VERSION}_"*.deb; }
    # Only what is used, the two big ones side by side.
    dpkg-deb --fsys-tarfile "$(deb "linux-image-$KREL-unsigned")" | tar -x -C "$ROOTFS" \
        "./boot/vmlinuz-$KREL" \
        "./lib/modules/$KREL/kernel/drivers/media/mc/mc.ko" \
        "./lib/modules/$KREL/kernel/drivers/media/dvb-core/dvb-core.ko" &
    image_job=$!
    dpkg-deb --fsys-tarfile "$(deb linux-source-6.1)" | tar -xO ./usr/src/linux-source-6.1.tar.xz \
        | tar -xJ -C "$ROOTFS" linux-source-6.1/drivers/media/test-drivers/vidtv &
    source_job=$!
    for p in "linux-headers-$KREL" "linux-headers-$KERNEL_ABI-common" linux-kbuild-6.1; do
        dpkg-deb -x "$(deb "$p")" "$ROOTFS"
    done
    wait "$image_job" || fail "extracting the kernel image"
    wait "$source_job" || fail "no vidtv in linux-source-6.1"
    # The headers' Makefile includes its common part by absolute path.
    sed -i "s|/usr/src/linux-headers-$KERNEL_ABI-common|$ROOTFS/usr/src/linux-headers-$KERNEL_ABI-common|g" \
        "$ROOTFS/usr/src/linux-headers-$KREL/Makefile"
    touch "$EXTRACTED"
fi

VIDTV=$ROOTFS/linux-source-6.1/drivers/media/test-drivers/vidtv
if [ ! -f "$VIDTV/dvb-vidtv-bridge.ko" ]; then
    step "building the vidtv modules"
    nice make -s -j2 -C "$ROOTFS/usr/src/linux-headers-$KREL" M="$VIDTV" CONFIG_DVB_VIDTV=m modules \
        || fail "building vidtv"
fi

# --- The initramfs --------------------------------------------------------------
step "packing the initramfs"
INITRD_DIR=$WORK/initramfs
rm -rf "$INITRD_DIR"
mkdir -p "$INITRD_DIR"/{bin,dev,proc,sys,tmp,run,modules,tests,lib,usr}
ln -s ../lib "$INITRD_DIR/usr/lib"   # merged /usr, as on Debian
cp /bin/busybox "$INITRD_DIR/bin/busybox"
cp "$HERE/init.sh" "$INITRD_DIR/init"
MODDIR=$ROOTFS/lib/modules/$KREL/kernel/drivers/media
cp "$MODDIR/mc/mc.ko" "$MODDIR/dvb-core/dvb-core.ko" "$VIDTV"/dvb-vidtv-{tuner,demod,bridge}.ko \
    "$INITRD_DIR/modules/" || fail "kernel modules missing"
cp "${TEST_BINS[@]}" "$INITRD_DIR/tests/"
# The shared libraries the programs need (libdvbv5 needs libudev, which Debian
# ships only as a shared library).
copy_libs() {
    ldd "$1" | awk '/=> \//{print $3} /^[ \t]*\//{print $1}' | while read -r lib; do
        [ -f "$INITRD_DIR$lib" ] && continue
        mkdir -p "$INITRD_DIR$(dirname "$lib")"
        cp -L "$lib" "$INITRD_DIR$lib"
    done
}
for t in "${TEST_BINS[@]}"; do copy_libs "$t"; done
if [ -x "$BENCH_BIN" ]; then
    cp "$BENCH_BIN" "$INITRD_DIR/tests/"
    copy_libs "$BENCH_BIN"
fi
# The whole tool runs on Qt's offscreen platform, with the dialog's fonts.
QT_PLATFORMS=$(dirname "$(ldd "${TEST_BINS[1]}" | awk '/libQt6Core/{print $3}')")/qt6/plugins/platforms
mkdir -p "$INITRD_DIR$QT_PLATFORMS"
cp "$QT_PLATFORMS/libqoffscreen.so" "$INITRD_DIR$QT_PLATFORMS/"
copy_libs "$QT_PLATFORMS/libqoffscreen.so"
mkdir -p "$INITRD_DIR/etc" "$INITRD_DIR/usr/share/fonts/truetype"
cp -r /etc/fonts "$INITRD_DIR/etc/"
for f in dejavu liberation2; do
    [ -d "/usr/share/fonts/truetype/$f" ] && cp -r "/usr/share/fonts/truetype/$f" "$INITRD_DIR/usr/share/fonts/truetype/"
done
INITRD=$WORK/initrd.cpio.gz
(cd "$INITRD_DIR" && find . | cpio -o -H newc --quiet | gzip -1 >"$INITRD")

# --- Boot ---------------------------------------------------------------------------
KERNEL=$ROOTFS/boot/vmlinuz-$KREL
[ -f "$KERNEL" ] || fail "no kernel $KERNEL"
LOG=$WORK/vm.log
step "booting the VM (qemu, TCG, timeout ${BOOT_TIMEOUT}s)"
set +e
CAPTURE=$WORK/capture.ts
rm -f "$CAPTURE"
timeout "$BOOT_TIMEOUT" qemu-system-x86_64 -accel tcg -m 512 -smp 1 -no-reboot -nographic -nic none \
    -serial mon:stdio -serial "file:$CAPTURE" \
    -kernel "$KERNEL" -initrd "$INITRD" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1" </dev/null 2>&1 | tee "$LOG"
qemu_rc=${PIPESTATUS[0]}
set -e
echo ""
step "VM finished (qemu exit $qemu_rc) after $(($(date +%s) - START)) s in all"

[ "$qemu_rc" = 124 ] && fail "the VM did not finish within ${BOOT_TIMEOUT}s (log: $LOG)"
grep -aq "^vm: running the card library's tests" "$LOG" || fail "the VM did not boot to the tests (log: $LOG)"
result=$(grep -a -o "TAVRIK_VM_RESULT=[^[:space:]]*" "$LOG" | tail -1 | cut -d= -f2 | tr -d '\r')
[ -n "$result" ] || fail "the VM ended without a result (log: $LOG)"
[ "$result" = 0 ] || fail "tests in the VM failed (result $result; log: $LOG)"
# All four test runs ran tests and said so.
[ "$(grep -ac "^\[  PASSED  \] [1-9][0-9]* tests\?\." "$LOG")" = 4 ] \
    || fail "the VM's output lacks a passing summary of all four test runs"
grep -aq "\[  FAILED  \]" "$LOG" && fail "a test failed in the VM"
grep -aq "^\[  SKIPPED \]" "$LOG" && fail "a test was skipped in the VM (each needs the VM's conditions)"
echo "tests/vm/run.sh: all VM tests passed"
grep -aq "^watcher: watcher thread:" "$LOG" \
    || echo "tests/vm/run.sh: WARNING: the watcher benchmark gave no figures (see the log)"
# What a player makes of the DVR device: a check by hand where ffprobe is
# installed (Debian's ffmpeg is too big to install for this alone).
if [ -s "$CAPTURE" ]; then
    if command -v ffprobe >/dev/null; then
        echo "tests/vm/run.sh: ffprobe on $CAPTURE:"
        ffprobe -hide_banner -v error -show_entries program=program_id,pmt_pid,pcr_pid:stream=index,codec_name,codec_type,id \
            -of compact "$CAPTURE" || echo "tests/vm/run.sh: WARNING: ffprobe could not read the capture"
    else
        echo "tests/vm/run.sh: the DVR capture is $CAPTURE; to check it: apt-get install ffmpeg; ffprobe $CAPTURE"
    fi
fi
