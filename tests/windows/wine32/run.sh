#!/usr/bin/env bash
# The behaviour tests of the 32-bit Windows build under 32-bit Wine:
#
#   tests/windows/wine32/run.sh [BUILD_DIR]
#
# - builds the i686 test build (tavrik-rec.exe, tavrik.exe, tavrik-check.exe,
#   fake_tuner.dll and the GoogleTest driver, with
#   the -posix compilers) in BUILD_DIR (default build-win/i686-test) and runs
#   its static checks;
# - downloads Debian's i386 Wine and Xvfb with everything they depend on, with
#   apt-get working on a private state and cache folder (the host's dpkg, its
#   architectures and its own Wine stay untouched), and unpacks them into a
#   root tree made into a read-only ext4 image;
# - boots the pinned Debian kernel (tests/vm/kernel.env), which runs 32-bit
#   programs, in qemu (TCG) with that image, and runs the driver against the
#   32-bit exe there (guest.sh) on a private Xvfb, in a Wine prefix that an
#   earlier boot made on a disk image of its own (qemu discards what the
#   test boot writes to it, so every run starts from the same fresh prefix);
# - judges the VM by the result protocol of tests/vm/vm.sh (the driver's
#   one passing summary, no failed or skipped test).
#
# Downloads, the root image and the prefix are kept in BUILD_DIR/wine32, so a
# second run only rebuilds the exes and boots. Runs as root (apt-get).
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../../.." && pwd)
BUILD=$(mkdir -p "${1:-$ROOT/build-win/i686-test}" && cd "${1:-$ROOT/build-win/i686-test}" && pwd)
WORK=$BUILD/wine32
VM_SCRIPT=tests/windows/wine32/run.sh
BOOT_TIMEOUT=${TAVRIK_WINE32_TIMEOUT:-900}
# shellcheck source=../../vm/vm.sh
. "$ROOT/tests/vm/vm.sh"
# What the root image holds: Wine's 32-bit loader and libraries, Xvfb, and
# the fonts the dialog is laid out with.
I386_PACKAGES=(wine32 xvfb fonts-wine)

START=$(date +%s)
mkdir -p "$WORK"

# --- Host packages --------------------------------------------------------------
"$ROOT/tools/install-deps.sh" wine32 || fail "installing the packages"

# --- The i686 test build --------------------------------------------------------
step "building the i686 test build in $BUILD"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja --toolchain "$ROOT/cmake/toolchains/mingw-i686.cmake" \
          -DTAVRIK_MINGW_THREADS=posix -DTAVRIK_WERROR=ON >/dev/null || fail "cmake configure"
fi
nice cmake --build "$BUILD" -j2 --target tavrik-sim wine_dialog_tests || fail "building the i686 test build"
TESTS_DIR=$BUILD/tests/windows
for exe in tavrik-rec.exe tavrik.exe tavrik-check.exe fake_tuner.dll wine_dialog_tests.exe; do
    [ -f "$TESTS_DIR/$exe" ] || fail "no $TESTS_DIR/$exe"
done
status=0
# The host cannot run these exes: only the static checks run here, the
# behaviour tests in the VM.
ctest --test-dir "$BUILD" -R '^static_checks' --output-on-failure \
    ${TAVRIK_JUNIT_DIR:+--output-junit "$TAVRIK_JUNIT_DIR/wine32-static.xml"} || status=1

# --- The kernel -------------------------------------------------------------------
MODULES=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci virtio_blk
         crc16 crc32c_generic mbcache jbd2 ext4)
vm_kernel "${MODULES[@]}"

# --- The i386 root ------------------------------------------------------------------
# apt-get with its own lists, cache and an empty dpkg status, for i386 only:
# it works out and downloads the whole dependency closure without looking at
# or changing what the host has installed. The host's sources are used.
APTDIR=$WORK/apt
mkdir -p "$APTDIR/lists/partial" "$APTDIR/archives/partial"
[ -f "$APTDIR/status" ] || : >"$APTDIR/status"
I386_APT=(apt-get -q -o "Dir::State::Lists=$APTDIR/lists" -o "Dir::State::status=$APTDIR/status"
          -o "Dir::Cache=$APTDIR" -o "Dir::Cache::archives=$APTDIR/archives"
          -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Architecture=i386
          -o APT::Architectures::=i386 -o APT::Install-Recommends=false -o Debug::NoLocking=1
          -o APT::Sandbox::User=root)
if ! ls "$APTDIR/lists/"*_Packages* >/dev/null 2>&1; then
    step "apt-get update (i386, private lists)"
    "${I386_APT[@]}" update >/dev/null || fail "apt-get update for i386"
fi
RFS=$WORK/root
IMAGE=$WORK/root.img
LAYOUT=2   # bump when what goes into the tree below changes
# The private lists change only through an apt-get update here, so while the
# image is newer than them (and of this layout) the closure and the image
# stay as they are: nothing to resolve or download.
if [ -f "$IMAGE" ] && [ "$(tail -1 "$IMAGE.closure" 2>/dev/null)" = "layout $LAYOUT" ] \
   && [ -z "$(find "$APTDIR/lists" -newer "$IMAGE.closure" -print -quit)" ]; then
    step "the root image is current ($(($(wc -l <"$IMAGE.closure") - 1)) i386 packages)"
else
    # A list that no longer matches the archive (404s) is refreshed once.
    download() { "${I386_APT[@]}" install -y --download-only "${I386_PACKAGES[@]}" >"$WORK/apt.log" 2>&1; }
    if ! download; then
        step "apt-get update (i386, private lists), the cached lists are stale"
        "${I386_APT[@]}" update >/dev/null || fail "apt-get update for i386"
        download || { cat "$WORK/apt.log"; fail "downloading the i386 packages"; }
    fi
    grep -E "^(Need to get|Fetched)" "$WORK/apt.log" || true
    # The closure as apt sees it now; the tree is unpacked again when it changes.
    "${I386_APT[@]}" install -s "${I386_PACKAGES[@]}" 2>/dev/null | awk '/^Inst /{print $2, $3}' \
        | tr -d '()[]' >"$WORK/closure.new"
    [ -s "$WORK/closure.new" ] || fail "apt found no packages to unpack"
    debs=()
    while read -r name version; do
        f=$(ls "$APTDIR/archives/${name}_$(echo "$version" | sed 's/:/%3a/')_"*.deb 2>/dev/null | head -1)
        [ -n "$f" ] || fail "no downloaded .deb for $name $version"
        debs+=("$f")
    done <"$WORK/closure.new"

    echo "layout $LAYOUT" >>"$WORK/closure.new"
    if ! cmp -s "$WORK/closure.new" "$IMAGE.closure" || [ ! -f "$IMAGE" ]; then
        step "unpacking ${#debs[@]} i386 packages"
        rm -rf "$RFS" "$IMAGE" "$IMAGE.closure"
        mkdir -p "$RFS"
        for f in "${debs[@]}"; do
            dpkg-deb --fsys-tarfile "$f" | tar -x -C "$RFS" --exclude=./usr/share/doc \
                --exclude=./usr/share/man --exclude=./usr/share/locale --exclude=./usr/share/i18n \
                || fail "unpacking $f"
        done
        # What the maintainer scripts would have done, done from here (the host
        # cannot run i386 programs): the loader's cache, and a shell.
        mkdir -p "$RFS"/{proc,sys,dev,tmp,tavrik,etc/ld.so.conf.d}
        [ -f "$RFS/etc/ld.so.conf" ] || echo "include /etc/ld.so.conf.d/*.conf" >"$RFS/etc/ld.so.conf"
        ldconfig -r "$RFS" || fail "ldconfig for the i386 root"
        ln -sf /tavrik/busybox "$RFS/bin/sh"
        # libwine's zlib1.dll: mingw's, marked as a Wine builtin DLL.
        for dll in "$RFS"/usr/i686-w64-mingw32/lib/zlib*.dll; do
            out=$RFS/usr/lib/i386-linux-gnu/wine/i386-windows/$(basename "$dll")
            { head -c 64 "$dll"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$dll"; } >"$out"
        done
        step "making the root image"
        size_mb=$(( $(du -sm "$RFS" | cut -f1) * 115 / 100 + 64 ))
        mke2fs -q -t ext4 -O ^has_journal,^metadata_csum -L tavrik-wine32 -d "$RFS" "$IMAGE" "${size_mb}M" \
            || fail "mke2fs"
        # The image holds it all; the tree would only double the disk space.
        rm -rf "$RFS"
        cp "$WORK/closure.new" "$IMAGE.closure"
    fi
    # Resolved against the lists as they are now.
    touch "$IMAGE.closure"
    rm -f "$WORK/closure.new"
fi

# --- The initramfs ------------------------------------------------------------------
INITRD_DIR=$WORK/initramfs
vm_initramfs_begin "$INITRD_DIR" "$HERE/init.sh"
mkdir -p "$INITRD_DIR/tavrik/tests"
cp /bin/busybox "$INITRD_DIR/tavrik/busybox"
cp "$HERE/guest.sh" "$INITRD_DIR/tavrik/guest.sh"
cp "$HERE/../wine-x11.reg" "$INITRD_DIR/tavrik/wine-x11.reg"
for m in "${MODULES[@]}"; do vm_add_modules "$INITRD_DIR" "$(vm_module "$m")"; done
cp "$TESTS_DIR/tavrik-rec.exe" "$TESTS_DIR/tavrik.exe" "$TESTS_DIR/tavrik-check.exe" "$TESTS_DIR/fake_tuner.dll" \
   "$TESTS_DIR/wine_dialog_tests.exe" "$INITRD_DIR/tavrik/tests/"
INITRD=$WORK/initrd.cpio.gz
vm_initramfs_pack "$INITRD_DIR" "$INITRD"

# --- Boot -------------------------------------------------------------------------
cpus=$(( $(nproc) < 2 ? 1 : 2 ))
# boot_vm LOG MODE PREFIX_DRIVE: the VM on the root image and a prefix disk.
boot_vm() {
    local append="TAVRIK_PREFIX=$2"
    [ -z "${TAVRIK_GTEST_ARGS:-}" ] || append+=" TAVRIK_GTEST_ARGS=$TAVRIK_GTEST_ARGS"
    step "prefix: $2, $cpus CPUs"
    vm_boot "$1" "$INITRD" "$append" -accel tcg,thread=multi -smp "$cpus" -m 2048 \
        -drive "file=$IMAGE,if=virtio,format=raw,readonly=on" -drive "$3"
}

# The Wine prefix is an ext4 disk of its own, made by a first boot whenever
# the root image is newer; the test boot mounts it with qemu discarding every
# write, so each run starts from the same fresh prefix.
PREFIX_IMG=$WORK/prefix.img
if [ ! -f "$PREFIX_IMG.made" ] || [ ! "$PREFIX_IMG.made" -nt "$IMAGE" ]; then
    rm -f "$PREFIX_IMG" "$PREFIX_IMG.made"
    mke2fs -q -t ext4 -O ^has_journal,^metadata_csum -E root_owner=0:0 -L tavrik-prefix "$PREFIX_IMG" 2G \
        || fail "mke2fs for the prefix"
    boot_vm "$WORK/prefix.log" make "file=$PREFIX_IMG,if=virtio,format=raw"
    grep -aq "^vm: [0-9.]* s: prefix made" "$WORK/prefix.log" || fail "the VM made no Wine prefix (log: $WORK/prefix.log)"
    touch "$PREFIX_IMG.made"
fi
LOG=$WORK/vm.log
boot_vm "$LOG" use "file=$PREFIX_IMG,if=virtio,format=raw,snapshot=on"
vm_judge "$LOG" 1 wine32-vm
[ $status -eq 0 ] || fail "the static checks of the i686 test build"
echo "tests/windows/wine32/run.sh: the 32-bit behaviour tests passed ($(($(date +%s) - START)) s)"
