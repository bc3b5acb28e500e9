"""The API on emulated FT232R boards under umockdev, through libftdi and libusb as on a machine:
what the chip receives, the pin map both ways, someone else's device, a board held, unplugged or
silent, and Ctrl-C in a child process reading the emulated board."""

from __future__ import annotations

import os
import signal
from typing import Any

import ft232r_testbed
import pytest

import kelvorn
from conftest import Child, eventually

T, F = True, False
OFF = 0x15  # D0, D2 and D4 high: the three outputs off


def test_open_sets_the_chip_up_and_writes_all_off(bed: Any) -> None:
    adapter = bed.add("FT9ZX01", "FT232R USB UART")
    board = bed.add()
    assert kelvorn.list_boards() == ["KV000001"]
    with kelvorn.open() as opened:
        assert opened.serial == "KV000001"
        assert (board.bulk_out_bytes(), board.latch, board.claimed) == (bytes([OFF]), OFF, True)
        assert opened.outputs == (F, F, F)
    assert (board.claimed, board.kernel_driver_bound) == (False, True)  # given back
    assert (adapter.claimed, adapter.kernel_driver_bound, adapter.bulk_out_bytes()) == (F, T, b"")


@pytest.mark.parametrize("levels, inputs", [
    (0xFF, (T, T, T, T, T)),
    (0xFF & ~0x40, (F, T, T, T, T)),  # in0 on D6
    (0xFF & ~0x08, (T, F, T, T, T)),  # in1 on D3
    (0xFF & ~0x20, (T, T, F, T, T)),  # in2 on D5
    (0xFF & ~0x80, (T, T, T, F, T)),  # in3 on D7
    (0xFF & ~0x02, (T, T, T, T, F)),  # in4 on D1
    (0x15, (F, F, F, F, F)),          # only the driven pins high
])
def test_inputs_by_pin(bed: Any, levels: int, inputs: tuple[bool, ...]) -> None:
    board = bed.add()
    with kelvorn.open("KV000001") as opened:
        board.set_inputs(levels)
        board.clear_log()
        assert opened.read() == inputs
        assert board.control_count(ft232r_testbed.READ_PINS) == 1  # one pin read


@pytest.mark.parametrize("calls, sent", [
    ([("set_output", 0, T)], [0x14]),  # output 0 on D0, driven low
    ([("set_output", 1, T), ("set_output", 1, F)], [0x05, 0x15]),  # output 1 on D4
    ([("set_output", 2, T)], [0x11]),  # output 2 on D2
    ([("set_outputs", (T, T, T))], [0x00]),  # one write for three
    ([("pulse", 1, 0)], [0x05, 0x15]),
])
def test_outputs_by_pin(bed: Any, calls: list[tuple[Any, ...]], sent: list[int]) -> None:
    board = bed.add()
    with kelvorn.open() as opened:
        board.clear_log()
        for name, *args in calls:
            getattr(opened, name)(*args)
        assert list(board.bulk_out_bytes()) == sent


def test_a_second_open_sends_the_board_nothing(bed: Any) -> None:
    board = bed.add()
    first = kelvorn.open("KV000001")
    first.set_output(2, True)
    board.clear_log()
    with kelvorn.open("KV000001") as second, kelvorn.open() as third:
        assert second.outputs == third.outputs == (F, F, T)
    assert (board.bulk_out_bytes(), board.latch, board.claimed) == (b"", 0x11, True)
    first.close()
    assert (board.claimed, board.kernel_driver_bound) == (False, True)


@pytest.mark.parametrize("setup, serial, error, message, status", [
    (lambda bed: bed.add("FT9ZX01", "FT232R USB UART"), "FT9ZX01", kelvorn.BoardNotFoundError,
     'FTDI device FT9ZX01 is not a Kelvorn board (its description is "FT232R USB UART"): left alone',
     2),
    (lambda bed: bed.add("FT9ZX01", "FT232R USB UART"), None, kelvorn.BoardNotFoundError,
     "no Kelvorn board found", 2),
    (lambda bed: bed.add().set_busy(True), "KV000001", kelvorn.BoardBusyError,
     "board KV000001 not found: it may be the FTDI device another program holds", 3),
])
def test_open_refused(bed: Any, setup: Any, serial: str | None, error: type[Exception],
                      message: str, status: int) -> None:
    setup(bed)
    with pytest.raises(error) as raised:
        kelvorn.open(serial)
    assert (str(raised.value), raised.value.status) == (message, status)  # type: ignore[attr-defined]


@pytest.mark.parametrize("fault", ["unplug", "silent"])
def test_a_board_that_stops_answering(bed: Any, fault: str) -> None:
    board = bed.add()
    opened = kelvorn.open()
    if fault == "unplug":
        board.unplug()
    else:
        board.set_answering(False)
    with pytest.raises(kelvorn.BoardDisconnectedError, match="^board KV000001 stopped answering$"):
        opened.read()
    with pytest.raises(ValueError):
        opened.read()
    if fault == "unplug":
        board.replug()
        with kelvorn.open() as fresh:
            assert (fresh.read(), board.latch) == ((T, T, T, T, T), OFF)


CHILD = """
    import kelvorn
    board = kelvorn.open()
    print("ready", flush=True)
    try:
        board.wait_for(0, False, 60)
        print("returned")
    except KeyboardInterrupt:
        print("KeyboardInterrupt")
"""


def test_ctrl_c_ends_a_wait_on_a_usb_board(bed: Any) -> None:
    board = bed.add()
    with Child(CHILD) as child:
        assert child.line() == "ready"
        board.clear_log()
        # Its pin reads reach this process's emulator: it is polling inside wait_for.
        assert eventually(lambda: board.control_count(ft232r_testbed.READ_PINS) >= 2)
        os.kill(child.process.pid, signal.SIGINT)
        assert child.finish() == (0, "KeyboardInterrupt\n", "")
    assert eventually(lambda: board.kernel_driver_bound and not board.claimed)
