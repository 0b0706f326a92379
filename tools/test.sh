#!/usr/bin/env bash
# The whole test suite: tools/test.sh [native] [vm] [windows] [wine32] [package]
#
#   native   the Linux build with AddressSanitizer, UndefinedBehaviorSanitizer
#            and warnings as errors; every test on Qt's offscreen platform
#            (the accessibility test on its own Xvfb and session bus)
#   vm       the Linux DVB card library against the kernel's virtual DVB
#            driver, in a qemu VM (tests/vm/run.sh)
#   windows  both Windows exes, their static checks, and the behaviour tests
#            of the x86_64 exes under the host's 64-bit Wine
#            (tests/windows/run.sh)
#   wine32   the same behaviour tests of the i686 exes under Debian's 32-bit
#            Wine in a qemu VM (tests/windows/wine32/run.sh)
#   package  the Debian package (tools/package.sh) and its checks: lintian,
#            the desktop-entry, AppStream and manual-page checkers; installs
#            it with apt-get, starts the installed tavrik-sim and tavrik,
#            purges it (tests/package)
#
# With no part named, all five run. Each installs what it needs (apt-get).
# The parts run side by side (see the lanes below), each with its output in
# a log shown whole when it ends, with its time and CPU time. Every part runs even when another one
# fails; the last line adds up the tests of all of them.
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

# The ASan test build, which the vm part's tests come from too: both
# configure it the same way, and one builds it at a time (its .build.lock).
# Debug information as line tables only (-g1): what the sanitizers' reports
# use, for a tenth less compile time than full -g.
native_configure() {
    mkdir -p build-test
    flock build-test/.build.lock cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVRIK_SANITIZE=ON \
        -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DTAVRIK_WERROR=ON >/dev/null
}
native_build() { flock build-test/.build.lock nice cmake --build build-test -j "$(nproc)" "$@"; }

# The DVB VM's tests first, which the vm part (tests/vm/run.sh) waits for
# beside this one, then the rest.
native() {
    tools/install-deps.sh test && native_configure \
        && native_build --target tavrik_dvb_tests tavrik_dvb_dialog_tests && native_build || return 1
    local runtime
    runtime=$(mktemp -d)
    (
        export XDG_RUNTIME_DIR=$runtime QT_QPA_PLATFORM=offscreen
        unset QT_SCALE_FACTOR QT_FONT_DPI QT_ENABLE_HIGHDPI_SCALING QT_AUTO_SCREEN_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS
        ctest --test-dir build-test -j "$(nproc)" --output-on-failure --output-junit "$TAVRIK_JUNIT_DIR/native.xml"
    )
    local status=$?
    rm -rf "$runtime"
    return $status
}

# The watcher benchmark's figures are left to tests/vm/run.sh by hand.
vm() {
    tools/install-deps.sh test && native_configure && TAVRIK_VM_BENCH=0 bash tests/vm/run.sh build-test
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
    # The two builds package_reproducible compared.
    sha256sum build-package/tavrik_*.deb build-package/reproducible/build-package/tavrik_*.deb 2>/dev/null
    echo "== package part: $((SECONDS - started)) s"
    return $status
}

wine32() {
    bash tests/windows/wine32/run.sh
}

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# junit_counts and gtest_counts: the tests a part reported.
. tools/test-totals.sh

for part in "${parts[@]}"; do
    case "$part" in
        native|vm|windows|wine32|package) ;;
        *) echo "tools/test.sh: unknown part '$part' (native, vm, windows, wine32, package)" >&2; exit 2 ;;
    esac
done
named() { [[ " ${parts[*]} " == *" $1 "* ]]; }

# run_part PART: runs PART with its output in its log, then notes its status
# and time. Only the parts named run.
run_part() {
    local part=$1 started=$SECONDS status
    named "$part" || return 0
    export TAVRIK_JUNIT_DIR=$logs/junit-$part
    mkdir -p "$TAVRIK_JUNIT_DIR"
    # The subshell's children are all the part ran: their CPU time is the
    # part's cost, whatever else shared the cores meanwhile.
    # The parts without a VM run under nice, so that the VMs, which emulate
    # a CPU in real time, keep their pace; the native part's less so, as its
    # tests come last and some of them time the tool.
    (
        case "$part" in
            vm|wine32) ;;
            native) renice -n 5 -p "$BASHPID" >/dev/null ;;
            *) renice -n 10 -p "$BASHPID" >/dev/null ;;
        esac
        "$part"
        status=$?
        times >"$logs/$part.times"
        exit $status
    ) >"$logs/$part.log" 2>&1 </dev/null
    status=$?
    echo "$status $((SECONDS - started)) $(cpu_seconds <"$logs/$part.times")" >"$logs/$part.done.tmp"
    mv "$logs/$part.done.tmp" "$logs/$part.done"
}
# cpu_seconds: the user and system time of the children in the output of
# bash's times (its second line, "0m12.345s 0m1.234s"), in whole seconds.
cpu_seconds() {
    sed -n 2p | awk '{ t = 0; for (i = 1; i <= 2; i++) { split($i, a, /[ms]/); t += a[1] * 60 + a[2] } printf "%d", t }'
}
# A lane runs its parts one after another.
lane() {
    local part
    for part in "$@"; do run_part "$part"; done
}

# What the parts need, installed first and at once: apt-get calls side by
# side would wait for each other's locks, or fail on them.
groups=()
named native && groups+=(test)
named vm && groups+=(test vm)
named windows && groups+=(windows)
named wine32 && groups+=(wine32)
named package && groups+=(package)
tools/install-deps.sh "${groups[@]}" || echo "tools/test.sh: installing the packages failed; the parts try again"

# The parts side by side on two cores, each in a lane of its own. Every build
# runs under nice, the parts without a VM more so, and the VMs not at all: the
# VMs' builds come first, and emulation keeps its pace whatever else runs. The
# two VMs make the rest (kernel, modules, root image, Wine prefix) while their
# tests build. TAVRIK_TEST_SERIAL=1 runs one part after another.
if [ "${TAVRIK_TEST_SERIAL:-0}" = 1 ]; then
    lane "${parts[@]}" &
else
    for part in "${parts[@]}"; do lane "$part" & done
fi

# Each part's output in one piece as it ends, then the total.
passed=0
failed=0
failed_parts=()
shown=()
while [ ${#shown[@]} -lt ${#parts[@]} ]; do
    for part in "${parts[@]}"; do
        [[ " ${shown[*]} " != *" $part "* ]] && [ -f "$logs/$part.done" ] || continue
        shown+=("$part")
        read -r status took cpu <"$logs/$part.done"
        echo "==== $part"
        cat "$logs/$part.log"
        echo "==== $part: $([ "$status" -eq 0 ] && echo passed || echo FAILED) after $took s, CPU $cpu s"
        [ "$status" -eq 0 ] || failed_parts+=("$part")
        reports=("$logs/junit-$part"/*.xml)
        if [ -e "${reports[0]}" ]; then
            read -r p f < <(junit_counts "${reports[@]}")
        else
            read -r p f < <(gtest_counts "$logs/$part.log")
        fi
        passed=$((passed + p))
        failed=$((failed + f))
    done
    [ ${#shown[@]} -lt ${#parts[@]} ] && sleep 1
done
wait

echo ""
if [ ${#failed_parts[@]} -gt 0 ]; then
    echo "tools/test.sh: FAILED parts: ${failed_parts[*]}"
    [ "$failed" -gt 0 ] || failed=${#failed_parts[@]}
fi
echo "total: $passed passed, $failed failed ($SECONDS s)"
[ ${#failed_parts[@]} -eq 0 ]
