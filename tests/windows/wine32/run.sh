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
# - passes when the VM reports the driver's passing summary.
#
# Downloads, the root image and the prefix are kept in BUILD_DIR/wine32, so a
# second run only rebuilds the exes and boots. Runs as root or with sudo for
# apt-get; everything else needs no privileges.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../../.." && pwd)
BUILD=$(mkdir -p "${1:-$ROOT/build-win/i686-test}" && cd "${1:-$ROOT/build-win/i686-test}" && pwd)
WORK=$BUILD/wine32
VM_SCRIPT=tests/windows/wine32/run.sh
# shellcheck source=../../vm/vm_script.sh
. "$ROOT/tests/vm/vm_script.sh"
BOOT_TIMEOUT=${TAVRIK_WINE32_TIMEOUT:-900}
# What the root image holds: Wine's 32-bit loader and libraries, Xvfb, and
# the fonts the dialog is laid out with.
I386_PACKAGES=(wine32 xvfb fonts-wine)

START=$(date +%s)
mkdir -p "$WORK"

# --- Host packages --------------------------------------------------------------
"$ROOT/tools/install-deps.sh" wine32 || fail "installing the packages"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
APT=(apt-get -o DPkg::Lock::Timeout=600 -q)

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
DEBS=$WORK/debs
mkdir -p "$DEBS"
image_deb() { ls "$DEBS/linux-image-${KREL}-unsigned_${KERNEL_VERSION}_"*.deb 2>/dev/null | head -1; }
if [ -z "$(image_deb)" ]; then
    # The DVB VM's download of the same package, when there is one.
    for cached in "$ROOT"/build*/vm/debs/"linux-image-${KREL}-unsigned_${KERNEL_VERSION}_"*.deb; do
        [ -f "$cached" ] && cp "$cached" "$DEBS/" && break
    done
fi
if [ -z "$(image_deb)" ]; then
    step "downloading linux-image-$KREL-unsigned $KERNEL_VERSION"
    if ! apt-cache madison "linux-image-$KREL-unsigned" 2>/dev/null | grep -q "$KERNEL_VERSION"; then
        $sudo "${APT[@]}" update >/dev/null || fail "apt-get update"
    fi
    (cd "$DEBS" && apt-get download -q "linux-image-$KREL-unsigned=$KERNEL_VERSION" 2>&1 | grep -v unsandboxed || true)
    [ -n "$(image_deb)" ] || fail "cannot download linux-image-$KREL-unsigned=$KERNEL_VERSION"
fi
KDIR=$WORK/kernel
MODULES=(virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci virtio_blk
         crc16 crc32c_generic mbcache jbd2 ext4)
if [ ! -f "$KDIR/.extracted-$KERNEL_VERSION" ]; then
    step "extracting the kernel and the block device and ext4 modules"
    rm -rf "$KDIR"
    mkdir -p "$KDIR"
    patterns=("./boot/vmlinuz-$KREL")
    for m in "${MODULES[@]}"; do patterns+=("./lib/modules/$KREL/kernel/*/$m.ko"); done
    dpkg-deb --fsys-tarfile "$(image_deb)" | tar -x -C "$KDIR" --wildcards "${patterns[@]}" \
        || fail "extracting the kernel"
    touch "$KDIR/.extracted-$KERNEL_VERSION"
fi

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

RFS=$WORK/root
IMAGE=$WORK/root.img
LAYOUT=2   # bump when what goes into the tree below changes
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
rm -f "$WORK/closure.new"

# --- The initramfs ------------------------------------------------------------------
step "packing the initramfs"
INITRD_DIR=$WORK/initramfs
rm -rf "$INITRD_DIR"
mkdir -p "$INITRD_DIR"/{bin,dev,proc,sys,modules,tavrik/tests}
cp /bin/busybox "$INITRD_DIR/bin/busybox"
cp /bin/busybox "$INITRD_DIR/tavrik/busybox"
cp "$HERE/init.sh" "$INITRD_DIR/init"
chmod 755 "$INITRD_DIR/init"
cp "$HERE/guest.sh" "$INITRD_DIR/tavrik/guest.sh"
cp "$HERE/../wine-x11.reg" "$INITRD_DIR/tavrik/wine-x11.reg"
for m in "${MODULES[@]}"; do
    cp "$(find "$KDIR/lib/modules" -name "$m.ko" | head -1)" "$INITRD_DIR/modules/" || fail "no module $m"
done
cp "$TESTS_DIR/tavrik-rec.exe" "$TESTS_DIR/tavrik.exe" "$TESTS_DIR/tavrik-check.exe" "$TESTS_DIR/fake_tuner.dll" \
   "$TESTS_DIR/wine_dialog_tests.exe" "$INITRD_DIR/tavrik/tests/"
INITRD=$WORK/initrd.cpio.gz
(cd "$INITRD_DIR" && find . | cpio -o -H newc --quiet | gzip -1 >"$INITRD")

# --- Boot -------------------------------------------------------------------------
KERNEL=$KDIR/boot/vmlinuz-$KREL
cpus=$(( $(nproc) < 2 ? 1 : 2 ))
qemu_pid=""
trap '[ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true' EXIT
trap 'exit 130' INT TERM
# boot_vm LOG MODE PREFIX_DRIVE: boots the VM, shows and logs its console;
# sets qemu_rc. qemu runs in the background so that an interrupted run ends
# it too.
boot_vm() {
    local log=$1 mode=$2 drive=$3
    local append="console=ttyS0 quiet loglevel=3 panic=-1 TAVRIK_PREFIX=$mode"
    [ -z "${TAVRIK_GTEST_ARGS:-}" ] || append+=" TAVRIK_GTEST_ARGS=$TAVRIK_GTEST_ARGS"
    step "booting the VM (qemu, TCG, $cpus CPUs, prefix: $mode, timeout ${BOOT_TIMEOUT}s)"
    timeout "$BOOT_TIMEOUT" qemu-system-x86_64 -accel tcg,thread=multi -smp "$cpus" -m 2048 \
        -no-reboot -nographic -nic none \
        -drive "file=$IMAGE,if=virtio,format=raw,readonly=on" -drive "$drive" \
        -kernel "$KERNEL" -initrd "$INITRD" -append "$append" </dev/null >"$log" 2>&1 &
    qemu_pid=$!
    tail -n +1 -f --pid="$qemu_pid" "$log" &
    local tail_pid=$!
    set +e
    wait "$qemu_pid"
    qemu_rc=$?
    set -e
    wait "$tail_pid" || true
    qemu_pid=""
    echo ""
    step "VM finished (qemu exit $qemu_rc) after $(($(date +%s) - START)) s in all"
    [ "$qemu_rc" != 124 ] || fail "the VM did not finish within ${BOOT_TIMEOUT}s (log: $log)"
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
trap - EXIT INT TERM

result=$(grep -a -o "TAVRIK_VM_RESULT=[^[:space:]]*" "$LOG" | tail -1 | cut -d= -f2 | tr -d '\r')
[ -n "$result" ] || fail "the VM ended without a result (log: $LOG)"
[ "$result" = 0 ] || fail "the 32-bit behaviour tests failed in the VM (result $result; log: $LOG)"
grep -aq "^\[  PASSED  \] [1-9][0-9]* tests\?\." "$LOG" || fail "the VM's output lacks the driver's passing summary"
grep -aq "^\[  FAILED  \]" "$LOG" && fail "a test failed in the VM"
[ $status -eq 0 ] || fail "the static checks of the i686 test build"
# The driver's count, as a report for tools/test.sh's total beside the
# static checks' own.
if [ -n "${TAVRIK_JUNIT_DIR:-}" ]; then
    count=$(grep -a -o -E "^\[  PASSED  \] [0-9]+" "$LOG" | tail -1 | awk '{print $4}')
    printf '<testsuite name="wine32" tests="%s" failures="0" disabled="0" skipped="0"/>\n' "$count" \
        > "$TAVRIK_JUNIT_DIR/wine32-vm.xml"
fi
echo "tests/windows/wine32/run.sh: the 32-bit behaviour tests passed ($(($(date +%s) - START)) s)"
