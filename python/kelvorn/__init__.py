"""The Kelvorn USB digital I/O board from Python: five inputs and three outputs.

    import kelvorn

    with kelvorn.open() as board:          # the one board attached
        board.set_output(0, True)          # on: the pin is driven low
        print(board.read())                # (True, True, True, True, True): high

Boards open as ``kelvorn-io`` opens them. All parts of one process that open the same board share
one open board: a second ``open`` of a board that is open already hands out another ``Board`` on
it and writes nothing, so its outputs do not glitch; the board is closed when its last ``Board``
is. See docs/python.md.
"""

from __future__ import annotations

import collections.abc as _abc
import math as _math
import operator as _operator
import re as _re
import threading as _threading
import typing as _typing
import weakref as _weakref

from . import _kelvorn

__version__: str = _kelvorn.__version__

__all__ = [
    "AmbiguousBoardError",
    "Board",
    "BoardBusyError",
    "BoardDisconnectedError",
    "BoardNotFoundError",
    "BrokerUnreachableError",
    "Change",
    "KelvornError",
    "Mqtt",
    "NotAllowedError",
    "Simulator",
    "list_boards",
    "open",
]


def __dir__() -> list[str]:
    """The package's names, without the modules it uses."""
    return sorted([*__all__, "__version__"])


# The driver statuses the errors carry.
_NOT_FOUND = 2
_NOT_OPENED = 3
_IO_ERROR = 4


class KelvornError(OSError):
    """A board could not be found, opened or used.

    ``status`` is the driver's status (2 not found, 3 not opened, 4 stopped answering; None when
    no driver call failed), ``serial`` the board's serial where one is known.
    """

    status: int | None
    serial: str | None

    def __init__(self, message: str, *, status: int | None = None, serial: str | None = None) -> None:
        super().__init__(message)
        self.status = status
        self.serial = serial


class BoardNotFoundError(KelvornError):
    """No such board: absent, or an FTDI device that is not a Kelvorn board (status 2)."""


class BoardBusyError(KelvornError):
    """The board is held by another program, or may not be opened (status 3)."""


class AmbiguousBoardError(KelvornError):
    """No serial was given and several boards are attached; ``serials`` lists them."""

    serials: list[str]

    def __init__(self, message: str, *, serials: list[str]) -> None:
        super().__init__(message)
        self.serials = serials


class BoardDisconnectedError(KelvornError):
    """The board stopped answering or was unplugged (status 4). The ``Board`` is closed."""


class BrokerUnreachableError(KelvornError):
    """The broker of a ``Mqtt`` cannot be reached, or would not let this program in: not found,
    refused, the password or the TLS check failed, the connection lost. The message is the
    connection's one line; nothing is known of the boards behind it. A ``Mqtt`` that was
    connected goes on trying: a call may succeed again once the broker answers."""


class NotAllowedError(KelvornError):
    """The broker refused this user a switch of the board (its access control): the message says
    so. The board still answers and stays open; its outputs are as the board reports them."""


class Change(_typing.NamedTuple):
    """One input that changed: when the pin read that saw it began (``time.monotonic()``), which
    input, its level (True = high) and all five inputs as that read found them."""

    time: float
    index: int  # type: ignore[assignment]  # the field hides tuple.index, as the name says
    high: bool
    inputs: tuple[bool, ...]


class Simulator:
    """A driver of simulated boards, no hardware: ``kelvorn.open(driver=Simulator())``.

    A board added is plugged in at once, as the last of the devices; its description is
    "Kelvorn". Serials name the boards in every call.
    """

    def __init__(self) -> None:
        self._sim = _kelvorn.SimDriver()
        self._driver = self._sim.driver

    def add(self, serial: str = "A1B2C3", *, wired: bool = True) -> None:
        """Plugs in a board. Wired, outputs 0-2 pull inputs 0-2 low while on, as the programs'
        ``--sim``; inputs 3 and 4, and all five unwired, are high until ``set_input``."""
        self._sim.add(_sim_serial(serial), _flag(wired, "wired"))

    def set_input(self, serial: str, index: int, high: bool) -> None:
        """What the outside world does to an input pin: high (open) or pulled low. A wire pulls
        its input low whatever this says."""
        self._sim.set_input(_sim_serial(serial), _index(index, 5, "input"), _flag(high, "high"))

    def unplug(self, serial: str) -> None:
        """Pulls the board out: an open ``Board`` on it stops answering."""
        self._sim.unplug(_sim_serial(serial))

    def plug(self, serial: str) -> None:
        """Plugs an unplugged board in again, freshly powered."""
        self._sim.plug(_sim_serial(serial))

    def hold(self, serial: str, held: bool) -> None:
        """Another program holds the board (True) or lets it go: opening it is refused."""
        self._sim.hold(_sim_serial(serial), _flag(held, "held"))


class Mqtt:
    """A driver of the boards behind ``kelvorn-mqtt`` bridges, through one broker, as
    ``kelvorn-io --mqtt URL`` reaches them: ``mqtt://[USER@]HOST[:PORT][/PREFIX]`` or ``mqtts://``
    (TLS); the password is the first line of ``password_file``, ``cafile`` the CA certificates
    for mqtts:// (default: the system's).

    Connects at once and returns when the broker has sent the boards' state: ``ValueError`` for
    a URL or file that cannot be used, ``BrokerUnreachableError`` when the broker cannot be
    reached or does not let this program in (the line says why). Its boards are shared with the
    bridge's other clients: opening one switches nothing, ``Board.outputs`` is what the board
    reports, and a switch returns once the board reports it. ``close()``, or the end of a ``with`` block, closes its boards and disconnects.
    """

    def __init__(self, url: str, *, password_file: str | None = None,
                 cafile: str | None = None) -> None:
        for name, value in (("url", url), ("password_file", password_file), ("cafile", cafile)):
            if not isinstance(value, str) and not (value is None and name != "url"):
                raise TypeError(f"{name} must be a str{'' if name == 'url' else ' or None'}, "
                                f"not {type(value).__name__}")
        self._url = url  # never with a password: the URL that holds one is refused
        self._closed = True
        try:
            self._bridge = _kelvorn.MqttDriver(url, password_file or "", cafile or "")
        except ValueError as e:  # the programs' line, in this call's words
            words = _re.sub(r"^--mqtt:? ", "", str(e))
            words = words.replace("--password-file", "password_file").replace("--cafile", "cafile")
            raise ValueError(words) from None
        self._driver = self._bridge.driver
        _bridges[self._driver] = self._bridge
        self._closed = False
        why = self._bridge.start()
        if why is not None:
            self.close()
            raise BrokerUnreachableError(_python_words(why))

    def __repr__(self) -> str:
        return f"<kelvorn.Mqtt {self._url!r} {'closed' if self._closed else 'open'}>"

    def __enter__(self) -> Mqtt:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Closes every Board opened through it (later calls on them are ``ValueError``) and
        disconnects from the broker. Again does nothing."""
        if self._closed:
            return
        self._closed = True
        with _lock:
            boards = [b for key, b in _open_boards.items() if key[0] is self._driver]
            for board in boards:
                del _open_boards[board.key]
        for board in boards:
            board.core.close()
        self._bridge.close()


_Driver = _typing.Union[Simulator, Mqtt, None]
_T = _typing.TypeVar("_T")


class Board:
    """One open board, from ``kelvorn.open``. A context manager; ``close()`` may be called again.

    Inputs are True while high; outputs True while on, which drives the pin low. Every call
    that waits or reaches the board releases the GIL: one thread may switch while another waits.
    A board that stops answering raises ``BoardDisconnectedError`` and is closed; any call on a
    closed board raises ``ValueError``.
    """

    def __init__(self, shared: _Shared) -> None:
        self._core: _kelvorn.Board | None = shared.core
        self._shared = shared
        shared.users += 1
        # Also when the Board is dropped unclosed, or at exit: the open board lives while one of
        # its Boards does.
        self._finalizer = _weakref.finalize(self, _release, shared)

    def __repr__(self) -> str:
        state = "closed" if self._core is None else "open"
        return f"<kelvorn.Board {self.serial!r} {state}>"

    def __enter__(self) -> Board:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def serial(self) -> str:
        """Its serial: the EEPROM's 8-bit bytes, each as the character of that code."""
        return self._shared.serial

    @property
    def bridge(self) -> str | None:
        """The name of the bridge that holds the board, as it reports it; None for a board on
        this machine's USB or a simulated one."""
        self._live()
        name = self._shared.bridge_of()
        return None if name is None else name.decode("utf-8", "backslashreplace")

    @property
    def outputs(self) -> tuple[bool, bool, bool]:
        """The three outputs as last switched (the latch; no USB traffic)."""
        return _OUTPUTS[self._call(lambda core: core.outputs())]

    def read(self) -> tuple[bool, ...]:
        """The five inputs, True while high: one pin read."""
        return _INPUTS[self._call(lambda core: core.read())]

    def set_output(self, index: int, on: bool | int) -> None:
        """Switches output ``index`` (0-2) on (True or 1) or off (False or 0): one write. Behind a
        bridge the other two stay as the board reports them."""
        index = _index(index, 3, "output")
        level = _level(on, "on")
        shared = self._shared.behind_bridge

        def switch(core: _kelvorn.Board) -> None:
            if shared:  # the latch as the board reports it: the write is of the whole byte, and
                core.outputs()  # the others' outputs go out as they are, not as last written here
            core.set_output(index, level)

        self._switch(1 << index, level << index, switch)

    def toggle(self, index: int) -> None:
        """Switches output ``index`` (0-2) the other way: one write. Behind a bridge, from what
        the board reports."""
        index = _index(index, 3, "output")

        def toggle(core: _kelvorn.Board) -> int:
            core.toggle(index)
            return core.outputs()  # which way it went is the board's say

        self._switch(1 << index, 1 << index, toggle)

    def set_outputs(self, on: _abc.Sequence[bool | int]) -> None:
        """Switches all three outputs at once, from a sequence of three bools (or 0 and 1): one
        write."""
        if isinstance(on, (str, bytes)) or not hasattr(on, "__len__"):
            raise TypeError(f"outputs must be a sequence of three bools, not {type(on).__name__}")
        if len(on) != 3:
            raise ValueError(f"outputs must be three bools, not {len(on)}")
        bits = sum(1 << i for i, value in enumerate(on) if _level(value, f"output {i}"))
        self._switch(0b111, bits, lambda core: core.set_outputs(bits))

    def pulse(self, index: int, seconds: float) -> None:
        """Output ``index`` on, ``seconds``, then off; returns once it is off. Behind a bridge the
        bridge times it (from 1 ms to 60 s), so that the output goes off even if this process
        dies meanwhile. Ctrl-C ends the wait; the output is switched off before
        ``KeyboardInterrupt`` goes on."""
        index = _index(index, 3, "output")
        seconds = _seconds(seconds, "seconds")

        def pulse(core: _kelvorn.Board) -> int:
            core.pulse(index, seconds)
            return 0

        self._switch(1 << index, 1 << index, pulse)

    def wait_for(self, index: int, high: bool, timeout: float) -> bool:
        """Reads input ``index`` (0-4) every 10 ms until it is ``high``: True then, False when
        ``timeout`` seconds have passed (it is read once more at the end)."""
        index = _index(index, 5, "input")
        high = _flag(high, "high")
        timeout = _seconds(timeout, "timeout")
        return self._call(lambda core: core.wait_for(index, high, timeout))

    def changes(self, timeout: float | None = None) -> _abc.Iterator[Change]:
        """Each change of an input from this call on: the inputs are read once now, then every
        10 ms while the iterator is asked for the next change; one ``Change`` per input that
        changed. Ends after ``timeout`` seconds without a change (None: never)."""
        limit = _math.inf if timeout is None else _seconds(timeout, "timeout")
        return self._changes(self._call(lambda core: core.read()), limit)

    def _changes(self, last: int, limit: float) -> _abc.Iterator[Change]:
        while True:
            sample = self._call(lambda core: core.next_change(last, limit))
            if sample is None:
                return
            time, bits = sample
            inputs = _INPUTS[bits]
            for i in range(5):
                if (bits ^ last) >> i & 1:
                    yield Change(time, i, inputs[i], inputs)
            last = bits

    def close(self) -> None:
        """Closes this Board; the board itself once no other Board of this process is open on
        it. Writes nothing: the outputs stay as last switched."""
        self._core = None
        self._finalizer()

    def _call(self, call: _abc.Callable[[_kelvorn.Board], _T]) -> _T:
        """Call on the open board; a board that stopped answering is closed and said so."""
        core = self._live()
        try:
            return call(core)
        except _kelvorn.Disconnected as e:
            raise self._lost(e) from None
        except _kelvorn.NotAllowed as e:
            raise NotAllowedError(str(e), serial=self.serial) from None

    def _switch(self, mask: int, on: int,
                call: _abc.Callable[[_kelvorn.Board], int | None]) -> None:
        """A write to the outputs in mask that leaves those in on switched on; call returns what
        it left on where that is the board's say (None: on). Behind a bridge, kept in _left_on."""
        if not self._shared.behind_bridge:
            self._call(call)
            return
        self._live()
        _left_on.begin(self.serial, mask)
        left: int | None = on  # a write that failed may have reached the board all the same
        try:
            done = self._call(call)
            left = on if done is None else done & mask
        except (NotAllowedError, ValueError):  # the broker let nothing through, or it was closed
            left = None
            raise
        finally:
            _left_on.end(self.serial, mask, left)

    def _live(self) -> _kelvorn.Board:
        core = self._core
        if core is None:
            raise ValueError("I/O operation on closed board")
        return core

    def _lost(self, error: _kelvorn.Disconnected) -> BoardDisconnectedError:
        with _lock:
            if _open_boards.get(self._shared.key) is self._shared:
                del _open_boards[self._shared.key]
        self.close()
        return BoardDisconnectedError(str(error), status=_IO_ERROR, serial=self.serial)


def list_boards(*, driver: _Driver = None) -> list[str]:
    """The serials of the attached boards, in the order the panel's Read finds them; boards this
    process has open (Read passes them over) follow. Behind a bridge: the boards it reports."""
    core = _driver_core(driver)
    with _lock:
        found = _listed(core)
    if not found:
        _reachable(core)
        why = _absent(core, b"")  # no bridge at all, say
        if why:
            raise BoardNotFoundError(why, status=_NOT_FOUND)
    return found


def open(serial: str | None = None, *, driver: _Driver = None) -> Board:  # noqa: A001
    """Opens the board with that serial, or the one attached when ``serial`` is None, as
    ``kelvorn-io`` does: set up for bit-bang and all outputs written off (a board behind a bridge
    is never switched by opening). A board this process has open already is shared, and nothing
    is written."""
    core = _driver_core(driver)
    if serial is not None and not isinstance(serial, str):
        raise TypeError(f"serial must be a str or None, not {type(serial).__name__}")
    with _lock:
        if serial is not None:
            return _open_shared(core, serial)
        if not _held(core):
            return _open_new(core, None)
        serials = _listed(core)
        if not serials:
            _reachable(core)
        if len(serials) != 1:
            raise _ambiguous(core, serials) if serials else BoardNotFoundError(
                _absent(core, b"") or "no Kelvorn board found", status=_NOT_FOUND)
        return _open_shared(core, serials[0])


class _Shared:
    """One open board and how many Boards of this process use it."""

    def __init__(self, core: _kelvorn.Board, driver: _kelvorn.Driver,
                 bridge: _kelvorn.MqttDriver | None) -> None:
        self.core = core
        self.serial = core.serial.decode("latin-1")
        self.key = (driver, self.serial)
        self.users = 0
        self._bridge = bridge
        self.behind_bridge = bridge is not None

    def bridge_of(self) -> bytes | None:
        return None if self._bridge is None else self._bridge.bridge_of(self.core.serial)


# The boards open in this process, by driver and serial; taken while opening and closing.
_lock = _threading.Lock()
_open_boards: dict[tuple[_kelvorn.Driver, str], _Shared] = {}
_usb: _kelvorn.Driver | None = None
# The connection behind each Mqtt's driver, which names the bridge that holds a board.
_bridges: _weakref.WeakKeyDictionary[_kelvorn.Driver, _kelvorn.MqttDriver] = (
    _weakref.WeakKeyDictionary())


class _LeftOn:
    """The outputs of boards behind bridges that this process's writes left on, by serial,
    whichever Mqtt, Board or thread wrote them: the pytest plugin switches off those and no
    other, the board being shared. Writes to one output that overlap may reach the board in
    either order, so until they are all done each one only adds what it left on."""

    def __init__(self) -> None:
        self._lock = _threading.Lock()
        self._on: dict[str, int] = {}
        self._mixed: dict[str, int] = {}
        self._writing: dict[str, list[int]] = {}

    def __call__(self, serial: str) -> int:
        with self._lock:
            return self._on.get(serial, 0)

    def begin(self, serial: str, mask: int) -> None:
        with self._lock:
            writing = self._writing.setdefault(serial, [0, 0, 0])
            for i in range(3):
                if mask >> i & 1:
                    if writing[i]:
                        self._mixed[serial] = self._mixed.get(serial, 0) | 1 << i
                    writing[i] += 1

    def end(self, serial: str, mask: int, left: int | None) -> None:
        """left: those of mask the write left on, or may have; None: it changed nothing."""
        with self._lock:
            writing = self._writing[serial]
            on, mixed = self._on.get(serial, 0), self._mixed.get(serial, 0)
            for i in range(3):
                bit = 1 << i
                if not mask & bit:
                    continue
                writing[i] -= 1
                if left is not None:
                    on = on | left & bit if mixed & bit else on & ~bit | left & bit
                if not writing[i]:
                    mixed &= ~bit
            self._on[serial], self._mixed[serial] = on, mixed


_left_on = _LeftOn()


def _held(core: _kelvorn.Driver) -> list[str]:
    return [serial for (driver, serial) in _open_boards if driver is core]


def _listed(core: _kelvorn.Driver) -> list[str]:
    """The boards of the driver, those this process holds included: a scan passes them over,
    unless the board is shared (behind a bridge), which any number of programs may hold."""
    found = [s.decode("latin-1") for s in _kelvorn.scan(core)]
    return found if core.shared else found + [s for s in _held(core) if s not in found]


def _open_shared(core: _kelvorn.Driver, serial: str) -> Board:
    """Another Board on the board this process has open, as long as it still answers; else the
    board opened anew (the old one lost, as at its next call)."""
    shared = _open_boards.get((core, serial))
    if shared is not None and shared.core.alive():
        return Board(shared)
    if shared is not None:
        del _open_boards[shared.key]
    return _open_new(core, serial)


def _absent(core: _kelvorn.Driver, raw: bytes) -> str:
    """The driver's line on why that board (b"": any) is not found; "" when it knows no more."""
    return core.absent(raw).decode("utf-8", "backslashreplace")


def _open_new(core: _kelvorn.Driver, serial: str | None) -> Board:
    try:
        raw = b"" if serial is None else serial.encode("latin-1")
    except UnicodeEncodeError:  # no EEPROM holds it
        raise BoardNotFoundError(f"board {_printable(serial or '')} not found", status=_NOT_FOUND,
                                 serial=serial) from None
    board, status, ambiguous, lines, found_raw, passed_over = _kelvorn.open(core, raw)
    if board is not None:
        shared = _Shared(board, core, _bridges.get(core))
        _open_boards[shared.key] = shared
        return Board(shared)
    found = [s.decode("latin-1") for s in found_raw]
    if ambiguous:
        raise _ambiguous(core, found)
    _reachable(core)
    named = serial if serial is not None else found[0] if len(found) == 1 else None
    message = lines[-1]
    why = _absent(core, raw) if status == _NOT_FOUND else ""
    if why:  # the driver knows more than "not found"
        raise BoardNotFoundError(why, status=_NOT_FOUND, serial=named)
    # A board held by another program cannot be looked at, so it is not found by its serial
    # either; it may be one of the devices the scan passed over (boards this process holds are
    # among those, and are not meant).
    others = passed_over - len(_held(core))
    if status == _NOT_FOUND and serial is not None and others > 0:
        maybe = ("the FTDI device another program holds" if others == 1 else
                 f"one of the {others} FTDI devices other programs hold")
        raise BoardBusyError(f"{message}: it may be {maybe}", status=_NOT_OPENED, serial=named)
    error = {_NOT_FOUND: BoardNotFoundError, _NOT_OPENED: BoardBusyError,
             _IO_ERROR: BoardDisconnectedError}.get(status, KelvornError)
    raise error(message, status=status, serial=named)


def _reachable(core: _kelvorn.Driver) -> None:
    """BrokerUnreachableError when the driver is a broker's and it is out of reach: then a board
    not found is not known to be absent, and a retry that took it for a wrong serial would give
    up on a board that is there."""
    bridge = _bridges.get(core)
    why = b"" if bridge is None else bridge.unreachable()
    if why:
        raise BrokerUnreachableError(_python_words(why.decode("utf-8", "backslashreplace")))


def _python_words(line: str) -> str:
    """The connection's line with the programs' option names as this package names them."""
    return line.replace("(--cafile)", "(cafile)").replace("(--password-file)", "(password_file)")


def _ambiguous(core: _kelvorn.Driver, serials: list[str]) -> AmbiguousBoardError:
    names = " ".join(_printable(s) for s in serials)
    where = "on the broker" if core in _bridges else "attached"  # behind bridges: not attached
    return AmbiguousBoardError(f"{len(serials)} Kelvorn boards {where}, pick one by serial: {names}",
                               serials=serials)


def _release(shared: _Shared) -> None:
    with _lock:
        shared.users -= 1
        if shared.users > 0:
            return
        if _open_boards.get(shared.key) is shared:
            del _open_boards[shared.key]
    shared.core.close()


def _driver_core(driver: _Driver) -> _kelvorn.Driver:
    global _usb
    if driver is None:
        if _usb is None:
            _usb = _kelvorn.usb_driver()
        return _usb
    if isinstance(driver, Mqtt):
        if driver._closed:
            raise ValueError("I/O operation on closed kelvorn.Mqtt")
        return driver._driver
    if isinstance(driver, Simulator):
        return driver._driver
    raise TypeError(f"driver must be a kelvorn.Simulator, kelvorn.Mqtt or None, not {type(driver).__name__}")


def _printable(text: str) -> str:
    """As the programs print outside text: bytes outside printable ASCII, and the backslash, as
    \\xNN."""
    return "".join(c if " " <= c <= "~" and c != "\\" else f"\\x{ord(c):02X}" for c in text)


def _index(index: object, count: int, what: str) -> int:
    if not isinstance(index, int) or isinstance(index, bool):
        raise TypeError(f"{what} index must be an int, not {type(index).__name__}")
    if not 0 <= index < count:
        raise IndexError(f"{what} index {index} is not 0 to {count - 1}")
    return index


def _flag(value: object, what: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be a bool, not {type(value).__name__}")
    return value


def _level(value: object, what: str) -> bool:
    """An output's state: a bool, or the int 0 or 1 (anything operator.index takes)."""
    if isinstance(value, bool):
        return value
    try:
        number = _operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{what} must be a bool, 0 or 1, not {type(value).__name__}") from None
    if number not in (0, 1):
        raise ValueError(f"{what} must be a bool, 0 or 1, not {number}")
    return number == 1


def _seconds(value: object, what: str) -> float:
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        raise TypeError(f"{what} must be a number of seconds, not {type(value).__name__}")
    if not value >= 0:  # also NaN
        raise ValueError(f"{what} must be 0 or more, not {value}")
    return float(value)


def _sim_serial(serial: object) -> bytes:
    if not isinstance(serial, str):
        raise TypeError(f"serial must be a str, not {type(serial).__name__}")
    try:
        return serial.encode("latin-1")
    except UnicodeEncodeError:
        raise ValueError(f"a board's serial is 8-bit text: {serial!r}") from None


_INPUTS = tuple(tuple(bool(bits >> i & 1) for i in range(5)) for bits in range(32))
_OUTPUTS: tuple[tuple[bool, bool, bool], ...] = tuple(
    (bool(bits & 1), bool(bits & 2), bool(bits & 4)) for bits in range(8))
