#!/usr/bin/env bash
# The whole test suite: tools/test.sh [native] [vm] [windows] [wine32] [package]
#
#   native   the Linux build with AddressSanitizer, UndefinedBehaviorSanitizer
#            and warnings as errors; every test on Qt's offscreen platform
#            (the accessibility test on its own Xvfb and session bus)
#   vm       the Linux DVB card library against the kernel's virtual DVB
#            driver, in a qemu VM (tests/vm/run.sh)
#   windows  both Windows exes, their static checks, and the behaviour tests
#            of the x86_64 test build under the host's 64-bit Wine
#            (tests/windows/run.sh)
#   wine32   the i686 test build: its static checks, and the same behaviour
#            tests under Debian's 32-bit Wine in a qemu VM
#            (tests/windows/wine32/run.sh)
#   package  the Debian package (tools/package.sh) and its checks: lintian,
#            the desktop-entry, AppStream and manual-page checkers; installs
#            it with apt-get, starts the installed tavrik-sim and tavrik,
#            purges it (tests/package)
#
# With no part named, all five run. Each installs what it needs (apt-get).
# Every part runs even when an earlier one fails; the last line adds up the
# tests of all of them.
#
# A part is a function below, named in the list of parts. It reports its
# tests for the total in one of two ways: CTest runs write a JUnit report into
# the folder $TAVRIK_JUNIT_DIR (ctest --output-junit "$TAVRIK_JUNIT_DIR/NAME.xml");
# test programs run outside CTest (inside the VM) print GoogleTest's summary
# lines, which are counted only for a part that wrote no report.
set -uo pipefail
cd "$(dirname "$0")/.."

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(native vm windows wine32 package)

native() {
    tools/install-deps.sh test || return 1
    local build=build-test
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVRIK_SANITIZE=ON -DTAVRIK_WERROR=ON >/dev/null \
        && cmake --build "$build" -j "$(nproc)" || return 1
    local runtime
    runtime=$(mktemp -d)
    (
        export XDG_RUNTIME_DIR=$runtime QT_QPA_PLATFORM=offscreen
        unset QT_SCALE_FACTOR QT_FONT_DPI QT_ENABLE_HIGHDPI_SCALING QT_AUTO_SCREEN_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS
        ctest --test-dir "$build" -j "$(nproc)" --output-on-failure --output-junit "$TAVRIK_JUNIT_DIR/native.xml"
    )
    local status=$?
    rm -rf "$runtime"
    return $status
}

vm() {
    tools/install-deps.sh test && bash tests/vm/run.sh build-test
}

windows() {
    bash tests/windows/run.sh
}

package() {
    local started=$SECONDS
    tools/package.sh deb || return 1
    echo "== package built after $((SECONDS - started)) s"
    ctest --test-dir build-package/packaging --output-on-failure --output-junit "$TAVRIK_JUNIT_DIR/package.xml"
    local status=$?
    echo "== package part: $((SECONDS - started)) s"
    return $status
}

wine32() {
    bash tests/windows/wine32/run.sh
}

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
failed_parts=()

# junit_counts and gtest_counts: the tests a part reported.
. tools/test-totals.sh

passed=0
failed=0
for part in "${parts[@]}"; do
    case "$part" in
        native|vm|windows|wine32|package) ;;
        *) echo "tools/test.sh: unknown part '$part' (native, vm, windows, wine32, package)" >&2; exit 2 ;;
    esac
    echo "==== $part"
    export TAVRIK_JUNIT_DIR=$logs/junit-$part
    mkdir -p "$TAVRIK_JUNIT_DIR"
    "$part" 2>&1 | tee "$logs/$part.log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || failed_parts+=("$part")
    reports=("$TAVRIK_JUNIT_DIR"/*.xml)
    if [ -e "${reports[0]}" ]; then
        read -r p f < <(junit_counts "${reports[@]}")
    else
        read -r p f < <(gtest_counts "$logs/$part.log")
    fi
    passed=$((passed + p))
    failed=$((failed + f))
done

echo ""
if [ ${#failed_parts[@]} -gt 0 ]; then
    echo "tools/test.sh: FAILED parts: ${failed_parts[*]}"
    [ "$failed" -gt 0 ] || failed=${#failed_parts[@]}
fi
echo "total: $passed passed, $failed failed"
[ ${#failed_parts[@]} -eq 0 ]
