#!/usr/bin/python3
"""End-to-end accessibility test: runs tavrik-sim on its own X server and
private session bus, and reads and drives the dialog through AT-SPI, as a
screen reader does.

    a11y_tree_test.py /path/to/tavrik-sim

Needs Xvfb, dbus-run-session, at-spi2-core and Debian's python3 with gi and
the Atspi introspection data (tools/install-deps.sh test installs them).
Every process the test starts, including the bus daemons the session bus
activates, is ended and reaped before it returns (tests/support/xsession.py).
"""

import os
import subprocess
import sys
import time
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import uitest  # noqa: E402  (tests/support)

TIMEOUT = 5.0   # seconds for any one thing to happen

CAPTION = "Tavrik f\u00fcr Siemens-DVB v1.0"


def outer(exe):
    import xsession
    return xsession.run([sys.executable, os.path.abspath(__file__), "--inner", exe], dbus=True)


# --- Inner part: the checks, on the private session bus --------------------

def inner(exe):
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi, Gio, GLib
    # Atspi.Action.get_action_name is deprecated in favour of a get_name that
    # Python cannot reach beside Accessible.get_name.
    warnings.filterwarnings("ignore", category=DeprecationWarning)

    checks = uitest.Checks(TIMEOUT, pump=uitest.glib_pump(GLib))
    check, wait_for, failures = checks.check, checks.wait_for, checks.failures

    events = []

    def on_event(event):
        events.append((event.type, event.source, event.detail1))

    listener = Atspi.EventListener.new(on_event)
    for kind in ("object:state-changed:focused", "object:property-change:accessible-value"):
        listener.register(kind)

    # The first call starts the accessibility bus. Turn accessibility on the
    # way a screen reader's session does, so the tool registers by itself.
    desktop = uitest.enable_accessibility(Atspi, Gio, GLib)

    app_env = {k: v for k, v in os.environ.items() if k != "QT_LINUX_ACCESSIBILITY_ALWAYS_ON"}
    proc = subprocess.Popen([exe], env=app_env)
    try:
        def find_app():
            return uitest.find_application(desktop, proc.pid)

        app = wait_for(find_app, "tavrik-sim on the accessibility bus")
        if app is None:
            return 1
        dialog = app.get_child_at_index(0)

        def fresh(obj):
            obj.clear_cache()
            return obj

        def states(obj):
            return fresh(obj).get_state_set()

        def controls(role):
            fresh(dialog)
            return [c for c in (dialog.get_child_at_index(i) for i in range(dialog.get_child_count()))
                    if c.get_role() == role]

        def by_name(role, name):
            found = [c for c in controls(role) if c.get_name() == name]
            check(len(found) == 1, f"exactly one {role.value_nick} named {name!r} (found {len(found)})")
            return found[0] if found else None

        def text_of(obj):
            return obj.get_text(0, -1)

        def value_of(obj):
            return obj.get_current_value()

        def do_action(obj, name):
            names = [obj.get_action_name(i) for i in range(obj.get_n_actions())]
            if not check(name in names, f"{obj.get_name()!r} offers {name!r} (has {names})"):
                return
            try:
                obj.do_action(names.index(name))
            except GLib.Error:
                pass   # the tool may end before it answers

        # The dialog, by its caption.
        check(dialog.get_role() == Atspi.Role.DIALOG, "the window is a dialog")
        check(dialog.get_name() == CAPTION, f"dialog named by its caption ({dialog.get_name()!r})")

        # The number boxes: named by their labels, read-only, with the card's values.
        boxes = {}
        for label, text in (("Frequency:", "394000"), ("Video PID:", "1001"),
                            ("Audio PID:", "1002"), ("Symbolrate:", "6875")):
            box = boxes[label] = by_name(Atspi.Role.TEXT, label)
            if box is None:
                continue
            check(states(box).contains(Atspi.StateType.READ_ONLY), f"{label} box is read-only")
            check(text_of(box) == text, f"{label} box shows {text} ({text_of(box)!r})")
            targets = [r.get_target(0).get_name() for r in box.get_relation_set()
                       if r.get_relation_type() == Atspi.RelationType.LABELLED_BY]
            check(targets == [label], f"{label} box labelled by its label ({targets})")
        check(len(controls(Atspi.Role.TEXT)) == 4, "four number boxes")

        # OK (the default button) and Refresh.
        ok = by_name(Atspi.Role.PUSH_BUTTON, "OK")
        refresh = by_name(Atspi.Role.PUSH_BUTTON, "Refresh")
        if ok is None or refresh is None:
            return 1
        check(states(ok).contains(Atspi.StateType.IS_DEFAULT), "OK is the default button")
        check(not states(refresh).contains(Atspi.StateType.IS_DEFAULT), "Refresh is not the default button")
        for button in (ok, refresh):
            check(states(button).contains(Atspi.StateType.FOCUSABLE), f"{button.get_name()} is focusable")

        # The spin buttons: which value each steps, position and range.
        spins = {}
        for name, value, top in (("Frequency", 9, 18), ("Video PID", 1001, 4096), ("Audio PID", 1002, 4096)):
            spin = spins[name] = by_name(Atspi.Role.SPIN_BUTTON, name)
            if spin is None:
                continue
            check(value_of(spin) == value, f"{name} spin at {value} ({value_of(spin)})")
            check((spin.get_minimum_value(), spin.get_maximum_value()) == (0, top), f"{name} spin runs 0..{top}")
            check(states(spin).contains(Atspi.StateType.ENABLED), f"{name} spin is enabled")
        check(len(controls(Atspi.Role.SPIN_BUTTON)) == 3, "three spin buttons")
        if failures:
            return 1

        # Focus: on OK at the start; a move is reported.
        wait_for(lambda: states(ok).contains(Atspi.StateType.FOCUSED), "OK to have the focus")

        def focus_event(obj):
            return any(t == "object:state-changed:focused" and s == obj and d == 1 for t, s, d in events)

        for obj in (refresh, spins["Frequency"]):
            obj.grab_focus()
            wait_for(lambda: focus_event(obj), f"focus event for {obj.get_name()}")
            check(states(obj).contains(Atspi.StateType.FOCUSED), f"{obj.get_name()} has the focus")

        def value_event(obj, value):
            return any(t == "object:property-change:accessible-value" and s == obj and value_of(obj) == value
                       for t, s, _ in events)

        # A step up on the frequency: the card tunes 402 MHz and reports that
        # multiplex's first program, which the PID spins follow.
        do_action(spins["Frequency"], "Increase")
        wait_for(lambda: text_of(boxes["Frequency:"]) == "402000", "the frequency box to show 402000")
        wait_for(lambda: text_of(boxes["Video PID:"]) == "1101", "the video PID box to show 1101")
        check(value_of(spins["Frequency"]) == 10, "frequency spin at 10")
        check(value_of(spins["Video PID"]) == 1101, "video PID spin follows the card")
        wait_for(lambda: value_event(spins["Frequency"], 10), "value change of the frequency spin")
        wait_for(lambda: value_event(spins["Video PID"], 1101), "value change of the video PID spin")

        # A step down on the audio PID.
        do_action(spins["Audio PID"], "Decrease")
        wait_for(lambda: text_of(boxes["Audio PID:"]) == "1101", "the audio PID box to show 1101")
        check(value_of(spins["Audio PID"]) == 1101, "audio PID spin at 1101")
        check(text_of(boxes["Frequency:"]) == "402000", "frequency unchanged by an audio step")

        # OK through its action ends the tool.
        do_action(ok, "Press")
        checks.ends_with_zero(proc, "tavrik-sim, after OK,")
        return checks.status()
    finally:
        uitest.kill(proc)
        listener.deregister("object:state-changed:focused")


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
