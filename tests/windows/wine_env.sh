# Sourced by the Windows test scripts: a private X server (from
# tests/support/xsession.py) and a fresh Wine prefix inside a build folder,
# and a way to end both again.
#
#   wine_env_start BUILD_DIR   sets WINE64, WINEPREFIX, DISPLAY
#   wine_env_stop              ends what wine_env_start started

# The 64-bit loader: Debian puts no wine64 command on PATH (and wine32 must
# stay uninstalled, or "wine" picks the 32-bit loader).
WINE64=${WINE64:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver64}

WINE_ENV_XVFB_PID=
WINE_ENV_SERVER_STARTED=
WINE_ENV_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WINE_ENV_XSESSION=$WINE_ENV_DIR/../support/xsession.py

wine_env_start() {
    local build_dir=$1 display
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    export WINEPREFIX="$build_dir/wineprefix"
    unset WAYLAND_DISPLAY

    read -r display WINE_ENV_XVFB_PID < <(python3 "$WINE_ENV_XSESSION" --start) || {
        echo "wine_env_start: the X server did not start" >&2
        return 1
    }
    export DISPLAY=$display

    # A prefix counts once its whole set-up has ended and the server has
    # written the registry out (.tavrik-ready, below): one that a run left
    # half made is made again.
    local made=
    if [ ! -f "$WINEPREFIX/.tavrik-ready" ]; then
        made=1
        rm -rf "$WINEPREFIX"
        "$WINE64" wineboot -i >/dev/null 2>&1
        "$WINESERVER" -w
        # Wine does not find fonts-wine's fonts by itself: without them "MS
        # Sans Serif" falls back to another face and the layout changes.
        cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
        # No window manager here: Wine draws caption and frame itself, and
        # does not wait for one when a window hides (wine-x11.reg, which the
        # 32-bit Wine VM's prefix takes too).
        "$WINE64" regedit "$WINE_ENV_DIR/wine-x11.reg" >/dev/null 2>&1
    fi
    # End the server the set-up started, with Wine's own processes of this
    # prefix (services, devices, ...), which outlive a server that just goes.
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w
    if [ -n "$made" ]; then
        [ -f "$WINEPREFIX/system.reg" ] || { echo "wine_env_start: wineboot made no prefix" >&2; return 1; }
        touch "$WINEPREFIX/.tavrik-ready"
    fi

    # One persistent server for all tests, started after the prefix is ready.
    # Without -f it goes to the background once it accepts clients, so that
    # the next Wine program finds it instead of starting a server of its own.
    "$WINESERVER" -p >/dev/null 2>&1 || {
        echo "wine_env_start: the Wine server did not start" >&2
        return 1
    }
    WINE_ENV_SERVER_STARTED=1
    # Start Wine's own background processes now, with no pipes of a caller
    # inherited: a test runner waits for every holder of its output pipe.
    "$WINE64" cmd.exe /c exit >/dev/null 2>&1 </dev/null
}

wine_env_stop() {
    if [ -n "$WINE_ENV_SERVER_STARTED" ]; then
        # The server ends the prefix's processes, then itself.
        "$WINESERVER" -k 2>/dev/null || true
        "$WINESERVER" -w
        WINE_ENV_SERVER_STARTED=
    fi
    if [ -n "$WINE_ENV_XVFB_PID" ]; then
        # Not this shell's child (xsession.py --start detaches it), so wait
        # cannot tell when it has gone: look until it has ended (gone, or a
        # zombie its new parent has yet to reap), for up to 10 s.
        kill "$WINE_ENV_XVFB_PID" 2>/dev/null || true
        local n=0
        while [ "$(cut -d' ' -f3 "/proc/$WINE_ENV_XVFB_PID/stat" 2>/dev/null || echo Z)" != Z ] && [ $n -lt 100 ]; do
            sleep 0.1
            n=$((n + 1))
        done
        WINE_ENV_XVFB_PID=
    fi
}
