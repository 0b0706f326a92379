#!/usr/bin/python3
"""The one way the project's tests, benchmarks and scripts get a private X
server (Xvfb on the first free display), and the reaping of everything a
test started, bus daemons that the session bus activated included.

    xsession.py [--dbus] [--timeout SECONDS] -- COMMAND [ARG...]

runs COMMAND with DISPLAY set to a fresh Xvfb and XDG_RUNTIME_DIR to a fresh
0700 folder (and, with --dbus, on a private session bus), then ends and reaps
whatever is left, and exits with COMMAND's status. COMMAND is ended after
SECONDS (default 60; 0 for no limit).

    xsession.py --start

starts only the X server, for a script that needs one across several
commands, and prints ":N PID" (its display and process); the script ends it
with kill PID.
"""

import ctypes
import os
import signal
import subprocess
import sys
import tempfile
import time


def become_subreaper():
    # Orphans (bus daemons, the accessibility bus) come back to us to be ended.
    PR_SET_CHILD_SUBREAPER = 36
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def children_of(pid):
    result = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # The command may contain spaces and parentheses: fields follow the last ")".
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[1]) == pid:
            result.append(int(entry))
    return result


def reap_all():
    """Ends and reaps every child and adopted orphan, SIGKILL after 3 s."""
    me = os.getpid()
    deadline = time.monotonic() + 3
    sig = signal.SIGTERM
    while True:
        while True:   # collect what has ended
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                break
        left = children_of(me)
        if not left:
            return
        if time.monotonic() > deadline:
            sig = signal.SIGKILL
        for pid in left:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        time.sleep(0.05)


def start_xvfb(detach=False):
    """Starts Xvfb on a free display; returns the process and ":N"."""
    read_fd, write_fd = os.pipe()
    # -noreset: by default the server resets when its last client leaves,
    # and a client that connects during the reset is refused ("could not
    # connect to display"); a test's programs come and go one after another.
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-noreset", "-nolisten", "tcp",
                             "-screen", "0", "1024x768x24"],
                            pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=detach)
    os.close(write_fd)
    number = b""
    with os.fdopen(read_fd, "rb") as f:
        while not number.endswith(b"\n"):
            chunk = f.read(1)
            if not chunk:
                raise RuntimeError("Xvfb did not start")
            number += chunk
    return xvfb, ":" + number.decode().strip()


def run(command, dbus=False, timeout=60):
    """Runs command in a fresh X session; returns its exit status."""
    become_subreaper()
    xvfb = None
    try:
        xvfb, display = start_xvfb()
        with tempfile.TemporaryDirectory(prefix="tavrik-x-") as runtime:
            os.chmod(runtime, 0o700)
            # Nothing of the caller's desktop: platform, scaling, buses.
            env = {k: v for k, v in os.environ.items()
                   if not k.startswith(("QT_", "DBUS_", "AT_SPI", "WAYLAND"))}
            env.update(DISPLAY=display, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="xcb", LC_ALL="C.UTF-8")
            if dbus:
                command = ["dbus-run-session", "--"] + list(command)
            return subprocess.run(command, env=env, timeout=timeout or None).returncode
    finally:
        if xvfb is not None:
            xvfb.terminate()
        reap_all()


def main():
    args = sys.argv[1:]
    if args == ["--start"]:
        xvfb, display = start_xvfb(detach=True)
        print(display, xvfb.pid, flush=True)
        return 0
    dbus = False
    timeout = 60
    while args[:1] in (["--dbus"], ["--timeout"]):
        if args[0] == "--dbus":
            dbus = True
            args = args[1:]
        elif len(args) > 1 and args[1].isdigit():
            timeout = int(args[1])
            args = args[2:]
        else:
            break
    if args[:1] == ["--"]:
        args = args[1:]
    if not args or args[0].startswith("--"):
        print(__doc__, file=sys.stderr)
        return 2
    return run(args, dbus=dbus, timeout=timeout)


if __name__ == "__main__":
    sys.exit(main())
