"""Boards behind a bridge through kelvorn.Mqtt: a real mosquitto on a free port and
kelvorn-mqtt --sim as a child process (its boards A1B2C3 and D4E5F6 wired as --sim's)."""

from __future__ import annotations

import re
import signal
import subprocess
from pathlib import Path
from typing import Any

import pytest

import kelvorn
from conftest import Attempt, Broker, Child, Logged, eventually, free_port

# What an empty list adds, for a broker that may be one that sends wildcards no retained message.
RABBIT = (" (or the broker sends no retained messages to wildcard subscriptions, as RabbitMQ does:"
          " open a board by its serial, -s)")

T, F = True, False


def stand_in(broker: Broker, serial: str, bridge: str, online: str = "Online",
             state: bool = True) -> None:
    """A board as a bridge publishes it, retained, with no bridge behind it to carry out a
    command; with its state (inputs high, outputs off) or without."""
    topics = {f"bridge/{bridge}/availability": online, f"{serial}/bridge": bridge,
              f"bridge/{bridge}/boards": f'{{"boards":["{serial}"],"heartbeat":0}}'}
    if state:
        topics |= {f"{serial}/in{n}": "high" for n in range(5)}
        topics |= {f"{serial}/out{n}": "OFF" for n in range(3)}
    for topic, payload in {**topics, f"{serial}/availability": online}.items():
        broker.retain(f"kelvorn/{topic}", payload)


def test_the_boards_as_the_bridge_reports_them(broker: Broker, bridge: Logged) -> None:
    mqtt = kelvorn.Mqtt(broker.url)
    assert kelvorn.list_boards(driver=mqtt) == ["A1B2C3", "D4E5F6"]
    with pytest.raises(kelvorn.AmbiguousBoardError):
        kelvorn.open(driver=mqtt)
    with pytest.raises(kelvorn.BoardNotFoundError, match=r"^board Z9 not found \(boards here: A1B2C3, D4E5F6\)$"):
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


def test_a_toggle_switches_from_what_the_board_reports_now(broker: Broker,
                                                          bridge: Logged) -> None:
    a, b = kelvorn.Mqtt(broker.url), kelvorn.Mqtt(broker.url)  # two programs, as it were
    with kelvorn.open("A1B2C3", driver=b) as mine, kelvorn.open("A1B2C3", driver=a) as theirs, \
            kelvorn.open("D4E5F6", driver=a) as later, kelvorn.open("D4E5F6", driver=b) as seen:
        assert mine.outputs == (F, F, F)  # B's last look at A1B2C3
        theirs.set_output(0, True)
        later.set_output(1, True)  # published by the bridge after A1B2C3's out0
        assert eventually(lambda: seen.outputs == (F, T, F))  # so B has heard out0 on by now
        mine.toggle(0)
        assert mine.outputs == (F, F, F)
        assert eventually(lambda: theirs.outputs == (F, F, F))


def test_a_broker_that_goes(broker: Broker, bridge: Logged) -> None:
    mqtt = kelvorn.Mqtt(broker.url)
    broker.daemon.close()
    assert eventually(mqtt._bridge.unreachable)  # it knows
    # Not a wrong serial, which a retry would give up on: the connection's own line.
    line = re.escape(f"127.0.0.1:{broker.port}")
    for call in (lambda: kelvorn.open("A1B2C3", driver=mqtt), lambda: kelvorn.open(driver=mqtt),
                 lambda: kelvorn.list_boards(driver=mqtt)):
        with pytest.raises(kelvorn.BrokerUnreachableError,
                           match=f"^(connection to {line} lost|connection refused by {line})$"
                           ) as raised:
            call()
        assert not isinstance(raised.value, kelvorn.BoardNotFoundError)
        assert raised.value.status is None
    mqtt.close()


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
    with pytest.raises(kelvorn.BoardNotFoundError,
                       match=r"^board A1B2C3 is Offline \(its bridge rig is Offline\)$"):
        kelvorn.open("A1B2C3", driver=mqtt)


@pytest.mark.parametrize("prefix, serial, error, message, status", [
    ("", "S2", kelvorn.BoardDisconnectedError, "board S2 does not answer", 4),  # no state
    ("/kelvron", None, kelvorn.BoardNotFoundError,
     "no bridge publishes under prefix 'kelvron' on 127.0.0.1" + RABBIT, 2),  # list_boards, not []
])
def test_a_board_not_there_in_the_drivers_words(broker: Broker, prefix: str, serial: str | None,
                                                error: type[Exception], message: str,
                                                status: int) -> None:
    stand_in(broker, "S1", "rig1", online="Offline")
    stand_in(broker, "S2", "rig2", state=False)
    with kelvorn.Mqtt(broker.url + prefix) as mqtt:
        assert prefix or kelvorn.list_boards(driver=mqtt) == ["S2"]
        with pytest.raises(error) as raised:
            kelvorn.open(serial, driver=mqtt) if serial else kelvorn.list_boards(driver=mqtt)
        assert (str(raised.value), raised.value.status, raised.value.serial) == (
            message, status, serial)


def test_a_write_never_confirmed_holds_up_neither_python_nor_another_board(
        broker: Broker, bridge: Logged) -> None:
    stand_in(broker, "S1", "standin")
    with kelvorn.Mqtt(broker.url) as mqtt, kelvorn.open("S1", driver=mqtt) as silent, \
            kelvorn.open("A1B2C3", driver=mqtt) as other:
        writer = Attempt(lambda: silent.set_output(0, True))
        assert eventually(writer.inside_call)  # this thread runs Python meanwhile: no GIL held
        other.set_output(1, True)  # through the same driver, confirmed by its bridge
        assert other.wait_for(1, False, 5) and writer.is_alive()  # the write still waits
        writer.join(10)
    assert (type(writer.error), str(writer.error)) == (kelvorn.BoardDisconnectedError,
                                                       "board S1 stopped answering")


def test_an_mqtt_closes_its_boards_and_its_connection(tmp_path: Path, broker: Broker,
                                                      bridge: Logged) -> None:
    (tmp_path / "password").write_text("s3cret\n")
    url = f"mqtt://desk@127.0.0.1:{broker.login_port}"
    # Its own lines in mosquitto's log, which mosquitto may write late: waited for, not counted.
    ours = re.compile(r" as (\S+) \(.*u'desk'\)\.$", re.MULTILINE)
    with kelvorn.Mqtt(url, password_file=str(tmp_path / "password")) as mqtt:
        assert repr(mqtt) == f"<kelvorn.Mqtt '{url}' open>"  # never the password
        board = kelvorn.open("A1B2C3", driver=mqtt)
        assert eventually(lambda: ours.search(broker.daemon.text()))
        client = ours.findall(broker.daemon.text())
        assert len(client) == 1  # the one login as desk
        # A goodbye, or under load, once Stop's wait for it is over, the socket closed.
        gone = re.compile(rf"Client {re.escape(client[0])} (disconnected|closed its connection)\.")
        assert not gone.search(broker.daemon.text())
    assert repr(mqtt) == f"<kelvorn.Mqtt '{url}' closed>"
    assert eventually(lambda: gone.search(broker.daemon.text()))
    for call in (board.read, lambda: kelvorn.list_boards(driver=mqtt)):
        with pytest.raises(ValueError, match="^I/O operation on closed (board|kelvorn.Mqtt)$"):
            call()
    mqtt.close()  # again: nothing


@pytest.mark.parametrize("how, seconds", [
    (signal.SIGINT, 3), (signal.SIGKILL, 3),
    (signal.SIGKILL, 0.5),  # shorter than a second: the bridge's too
])
def test_a_pulse_timed_by_the_bridge(broker: Broker, bridge: Logged, how: int,
                                     seconds: float) -> None:
    script = f"""
        import sys, kelvorn
        board = kelvorn.open("A1B2C3", driver=kelvorn.Mqtt(sys.argv[1]))
        try:
            board.pulse(1, {seconds})
        except KeyboardInterrupt:
            print("KeyboardInterrupt", board.outputs)
    """
    # out1 as a subscriber gets it, each with the time mosquitto_sub got it: retained, on, off.
    out1 = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-t",
                             "kelvorn/A1B2C3/out1", "-C", "3", "-W", "30", "-F", "@s.@N %p"],
                            stdout=subprocess.PIPE, text=True)
    with out1, kelvorn.Mqtt(broker.url) as mqtt, kelvorn.open("A1B2C3", driver=mqtt) as watcher:
        try:
            assert out1.stdout and out1.stdout.readline().endswith(" OFF\n")  # subscribed
            with Child(script, broker.url) as child:
                assert watcher.wait_for(1, False, 10)  # on: the wire pulls input 1 low
                child.process.send_signal(how)  # killed: the bridge switches it off all the same
                # The input it drives comes just before the output's state: both, in that order.
                assert watcher.wait_for(1, True, 10)
                assert eventually(lambda: watcher.outputs == (F, F, F))
                status, out, err = child.finish()
            lines = out1.communicate(timeout=30)[0].splitlines()
        finally:
            out1.kill()
    (on, is_on), (off, is_off) = (line.split() for line in lines)
    assert (is_on, is_off) == ("ON", "OFF")
    # Killed, it goes off when the bridge's time is up: not before, and not much later.
    assert how != signal.SIGKILL or seconds - 0.1 <= float(off) - float(on) <= seconds + 1.5
    assert how == signal.SIGKILL or (status, out, err) == (
        0, "KeyboardInterrupt (False, False, False)\n", "")


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
    ("mqtt://host.invalid", {}, kelvorn.BrokerUnreachableError, "host host.invalid not found"),
    ("mqtts://127.0.0.1:1", {"cafile": "/dev/null"}, kelvorn.BrokerUnreachableError,
     "TLS: no CA certificate in /dev/null"),  # at once, nothing connected
    (None, {}, kelvorn.BrokerUnreachableError, "connection refused by 127.0.0.1:{port}"),
    ("mqtts://127.0.0.1:{tls}", {}, kelvorn.BrokerUnreachableError,
     "TLS: the broker's certificate is not trusted (cafile)"),
    (1, {}, TypeError, "url must be a str, not int"),
    ("mqtt://h", {"cafile": 1}, TypeError, "cafile must be a str or None, not int"),
])
def test_a_broker_that_cannot_be_used(url: Any, kwargs: dict[str, Any], error: type[Exception],
                                      message: str, untrusted_tls: int) -> None:
    port = free_port()  # nothing listens there
    if isinstance(url, str):
        url = url.format(tls=untrusted_tls)
    with pytest.raises(error) as raised:
        kelvorn.Mqtt(f"mqtt://127.0.0.1:{port}" if url is None else url, **kwargs)
    assert type(raised.value) is error and str(raised.value) == message.format(port=port)


def test_the_pytest_plugin_with_a_bridge(pytester: pytest.Pytester, broker: Broker,
                                         bridge: Logged, monkeypatch: pytest.MonkeyPatch,
                                         untrusted_tls: int) -> None:
    pytester.makepyfile("""
        def test_out1(kelvorn_board):
            assert (kelvorn_board.serial, kelvorn_board.bridge) == ("D4E5F6", "rig")
            kelvorn_board.set_output(1, True)
            assert kelvorn_board.wait_for(1, False, 5)
    """)
    login = f"mqtt://desk@127.0.0.1:{broker.login_port}"
    for name, word in (("right", "s3cret\n"), ("wrong", "guess\n")):
        (pytester.path / name).write_text(word)
    monkeypatch.setenv("KELVORN_MQTT", login)  # as --kelvorn-mqtt, which wins
    pytester.runpytest_subprocess("--kelvorn-password-file", "right", "--kelvorn-serial", "D4E5F6",
                                  ).assert_outcomes(passed=1)
    with kelvorn.open("D4E5F6", driver=kelvorn.Mqtt(broker.url)) as board:
        assert board.outputs == (F, F, F)  # switched off at the end of the session
    for args, line in [
        (["--kelvorn-mqtt", broker.url, "--kelvorn-serial", "NOPE"], "kelvorn: board NOPE not found (boards here: A1B2C3, D4E5F6)"),
        (["--kelvorn-mqtt", broker.url],
         "kelvorn: 2 Kelvorn boards on the broker, pick one by serial: A1B2C3 D4E5F6"),
        (["--kelvorn-mqtt", "mqtt://127.0.0.1:1"], "kelvorn: connection refused by 127.0.0.1:1"),
        (["--kelvorn-password-file", "wrong"], "kelvorn: the broker refused the user name or password"),
        (["--kelvorn-mqtt", f"mqtts://127.0.0.1:{untrusted_tls}"],
         "kelvorn: TLS: the broker's certificate is not trusted (--kelvorn-cafile)"),
        # A broker where no bridge publishes: an error, not a skip.
        (["--kelvorn-mqtt", broker.url + "/kelvron"],
         "kelvorn: no bridge publishes under prefix 'kelvron' on 127.0.0.1" + RABBIT),
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
