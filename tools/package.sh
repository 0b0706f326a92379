#!/usr/bin/env bash
# Builds the installable packages:
#   tools/package.sh [deb] [win32] [win64]
#
#   deb     build-package/tavrik_<version>_<arch>.deb, the Debian package of
#           both programs (Release build with Debian's hardening flags)
#   win32   build-package-win32/tavrik-<version>-win32.zip (i686)
#   win64   build-package-win64/tavrik-<version>-win64.zip (x86_64)
#
# With nothing named it builds the .deb. Installs what it needs (apt-get).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(deb)

# Reproducible packages: every time stamp in them is SOURCE_DATE_EPOCH (CPack
# sets the archives' times from it, and its file order is fixed): the last
# commit's time, as Debian's reproducible builds take it; outside a git
# checkout, noon of the release date. Each build folder keeps the value it
# used (source-date-epoch) for the package test's second build.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null) \
        || SOURCE_DATE_EPOCH=$(date -u -d "$(sed -n 's/^set(TAVRIK_RELEASE_DATE \([0-9-]*\))$/\1/p' \
                                           packaging/CMakeLists.txt) 12:00" +%s)
fi
export SOURCE_DATE_EPOCH

deb() {
    tools/install-deps.sh package
    local build=build-package
    # The flags Debian builds its own packages with (hardening included);
    # build type None, so CMake adds none of its own. The package's programs
    # are stripped (CPACK_STRIP_FILES), so there is no debug information to
    # make: -g is left out, which saves a fifth of the compile time.
    local cxxflags ldflags
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CXXFLAGS_MAINT_STRIP=-g
    cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
    ldflags=$(dpkg-buildflags --get LDFLAGS)
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
          -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
          -DTAVRIK_TESTS=OFF -DTAVRIK_BENCH=OFF -DTAVRIK_PACKAGE_TESTS=ON >/dev/null
    grep -q '^DVBV5_FOUND:INTERNAL=1' "$build/CMakeCache.txt" \
        || { echo "package.sh: libdvbv5 not found; the package needs tavrik too" >&2; return 1; }
    nice cmake --build "$build" -j "$jobs"
    rm -f "$build"/tavrik_*.deb
    (cd "$build" && cpack -G DEB >/dev/null)
    echo "$SOURCE_DATE_EPOCH" >"$build/source-date-epoch"
    ls "$build"/tavrik_*.deb
}

zip() {  # zip ARCH NAME
    local build=build-package-$2
    cmake -S . -B "$build" -G Ninja --toolchain "cmake/toolchains/mingw-$1.cmake" \
          -DTAVRIK_TESTS=OFF -DTAVRIK_WERROR=ON >/dev/null
    nice cmake --build "$build" -j "$jobs" --target tavrik-sim
    rm -f "$build"/tavrik-*.zip
    (cd "$build" && cpack -G ZIP >/dev/null)
    echo "$SOURCE_DATE_EPOCH" >"$build/source-date-epoch"
    ls "$build"/tavrik-*-"$2".zip
}

for target in "${targets[@]}"; do
    case "$target" in
        deb) deb ;;
        win32) tools/install-deps.sh windows; zip i686 win32 ;;
        win64) tools/install-deps.sh windows; zip x86_64 win64 ;;
        *) echo "package.sh: unknown package '$target' (deb, win32, win64)" >&2; exit 2 ;;
    esac
done
