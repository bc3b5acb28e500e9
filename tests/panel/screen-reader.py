"""What a screen reader hears of kelvorn-panel-sim, through the AT-SPI bus as Orca reads it.

Run under dbus-run-session by Debian's python3 (python3-pyatspi): starts Xvfb and the program with
Qt's AT-SPI bridge, connects through the buttons' accessible actions, switches an output on,
unplugs the virtual board, and checks the words each lamp gives and the change events that
announce them. Prints what it read of the window, a lamp and an output box.
Usage: screen-reader.py PROGRAM
"""
import ctypes
import os
import signal
import subprocess
import sys
import tempfile
import time

program = sys.argv[1]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


class Timeout(Exception):
    pass


def on_alarm(signum, frame):
    raise Timeout("gave up after 60 s")


def die_with_parent():
    # Xvfb and the program go with this script even when it is killed (a CTest timeout).
    ctypes.CDLL("libc.so.6").prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


signal.signal(signal.SIGALRM, on_alarm)
signal.alarm(60)
processes = []
runtime = tempfile.TemporaryDirectory()
try:
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24",
                             "-nolisten", "tcp"], stdout=subprocess.PIPE,
                            preexec_fn=die_with_parent)
    processes.append(xvfb)
    os.environ["DISPLAY"] = ":" + xvfb.stdout.readline().decode().strip()

    import pyatspi
    from gi.repository import GLib

    # Asked before the program starts, so that its bridge finds the accessibility bus up.
    pyatspi.Registry.getDesktop(0)
    announced = []
    pyatspi.Registry.registerEventListener(
        lambda e: announced.append(e.source.name), "object:property-change:accessible-description")

    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb",
               XDG_RUNTIME_DIR=runtime.name)
    processes.append(subprocess.Popen([program], env=env, preexec_fn=die_with_parent))

    def pump(seconds=0.05):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            GLib.MainContext.default().iteration(False) or time.sleep(0.01)

    def wait_for(what, condition):
        end = time.monotonic() + 10
        while time.monotonic() < end:
            if condition():
                return True
            pump()
        check(False, what)
        return False

    def find(root, role, name):
        return pyatspi.findDescendant(
            root, lambda a: a.getRoleName() == role and a.name == name, True)

    def app():
        desktop = pyatspi.Registry.getDesktop(0)
        return next((a for a in desktop if a is not None and a.name ==
                     os.path.basename(program)), None)

    wait_for("the program on the bus", lambda: app() is not None and app().childCount == 2)
    panel = find(app(), "frame", "  Kelvorn")
    board = find(app(), "frame", "Simulated Kelvorn boards")
    check(panel is not None and board is not None, "both windows are frames with their titles")
    inputs = [find(panel, "label", f"input {i} ({pin})")
              for i, pin in enumerate(["D6", "D3", "D5", "D7", "D1"])]
    output = find(panel, "check box", "output 0 (D0)")

    def line(a):
        states = sorted(pyatspi.stateToString(s) for s in a.getState().getStates())
        return f"[{a.getRoleName()}] {a.name!r} {{{','.join(states)}}} desc={a.description!r}"

    def words():
        return [a.description for a in inputs]

    check(words() == ["no reading"] * 5, f"before connect: {words()}")
    for lamp in inputs:
        state = lamp.getState()
        check(state.contains(pyatspi.STATE_ENABLED) and not state.contains(pyatspi.STATE_FOCUSABLE),
              f"{lamp.name}: enabled, not focusable")

    def press(button, name):
        action = button.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        check(name in names, f"{button.name} offers {name}: {names}")
        action.doAction(names.index(name))

    press(find(panel, "push button", "Read"), "Press")
    connect = find(panel, "push button", "connect")
    wait_for("connect enabled by Read", lambda: connect.getState().contains(pyatspi.STATE_ENABLED))
    press(connect, "Press")
    wait_for("the inputs read high after connect", lambda: words() == ["high"] * 5)
    check(output.description == "off", f"output 0 before its toggle: {output.description}")
    press(output, "Toggle")
    wait_for("output 0 on after its toggle", lambda: output.description == "on")
    check(output.getState().contains(pyatspi.STATE_CHECKED), "output 0 checked")

    announced.clear()
    press(find(board, "check box", "plugged in"), "Toggle")
    wait_for("the inputs say so when the board is unplugged", lambda: words() == ["no reading"] * 5)
    wait_for("each change announced", lambda: all(a.name in announced for a in inputs))
    # The polls go on, but with nothing changing nothing more is announced.
    pump(0.3)
    announced.clear()
    pump(0.5)
    check(announced == [], f"announced without a change: {announced}")

    print(line(panel))
    print(line(inputs[0]))
    print(line(output))
except Timeout as e:
    check(False, str(e))
finally:
    signal.alarm(0)
    for p in reversed(processes):
        p.kill()
        p.wait()
    runtime.cleanup()
sys.exit(1 if failures else 0)
