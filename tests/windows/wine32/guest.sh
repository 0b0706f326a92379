# Runs inside the 32-bit Wine VM, chrooted into the i386 root image, with
# busybox as its shell. The Wine prefix lives on an ext4 disk of its own
# (/dev/vdb), because making one is by far the slowest step under emulation:
#
#   TAVRIK_PREFIX=make   the disk is empty: make the prefix there, end.
#   TAVRIK_PREFIX=use    the disk holds the prefix (and qemu discards what is
#                        written to it): Xvfb, Wine, then the GoogleTest driver
#                        against the 32-bit tool on the recording card.
#
# The exit status is the driver's, or names the step that failed.
/tavrik/busybox mkdir -p /tmp/bin
/tavrik/busybox --install -s /tmp/bin
export PATH=/tmp/bin:/usr/lib/wine:/usr/bin:/bin
export HOME=/tmp/home
export XDG_RUNTIME_DIR=/tmp/xdg
mkdir -p "$HOME" && mkdir -m 0700 "$XDG_RUNTIME_DIR"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEPREFIX=$HOME/wine
export WINESERVER=/usr/lib/wine/wineserver32
export DISPLAY=:1
# Everything is many times slower here than on a real machine.
export TAVRIK_DRIVER_TIMEOUT_MS=120000
WINE=/usr/lib/wine/wine
PREFIX_DISK=/dev/vdb

step() { echo "vm: $(cut -d' ' -f1 /proc/uptime) s: $*"; }

# Xvfb writes its display number to -displayfd once it accepts clients (its
# socket file exists before that). -noreset: a server that resets when its
# last client leaves refuses the next one for a moment.
mkfifo /tmp/xvfb.ready
Xvfb "$DISPLAY" -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>/tmp/xvfb.ready >/tmp/xvfb.log 2>&1 &
xvfb=$!
# The read ends with the number, or empty when Xvfb ends without one.
read -r number </tmp/xvfb.ready
if [ -z "$number" ]; then
    step "Xvfb did not start"
    cat /tmp/xvfb.log
    exit 2
fi
step "Xvfb up"

mkdir -p "$WINEPREFIX"
mount -t ext4 "$PREFIX_DISK" "$WINEPREFIX" || { step "cannot mount the prefix disk"; exit 3; }
if [ "$TAVRIK_PREFIX" = make ]; then
    timeout 600 "$WINE" wineboot -i >/tmp/wineboot.log 2>&1
    # The server writes the registry (system.reg) out only as it ends, a
    # few seconds after wineboot returns: wait for that, not for wineboot.
    timeout 300 "$WINESERVER" -w
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        step "wineboot made no prefix"
        cat /tmp/wineboot.log
        exit 3
    fi
    # The same prefix settings as on the host (tests/windows/wine_env.sh):
    # the dialog's fonts, and no waiting for a window manager.
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
    "$WINE" regedit /tavrik/wine-x11.reg >/dev/null 2>&1
    # The server writes the registry out as it ends.
    "$WINESERVER" -k 2>/dev/null
    "$WINESERVER" -w
    size=$(du -sm "$WINEPREFIX" | cut -f1)
    kill "$xvfb" 2>/dev/null
    wait
    cd / && umount "$WINEPREFIX" || { step "cannot unmount the prefix disk"; exit 3; }
    step "prefix made (${size} MB)"
    exit 0
fi
[ -f "$WINEPREFIX/system.reg" ] || { step "the prefix disk holds no prefix"; exit 3; }

# Without -f the server goes to the background once it accepts clients, so
# that Wine's first program finds it instead of starting a server of its own.
"$WINESERVER" -p >/dev/null 2>&1 || { step "the Wine server did not start"; exit 3; }
"$WINE" cmd.exe /c exit >/dev/null 2>&1 </dev/null
step "Wine ready, running the behaviour tests on the 32-bit exe"

# Through a pipe, so that Wine's console writes plain lines, not a terminal's.
# The time limits here end well within the host's limit for the whole boot,
# so that a hang still reports what ran.
set -o pipefail
timeout 600 "$WINE" /tavrik/tests/wine_dialog_tests.exe --gtest_color=no $TAVRIK_GTEST_ARGS 2>&1 | cat
rc=$?
step "tests done"
# Nothing is left to keep: qemu discards what was written to the prefix disk
# and the root image is read-only, so the VM powers off without ending Wine.
exit $rc
