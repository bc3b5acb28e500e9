"""The API on simulated boards: what opening gives or raises, what each call does to the pins, the
argument errors, closed and lost boards, and one board shared by the parts of a process."""

from __future__ import annotations

import gc
import threading
import time
from collections.abc import Callable
from typing import Any

import pytest

import kelvorn
from conftest import SOURCE
from kelvorn import (AmbiguousBoardError, BoardBusyError, BoardDisconnectedError,
                     BoardNotFoundError, Change)

T, F = True, False
HIGH = (T, T, T, T, T)


def none(s: kelvorn.Simulator) -> None:
    pass


def one(s: kelvorn.Simulator) -> None:
    s.add()


def two(s: kelvorn.Simulator) -> None:
    s.add()
    s.add("D4E5F6")


def held(s: kelvorn.Simulator) -> None:
    s.add()
    s.hold("A1B2C3", True)


def held_two(s: kelvorn.Simulator) -> None:
    two(s)
    s.hold("A1B2C3", True)
    s.hold("D4E5F6", True)


def unplugged(s: kelvorn.Simulator) -> None:
    s.add()
    s.unplug("A1B2C3")


def replugged(s: kelvorn.Simulator) -> None:
    unplugged(s)
    s.plug("A1B2C3")


@pytest.mark.parametrize("setup, serial, boards", [
    (none, None, []),
    (one, None, ["A1B2C3"]),
    (two, None, ["A1B2C3", "D4E5F6"]),
    (two, "D4E5F6", ["A1B2C3", "D4E5F6"]),
    (replugged, "A1B2C3", ["A1B2C3"]),
    (unplugged, None, []),
    (held, None, []),
])
def test_list_boards_and_open(setup: Callable[[kelvorn.Simulator], None], serial: str | None,
                              boards: list[str]) -> None:
    sim = kelvorn.Simulator()
    setup(sim)
    assert kelvorn.list_boards(driver=sim) == boards
    if len(boards) == 1 or serial is not None:
        with kelvorn.open(serial, driver=sim) as board:
            assert board.serial == (serial or boards[0])
            assert board.outputs == (F, F, F)  # written off
            assert board.read() == HIGH
            assert board.bridge is None  # no bridge holds a board of this machine's
            with pytest.raises(AttributeError):
                board.serial = "D4E5F6"  # type: ignore[misc]
            assert board.serial == (serial or boards[0])


@pytest.mark.parametrize("setup, serial, error, message, status, named", [
    (none, None, BoardNotFoundError, "no Kelvorn board found", 2, None),
    (one, "NOPE", BoardNotFoundError, "board NOPE not found", 2, "NOPE"),
    (unplugged, "A1B2C3", BoardNotFoundError, "board A1B2C3 not found", 2, "A1B2C3"),
    (one, "A1B2C3\u20ac", BoardNotFoundError, "board A1B2C3\\x20AC not found", 2, "A1B2C3\u20ac"),
    (held, "A1B2C3", BoardBusyError,
     "board A1B2C3 not found: it may be the FTDI device another program holds", 3, "A1B2C3"),
    (held_two, "A1B2C3", BoardBusyError,
     "board A1B2C3 not found: it may be one of the 2 FTDI devices other programs hold", 3,
     "A1B2C3"),
    (held, None, BoardNotFoundError, "no Kelvorn board found", 2, None),
    (two, None, AmbiguousBoardError,
     "2 Kelvorn boards attached, pick one by serial: A1B2C3 D4E5F6", None, None),
])
def test_open_fails(setup: Callable[[kelvorn.Simulator], None], serial: str | None,
                    error: type[kelvorn.KelvornError], message: str, status: int | None,
                    named: str | None) -> None:
    sim = kelvorn.Simulator()
    setup(sim)
    with pytest.raises(error) as raised:
        kelvorn.open(serial, driver=sim)
    assert type(raised.value) is error
    assert isinstance(raised.value, OSError)
    assert (str(raised.value), raised.value.status, raised.value.serial) == (message, status, named)
    if error is AmbiguousBoardError:
        assert raised.value.serials == ["A1B2C3", "D4E5F6"]


def test_a_board_with_a_serial_that_needs_escaping(sim: kelvorn.Simulator) -> None:
    sim.add("Q\"\\\x01\xe9")
    assert kelvorn.list_boards(driver=sim) == ["A1B2C3", "Q\"\\\x01\xe9"]
    with kelvorn.open("Q\"\\\x01\xe9", driver=sim) as board:
        assert board.serial == "Q\"\\\x01\xe9"
    with pytest.raises(AmbiguousBoardError,
                       match=r"^2 Kelvorn boards attached, pick one by serial: A1B2C3 Q\"\\x5C\\x01\\xE9$"):
        kelvorn.open(driver=sim)


@pytest.mark.parametrize("calls, outputs, inputs", [
    ([], (F, F, F), HIGH),
    ([("set_output", 0, T)], (T, F, F), (F, T, T, T, T)),
    ([("set_output", 1, T)], (F, T, F), (T, F, T, T, T)),
    ([("set_output", 2, T), ("set_output", 2, F)], (F, F, F), HIGH),
    ([("set_outputs", (T, F, T))], (T, F, T), (F, T, F, T, T)),
    ([("set_outputs", [F, T, F])], (F, T, F), (T, F, T, T, T)),
    ([("set_outputs", (T, T, T)), ("pulse", 1, 0)], (T, F, T), (F, T, F, T, T)),
    ([("input", 3, F), ("input", 4, F)], (F, F, F), (T, T, T, F, F)),
    ([("input", 0, F), ("input", 0, T)], (F, F, F), HIGH),
    ([("set_output", 2, T), ("input", 2, T)], (F, F, T), (T, T, F, T, T)),  # the wire wins
    ([("set_output", 0, 1)], (T, F, F), (F, T, T, T, T)),  # 0 and 1 as False and True
    ([("set_output", 1, T), ("set_output", 1, 0)], (F, F, F), HIGH),
    ([("set_outputs", [1, 0, True])], (T, F, T), (F, T, F, T, T)),
    ([("toggle", 1)], (F, T, F), (T, F, T, T, T)),
    ([("set_outputs", (T, F, T)), ("toggle", 2), ("toggle", 1)], (T, T, F), (F, F, T, T, T)),
])
def test_outputs_drive_the_wired_inputs(sim: kelvorn.Simulator, calls: list[tuple[Any, ...]],
                                        outputs: tuple[bool, ...], inputs: tuple[bool, ...]) -> None:
    with kelvorn.open(driver=sim) as board:
        for name, *args in calls:
            if name == "input":
                sim.set_input("A1B2C3", *args)
            else:
                getattr(board, name)(*args)
        assert (board.outputs, board.read()) == (outputs, inputs)


def test_an_unwired_board_reads_its_inputs_only(sim: kelvorn.Simulator) -> None:
    sim.add("D4E5F6", wired=False)
    with kelvorn.open("D4E5F6", driver=sim) as board:
        board.set_outputs((T, T, T))
        sim.set_input("D4E5F6", 1, False)
        assert (board.outputs, board.read()) == ((T, T, T), (T, F, T, T, T))


@pytest.mark.parametrize("call, args, error, message", [
    ("set_output", (3, T), IndexError, "output index 3 is not 0 to 2"),
    ("set_output", (-1, T), IndexError, "output index -1 is not 0 to 2"),
    ("set_output", ("0", T), TypeError, "output index must be an int, not str"),
    ("set_output", (True, T), TypeError, "output index must be an int, not bool"),
    ("set_output", (0, 2), ValueError, "on must be a bool, 0 or 1, not 2"),
    ("set_output", (0, "1"), TypeError, "on must be a bool, 0 or 1, not str"),
    ("set_output", (0, 1.0), TypeError, "on must be a bool, 0 or 1, not float"),
    ("set_outputs", ((T, F),), ValueError, "outputs must be three bools, not 2"),
    ("set_outputs", ("abc",), TypeError, "outputs must be a sequence of three bools, not str"),
    ("set_outputs", (7,), TypeError, "outputs must be a sequence of three bools, not int"),
    ("set_outputs", ((T, F, None),), TypeError, "output 2 must be a bool, 0 or 1, not NoneType"),
    ("set_outputs", ((1, 0, -1),), ValueError, "output 2 must be a bool, 0 or 1, not -1"),
    ("toggle", (3,), IndexError, "output index 3 is not 0 to 2"),
    ("toggle", (None,), TypeError, "output index must be an int, not NoneType"),
    ("pulse", (3, 0.1), IndexError, "output index 3 is not 0 to 2"),
    ("pulse", (0, -1), ValueError, "seconds must be 0 or more, not -1"),
    ("pulse", (0, float("nan")), ValueError, "seconds must be 0 or more, not nan"),
    ("pulse", (0, "1"), TypeError, "seconds must be a number of seconds, not str"),
    ("wait_for", (5, T, 0), IndexError, "input index 5 is not 0 to 4"),
    ("wait_for", (0, 1, 0), TypeError, "high must be a bool, not int"),
    ("wait_for", (0, T, None), TypeError, "timeout must be a number of seconds, not NoneType"),
    ("changes", (-0.5,), ValueError, "timeout must be 0 or more, not -0.5"),
    ("changes", (True,), TypeError, "timeout must be a number of seconds, not bool"),
])
def test_wrong_arguments_change_nothing(sim: kelvorn.Simulator, call: str, args: tuple[Any, ...],
                                        error: type[Exception], message: str) -> None:
    with kelvorn.open(driver=sim) as board:
        board.set_output(1, True)
        with pytest.raises(error) as raised:
            getattr(board, call)(*args)
        assert str(raised.value) == message
        assert (board.outputs, board.read()) == ((F, T, F), (T, F, T, T, T))


@pytest.mark.parametrize("call, args, kwargs, error, message", [
    ("add", ("A1B2C3",), {}, ValueError, "a simulated board A1B2C3 was added already"),
    ("add", (1,), {}, TypeError, "serial must be a str, not int"),
    ("add", ("\u20ac",), {}, ValueError, "a board's serial is 8-bit text: '\u20ac'"),
    ("add", ("B",), {"wired": 1}, TypeError, "wired must be a bool, not int"),
    ("set_input", ("NOPE", 0, T), {}, ValueError, "no simulated board NOPE"),
    ("set_input", ("A1B2C3", 5, T), {}, IndexError, "input index 5 is not 0 to 4"),
    ("set_input", ("A1B2C3", 0, 0), {}, TypeError, "high must be a bool, not int"),
    ("unplug", ("NOPE",), {}, ValueError, "no simulated board NOPE"),
    ("plug", ("NOPE",), {}, ValueError, "no simulated board NOPE"),
    ("hold", ("A1B2C3", "yes"), {}, TypeError, "held must be a bool, not str"),
])
def test_simulator_arguments(sim: kelvorn.Simulator, call: str, args: tuple[Any, ...],
                             kwargs: dict[str, Any], error: type[Exception], message: str) -> None:
    with pytest.raises(error) as raised:
        getattr(sim, call)(*args, **kwargs)
    assert str(raised.value) == message
    assert kelvorn.list_boards(driver=sim) == ["A1B2C3"]


@pytest.mark.parametrize("args, kwargs, message", [
    ((123,), {}, "serial must be a str or None, not int"),
    ((), {"driver": "usb"}, "driver must be a kelvorn.Simulator, kelvorn.Mqtt or None, not str"),
])
def test_open_argument_types(args: tuple[Any, ...], kwargs: dict[str, Any], message: str) -> None:
    with pytest.raises(TypeError, match=f"^{message}$"):
        kelvorn.open(*args, **kwargs)


CALLS: list[tuple[str, Callable[[kelvorn.Board], object]]] = [
    ("read", lambda b: b.read()),
    ("outputs", lambda b: b.outputs),
    ("set_output", lambda b: b.set_output(0, True)),
    ("set_outputs", lambda b: b.set_outputs((T, T, T))),
    ("pulse", lambda b: b.pulse(0, 0)),
    ("wait_for", lambda b: b.wait_for(0, True, 1)),
    ("changes", lambda b: b.changes(1)),
    ("toggle", lambda b: b.toggle(2)),
    ("bridge", lambda b: b.bridge),
]


@pytest.mark.parametrize("name, call", CALLS)
def test_a_closed_board_is_a_value_error_as_a_closed_file(sim: kelvorn.Simulator, name: str,
                                                          call: Callable[[kelvorn.Board], object]) -> None:
    with kelvorn.open(driver=sim) as board:
        pass
    board.close()  # again: nothing happens
    with pytest.raises(ValueError, match="^I/O operation on closed board$"):
        call(board)
    assert repr(board) == "<kelvorn.Board 'A1B2C3' closed>"


@pytest.mark.parametrize("name, call", [c for c in CALLS if c[0] not in ("outputs", "bridge")])
def test_a_board_unplugged_while_open(sim: kelvorn.Simulator, name: str,
                                      call: Callable[[kelvorn.Board], object]) -> None:
    board = kelvorn.open(driver=sim)
    again = kelvorn.open(driver=sim)
    board.set_output(0, True)
    sim.unplug("A1B2C3")
    assert board.outputs == (T, F, F)  # the latch: nothing asks the board
    for lost in (board, again):  # whichever Board of it comes next learns it
        with pytest.raises(BoardDisconnectedError) as raised:
            call(lost)
        assert (str(raised.value), raised.value.status, raised.value.serial) == (
            "board A1B2C3 stopped answering", 4, "A1B2C3")
        with pytest.raises(ValueError):
            lost.read()
    sim.plug("A1B2C3")
    with kelvorn.open(driver=sim) as fresh:  # opened anew: the outputs written off
        assert (fresh.outputs, fresh.read()) == ((F, F, F), HIGH)


@pytest.mark.parametrize("serial", ["A1B2C3", None])
def test_a_board_lost_unnoticed_is_opened_anew(sim: kelvorn.Simulator, serial: str | None) -> None:
    old = kelvorn.open(driver=sim)
    old.set_output(0, True)
    sim.unplug("A1B2C3")
    sim.plug("A1B2C3")  # freshly powered, its open board gone: no Board of it has noticed
    with kelvorn.open(serial, driver=sim) as fresh:
        assert (fresh.outputs, fresh.read()) == ((F, F, F), HIGH)  # opened, written off
    with pytest.raises(BoardDisconnectedError, match="^board A1B2C3 stopped answering$"):
        old.read()


def test_a_second_open_shares_the_board_and_writes_nothing(sim: kelvorn.Simulator) -> None:
    first = kelvorn.open("A1B2C3", driver=sim)
    first.set_output(0, True)
    second = kelvorn.open("A1B2C3", driver=sim)
    third = kelvorn.open(driver=sim)  # the one attached: the one this process holds
    for board in (second, third):
        assert board.serial == "A1B2C3"
        assert (board.outputs, board.read()) == ((T, F, F), (F, T, T, T, T))
    second.set_output(1, True)
    assert first.outputs == (T, T, F)
    first.close()
    third.close()
    assert second.read() == (F, F, T, T, T)  # still open: the wires still pulled
    second.close()
    with kelvorn.open(driver=sim) as board:  # the last one closed it: opened anew
        assert (board.outputs, board.read()) == ((F, F, F), HIGH)


def test_a_board_dropped_unclosed_is_closed(sim: kelvorn.Simulator) -> None:
    board = kelvorn.open(driver=sim)
    board.set_output(0, True)
    del board
    gc.collect()
    assert kelvorn._open_boards == {}
    with kelvorn.open(driver=sim) as board:
        assert board.outputs == (F, F, F)


def test_boards_this_process_holds_are_listed_and_chosen_from(sim: kelvorn.Simulator) -> None:
    sim.add("D4E5F6")
    with kelvorn.open("A1B2C3", driver=sim):
        # Read passes a held board over; it comes after the ones found.
        assert kelvorn.list_boards(driver=sim) == ["D4E5F6", "A1B2C3"]
        with pytest.raises(AmbiguousBoardError) as raised:
            kelvorn.open(driver=sim)
        assert raised.value.serials == ["D4E5F6", "A1B2C3"]
        # Not found, and not taken for held by another program: that one is this process's.
        with pytest.raises(BoardNotFoundError, match="^board NOPE not found$"):
            kelvorn.open("NOPE", driver=sim)
    sim.unplug("D4E5F6")
    with kelvorn.open("A1B2C3", driver=sim), kelvorn.open(driver=sim) as board:
        assert board.serial == "A1B2C3"


def test_boards_of_two_simulators_are_not_shared() -> None:
    first, second = kelvorn.Simulator(), kelvorn.Simulator()
    first.add()
    second.add()
    with kelvorn.open(driver=first) as a, kelvorn.open(driver=second) as b:
        a.set_output(0, True)
        assert (a.read(), b.read()) == ((F, T, T, T, T), HIGH)


@pytest.mark.parametrize("input_low, expected", [(True, True), (False, False)])
def test_wait_for_at_once_or_after_the_timeout(sim: kelvorn.Simulator, input_low: bool,
                                               expected: bool) -> None:
    sim.set_input("A1B2C3", 3, not input_low)
    with kelvorn.open(driver=sim) as board:
        start = time.monotonic()
        assert board.wait_for(3, False, 0.05) is expected
        assert expected or time.monotonic() - start >= 0.05


def test_wait_for_a_change_made_by_another_thread(sim: kelvorn.Simulator) -> None:
    with kelvorn.open(driver=sim) as board:
        other = threading.Timer(0.05, lambda: sim.set_input("A1B2C3", 4, False))
        other.start()
        assert board.wait_for(4, False, 10) is True
        other.join()
        assert board.wait_for(4, True, 0) is False


def test_changes_from_the_call_on(sim: kelvorn.Simulator) -> None:
    with kelvorn.open(driver=sim) as board:
        before = time.monotonic()
        changes = board.changes(timeout=0.05)
        board.set_output(0, True)  # the wire pulls input 0 low
        sim.set_input("A1B2C3", 3, False)
        first, second = next(changes), next(changes)  # one read saw both
        board.set_output(0, False)
        third = next(changes)
        assert list(changes) == []  # 50 ms without a change: the end
        after = time.monotonic()
    assert [c[1:] for c in (first, second, third)] == [
        (0, False, (F, T, T, F, T)),
        (3, False, (F, T, T, F, T)),
        (0, True, (T, T, T, F, T)),
    ]
    assert isinstance(first, Change) and first.time == second.time
    assert before <= first.time < third.time <= after


def test_a_pulse_as_another_thread_sees_it(sim: kelvorn.Simulator) -> None:
    with kelvorn.open(driver=sim) as board:
        seen: list[Change] = []
        changes = board.changes(timeout=1)
        watcher = threading.Thread(target=lambda: seen.extend(changes))
        watcher.start()
        board.pulse(1, 0.3)
        assert board.outputs == (F, F, F)
        watcher.join(10)
    assert [c[1:] for c in seen] == [(1, False, (T, F, T, T, T)), (1, True, HIGH)]
    assert seen[1].time > seen[0].time


def test_dir_shows_the_packages_names() -> None:
    assert {"open", "Board", "Mqtt", "BoardNotFoundError", "__version__"} <= set(dir(kelvorn))
    assert not {"re", "math", "typing", "threading", "annotations"} & set(dir(kelvorn))


def test_version_is_the_projects() -> None:
    cmake = (SOURCE / "CMakeLists.txt").read_text()
    assert f"project(kelvorn-panel VERSION {kelvorn.__version__} " in cmake
