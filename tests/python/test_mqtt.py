"""Boards behind a bridge through kelvorn.Mqtt: a real mosquitto on a free port and
kelvorn-mqtt --sim as a child process (its boards A1B2C3 and D4E5F6 wired as --sim's)."""

from __future__ import annotations

import signal
import sys
import threading
from pathlib import Path
from typing import Any

import pytest

import kelvorn
from conftest import Broker, Child, Logged, eventually, free_port

T, F = True, False


def stand_in(broker: Broker, serial: str, *, bridge: str = "standin", online: bool = True,
             state: bool = True) -> None:
    """A board as a bridge publishes it, retained, with no bridge behind it to carry out a
    command: its state (all inputs high, all outputs off) or none, its bridge and it Online or
    Offline."""
    word = "Online" if online else "Offline"
    broker.retain(f"kelvorn/bridge/{bridge}/availability", word)
    broker.retain(f"kelvorn/bridge/{bridge}/boards", f'{{"boards":["{serial}"],"heartbeat":0}}')
    broker.retain(f"kelvorn/{serial}/bridge", bridge)
    if state:
        for n in range(5):
            broker.retain(f"kelvorn/{serial}/in{n}", "high")
        for n in range(3):
            broker.retain(f"kelvorn/{serial}/out{n}", "OFF")
    broker.retain(f"kelvorn/{serial}/availability", word)


def test_the_boards_as_the_bridge_reports_them(broker: Broker, bridge: Logged) -> None:
    mqtt = kelvorn.Mqtt(broker.url)
    assert kelvorn.list_boards(driver=mqtt) == ["A1B2C3", "D4E5F6"]
    with pytest.raises(kelvorn.AmbiguousBoardError):
        kelvorn.open(driver=mqtt)
    with pytest.raises(kelvorn.BoardNotFoundError, match="^board Z9 not found$"):
        kelvorn.open("Z9", driver=mqtt)
    with kelvorn.open("A1B2C3", driver=mqtt) as board:
        assert (board.outputs, board.read()) == ((F, F, F), (T, T, T, T, T))
        assert board.bridge == "rig"
        board.set_output(0, True)  # returns once the board reports it
        assert board.outputs == (T, F, F)
        assert board.wait_for(0, False, 5)  # the bridge's wire, as the bridge reports it
        board.set_outputs((F, T, F))
        assert board.outputs == (F, T, F)
        assert board.wait_for(1, False, 5) and board.wait_for(0, True, 5)
        board.toggle(2)
        assert board.outputs == (F, T, T)
        board.pulse(2, 0.1)  # returns once the board reports it off again
        assert board.outputs == (F, T, F)


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
    assert eventually(lambda: "A1B2C3" not in listed(mqtt))
    with pytest.raises(kelvorn.BoardDisconnectedError, match="^board A1B2C3 stopped answering$"):
        board.read()
    with pytest.raises(ValueError):
        board.read()
    with pytest.raises(kelvorn.BoardNotFoundError) as raised:
        kelvorn.open("A1B2C3", driver=mqtt)
    # In the driver's words.
    assert (str(raised.value), raised.value.status) == (
        "board A1B2C3 is Offline (its bridge rig is Offline)", 2)


def listed(mqtt: kelvorn.Mqtt) -> list[str]:
    """The boards listed, none where the driver says why there are none."""
    try:
        return kelvorn.list_boards(driver=mqtt)
    except kelvorn.BoardNotFoundError:
        return []


def test_the_drivers_words_for_a_board_not_found(broker: Broker) -> None:
    stand_in(broker, "S1", bridge="rig1", online=False)
    with kelvorn.Mqtt(broker.url) as mqtt:
        with pytest.raises(kelvorn.BoardNotFoundError) as raised:
            kelvorn.open("S1", driver=mqtt)
        assert (str(raised.value), raised.value.status, raised.value.serial) == (
            "board S1 is Offline (its bridge rig1 is Offline)", 2, "S1")
    nowhere = "no bridge publishes under prefix 'kelvron' on 127.0.0.1"
    with kelvorn.Mqtt(broker.url + "/kelvron") as mqtt:
        for call in (lambda: kelvorn.list_boards(driver=mqtt), lambda: kelvorn.open(driver=mqtt)):
            with pytest.raises(kelvorn.BoardNotFoundError) as raised:
                call()
            assert (str(raised.value), raised.value.status) == (nowhere, 2)


def test_a_board_listed_without_its_state_does_not_answer(broker: Broker) -> None:
    stand_in(broker, "S2", state=False)
    with kelvorn.Mqtt(broker.url) as mqtt:
        assert listed(mqtt) == ["S2"]
        with pytest.raises(kelvorn.BoardDisconnectedError) as raised:
            kelvorn.open("S2", driver=mqtt)
        assert (raised.value.status, raised.value.serial) == (4, "S2")


def test_a_write_never_confirmed_holds_up_neither_python_nor_another_board(
        broker: Broker, bridge: Logged) -> None:
    stand_in(broker, "S1")  # nobody carries out its commands
    with kelvorn.Mqtt(broker.url) as mqtt, kelvorn.open("S1", driver=mqtt) as silent, \
            kelvorn.open("A1B2C3", driver=mqtt) as other:
        got: list[BaseException] = []

        def write() -> None:
            try:
                silent.set_output(0, True)
            except BaseException as e:  # noqa: B036 - checked below
                got.append(e)

        writer = threading.Thread(target=write)
        writer.start()

        def writing() -> bool:  # inside the call to the open board, waiting for the report
            frame = sys._current_frames().get(writer.ident or 0)
            return frame is not None and frame.f_code.co_name == "<lambda>" and \
                frame.f_back is not None and frame.f_back.f_code.co_name == "_call"

        assert eventually(writing)  # this thread runs Python meanwhile: the GIL is free
        other.set_output(1, True)  # through the same driver, confirmed by its bridge
        assert other.wait_for(1, False, 5)
        assert writer.is_alive()  # all that while the write still waited
        writer.join(10)
    assert [(type(e), str(e)) for e in got] == [(kelvorn.BoardDisconnectedError,
                                                 "board S1 stopped answering")]


def test_an_mqtt_closes_its_boards_and_its_connection(broker: Broker, bridge: Logged) -> None:
    def gone() -> int:
        return broker.daemon.text().count(" disconnected.")

    with kelvorn.Mqtt(broker.url) as mqtt:
        assert repr(mqtt) == f"<kelvorn.Mqtt '{broker.url}' open>"
        board = kelvorn.open("A1B2C3", driver=mqtt)
        before = gone()
    assert repr(mqtt) == f"<kelvorn.Mqtt '{broker.url}' closed>"
    assert eventually(lambda: gone() == before + 1)
    with pytest.raises(ValueError, match="^I/O operation on closed board$"):
        board.read()
    with pytest.raises(ValueError, match="^I/O operation on closed kelvorn.Mqtt$"):
        kelvorn.list_boards(driver=mqtt)
    mqtt.close()  # again: nothing
    board.close()


def test_logging_in(pytester: pytest.Pytester, monkeypatch: pytest.MonkeyPatch, tmp_path: Path,
                    broker: Broker, bridge: Logged) -> None:
    (tmp_path / "right").write_text("s3cret\n")
    (tmp_path / "wrong").write_text("guess\n")
    url = f"mqtt://desk@127.0.0.1:{broker.login_port}"
    with kelvorn.Mqtt(url, password_file=str(tmp_path / "right")) as desk:
        assert repr(desk) == f"<kelvorn.Mqtt '{url}' open>"  # never the password
        assert kelvorn.list_boards(driver=desk) == ["A1B2C3", "D4E5F6"]
    with pytest.raises(kelvorn.KelvornError) as refused:
        kelvorn.Mqtt(url, password_file=str(tmp_path / "wrong"))
    pytester.makepyfile("""
        def test_it(kelvorn_board):
            assert kelvorn_board.bridge == "rig"
    """)
    monkeypatch.setenv("KELVORN_MQTT", url)  # as --kelvorn-mqtt
    for password, outcome in (("right", dict(passed=1)), ("wrong", dict(errors=1))):
        result = pytester.runpytest_subprocess("--kelvorn-serial", "D4E5F6",
                                               "--kelvorn-password-file", str(tmp_path / password))
        result.assert_outcomes(**outcome)
        assert password == "right" or f"kelvorn: {refused.value}" in result.outlines


@pytest.mark.parametrize("end", ["returns", "interrupted", "killed"])
def test_a_pulse_behind_a_bridge(broker: Broker, bridge: Logged, end: str) -> None:
    # The bridge times it: the output goes off also when the program that asked dies meanwhile.
    script = """
        import sys, kelvorn
        board = kelvorn.open("A1B2C3", driver=kelvorn.Mqtt(sys.argv[1]))
        try:
            board.pulse(1, float(sys.argv[2]))
            print("returned", board.outputs)
        except KeyboardInterrupt:
            print("KeyboardInterrupt", board.outputs)
    """
    with kelvorn.Mqtt(broker.url) as mqtt, kelvorn.open("A1B2C3", driver=mqtt) as watcher, \
            Child(script, broker.url, "0.5" if end == "returns" else "3") as child:
        assert watcher.wait_for(1, False, 10)  # on: the wire pulls input 1 low
        if end == "returns":
            assert child.finish() == (0, "returned (False, False, False)\n", "")
        elif end == "interrupted":
            child.process.send_signal(signal.SIGINT)
            assert child.finish() == (0, "KeyboardInterrupt (False, False, False)\n", "")
        else:
            child.process.kill()
        assert watcher.wait_for(1, True, 10) and watcher.outputs == (F, F, F)


@pytest.mark.parametrize("url, kwargs, error, message", [
    ("mqtt://h:0", {}, ValueError, "mqtt://h:0: the port is a number from 1 to 65535"),
    ("http://h", {}, ValueError, "http://h: not mqtt://[USER@]HOST[:PORT][/PREFIX] or mqtts://..."),
    ("mqtt://rig:s3cret@h", {}, ValueError,
     "a password does not go in the URL: put it in a file and name that with password_file"),
    ("mqtt://h", {"password_file": "/dev/null"}, ValueError,
     "password_file needs a user name in the URL (mqtt://USER@HOST)"),
    ("mqtt://u@h", {"password_file": "/nonexistent"}, ValueError,
     "cannot read the password file /nonexistent"),
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
        # A broker where no bridge publishes: an error, not a skip, in the driver's words.
        (["--kelvorn-mqtt", broker.url + "/kelvron"], f"kelvorn: {none_there(broker)}"),
    ]:
        result = pytester.runpytest_subprocess(*args)
        result.assert_outcomes(errors=1)
        assert line in result.outlines


def none_there(broker: Broker) -> str:
    with kelvorn.Mqtt(broker.url + "/kelvron") as mqtt, \
            pytest.raises(kelvorn.BoardNotFoundError) as raised:
        kelvorn.open(driver=mqtt)
    return str(raised.value)


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
