#!/usr/bin/python3
"""The dialog under a real window manager: tavrik-sim on its own X server with
Openbox, read with xprop and xwininfo and worked with xdotool as a user would.

    window_manager_test.py /path/to/tavrik-sim [--screenshot FILE.png]

- The hints follow the template's styles: Motif decorations and functions
  with a title, a system menu, minimize and close, and neither maximize nor
  resizing; WM_NORMAL_HINTS with the minimum size the maximum size.
- The window manager takes them: its allowed actions have no maximize and no
  resize, and a double click on the title bar or a click where its layout
  keeps a maximize button leaves the window as it was.
- With --screenshot, the window with its frame is saved (ImageMagick's
  import), for README.

Needs Xvfb, openbox, x11-utils and xdotool (tools/install-deps.sh test).
"""

import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import uitest  # noqa: E402  (tests/support)

TIMEOUT = 10.0

MWM_FUNC_RESIZE, MWM_FUNC_MAXIMIZE, MWM_FUNC_MINIMIZE, MWM_FUNC_CLOSE = 0x2, 0x10, 0x8, 0x20
MWM_DECOR_TITLE, MWM_DECOR_MENU, MWM_DECOR_MINIMIZE, MWM_DECOR_MAXIMIZE = 0x8, 0x10, 0x20, 0x40


def outer(args):
    import xsession
    return xsession.run([sys.executable, os.path.abspath(__file__), "--inner"] + args)


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT).stdout


def inner(exe, screenshot):
    checks = uitest.Checks(TIMEOUT, interval=0.05)
    check, wait_for = checks.check, checks.wait_for

    wm = subprocess.Popen(["openbox", "--sm-disable"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    app = None
    try:
        wait_for(lambda: "window id" in run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"), "Openbox to run")
        # The sanitizer build's leak report is about the toolkit's libraries,
        # not this test's business.
        env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
        app = subprocess.Popen([exe], env=env)

        def find_window():
            ids = run("xdotool", "search", "--onlyvisible", "--name", "^Tavrik").split()
            if not ids:
                return None
            actions = run("xprop", "-id", ids[0], "_NET_WM_ALLOWED_ACTIONS")
            return ids[0] if "_NET_WM_ACTION" in actions else None

        window = wait_for(find_window, "the dialog, managed by Openbox")
        if window is None:
            return 1
        # Framed: Openbox has put its frame's extents on the window.
        wait_for(lambda: len(re.findall(r"\d+", run("xprop", "-id", window, "_NET_FRAME_EXTENTS"))) == 4,
                 "the frame's extents")

        def geometry():
            info = run("xwininfo", "-id", window)
            return tuple(int(re.search(pattern + r":\s+(-?\d+)", info).group(1))
                         for pattern in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))

        # The hints.
        motif = run("xprop", "-id", window, "_MOTIF_WM_HINTS")
        values = [int(v, 16) for v in re.findall(r"0x[0-9a-f]+", motif)]
        if check(len(values) >= 3, f"Motif hints are set ({motif.strip()})"):
            functions, decorations = values[1], values[2]
            check(not functions & MWM_FUNC_MAXIMIZE, f"no maximize function ({functions:#x})")
            check(functions & MWM_FUNC_MINIMIZE and functions & MWM_FUNC_CLOSE,
                  f"minimize and close functions ({functions:#x})")
            check(not decorations & MWM_DECOR_MAXIMIZE, f"no maximize box ({decorations:#x})")
            check(decorations & MWM_DECOR_TITLE and decorations & MWM_DECOR_MENU
                  and decorations & MWM_DECOR_MINIMIZE, f"title, system menu and minimize box ({decorations:#x})")
        sizes = run("xprop", "-id", window, "WM_NORMAL_HINTS")
        minimum = re.search(r"minimum size: (\d+) by (\d+)", sizes)
        maximum = re.search(r"maximum size: (\d+) by (\d+)", sizes)
        check(minimum and maximum and minimum.groups() == maximum.groups(),
              f"a fixed size in the size hints ({sizes.strip()})")

        # What the window manager makes of them.
        actions = run("xprop", "-id", window, "_NET_WM_ALLOWED_ACTIONS")
        for absent in ("_NET_WM_ACTION_MAXIMIZE_HORZ", "_NET_WM_ACTION_MAXIMIZE_VERT", "_NET_WM_ACTION_RESIZE"):
            check(absent not in actions, f"Openbox does not allow {absent}")
        for present in ("_NET_WM_ACTION_CLOSE", "_NET_WM_ACTION_MINIMIZE", "_NET_WM_ACTION_MOVE"):
            check(present in actions, f"Openbox allows {present}")

        # A user trying to maximize: a double click on the title bar, a click
        # on the right of it where the layout keeps a maximize button.
        before = geometry()
        extents = [int(v) for v in re.findall(r"\d+", run("xprop", "-id", window, "_NET_FRAME_EXTENTS"))]
        top = extents[2] if len(extents) == 4 else 20
        x, y, width, _ = before
        run("xdotool", "mousemove", str(x + width // 3), str(y - top // 2), "click", "--repeat", "2", "1")
        time.sleep(0.5)
        check(geometry() == before, f"a double click on the title bar leaves it as it was ({geometry()} {before})")
        run("xdotool", "mousemove", str(x + width - 27), str(y - top // 2), "click", "1")
        time.sleep(0.5)
        check(geometry() == before, f"a click where a maximize button would be leaves it ({geometry()} {before})")
        state = run("xprop", "-id", window, "_NET_WM_STATE")
        check("MAXIMIZED" not in state, f"not maximized ({state.strip()})")

        if screenshot:
            run("xdotool", "mousemove", "0", "0")
            time.sleep(0.3)
            left, right, top, bottom = extents if len(extents) == 4 else (0, 0, 0, 0)
            crop = f"{width + left + right}x{before[3] + top + bottom}+{x - left}+{y - top}"
            subprocess.run(["import", "-window", "root", "-crop", crop, "+repage", screenshot], check=True,
                           timeout=TIMEOUT)
            print("screenshot:", screenshot, crop, flush=True)

        run("xdotool", "key", "--window", window, "Escape")
        checks.ends_with_zero(app, "tavrik-sim, after Escape,")
        return checks.status()
    finally:
        uitest.kill(app, wm)


def main():
    args = sys.argv[1:]
    if args[:1] == ["--inner"]:
        exe = args[1]
        screenshot = args[3] if len(args) > 3 and args[2] == "--screenshot" else None
        code = inner(exe, screenshot)
        print("PASS" if code == 0 else "FAILED", flush=True)
        return code
    if not args:
        print(__doc__, file=sys.stderr)
        return 2
    exe = os.path.abspath(args[0])
    rest = ["--screenshot", os.path.abspath(args[2])] if len(args) > 2 and args[1] == "--screenshot" else []
    return outer([exe] + rest)


if __name__ == "__main__":
    sys.exit(main())
