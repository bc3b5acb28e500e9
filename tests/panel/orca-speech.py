"""What Orca itself says of kelvorn-panel-sim's lamps and output boxes.

Run under dbus-run-session by Debian's python3: starts Xvfb, openbox, the program and Orca, with
mouse review on in Orca's settings (in a temporary HOME) and no speech server: Orca writes each
utterance to its debug file as "SPEECH OUTPUT: '...'" all the same. Moves the mouse with xdotool
onto lamps found through AT-SPI, gives an output box the focus, reads the row of lamps in flat
review (desktop layout keys) and checks the words Orca speaks: a lamp with no reading, a low and a
high one, an output that is on. Prints what Orca said. It runs beside the developer's own Orca,
which would otherwise make the test's refuse to start.
Usage: orca-speech.py PROGRAM
"""
import json
import os
import re
import subprocess
import sys
import threading
import tty

from private_desktop import Desktop, Timeout, check, failures


class Speech:
    """What Orca says, in order, read from its debug file as Orca writes it. The file is a
    terminal, which Orca writes line by line (a plain file it would write 8 KiB at a time)."""

    def __init__(self, desktop):
        self.desktop = desktop
        self.said = []
        self.heard = 0  # how much of it the checks have passed
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        rest = b""
        try:
            while data := os.read(self.master, 65536):
                *lines, rest = (rest + data).split(b"\n")
                for line in lines:
                    m = re.search(rb"SPEECH OUTPUT: '(.*?)' ?[\[{]", line)
                    if m:
                        self.said.append(m.group(1).decode(errors="replace"))
        except OSError:
            pass  # closed

    def wait_for(self, text, seconds=15):
        """Waits for Orca to say text after what the checks have heard so far."""
        if self.desktop.wait_for(f"Orca says {text!r}", lambda: text in self.said[self.heard:],
                                 seconds):
            self.heard += self.said[self.heard:].index(text) + 1

    def close(self):
        os.close(self.slave)
        os.close(self.master)


def x(*argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout


program = sys.argv[1]
desktop = Desktop(90)
speech = Speech(desktop)
try:
    import pyatspi

    settings = os.path.join(desktop.home.name, ".local", "share", "orca")
    os.makedirs(settings)
    with open(os.path.join(settings, "user-settings.conf"), "w") as f:
        json.dump({"general": {"enableMouseReview": True, "speechServerFactory": ""},
                   "profiles": {"default": {"profile": ["Default", "default"],
                                            "pronunciations": {}, "keybindings": {}}},
                   "pronunciations": {}, "keybindings": {}}, f)
    desktop.start(["openbox", "--sm-disable"], stderr=subprocess.DEVNULL)
    desktop.wait_for("openbox managing the display",
                     lambda: "window id" in x("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"))
    desktop.start_program(program)
    panel, board = desktop.windows()
    # Settings in memory: Orca switches toolkit accessibility on, which would go to dconf. Orca
    # refuses to start while `pgrep -u UID -x orca` finds another, such as the user's own screen
    # reader: in a PID namespace of its own, with its own /proc, it sees only itself.
    desktop.start(["unshare", "--user", "--map-current-user", "--pid", "--fork", "--mount-proc",
                   "--kill-child", "orca", "--debug-file=" + speech.path],
                  env=dict(os.environ, GSETTINGS_BACKEND="memory"),
                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    speech.wait_for("Screen reader on.", 30)
    x("xdotool", "search", "--name", "^  Kelvorn$", "windowactivate", "--sync")
    speech.wait_for("  Kelvorn frame.")
    find = desktop.find

    def point_at(role, name):
        e = find(panel, role, name).queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        x("xdotool", "mousemove", str(e.x + e.width // 2), str(e.y + e.height // 2))

    point_at("label", "input 0 (D6)")
    speech.wait_for("input 0 (D6) no reading label.")  # nothing has been read yet

    # Output 1 on, input 2 low on the virtual board.
    desktop.press(find(panel, "push button", "Read"), "Press")
    connect = find(panel, "push button", "connect")
    desktop.wait_for("connect enabled by Read",
                     lambda: connect.getState().contains(pyatspi.STATE_ENABLED))
    desktop.press(connect, "Press")
    output = find(panel, "check box", "output 1 (D4)")
    desktop.wait_for("the outputs enabled by connect",
                     lambda: output.getState().contains(pyatspi.STATE_ENABLED))
    desktop.press(output, "Toggle")
    desktop.press(find(board, "check box", "in 2"), "Toggle")
    desktop.wait_for("input 2 low on the panel",
                     lambda: find(panel, "label", "input 2 (D5) low") is not None)

    for role, name, words in [("label", "input 2 (D5)", "low label."),
                              ("label", "input 3 (D7)", "high label."),
                              ("check box", "output 1 (D4)", "on check box checked.")]:
        point_at(role, name)
        speech.wait_for(f"{name} {words}")

    find(panel, "check box", "output 0 (D0)").queryComponent().grabFocus()
    speech.wait_for("output 0 (D0) off check box not checked.")
    x("xdotool", "key", "KP_Subtract")
    speech.wait_for("Entering flat review.")
    x("xdotool", "key", "KP_Up")  # the line with the focus: outputs, Test and inputs
    speech.wait_for("not checked output 2 (D2) off checked output 1 (D4) on not checked output 0 "
                    "(D0) off not checked Test input 4 (D1) high input 3 (D7) high input 2 (D5) "
                    "low input 1 (D3) high input 0 (D6) high")
except Timeout as e:
    check(False, str(e))
finally:
    desktop.close()
    speech.close()
    print("Orca said:", *speech.said, sep="\n  ")
sys.exit(1 if failures else 0)
