#!/usr/bin/python3
"""Writes from assistive technology, end to end: the tool on the recording
card (tavrik-rec) on its own X server and private session bus, written to
over AT-SPI as a screen reader or a UI test tool would, with every card call
read back from the card's log.

    a11y_writes_test.py /path/to/tavrik-rec

- A spin button's value set through AT-SPI moves it as a click does: one set
  and four gets, and the box and the spin show what the card reports.
- The read-only number boxes offer no editing and refuse every write (set,
  insert, delete, cut, paste): their text stays, no card call follows, and a
  Refresh whose getter fails keeps what the card last reported.
"""

import os
import subprocess
import sys
import tempfile
import time
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import uitest  # noqa: E402  (tests/support)

TIMEOUT = 5.0

REFRESH = ["GetAudioPid", "GetVideoPID", "GetFrequency", "GetSymbolrate"]


def outer(exe):
    import xsession
    return xsession.run([sys.executable, os.path.abspath(__file__), "--inner", exe], dbus=True)


def inner(exe):
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi, Gio, GLib
    warnings.filterwarnings("ignore", category=DeprecationWarning)

    checks = uitest.Checks(TIMEOUT, pump=uitest.glib_pump(GLib))
    check, wait_for = checks.check, checks.wait_for

    pump = checks.pump

    desktop = uitest.enable_accessibility(Atspi, Gio, GLib)

    work = tempfile.mkdtemp(prefix="tavrik-a11y-")
    log_path = os.path.join(work, "log")
    inbox_path = os.path.join(work, "inbox")

    def card(*commands):
        with open(inbox_path + ".new", "w") as f:
            f.write("".join(c + "\n" for c in commands))
        os.rename(inbox_path + ".new", inbox_path)

    def log():
        try:
            with open(log_path) as f:
                return f.read().split("\n")[:-1]
        except FileNotFoundError:
            return []

    card("video 257", "audio 258")
    env = {k: v for k, v in os.environ.items() if k != "QT_LINUX_ACCESSIBILITY_ALWAYS_ON"}
    env.update(TAVRIK_RECCARD_LOG=log_path, TAVRIK_RECCARD_INBOX=inbox_path)
    proc = subprocess.Popen([exe], env=env)
    try:
        def find_app():
            return uitest.find_application(desktop, proc.pid)

        app = wait_for(find_app, "tavrik-rec on the accessibility bus")
        if app is None:
            return 1
        dialog = app.get_child_at_index(0)
        wait_for(lambda: len(log()) >= 7, "the card read at start")

        def fresh(obj):
            obj.clear_cache()
            return obj

        def find(role, name):
            fresh(dialog)
            found = [c for c in (dialog.get_child_at_index(i) for i in range(dialog.get_child_count()))
                     if c.get_role() == role and c.get_name() == name]
            check(len(found) == 1, f"exactly one {role.value_nick} named {name!r}")
            return found[0] if found else None

        def text_of(obj):
            return fresh(obj).get_text(0, -1)

        video_box = find(Atspi.Role.TEXT, "Video PID:")
        video_spin = find(Atspi.Role.SPIN_BUTTON, "Video PID")
        refresh = find(Atspi.Role.PUSH_BUTTON, "Refresh")
        ok = find(Atspi.Role.PUSH_BUTTON, "OK")
        if None in (video_box, video_spin, refresh, ok):
            return 1
        check(text_of(video_box) == "257", f"the video PID box shows 257 ({text_of(video_box)!r})")

        # --- A spin button's value set from outside: exactly a click's calls.
        mark = len(log())
        try:
            video_spin.set_current_value(300)
        except GLib.Error as e:
            check(False, f"set_current_value raised {e}")
        wait_for(lambda: len(log()) >= mark + 5, "the card calls of the set value")
        time.sleep(0.2)
        pump()
        check(log()[mark:] == ["SetVideoPID(300)"] + REFRESH,
              f"one set and four gets ({log()[mark:]})")
        check(text_of(video_box) == "300", f"the box shows 300 ({text_of(video_box)!r})")
        check(fresh(video_spin).get_current_value() == 300, "the spin is at 300")

        # --- Writes to a read-only box: every one refused.
        check(fresh(video_box).get_state_set().contains(Atspi.StateType.READ_ONLY), "the box is read-only")
        check(not fresh(video_box).get_state_set().contains(Atspi.StateType.EDITABLE), "the box is not editable")
        mark = len(log())
        attempts = {
            "set_text_contents": lambda: video_box.set_text_contents("999"),
            "insert_text": lambda: video_box.insert_text(0, "ab", 2),
            "delete_text": lambda: video_box.delete_text(0, 1),
            "cut_text": lambda: video_box.cut_text(0, 1),
            "paste_text": lambda: video_box.paste_text(0),
        }
        # The box offers no editing; the toolkit's bridge still answers every
        # call with success, so what counts is that nothing changes.
        check("EditableText" not in fresh(video_box).get_interfaces(), "the box offers no editable text")
        for what, attempt in attempts.items():
            try:
                attempt()
            except GLib.Error:
                pass
            check(text_of(video_box) == "300", f"after {what} the box still shows 300 ({text_of(video_box)!r})")
        time.sleep(0.2)
        pump()
        check(log()[mark:] == [], f"no card calls from the refused writes ({log()[mark:]})")

        # A Refresh whose video getter fails keeps what the card last said.
        card("fail GetVideoPID 1")
        mark = len(log())
        refresh.do_action(0)
        wait_for(lambda: len(log()) >= mark + 4, "the Refresh")
        check(log()[mark:] == REFRESH, f"a Refresh reads the card ({log()[mark:]})")
        check(text_of(video_box) == "300", f"the box keeps 300 ({text_of(video_box)!r})")
        check(fresh(video_spin).get_current_value() == 300, "the spin stays at 300")

        try:
            ok.do_action(0)
        except GLib.Error:
            pass
        checks.ends_with_zero(proc, "tavrik-rec, after OK,")
        return checks.status()
    finally:
        uitest.kill(proc)
        for name in os.listdir(work):
            os.remove(os.path.join(work, name))
        os.rmdir(work)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--inner":
        code = inner(sys.argv[2])
        print("PASS" if code == 0 else "FAILED", flush=True)
        return code
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    return outer(os.path.abspath(sys.argv[1]))


if __name__ == "__main__":
    sys.exit(main())
