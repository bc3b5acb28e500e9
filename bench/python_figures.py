"""The Python package's figures (scripts/bench.sh runs this under umockdev-wrapper):

- board.read() on an emulated FT232R, calls a second, beside `kelvorn-io watch --interval 1`'s
  samples a second on the same board in the same run (the emulator counts the pin reads of both),
  and beside the same reads from C++ in a loop with nothing between them;
- wait_for's reaction on a simulated board: from the input change to the return, p50/p99/max;
- Ctrl-C: from SIGINT to KeyboardInterrupt in a child waiting in wait_for;
- a Python thread's speed while another thread waits in wait_for, against the thread alone.

Usage: python_figures.py KELVORN_IO   (PYTHONPATH: the build's python/ and tests/python/)
"""

from __future__ import annotations

import math
import os
import random
import signal
import statistics
import subprocess
import sys
import threading
import time

import ft232r_testbed

import kelvorn


def read_rate(kelvorn_io: str, rounds: int = 15, seconds: float = 0.5) -> None:
    bed = ft232r_testbed.Testbed()
    os.environ["UMOCKDEV_DIR"] = ft232r_testbed.umockdev_dir()
    board = bed.add()
    pythons, watches, cpps = [], [], []
    for _ in range(rounds):  # short turns of each, so that all three see the machine alike
        with kelvorn.open() as opened:
            board.clear_log()
            calls, start = 0, time.monotonic()
            while time.monotonic() - start < seconds:
                opened.read()
                calls += 1
            pythons.append(calls / (time.monotonic() - start))
            assert board.control_count(ft232r_testbed.READ_PINS) == calls
        board.clear_log()
        start = time.monotonic()
        subprocess.run([kelvorn_io, "watch", "--interval", "1", "--duration", f"{seconds}s"],
                       check=True, stdout=subprocess.DEVNULL)
        # Its start and exit are counted too: a little in board.read()'s favour.
        watches.append(board.control_count(ft232r_testbed.READ_PINS) / (time.monotonic() - start))
        cpps.append(ft232r_testbed.cpp_read_rate(seconds))
    python, watch, cpp = (statistics.median(x) for x in (pythons, watches, cpps))
    print(f"board.read() on the emulated FT232R, medians of {rounds} turns: {python:.0f} calls/s; "
          f"kelvorn-io watch --interval 1: {watch:.0f} samples/s (ratio {python / watch:.2f}); "
          f"the same reads from C++: {cpp:.0f}/s (ratio {python / cpp:.2f}, per turn "
          f"{statistics.median(p / c for p, c in zip(pythons, cpps)):.2f})")
    assert bed.wait_until_all_closed(5000)


def read_cost(calls: int = 200_000) -> None:
    """What a call costs Python itself: board.read() on a simulated board, which does no I/O."""
    sim = kelvorn.Simulator()
    sim.add()
    with kelvorn.open(driver=sim) as board:
        best = math.inf
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(calls):
                board.read()
            best = min(best, (time.perf_counter() - start) / calls)
    print(f"board.read() on a simulated board: {best * 1e6:.2f} us a call (best of 5)")


def reaction(trials: int = 300) -> None:
    sim = kelvorn.Simulator()
    sim.add()
    latencies = []
    with kelvorn.open(driver=sim) as board:
        for _ in range(trials):
            changed: list[float] = []

            def change() -> None:
                time.sleep(random.uniform(0.0, 0.02))  # any phase of the 10 ms poll
                changed.append(time.monotonic())
                sim.set_input("A1B2C3", 3, False)

            other = threading.Thread(target=change)
            other.start()
            assert board.wait_for(3, False, 5)
            returned = time.monotonic()
            other.join()
            latencies.append((returned - changed[0]) * 1000)
            sim.set_input("A1B2C3", 3, True)
    q = statistics.quantiles(latencies, n=100)
    print(f"wait_for reaction over {trials} changes: p50 {q[49]:.2f} ms, p99 {q[98]:.2f} ms, "
          f"max {max(latencies):.2f} ms")


CHILD = """
import sys, time, kelvorn
sim = kelvorn.Simulator()
sim.add()
board = kelvorn.open(driver=sim)
print("ready", flush=True)
try:
    board.wait_for(3, False, 60)
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
"""


def ctrl_c(trials: int = 20) -> None:
    latencies = []
    for _ in range(trials):
        child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True)
        assert child.stdout is not None
        assert child.stdout.readline() == "ready\n"
        time.sleep(random.uniform(0.05, 0.07))  # inside wait_for, at any phase of its poll
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        latencies.append((float(child.stdout.readline()) - sent) * 1000)
        child.wait(10)
        child.stdout.close()
    print(f"Ctrl-C in wait_for, {trials} times: median {statistics.median(latencies):.2f} ms, "
          f"max {max(latencies):.2f} ms")


def count_for(seconds: float) -> float:
    """A pure-Python loop's iterations a second."""
    n, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        n += 1
    return n / seconds


def thread_speed(rounds: int = 15, seconds: float = 0.4) -> None:
    """Short turns alone and beside a wait, in pairs, so that the machine's other load falls on
    both sides of each ratio alike."""
    sim = kelvorn.Simulator()
    sim.add()
    with kelvorn.open(driver=sim) as board:
        for waiter in ("main", "other"):
            ratios = []
            for _ in range(rounds):
                alone: list[float] = []
                t = threading.Thread(target=lambda: alone.append(count_for(seconds)))
                t.start()
                t.join()
                beside: list[float] = []
                if waiter == "main":  # the main thread takes the GIL back to look for signals
                    t = threading.Thread(target=lambda: beside.append(count_for(seconds)))
                    t.start()
                    board.wait_for(3, False, seconds + 0.1)
                    t.join()
                else:
                    w = threading.Thread(target=lambda: board.wait_for(3, False, seconds + 0.1))
                    w.start()
                    beside.append(count_for(seconds))
                    w.join()
                ratios.append(beside[0] / alone[0])
            q = statistics.quantiles(ratios, n=4)
            print(f"a Python thread beside wait_for in the {waiter} thread, {rounds} pairs of "
                  f"turns: median {q[1]:.1%} of its speed alone (quartiles {q[0]:.1%}, {q[2]:.1%})")


if __name__ == "__main__":
    read_rate(sys.argv[1])
    read_cost()
    reaction()
    ctrl_c()
    thread_speed()
