#!/usr/bin/env bash
# The whole test suite: tools/test.sh [native] [vm] [windows] [wine32]
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
#
# With no part named, all four run. Each installs what it needs (apt-get).
# Every part runs even when an earlier one fails; the last line adds up the
# tests of all of them.
set -uo pipefail
cd "$(dirname "$0")/.."

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(native vm windows wine32)

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
        ctest --test-dir "$build" -j "$(nproc)" --output-on-failure
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

wine32() {
    bash tests/windows/wine32/run.sh
}

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
failed_parts=()
for part in "${parts[@]}"; do
    case "$part" in
        native|vm|windows|wine32) ;;
        *) echo "tools/test.sh: unknown part '$part' (native, vm, windows, wine32)" >&2; exit 2 ;;
    esac
    echo "==== $part"
    "$part" 2>&1 | tee "$logs/$part.log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || failed_parts+=("$part")
done

# Add up what the runners reported: CTest's summaries, and GoogleTest's for
# the programs run inside the VM.
passed=0
failed=0
for log in "$logs"/*.log; do
    while read -r p f; do
        passed=$((passed + p))
        failed=$((failed + f))
    done < <(sed -n -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+)$/\2 \1/p' "$log" \
                 | awk '{print $1 - $2, $2}'
             grep -a -o -E '^\[  PASSED  \] [0-9]+ tests?\.' "$log" | awk '{print $4, 0}'
             grep -a -o -E '^ ?[0-9]+ FAILED TESTS?' "$log" | awk '{print 0, $1}')
done

echo ""
if [ ${#failed_parts[@]} -gt 0 ]; then
    echo "tools/test.sh: FAILED parts: ${failed_parts[*]}"
    [ "$failed" -gt 0 ] || failed=${#failed_parts[@]}
fi
echo "total: $passed passed, $failed failed"
[ ${#failed_parts[@]} -eq 0 ]
