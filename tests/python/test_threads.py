"""Threads and Ctrl-C: one board used from several threads, the GIL free while a call waits, and
SIGINT ending wait_for, pulse and changes in a child process."""

from __future__ import annotations

import os
import platform
import signal
import threading
from pathlib import Path

import pytest

import kelvorn
from conftest import Attempt, Child, eventually

T, F = True, False


def test_one_thread_switches_while_another_waits(sim: kelvorn.Simulator) -> None:
    with kelvorn.open(driver=sim) as board:
        got: list[bool] = []
        waiter = threading.Thread(target=lambda: got.append(board.wait_for(0, False, 10)))
        waiter.start()
        board.set_output(0, True)  # the wire pulls input 0 low
        waiter.join(10)
        assert got == [True]


def test_python_runs_in_another_thread_while_a_pulse_waits(sim: kelvorn.Simulator) -> None:
    # The output is on only inside pulse: another thread sees it so only if pulse lets the GIL go.
    with kelvorn.open(driver=sim) as board:
        done = threading.Event()
        seen: list[tuple[bool, bool, bool]] = []

        def watch() -> None:
            while not done.is_set() and not seen:
                if board.outputs[2]:
                    seen.append(board.outputs)

        watcher = threading.Thread(target=watch)
        watcher.start()
        board.pulse(2, 0.3)
        done.set()
        watcher.join(10)
        assert seen == [(F, F, T)]


def test_python_runs_in_another_thread_while_wait_for_waits(sim: kelvorn.Simulator) -> None:
    # Only Python in the other thread pulls the input low: wait_for meets it only if it lets the
    # GIL go.
    with kelvorn.open(driver=sim) as board:
        def work() -> None:
            total = sum(i * i for i in range(100_000))
            sim.set_input("A1B2C3", 4, total < 0)

        worker = threading.Thread(target=work)
        worker.start()
        assert board.wait_for(4, False, 10) is True
        worker.join(10)


def test_threads_switching_their_own_outputs_lose_no_switch(sim: kelvorn.Simulator) -> None:
    with kelvorn.open(driver=sim) as board:
        errors: list[BaseException] = []

        def toggle(index: int, last: bool) -> None:
            try:
                for n in range(300):
                    board.set_output(index, n % 2 == 0)
                    board.read()
                board.set_output(index, last)
            except BaseException as e:  # noqa: B036 - reported below
                errors.append(e)

        threads = [threading.Thread(target=toggle, args=(i, i != 1)) for i in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert errors == []
        assert (board.outputs, board.read()) == ((T, F, T), (F, T, F, T, T))


def test_closing_a_board_ends_another_threads_wait_on_it(sim: kelvorn.Simulator) -> None:
    board = kelvorn.open(driver=sim)
    waiter = Attempt(lambda: board.wait_for(3, False, 10))
    assert eventually(waiter.inside_call)
    board.close()
    waiter.join(10)
    assert (type(waiter.error), str(waiter.error)) == (ValueError, "I/O operation on closed board")


def test_threads_opening_and_closing_one_board(sim: kelvorn.Simulator) -> None:
    with kelvorn.open(driver=sim) as keep:
        keep.set_output(1, True)
        errors: list[BaseException] = []

        def use() -> None:
            try:
                for _ in range(100):
                    with kelvorn.open("A1B2C3", driver=sim) as board:
                        assert board.read() == (T, F, T, T, T)
            except BaseException as e:  # noqa: B036 - reported below
                errors.append(e)

        threads = [threading.Thread(target=use) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert errors == []
        assert keep.outputs == (F, T, F)  # never written off by the opens beside it


CHILD = """
    import sys
    import kelvorn
    sim = kelvorn.Simulator()
    sim.add()
    board = kelvorn.open(driver=sim)
    call = sys.argv[1]
    print("ready", flush=True)
    try:
        if call == "wait_for":
            board.wait_for(3, False, 60)
        elif call == "pulse":
            board.pulse(0, 60)
        else:
            for change in board.changes():
                print(change)
        print("returned")
    except KeyboardInterrupt:
        print("KeyboardInterrupt", board.outputs)
"""

# clock_nanosleep, where the waits pause between their pin reads.
NANOSLEEP = {"x86_64": 230, "aarch64": 115}.get(platform.machine())


def pausing(pid: int) -> bool:
    """Whether the process's main thread is in clock_nanosleep."""
    task = Path(f"/proc/{pid}/task/{pid}")
    try:
        wchan = (task / "wchan").read_text()
        syscall = (task / "syscall").read_text().split()
    except OSError:
        return False
    return wchan.endswith("nanosleep") or (bool(syscall) and syscall[0] == str(NANOSLEEP))


@pytest.mark.parametrize("call", ["wait_for", "pulse", "changes"])
def test_ctrl_c_ends_a_wait(call: str) -> None:
    with Child(CHILD, call) as child:
        assert child.line() == "ready"
        assert eventually(lambda: pausing(child.process.pid))  # inside the call
        os.kill(child.process.pid, signal.SIGINT)
        status, out, err = child.finish()
    # A pulse is ended with its output off.
    assert (status, out, err) == (0, "KeyboardInterrupt (False, False, False)\n", "")
