#!/bin/sh
# Builds and runs every benchmark and prints the figures.
#
#   tools/bench.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build (configured with TAVRIK_BENCH on, the default).
# Set TAVRIK_WIN_EXE to a Windows build's tavrik-sim.exe (i686) to add its
# stripped size. Needs Xvfb, python3 and dbus-run-session; figures go to
# stdout. The X server is a private Xvfb from tests/support/xsession.py.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}

nice cmake --build "$build" -j2 --target tavrik-sim tavrik-startup-probe tavrik-startup-reference bench_startup bench_step bench_idle >/dev/null
# The slow tuner's benchmark needs libdvbv5's headers only to build.
nice cmake --build "$build" -j2 --target bench_slow_tune >/dev/null 2>&1 || true

runtime=$(mktemp -d /tmp/tavrik-bench-XXXXXX)
chmod 700 "$runtime"
trap 'rm -rf "$runtime"' EXIT INT TERM
export XDG_RUNTIME_DIR="$runtime"
# Scaling settings of the caller would change what is painted.
unset QT_SCALE_FACTOR QT_FONT_DPI QT_ENABLE_HIGHDPI_SCALING QT_QPA_PLATFORM DISPLAY

# Notes that are not figures: Qt's offscreen plugin on every size hint it
# cannot pass on, and the bus daemons on starting.
quiet() {
    grep -v -e 'propagateSizeHints' -e 'Failed to set fd limit' -e 'Activating service' \
        -e 'Successfully activated' -e 'SpiRegistry daemon' || true
}

# COMMAND on a private X server (and, with --dbus, a private session bus).
on_x() {
    python3 "$here/tests/support/xsession.py" --timeout 0 "$@"
}

echo "== start-up and peak memory"
on_x -- "$build/bench/bench_startup" "$build/bench/tavrik-startup-probe" "$build/bench/tavrik-startup-reference" 15 2>&1 | quiet
echo
# A private session bus, as in a desktop session: program-changed messages
# from other processes arrive over it.
echo "== steps and bursts, offscreen"
dbus-run-session -- "$build/bench/bench_step" 2>&1 | quiet
echo
echo "== steps and bursts, Xvfb"
on_x --dbus -- "$build/bench/bench_step" --xvfb 2>&1 | quiet
echo
echo "== steps and bursts, Xvfb, accessibility on (as with a screen reader)"
on_x --dbus -- "$build/bench/bench_step" --xvfb --a11y 2>&1 | quiet
echo
echo "== idle"
on_x --dbus -- "$build/bench/bench_idle" "$build/tavrik-sim" 5 2>&1 | quiet

if [ -x "$build/bench/dvb/bench_slow_tune" ]; then
    echo
    echo "== a slow tuner"
    "$build/bench/dvb/bench_slow_tune" 2>&1 | quiet
fi

if [ -n "${TAVRIK_WIN_EXE:-}" ]; then
    echo
    echo "== Windows executable"
    stripped="$runtime/stripped.exe"
    cp "$TAVRIK_WIN_EXE" "$stripped"
    i686-w64-mingw32-strip "$stripped" 2>/dev/null || x86_64-w64-mingw32-strip "$stripped"
    echo "$(basename "$TAVRIK_WIN_EXE"): $(stat -c %s "$stripped") bytes stripped"
fi
