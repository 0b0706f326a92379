#!/usr/bin/env bash
# Installs the Debian packages a part of the project needs.
#   tools/install-deps.sh build       compilers, CMake, Qt 6, the resource compiler, the dialog font
#   tools/install-deps.sh test        the above, plus GoogleTest and the headless test tools
#   tools/install-deps.sh package     the build group, plus what builds and checks the Debian
#                                     package (dpkg-shlibdeps, lintian, the desktop-entry,
#                                     AppStream and manual-page checkers)
#   tools/install-deps.sh windows     the mingw-w64 cross compilers for the Windows zips
# Several groups may be named at once. Runs apt-get through sudo when not root.
set -euo pipefail

declare -A groups
groups[build]="build-essential cmake ninja-build pkg-config qt6-base-dev libqt6dbus6 binutils-mingw-w64-x86-64 mingw-w64-common fonts-liberation2 libdvbv5-dev libudev-dev"
groups[package]="dpkg-dev file lintian desktop-file-utils appstream man-db groff-base python3"
groups[windows]="cmake ninja-build g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32"
groups[test]="libgtest-dev dbus-daemon dbus-bin xvfb xauth at-spi2-core python3-gi gir1.2-atspi-2.0"

packages=""
for group in "$@"; do
  case "$group" in
    build) packages+=" ${groups[build]}" ;;
    test) packages+=" ${groups[build]} ${groups[test]}" ;;
    package) packages+=" ${groups[build]} ${groups[package]}" ;;
    windows) packages+=" ${groups[windows]}" ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done
[ -n "$packages" ] || { echo "usage: tools/install-deps.sh build|test|package|windows ..." >&2; exit 2; }

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
