"""Boards behind a bridge through kelvorn.Mqtt: a real mosquitto on a free port and
kelvorn-mqtt --sim as a child process (its boards A1B2C3 and D4E5F6 wired as --sim's)."""

from __future__ import annotations

import signal
from pathlib import Path
from typing import Any

import pytest

import kelvorn
from conftest import Broker, Logged, eventually, free_port

T, F = True, False


def test_the_boards_as_the_bridge_reports_them(broker: Broker, bridge: Logged) -> None:
    mqtt = kelvorn.Mqtt(broker.url)
    assert kelvorn.list_boards(driver=mqtt) == ["A1B2C3", "D4E5F6"]
    with pytest.raises(kelvorn.AmbiguousBoardError):
        kelvorn.open(driver=mqtt)
    with pytest.raises(kelvorn.BoardNotFoundError, match="^board Z9 not found$"):
        kelvorn.open("Z9", driver=mqtt)
    with kelvorn.open("A1B2C3", driver=mqtt) as board:
        assert (board.outputs, board.read()) == ((F, F, F), (T, T, T, T, T))
        board.set_output(0, True)  # returns once the board reports it
        assert board.outputs == (T, F, F)
        assert board.wait_for(0, False, 5)  # the bridge's wire, as the bridge reports it
        board.set_outputs((F, T, F))
        assert board.outputs == (F, T, F)
        assert board.wait_for(1, False, 5) and board.wait_for(0, True, 5)


def test_opening_switches_nothing_and_outputs_are_what_the_board_reports(broker: Broker,
                                                                         bridge: Logged) -> None:
    mine, theirs = kelvorn.Mqtt(broker.url), kelvorn.Mqtt(broker.url)  # two programs, as it were
    with kelvorn.open("D4E5F6", driver=theirs) as other:
        other.set_output(2, True)
        with kelvorn.open("D4E5F6", driver=mine) as board:
            # Each program hears the bridge in its own time: what it reports, once it has come.
            assert eventually(lambda: board.outputs == (F, F, T))
            board.set_output(0, True)
            # Had the open written all off, output 2 would be off before output 0 came on.
            assert eventually(lambda: other.outputs == (T, F, T))
            other.set_output(0, False)
            assert eventually(lambda: board.outputs == (F, F, T))


@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGTERM])  # the will, or its goodbye
def test_a_bridge_that_goes(broker: Broker, bridge: Logged, how: int) -> None:
    mqtt = kelvorn.Mqtt(broker.url)
    board = kelvorn.open("A1B2C3", driver=mqtt)
    bridge.process.send_signal(how)
    assert eventually(lambda: kelvorn.list_boards(driver=mqtt) == [])
    with pytest.raises(kelvorn.BoardDisconnectedError, match="^board A1B2C3 stopped answering$"):
        board.read()
    with pytest.raises(ValueError):
        board.read()
    with pytest.raises(kelvorn.BoardNotFoundError, match="^board A1B2C3 not found$"):
        kelvorn.open("A1B2C3", driver=mqtt)


@pytest.mark.parametrize("url, kwargs, error, message", [
    ("mqtt://h:0", {}, ValueError, "mqtt://h:0: the port is a number from 1 to 65535"),
    ("http://h", {}, ValueError, "http://h: not mqtt://[USER@]HOST[:PORT][/PREFIX] or mqtts://..."),
    ("mqtt://rig:s3cret@h", {}, ValueError,
     "a password does not go in the URL: put it in a file and name that with password_file"),
    ("mqtt://h", {"password_file": "/dev/null"}, ValueError,
     "password_file needs a user name in the URL (mqtt://USER@HOST)"),
    ("mqtt://u@h", {"password_file": "/nonexistent"}, ValueError,
     "cannot read the password file /nonexistent: No such file or directory"),
    ("mqtt://h", {"cafile": "/dev/null"}, ValueError, "cafile goes with an mqtts:// URL"),
    ("mqtt://host.invalid", {}, kelvorn.KelvornError, "host host.invalid not found"),
    (None, {}, kelvorn.KelvornError, "connection refused by 127.0.0.1:{port}"),
    (1, {}, TypeError, "url must be a str, not int"),
    ("mqtt://h", {"cafile": 1}, TypeError, "cafile must be a str or None, not int"),
])
def test_a_broker_that_cannot_be_used(url: Any, kwargs: dict[str, Any], error: type[Exception],
                                      message: str) -> None:
    port = free_port()  # nothing listens there
    with pytest.raises(error) as raised:
        kelvorn.Mqtt(f"mqtt://127.0.0.1:{port}" if url is None else url, **kwargs)
    assert type(raised.value) is error and str(raised.value) == message.format(port=port)


def test_the_pytest_plugin_with_a_bridge(pytester: pytest.Pytester, broker: Broker,
                                         bridge: Logged) -> None:
    pytester.makepyfile("""
        def test_out1(kelvorn_board):
            assert kelvorn_board.serial == "D4E5F6"
            kelvorn_board.set_output(1, True)
            assert kelvorn_board.wait_for(1, False, 5)
    """)
    pytester.runpytest_subprocess("--kelvorn-mqtt", broker.url, "--kelvorn-serial", "D4E5F6",
                                  ).assert_outcomes(passed=1)
    with kelvorn.open("D4E5F6", driver=kelvorn.Mqtt(broker.url)) as board:
        assert board.outputs == (F, F, F)  # switched off at the end of the session
    for args, line in [
        (["--kelvorn-mqtt", broker.url, "--kelvorn-serial", "NOPE"], "kelvorn: board NOPE not found"),
        (["--kelvorn-mqtt", broker.url],
         "kelvorn: 2 Kelvorn boards attached, pick one by serial: A1B2C3 D4E5F6"),
        (["--kelvorn-mqtt", "mqtt://127.0.0.1:1"], "kelvorn: connection refused by 127.0.0.1:1"),
    ]:
        result = pytester.runpytest_subprocess(*args)
        result.assert_outcomes(errors=1)
        assert line in result.outlines


def test_labgrid_network_board(tmp_path: Path, broker: Broker, bridge: Logged) -> None:
    from labgrid import Environment

    (tmp_path / "env.yaml").write_text(f"""
targets:
  main:
    resources:
      KelvornNetworkBoard:
        url: {broker.url}
        serial: A1B2C3
    drivers:
      - KelvornOutputDriver:
          name: out2
          index: 2
      - KelvornInputDriver:
          name: in2
          index: 2
      - DigitalOutputPowerDriver:
          bindings:
            output: out2
imports:
  - kelvorn.labgrid
""")
    target = Environment(str(tmp_path / "env.yaml")).get_target()
    power = target.get_driver("PowerProtocol")
    in2 = target.get_driver("KelvornInputDriver", name="in2")
    power.on()
    assert in2.wait_for(False, 5) and power.get()
    power.off()
    assert in2.wait_for(True, 5) and not power.get()
    target.deactivate_all_drivers()  # the board closed with its last driver
