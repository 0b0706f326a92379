"""What the out-of-process window tests share: checks that are counted and
reported rather than raised (so one run reports every fault it finds), waiting
with a deadline, and turning accessibility on for an AT-SPI client."""

import subprocess
import time


class Checks:
    def __init__(self, timeout, pump=None, interval=0.01):
        self.failures = []
        self.timeout = timeout
        self.pump = pump          # called before each look, e.g. a main-loop turn
        self.interval = interval

    def check(self, condition, what):
        if not condition:
            self.failures.append(what)
            print("FAIL:", what, flush=True)
        return condition

    def wait_for(self, predicate, what):
        """The predicate's first true value, or None (a failure) when the
        timeout passes first."""
        deadline = time.monotonic() + self.timeout
        while True:
            if self.pump:
                self.pump()
            value = predicate()
            if value:
                return value
            if time.monotonic() > deadline:
                self.check(False, "timed out waiting for " + what)
                return None
            time.sleep(self.interval)

    def ends_with_zero(self, process, what):
        """Checks that process ends, with status 0, within the timeout."""
        try:
            status = process.wait(self.timeout)
            return self.check(status == 0, f"{what} ends with 0 ({status})")
        except subprocess.TimeoutExpired:
            return self.check(False, f"{what} ends")

    def status(self):
        return 1 if self.failures else 0


def kill(*processes):
    """Ends and reaps whatever of processes is still running."""
    for process in processes:
        if process is not None and process.poll() is None:
            process.kill()
            process.wait()


def glib_pump(GLib):
    """A function that runs the default main context until it is idle."""
    def pump():
        context = GLib.MainContext.default()
        while context.iteration(False):
            pass
    return pump


def enable_accessibility(Atspi, Gio, GLib):
    """Turns accessibility on the way a screen reader's session does, so a
    toolkit application registers by itself; returns the AT-SPI desktop. The
    first AT-SPI call starts the accessibility bus."""
    desktop = Atspi.get_desktop(0)
    session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                      GLib.Variant("(ssv)", ("org.a11y.Status", "IsEnabled", GLib.Variant("b", True))),
                      None, Gio.DBusCallFlags.NONE, 5000, None)
    return desktop


def find_application(desktop, pid):
    """The accessible application of process pid once it shows a window, or None."""
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_process_id() == pid and app.get_child_count() > 0:
            return app
    return None
