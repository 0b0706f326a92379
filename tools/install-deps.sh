#!/usr/bin/env bash
# Installs the Debian packages a part of the project needs; the one place
# the project's scripts install packages.
#   tools/install-deps.sh build     compilers, CMake, Qt 6, the resource compiler, the dialog font
#   tools/install-deps.sh test      build, plus GoogleTest and the headless test tools
#   tools/install-deps.sh windows   the mingw-w64 cross compilers, GoogleTest's sources, Wine, Xvfb
#   tools/install-deps.sh package   build, plus what builds and checks the Debian package (dpkg-shlibdeps,
#                                   lintian, the desktop-entry, AppStream and manual-page checkers)
#   tools/install-deps.sh wine32    the i686 -posix cross compiler, GoogleTest's sources, qemu and what packs
#                                   the 32-bit Wine VM (its i386 packages it fetches itself)
#   tools/install-deps.sh vm        build, plus GoogleTest, qemu and what packs the test VM
# Several groups may be named at once. Runs apt-get through sudo when not root.
set -euo pipefail

declare -A groups
groups[build]="build-essential cmake ninja-build pkg-config qt6-base-dev libqt6dbus6 binutils-mingw-w64-x86-64 mingw-w64-common fonts-liberation2 libdvbv5-dev libudev-dev"
groups[test]="${groups[build]} libgtest-dev clang-14 libclang-rt-14-dev dbus-daemon dbus-bin xvfb xauth openbox x11-utils xdotool at-spi2-core python3-gi gir1.2-atspi-2.0 ffmpeg"
# Never wine32: with it, "wine" picks the 32-bit loader and the 64-bit one breaks.
groups[windows]="cmake ninja-build g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 g++-mingw-w64-x86-64-posix googletest wine wine64 fonts-wine xvfb xauth python3"
groups[package]="${groups[build]} dpkg-dev file lintian desktop-file-utils appstream man-db groff-base python3"
groups[wine32]="cmake ninja-build g++-mingw-w64-i686-posix googletest qemu-system-x86 busybox-static e2fsprogs cpio"
groups[vm]="${groups[build]} libgtest-dev qemu-system-x86 busybox-static cpio xz-utils libelf1 libssl3"

packages=""
for group in "$@"; do
  [ -n "${groups[$group]:-}" ] || { echo "install-deps: unknown group '$group' (${!groups[*]})" >&2; exit 2; }
  packages+=" ${groups[$group]}"
done
[ -n "$packages" ] || { echo "usage: tools/install-deps.sh build|test|package|windows|wine32|vm ..." >&2; exit 2; }

# Only what is missing, so a ready machine does no apt work at all.
missing=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' $packages 2>/dev/null | awk '$2 != "installed" {print $1}' || true)
for p in $packages; do dpkg-query -W "$p" >/dev/null 2>&1 || missing+=" $p"; done
missing=$(echo $missing | tr ' ' '\n' | sort -u | tr '\n' ' ')
[ -n "${missing// /}" ] || exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get -o DPkg::Lock::Timeout=600 update -q
$sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $missing
