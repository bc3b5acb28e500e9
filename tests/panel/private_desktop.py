"""A private desktop for the screen reader tests, in the D-Bus session they run in
(dbus-run-session): Xvfb, the accessibility bus and the program under test with Qt's AT-SPI bridge,
with the helpers that read the program through pyatspi as a screen reader does.

Everything started here ends with the test, also when the test is killed (a CTest timeout), and
a hard limit stops the test if it hangs. Files go to a temporary HOME, never the user's.
"""
import ctypes
import os
import signal
import subprocess
import tempfile
import time

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)
    return ok


class Timeout(Exception):
    pass


def die_with_parent():
    ctypes.CDLL("libc.so.6").prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Desktop:
    def __init__(self, seconds):
        def on_alarm(signum, frame):
            raise Timeout(f"gave up after {seconds} s")

        signal.signal(signal.SIGALRM, on_alarm)
        signal.alarm(seconds)
        self.processes = []
        self.home = tempfile.TemporaryDirectory()
        runtime = os.path.join(self.home.name, "run")
        os.mkdir(runtime, 0o700)
        # Only this session's buses and display, and nothing written under the user's home.
        for name in ["AT_SPI_BUS_ADDRESS", "WAYLAND_DISPLAY", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                     "XDG_CACHE_HOME", "XDG_STATE_HOME"]:
            os.environ.pop(name, None)
        os.environ.update(HOME=self.home.name, XDG_RUNTIME_DIR=runtime)
        xvfb = self.start(["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24",
                           "-nolisten", "tcp"], stdout=subprocess.PIPE)
        os.environ["DISPLAY"] = ":" + xvfb.stdout.readline().decode().strip()

        from gi.repository import Gio, GLib
        # D-Bus starts the accessibility bus and its registry with its own environment, set
        # before the display existed: without the display the registry reports no pointer motion.
        Gio.bus_get_sync(Gio.BusType.SESSION).call_sync(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "UpdateActivationEnvironment",
            GLib.Variant("(a{ss})", ({k: os.environ[k] for k in
                                      ["DISPLAY", "HOME", "XDG_RUNTIME_DIR"]},)),
            None, Gio.DBusCallFlags.NONE, -1, None)
        import pyatspi
        self.pyatspi = pyatspi
        self.context = GLib.MainContext.default()
        # Asked before the program starts, so that its bridge finds the accessibility bus up.
        pyatspi.Registry.getDesktop(0)

    def start(self, argv, **kwargs):
        process = subprocess.Popen(argv, preexec_fn=die_with_parent, **kwargs)
        self.processes.append(process)
        return process

    def start_program(self, program):
        self.program = program
        return self.start([program], env=dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                                              QT_QPA_PLATFORM="xcb"))

    def close(self):
        signal.alarm(0)
        for p in reversed(self.processes):
            p.kill()
            p.wait()
        self.home.cleanup()

    def pump(self, seconds=0.05):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.context.iteration(False) or time.sleep(0.01)

    def wait_for(self, what, condition, seconds=10):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if condition():
                return True
            self.pump()
        return check(False, what)

    def app(self):
        return next((a for a in self.pyatspi.Registry.getDesktop(0) if a is not None and
                     a.name == os.path.basename(self.program)), None)

    def windows(self):
        """Waits for the program's two windows on the bus: the panel and the virtual board."""
        self.wait_for("the program on the bus",
                      lambda: self.app() is not None and self.app().childCount == 2)
        panel = self.find(self.app(), "frame", "  Kelvorn")
        board = self.find(self.app(), "frame", "Simulated Kelvorn boards")
        check(panel is not None and board is not None, "both windows are frames with their titles")
        return panel, board

    def find(self, root, role, name):
        """The descendant with this role named name, or name and then its state after a space."""
        return self.pyatspi.findDescendant(
            root, lambda a: a.getRoleName() == role and a.name.startswith(name) and
            a.name[len(name):len(name) + 1] in ["", " ", "\n"], True)

    def press(self, thing, action):
        actions = thing.queryAction()
        names = [actions.getName(i) for i in range(actions.nActions)]
        if check(action in names, f"{thing.name} offers {action}: {names}"):
            actions.doAction(names.index(action))
