"""What a screen reader hears of kelvorn-panel-sim, through the AT-SPI bus as Orca reads it.

Run under dbus-run-session by Debian's python3 (python3-pyatspi): starts Xvfb and the program with
Qt's AT-SPI bridge, connects through the buttons' accessible actions, switches an output on,
starts the test pattern, unplugs the virtual board, and checks the words each lamp gives after
its line's name and the change events that announce them. Prints what it read of the window, a
lamp and an output box.
Usage: screen-reader.py PROGRAM
"""
import sys

from private_desktop import Desktop, Timeout, check, failures

program = sys.argv[1]
desktop = Desktop(60)
try:
    import pyatspi

    announced = []
    pyatspi.Registry.registerEventListener(
        lambda e: announced.append(e.source.name), "object:property-change:accessible-name")
    desktop.start_program(program)
    find, press, wait_for = desktop.find, desktop.press, desktop.wait_for
    panel, board = desktop.windows()
    names = [f"input {i} ({pin})" for i, pin in enumerate(["D6", "D3", "D5", "D7", "D1"])]
    inputs = [find(panel, "label", name) for name in names]
    output = find(panel, "check box", "output 0 (D0)")

    def line(a):
        states = sorted(pyatspi.stateToString(s) for s in a.getState().getStates())
        return f"[{a.getRoleName()}] {a.name!r} {{{','.join(states)}}} desc={a.description!r}"

    def words():
        return [a.name[len(name) + 1:] for a, name in zip(inputs, names)]

    check(words() == ["no reading"] * 5, f"before connect: {words()}")
    for lamp in inputs:
        state = lamp.getState()
        check(state.contains(pyatspi.STATE_ENABLED) and not state.contains(pyatspi.STATE_FOCUSABLE),
              f"{lamp.name}: enabled, not focusable")

    press(find(panel, "push button", "Read"), "Press")
    connect = find(panel, "push button", "connect")
    wait_for("connect enabled by Read", lambda: connect.getState().contains(pyatspi.STATE_ENABLED))
    press(connect, "Press")
    wait_for("the inputs read high after connect", lambda: words() == ["high"] * 5)
    check(output.name == "output 0 (D0) off", f"output 0 before its toggle: {output.name}")
    press(output, "Toggle")
    wait_for("output 0 on after its toggle", lambda: output.name == "output 0 (D0) on")
    check(output.getState().contains(pyatspi.STATE_CHECKED), "output 0 checked")
    led = find(board, "label", "output 0 (D0) LED")
    wait_for("its LED lit on the virtual board", lambda: led.name == "output 0 (D0) LED lit")
    test = find(panel, "check box", "Test")
    press(test, "Toggle")  # a click: the pattern runs, and it alone switches output 2 on
    wait_for("the pattern running", lambda: find(panel, "check box", "output 2 (D2) on"))
    check(test.getState().contains(pyatspi.STATE_CHECKED), "Test checked while the pattern runs")

    announced.clear()
    press(find(board, "check box", "plugged in"), "Toggle")
    wait_for("the inputs say so when the board is unplugged", lambda: words() == ["no reading"] * 5)
    wait_for("each change announced", lambda: all(a.name in announced for a in inputs))
    # The polls go on, but the inputs' words stay the same: nothing more is said of them.
    desktop.pump(0.3)
    announced.clear()
    desktop.pump(0.5)
    again = [a for a in announced if a.startswith("input ")]
    check(again == [], f"announced without a change: {again}")

    print(line(panel))
    print(line(inputs[0]))
    print(line(output))
except Timeout as e:
    check(False, str(e))
finally:
    desktop.close()
sys.exit(1 if failures else 0)
