#!/usr/bin/env bash
# The behaviour tests of the 32-bit Windows build under 32-bit Wine:
#
#   tests/windows/wine32/run.sh [BUILD_DIR]
#
# - builds the i686 release exes tavrik.exe and tavrik-check.exe, and the
#   test fixtures tavrik-rec.exe and fake_tuner.dll, in build-win/i686 (the
#   tree tests/windows/run.sh checks statically), and the GoogleTest driver
#   with the -posix compilers in BUILD_DIR (default build-win/i686-test);
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
# All but the exes is made while they build. Downloads, the root image and the
# prefix are kept in BUILD_DIR/wine32, so a second run only rebuilds the exes
# and boots. Runs as root (apt-get).
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

# boot_vm LOG INITRD MODE PREFIX_DRIVE: the VM on the root image and a prefix
# disk. One CPU: as fast as two under TCG here (65 s for the tests either
# way), for less of the host's time, which the other parts want.
boot_vm() {
    local append="TAVRIK_PREFIX=$3"
    [ -z "${TAVRIK_GTEST_ARGS:-}" ] || append+=" TAVRIK_GTEST_ARGS=$TAVRIK_GTEST_ARGS"
    step "prefix: $3"
    vm_boot "$1" "$2" "$append" -accel tcg -smp 1 -m 2048 \
        -drive "file=$IMAGE,if=virtio,format=raw,readonly=on" -drive "$4"
}

# --- The VM's side, while the exes build -------------------------------------
# The kernel, the i386 root image and the Wine prefix do not depend on the
# exes: they are made in the background (its output in $WORK/vm-side.log),
# and the test boot waits for them.
vm_side() {
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

    # The initramfs without the exes: the prefix boot's, and the test boot's
    # base.
    INITRD_DIR=$WORK/initramfs
    vm_initramfs_begin "$INITRD_DIR" "$HERE/init.sh"
    mkdir -p "$INITRD_DIR/tavrik/tests"
    cp /bin/busybox "$INITRD_DIR/tavrik/busybox"
    cp "$HERE/guest.sh" "$INITRD_DIR/tavrik/guest.sh"
    cp "$HERE/../wine-x11.reg" "$INITRD_DIR/tavrik/wine-x11.reg"
    for m in "${MODULES[@]}"; do vm_add_modules "$INITRD_DIR" "$(vm_module "$m")"; done
    vm_initramfs_pack "$INITRD_DIR" "$WORK/initrd-base.cpio.gz"

    # The Wine prefix is an ext4 disk of its own, made by a first boot whenever
    # the root image is newer; the test boot mounts it with qemu discarding every
    # write, so each run starts from the same fresh prefix.
    PREFIX_IMG=$WORK/prefix.img
    if [ ! -f "$PREFIX_IMG.made" ] || [ ! "$PREFIX_IMG.made" -nt "$IMAGE" ]; then
        rm -f "$PREFIX_IMG" "$PREFIX_IMG.made"
        mke2fs -q -t ext4 -O ^has_journal,^metadata_csum -E root_owner=0:0 -L tavrik-prefix "$PREFIX_IMG" 2G \
            || fail "mke2fs for the prefix"
        boot_vm "$WORK/prefix.log" "$WORK/initrd-base.cpio.gz" make "file=$PREFIX_IMG,if=virtio,format=raw"
        grep -aq "^vm: [0-9.]* s: prefix made" "$WORK/prefix.log" || fail "the VM made no Wine prefix (log: $WORK/prefix.log)"
        touch "$PREFIX_IMG.made"
    fi
}
IMAGE=$WORK/root.img
PREFIX_IMG=$WORK/prefix.img
vm_side_start vm_side "$WORK/vm-side.log"

# --- The exes ---------------------------------------------------------------------
# The i686 release exes (shared with tests/windows/run.sh, which checks them
# statically) and the driver, built unoptimised with the -posix compilers in
# BUILD.
step "building the i686 release exes and the test driver in $BUILD"
. "$ROOT/tests/windows/mingw_tree.sh"
RELEASE=$ROOT/build-win/i686
mingw_tree "$RELEASE" i686 win32 -- tavrik tavrik-check tavrik-rec fake_tuner || fail "building $RELEASE"
mingw_tree "$BUILD" i686 posix -DCMAKE_BUILD_TYPE=None -DTAVRIK_WINDOWS_EXES="$RELEASE" -- wine_dialog_tests \
    || fail "building the test driver in $BUILD"
TESTS_DIR=$BUILD/tests/windows
for exe in tavrik-rec.exe tavrik.exe tavrik-check.exe fake_tuner.dll wine_dialog_tests.exe; do
    [ -f "$TESTS_DIR/$exe" ] || fail "no $TESTS_DIR/$exe"
done

vm_side_wait "the kernel, the root image and the prefix"

# --- Boot -------------------------------------------------------------------------
INITRD_DIR=$WORK/initramfs
cp "$TESTS_DIR/tavrik-rec.exe" "$TESTS_DIR/tavrik.exe" "$TESTS_DIR/tavrik-check.exe" "$TESTS_DIR/fake_tuner.dll" \
   "$TESTS_DIR/wine_dialog_tests.exe" "$INITRD_DIR/tavrik/tests/"
INITRD=$WORK/initrd.cpio.gz
vm_initramfs_pack "$INITRD_DIR" "$INITRD"
LOG=$WORK/vm.log
boot_vm "$LOG" "$INITRD" use "file=$PREFIX_IMG,if=virtio,format=raw,snapshot=on"
vm_judge "$LOG" 1 wine32-vm
echo "tests/windows/wine32/run.sh: the 32-bit behaviour tests passed ($(($(date +%s) - START)) s)"
