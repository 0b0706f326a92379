#!/bin/bash
# Runs the Linux DVB card library's tests against the kernel's virtual DVB
# driver (vidtv) in a qemu VM (TCG, no KVM needed).
#
#   tests/vm/run.sh [BUILD_DIR]
#
# Installs what it needs with apt-get (run as root), builds the tests in
# BUILD_DIR (default: build-vm in the source tree; an existing build tree may
# be passed and is reused) while it downloads the pinned Debian kernel
# (kernel.env) and builds the vidtv modules against it, packs an initramfs,
# boots it and prints the tests' output, then the figures of
# bench_dvb_watcher (the card library's change detection while idle; not with
# TAVRIK_VM_BENCH=0). Exits non-zero, loudly, when anything fails:
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
BOOT_TIMEOUT=${TAVRIK_VM_TIMEOUT:-240}
# shellcheck source=vm.sh
. "$HERE/vm.sh"

START=$(date +%s)
mkdir -p "$WORK"

# --- Packages ---------------------------------------------------------------
step "packages (tools/install-deps.sh vm)"
"$ROOT/tools/install-deps.sh" vm >/dev/null || fail "installing packages (tools/install-deps.sh vm)"

# --- The kernel and vidtv, while the tests build ---------------------------------
ROOTFS=$WORK/kernel-root
VIDTV=$ROOTFS/linux-source-6.1/drivers/media/test-drivers/vidtv
vidtv_side() {
    vm_kernel mc dvb-core
    vm_kernel_debs "linux-headers-$KREL" "linux-headers-$KERNEL_ABI-common" linux-kbuild-6.1 linux-source-6.1
    EXTRACTED=$ROOTFS/.extracted-$KERNEL_VERSION-3   # bump the suffix when the layout changes
    if [ ! -f "$EXTRACTED" ]; then
        step "extracting the headers and the vidtv sources"
        rm -rf "$ROOTFS"
        mkdir -p "$ROOTFS"
        dpkg-deb --fsys-tarfile "$(vm_deb linux-source-6.1)" | tar -xO ./usr/src/linux-source-6.1.tar.xz \
            | tar -xJ -C "$ROOTFS" linux-source-6.1/drivers/media/test-drivers/vidtv &
        source_job=$!
        for p in "linux-headers-$KREL" "linux-headers-$KERNEL_ABI-common" linux-kbuild-6.1; do
            dpkg-deb -x "$(vm_deb "$p")" "$ROOTFS"
        done
        wait "$source_job" || fail "no vidtv in linux-source-6.1"
        # The headers' Makefile includes its common part by absolute path.
        sed -i "s|/usr/src/linux-headers-$KERNEL_ABI-common|$ROOTFS/usr/src/linux-headers-$KERNEL_ABI-common|g" \
            "$ROOTFS/usr/src/linux-headers-$KREL/Makefile"
        touch "$EXTRACTED"
    fi

    if [ ! -f "$VIDTV/dvb-vidtv-bridge.ko" ]; then
        step "building the vidtv modules"
        nice make -s -j2 -C "$ROOTFS/usr/src/linux-headers-$KREL" M="$VIDTV" CONFIG_DVB_VIDTV=m modules \
            || fail "building vidtv"
    fi
}
vm_side_start vidtv_side "$WORK/vidtv.log"

# --- The tests ---------------------------------------------------------------
# The build tree may be tools/test.sh's native one, built by its native part
# at the same time: one build at a time, under BUILD/.build.lock.
step "building the tests in $BUILD"
(
    flock 9
    if [ ! -f "$BUILD/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || exit 1
    else
        # A tree configured before libdvbv5 was installed finds it now.
        cmake -S "$ROOT" -B "$BUILD" >/dev/null || exit 1
    fi
    nice cmake --build "$BUILD" -j2 --target tavrik_dvb_tests tavrik_dvb_dialog_tests || exit 1
    # The watcher's idle cost is a figure, not a test: without it the tests
    # still run. TAVRIK_VM_BENCH=0 leaves it out (tools/test.sh does).
    if [ "${TAVRIK_VM_BENCH:-1}" = 1 ] && ! nice cmake --build "$BUILD" -j2 --target bench_dvb_watcher; then
        echo "tests/vm/run.sh: WARNING: bench_dvb_watcher did not build; the VM runs without it" >&2
        rm -f "$BUILD/bench/dvb/bench_dvb_watcher"
    fi
) 9>"$BUILD/.build.lock" || fail "building the tests"
TEST_BINS=("$BUILD/tests/dvb/tavrik_dvb_tests" "$BUILD/tests/dvb/tavrik_dvb_dialog_tests")
for t in "${TEST_BINS[@]}"; do [ -x "$t" ] || fail "no $t"; done
BENCH_BIN=""
[ "${TAVRIK_VM_BENCH:-1}" != 1 ] || BENCH_BIN=$BUILD/bench/dvb/bench_dvb_watcher

vm_side_wait "the kernel and the vidtv modules"

# --- The initramfs --------------------------------------------------------------
INITRD_DIR=$WORK/initramfs
vm_initramfs_begin "$INITRD_DIR" "$HERE/init.sh"
mkdir -p "$INITRD_DIR"/{run,tests,lib,usr}
ln -s ../lib "$INITRD_DIR/usr/lib"   # merged /usr, as on Debian
vm_add_modules "$INITRD_DIR" "$(vm_module mc)" "$(vm_module dvb-core)" "$VIDTV"/dvb-vidtv-{tuner,demod,bridge}.ko
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
if [ -n "$BENCH_BIN" ] && [ -x "$BENCH_BIN" ]; then
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
vm_initramfs_pack "$INITRD_DIR" "$INITRD"

# --- Boot ---------------------------------------------------------------------------
LOG=$WORK/vm.log
CAPTURE=$WORK/capture.ts
rm -f "$CAPTURE"
vm_boot "$LOG" "$INITRD" "" -accel tcg -m 512 -smp 1 -serial mon:stdio -serial "file:$CAPTURE"
# Four test runs: the fresh card's, the card library's, the tool's on the card, the removal's.
vm_judge "$LOG" 4 vm
echo "tests/vm/run.sh: all VM tests passed"
[ -z "$BENCH_BIN" ] || grep -aq "^watcher: watcher thread:" "$LOG" \
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
