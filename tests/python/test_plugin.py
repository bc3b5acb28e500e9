"""The pytest plugin, run as a child pytest (pytester) under umockdev: the boards attached are the
testbed's emulated ones, so that "no board attached" holds on any machine. pytest finds the plugin
by its entry point, as once the package is installed."""

from __future__ import annotations

from typing import Any

import pytest

import kelvorn
from conftest import Broker, Logged

T, F = True, False

TESTS = """
import pytest

def test_fixture(kelvorn_board):
    assert kelvorn_board.serial == "{serial}"
    kelvorn_board.set_output(0, True)

@pytest.mark.kelvorn_board
def test_marker():
    pass

def test_plain():
    pass
"""

NO_BOARD = ("no Kelvorn board attached (choose one with --kelvorn-serial, KELVORN_SERIAL, "
            "--kelvorn-sim or --kelvorn-mqtt)")
MQTT = "ERROR: kelvorn: --kelvorn-mqtt: "


@pytest.mark.parametrize("boards, args, env, serial, outcomes, line", [
    # Nothing asked for, nothing attached: skipped, with the one reason.
    ([], [], None, "", dict(passed=1, skipped=2), f"SKIPPED: {NO_BOARD}"),
    # Asked for and not there: an error in each test that needs it.
    ([], ["--kelvorn-serial", "NOPE"], None, "", dict(passed=1, errors=2),
     "ERROR: kelvorn: board NOPE not found"),
    ([], [], "NOPE", "", dict(passed=1, errors=2), "ERROR: kelvorn: board NOPE not found"),
    (["KV000001"], ["--kelvorn-serial", "KV000002"], None, "", dict(passed=1, errors=2),
     "ERROR: kelvorn: board KV000002 not found"),
    (["KV000001", "KV000002"], [], None, "", dict(passed=1, errors=2),
     "ERROR: kelvorn: 2 Kelvorn boards attached, pick one by serial: KV000001 KV000002"),
    (["KV000001"], ["--kelvorn-sim", "--kelvorn-serial", "KV000001"], None, "",
     dict(passed=1, errors=2), "ERROR: kelvorn: board KV000001 not found"),
    # A broker that cannot be used: the option and why, in each test.
    (["KV000001"], ["--kelvorn-mqtt", "http://x"], None, "", dict(passed=1, errors=2),
     MQTT + "http://x: not mqtt://[USER@]HOST[:PORT][/PREFIX] or mqtts://..."),
    ([], ["--kelvorn-mqtt", "mqtt://h", "--kelvorn-cafile", "/dev/null"], None, "",
     dict(passed=1, errors=2), MQTT + "--kelvorn-cafile goes with an mqtts:// URL"),
    ([], ["--kelvorn-mqtt", "mqtt://u@h", "--kelvorn-password-file", "/nonexistent"], None, "",
     dict(passed=1, errors=2),
     MQTT + "cannot read the password file /nonexistent: No such file or directory"),
    # A board there.
    (["KV000001"], [], None, "KV000001", dict(passed=3), "*3 passed*"),
    (["KV000001", "KV000002"], [], "KV000002", "KV000002", dict(passed=3), "*3 passed*"),
    (["KV000001", "KV000002"], ["--kelvorn-serial", "KV000001"], "KV000002", "KV000001",
     dict(passed=3), "*3 passed*"),
    ([], ["--kelvorn-sim"], None, "A1B2C3", dict(passed=3), "*3 passed*"),
])
def test_skip_or_error(pytester: pytest.Pytester, bed: Any, monkeypatch: pytest.MonkeyPatch,
                       boards: list[str], args: list[str], env: str | None, serial: str,
                       outcomes: dict[str, int], line: str) -> None:
    emulated = [bed.add(s) for s in boards]
    monkeypatch.delenv("KELVORN_MQTT", raising=False)
    if env is None:
        monkeypatch.delenv("KELVORN_SERIAL", raising=False)
    else:
        monkeypatch.setenv("KELVORN_SERIAL", env)
    pytester.makepyfile(TESTS.format(serial=serial))
    result = pytester.runpytest_subprocess("--strict-markers", "-rs", *args)
    result.assert_outcomes(**outcomes)
    if line.startswith("SKIPPED: "):  # one reason, given for each test where it arose
        reasons = [x.split(": ", 1)[1] for x in result.outlines if x.startswith("SKIPPED [1] ")]
        assert reasons == [line.removeprefix("SKIPPED: ")] * 2
    elif line.startswith("ERROR: "):  # under "ERROR at setup of <test>", for each
        assert result.outlines.count(line.removeprefix("ERROR: ")) == 2
        assert not [x for x in result.outlines if "Traceback" in x or x.startswith("E   ")]
    else:
        result.stdout.fnmatch_lines([line])
    for board, name in zip(emulated, boards):
        if name == serial:  # switched on in the test, all off at the end
            assert list(board.bulk_out_bytes()) == [0x15, 0x14, 0x15]
        else:
            assert board.bulk_out_bytes() == b""


def test_marker_alone_opens_the_board_once_and_switches_it_off(pytester: pytest.Pytester,
                                                               bed: Any) -> None:
    board = bed.add()
    pytester.makepyfile("""
        import pytest, kelvorn

        @pytest.mark.kelvorn_board
        @pytest.mark.parametrize("n", [0, 1])
        def test_marker(n):
            with kelvorn.open() as board:  # the session's: shared, not written again
                assert board.outputs == (n == 1, False, False)
                board.set_output(0, True)
    """)
    result = pytester.runpytest_subprocess("--strict-markers")
    result.assert_outcomes(passed=2)
    assert list(board.bulk_out_bytes()) == [0x15, 0x14, 0x14, 0x15]


SHARED = """
import subprocess

def test_session(kelvorn_board):
    board = kelvorn_board
    {steps}

def colleague(board, n):  # another client of the bridge switches output n on
    subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", "{port}", "-q", "1", "-t",
                    f"kelvorn/D4E5F6/out{{n}}/set", "-m", "ON"], check=True, timeout=10)
    assert board.wait_for(n, False, 5)
"""


@pytest.mark.parametrize("steps, end", [
    # A colleague's out2 (a DUT's power) on all along: only out0 goes off.
    ("board.set_output(0, True); board.read()", (F, F, T)),
    # Toggled on: off. On and off again, or pulsed, then switched on by another: left on.
    ("board.toggle(1); board.set_output(0, True); board.set_output(0, False); "
     "board.pulse(2, 0.05); colleague(board, 0); colleague(board, 2)", (T, F, T)),
    # Left on by set_outputs, the colleague's out2 among them: off.
    ("board.set_outputs((False, True, True))", (F, F, F)),
])
def test_behind_a_bridge_only_what_the_session_left_on_goes_off(
        pytester: pytest.Pytester, broker: Broker, bridge: Logged, steps: str,
        end: tuple[bool, bool, bool]) -> None:
    with kelvorn.Mqtt(broker.url) as mqtt, kelvorn.open("D4E5F6", driver=mqtt) as board:
        board.set_output(2, True)
    pytester.makepyfile(SHARED.format(steps=steps, port=broker.port))
    pytester.runpytest_subprocess("--kelvorn-mqtt", broker.url, "--kelvorn-serial", "D4E5F6",
                                  ).assert_outcomes(passed=1)
    with kelvorn.Mqtt(broker.url) as mqtt, kelvorn.open("D4E5F6", driver=mqtt) as board:
        assert board.outputs == end  # the state retained after the session


@pytest.mark.parametrize("args, listed", [([], True), (["-p", "no:kelvorn"], False)])
def test_the_entry_point_loads_the_plugin(pytester: pytest.Pytester, args: list[str],
                                          listed: bool) -> None:
    result = pytester.runpytest_subprocess(*args, "--help")
    for option in ("--kelvorn-serial=SERIAL", "--kelvorn-sim", "--kelvorn-mqtt=URL",
                   "--kelvorn-password-file=FILE", "--kelvorn-cafile=FILE"):
        assert any(option in line for line in result.outlines) is listed
    markers = pytester.runpytest_subprocess(*args, "--markers").stdout.str()
    assert ("@pytest.mark.kelvorn_board:" in markers) is listed


@pytest.mark.parametrize("args, line", [
    (["--kelvorn-sim", "--kelvorn-mqtt", "mqtt://localhost"],
     "--kelvorn-sim and --kelvorn-mqtt exclude each other"),
    (["--kelvorn-cafile", "ca.pem"], "--kelvorn-password-file and --kelvorn-cafile go with --kelvorn-mqtt"),
])
def test_options_that_do_not_go_together(pytester: pytest.Pytester, args: list[str], line: str) -> None:
    result = pytester.runpytest_subprocess(*args)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines([f"*{line}"])
