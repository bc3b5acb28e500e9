"""pytest plugin: a Kelvorn board for the tests. pytest loads it by its entry point (``pytest11``)
once the package kelvorn is installed.

The board is opened once for the whole session, at the first test that needs it: one that uses the
session-scoped fixture ``kelvorn_board`` or carries the marker ``kelvorn_board``. At the end its
outputs are switched off and it is closed: all of them, but behind a bridge, where the board is
shared with other clients, only those this process's last writes left on (whichever Board, Mqtt
or thread wrote them); an output switched on and off again, or never switched, is left alone.

Which board: ``--kelvorn-sim`` one wired simulated board A1B2C3; ``--kelvorn-mqtt URL`` (or
``KELVORN_MQTT``) the board behind that bridge, logging in with ``--kelvorn-password-file`` and
checking TLS against ``--kelvorn-cafile``; ``--kelvorn-serial SERIAL`` (or ``KELVORN_SERIAL``)
that board, on USB unless one of the other two says otherwise; none of them the one attached to
USB. When nothing was asked for and no board is attached, those tests are skipped; a board that
was asked for and is not there, or a broker that cannot be used, is an error in each of them.
"""

from __future__ import annotations

import os
from collections.abc import Iterator

import pytest

import kelvorn

_NO_BOARD = ("no Kelvorn board attached (choose one with --kelvorn-serial, KELVORN_SERIAL, "
             "--kelvorn-sim or --kelvorn-mqtt)")


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("kelvorn", "Kelvorn board (the fixture and marker kelvorn_board)")
    group.addoption("--kelvorn-serial", metavar="SERIAL", default=None,
                    help="the board to test with, by serial; default $KELVORN_SERIAL, else the "
                         "one attached")
    group.addoption("--kelvorn-sim", action="store_true", default=False,
                    help="test with one wired simulated board A1B2C3")
    group.addoption("--kelvorn-mqtt", metavar="URL", default=None,
                    help="test with the board behind a kelvorn-mqtt bridge on the broker at URL, "
                         "as kelvorn-io --mqtt URL reaches it; default $KELVORN_MQTT")
    group.addoption("--kelvorn-password-file", metavar="FILE", default=None,
                    help="with --kelvorn-mqtt: the password for the URL's user, the file's first "
                         "line")
    group.addoption("--kelvorn-cafile", metavar="FILE", default=None,
                    help="with an mqtts:// --kelvorn-mqtt: the CA certificates that the broker's "
                         "is checked against (default: the system's)")


class _Session:
    """The board of one test session, opened at the first test that needs it."""

    def __init__(self, config: pytest.Config) -> None:
        self.serial: str | None = (config.getoption("kelvorn_serial")
                                   or os.environ.get("KELVORN_SERIAL") or None)
        self.sim: bool = config.getoption("kelvorn_sim")
        self.mqtt: str | None = (config.getoption("kelvorn_mqtt")
                                 or os.environ.get("KELVORN_MQTT") or None)
        self.password_file: str | None = config.getoption("kelvorn_password_file")
        self.cafile: str | None = config.getoption("kelvorn_cafile")
        if self.sim and config.getoption("kelvorn_mqtt"):
            raise pytest.UsageError("--kelvorn-sim and --kelvorn-mqtt exclude each other")
        if self.sim:  # the option asks for the simulated board, whatever the environment says
            self.mqtt = None
        if self.mqtt is None and (self.password_file or self.cafile):
            raise pytest.UsageError("--kelvorn-password-file and --kelvorn-cafile go with "
                                    "--kelvorn-mqtt")
        self.asked = self.serial is not None or self.sim or self.mqtt is not None
        self.tried = False
        self.bridge: kelvorn.Mqtt | None = None
        self.opened: kelvorn.Board | None = None
        self.skip: str | None = None
        self.error: str | None = None

    def board(self) -> kelvorn.Board:
        """The session's board; skips or fails the test when there is none."""
        if not self.tried:
            self.tried = True
            try:
                self.opened = self._open()
            except kelvorn.BoardNotFoundError as e:
                if self.asked:
                    self.error = str(e)
                else:
                    self.skip = _NO_BOARD
            except kelvorn.BrokerUnreachableError as e:  # its hint names the package's words
                self.error = str(e).replace("(password_file)", "(--kelvorn-password-file)")
                self.error = self.error.replace("(cafile)", "(--kelvorn-cafile)")
            except kelvorn.KelvornError as e:
                self.error = str(e)
            except ValueError as e:  # the URL or a file of --kelvorn-mqtt's
                words = str(e).replace("password_file", "--kelvorn-password-file")
                words = words.replace("cafile", "--kelvorn-cafile")
                self.error = words if self.mqtt is None else f"--kelvorn-mqtt: {words}"
            except Exception as e:  # noqa: BLE001 - one line in each test, not a traceback once
                self.error = f"{type(e).__name__}: {e}"
        if self.skip is not None:
            pytest.skip(self.skip)
        if self.error is not None:
            pytest.fail(f"kelvorn: {self.error}", pytrace=False)
        assert self.opened is not None
        return self.opened

    def _open(self) -> kelvorn.Board:
        if self.sim:
            simulator = kelvorn.Simulator()
            simulator.add("A1B2C3", wired=True)
            return kelvorn.open(self.serial, driver=simulator)
        if self.mqtt is not None:
            self.bridge = kelvorn.Mqtt(self.mqtt, password_file=self.password_file,
                                       cafile=self.cafile)
            return kelvorn.open(self.serial, driver=self.bridge)
        return kelvorn.open(self.serial)

    def finish(self) -> None:
        """Switches its outputs off and closes the board and its broker, once."""
        board, self.opened = self.opened, None
        bridge, self.bridge = self.bridge, None
        try:
            if board is not None:
                try:
                    if bridge is None:
                        board.set_outputs((False, False, False))
                    else:  # one write each, so that nobody else's output is written
                        left = kelvorn._left_on(board.serial)
                        for i in range(3):
                            if left >> i & 1:
                                board.set_output(i, False)
                finally:
                    board.close()
        finally:
            if bridge is not None:
                bridge.close()


_state = pytest.StashKey[_Session]()


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "kelvorn_board: the test needs a Kelvorn board: skipped when none is attached "
                   "and none was asked for (--kelvorn-serial, --kelvorn-sim, --kelvorn-mqtt)")
    config.stash[_state] = _Session(config)


def pytest_runtest_setup(item: pytest.Item) -> None:
    if item.get_closest_marker("kelvorn_board") is not None:
        item.config.stash[_state].board()


def pytest_sessionfinish(session: pytest.Session) -> None:
    state = session.config.stash.get(_state, None)
    if state is not None:
        state.finish()


@pytest.fixture(scope="session")
def kelvorn_board(request: pytest.FixtureRequest) -> Iterator[kelvorn.Board]:
    """The session's Kelvorn board, its outputs off at the end (behind a bridge, those the session
    left on)."""
    state = request.config.stash[_state]
    yield state.board()
    state.finish()
