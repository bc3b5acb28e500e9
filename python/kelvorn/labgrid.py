"""labgrid resources and drivers for Kelvorn boards: ``imports: [kelvorn.labgrid]`` in an
environment file (labgrid 0.4.1).

Resources:

- ``KelvornBoard``: a board on this machine's USB, matched through udev as labgrid's other USB
  resources are (``match: {ID_SERIAL_SHORT: A1B2C3}``, ``ID_PATH`` ...): among the FTDI devices
  with FTDI's ids whose product string, the EEPROM description, is "Kelvorn".
- ``KelvornNetworkBoard`` (``url``, ``serial``; ``password_file``, ``cafile``): a board behind a
  ``kelvorn-mqtt`` bridge.
- ``KelvornSimBoard`` (``serial``): a wired simulated board, as ``kelvorn-io --sim``'s; all of
  them in one process share the simulator ``simulator()``.

Drivers, each bound to one of those as ``board``:

- ``KelvornOutputDriver`` (``index`` 0-2): labgrid's ``DigitalOutputProtocol``, so that
  ``DigitalOutputPowerDriver`` and ``DigitalOutputResetDriver`` switch an output.
- ``KelvornInputDriver`` (``index`` 0-4): ``get()``, True while high, and ``wait_for(high,
  timeout)``.

Every driver of one board in one process uses one open board (``kelvorn.open`` shares it): the
first to be activated opens it, writing all outputs off as ``kelvorn-io`` does (a board behind a
bridge is never switched by opening); another one activated later writes nothing.
"""

from __future__ import annotations

from typing import Any

import attr
from labgrid.driver.common import Driver
from labgrid.factory import target_factory
from labgrid.protocol import DigitalOutputProtocol
from labgrid.resource.common import Resource
from labgrid.resource.udev import USBResource
from labgrid.step import step

import kelvorn

# The ids Read considers: FTDI's own (FT232R 0403:6001 and the chips libftdi lists alongside).
_FTDI_VENDOR = b"0403"
_FTDI_PRODUCTS = {b"6001", b"6010", b"6011", b"6014", b"6015"}


@target_factory.reg_resource
@attr.s(eq=False)
class KelvornBoard(USBResource):
    """A Kelvorn board on this machine's USB."""

    def __attrs_post_init__(self) -> None:
        self.match["DEVTYPE"] = "usb_device"
        super().__attrs_post_init__()

    def filter_match(self, device: Any) -> bool:
        attributes = device.attributes
        if (attributes.get("idVendor") != _FTDI_VENDOR
                or attributes.get("idProduct") not in _FTDI_PRODUCTS
                or attributes.get("product") != b"Kelvorn"):
            return False
        return bool(super().filter_match(device))

    @property
    def serial(self) -> str | None:
        """The board's serial, as kelvorn.open takes it; None while it is not there."""
        device = self._get_usb_device()
        serial = None if device is None else device.attributes.get("serial")
        # The kernel gives the USB string descriptor as UTF-8; the FT232R's EEPROM holds one
        # 8-bit character per UTF-16 unit, so this is the EEPROM's serial. A board without one
        # has the attribute missing, and cannot be opened by it.
        return None if serial is None else str(serial.decode("utf-8"))


@target_factory.reg_resource
@attr.s(eq=False)
class KelvornNetworkBoard(Resource):
    """A board behind a kelvorn-mqtt bridge, reached as ``kelvorn.Mqtt(url, ...)`` reaches it."""

    url: str = attr.ib(validator=attr.validators.instance_of(str))
    serial: str = attr.ib(validator=attr.validators.instance_of(str))
    password_file: str | None = attr.ib(
        default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    cafile: str | None = attr.ib(
        default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))


@target_factory.reg_resource
@attr.s(eq=False)
class KelvornSimBoard(Resource):
    """A wired simulated board of ``simulator()``, added there with this serial."""

    serial: str = attr.ib(default="A1B2C3", validator=attr.validators.instance_of(str))

    def __attrs_post_init__(self) -> None:
        super().__attrs_post_init__()
        if self.serial not in _sim_serials:
            simulator().add(self.serial, wired=True)
            _sim_serials.add(self.serial)


_simulator: kelvorn.Simulator | None = None
_sim_serials: set[str] = set()
_bridges: dict[tuple[str, str | None, str | None], kelvorn.Mqtt] = {}


def simulator() -> kelvorn.Simulator:
    """The simulator of every ``KelvornSimBoard`` in this process: for a test to set inputs,
    unplug or hold its boards."""
    global _simulator
    if _simulator is None:
        _simulator = kelvorn.Simulator()
    return _simulator


def _open(resource: Resource) -> kelvorn.Board:
    if isinstance(resource, KelvornSimBoard):
        return kelvorn.open(resource.serial, driver=simulator())
    if isinstance(resource, KelvornNetworkBoard):
        key = (resource.url, resource.password_file, resource.cafile)
        if key not in _bridges:  # one connection to a bridge for all its boards
            _bridges[key] = kelvorn.Mqtt(resource.url, password_file=resource.password_file,
                                         cafile=resource.cafile)
        return kelvorn.open(resource.serial, driver=_bridges[key])
    assert isinstance(resource, KelvornBoard)
    if resource.serial is None:
        raise kelvorn.BoardNotFoundError("the board labgrid matched has no serial to open it by",
                                         status=2)
    return kelvorn.open(resource.serial)


@attr.s(eq=False)
class _BoardDriver(Driver):
    bindings = {"board": {"KelvornBoard", "KelvornNetworkBoard", "KelvornSimBoard"}}

    def __attrs_post_init__(self) -> None:
        super().__attrs_post_init__()
        self._board: kelvorn.Board | None = None

    def on_activate(self) -> None:
        self._board = _open(self.board)

    def on_deactivate(self) -> None:
        board, self._board = self._board, None
        if board is not None:
            board.close()

    def _open_board(self) -> kelvorn.Board:
        assert self._board is not None  # check_active lets only an active driver here
        return self._board


def _index_below(count: int) -> Any:
    def check(instance: object, attribute: Any, value: object) -> None:
        if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < count:
            raise ValueError(f"{attribute.name} must be 0 to {count - 1}, not {value!r}")
    return check


@target_factory.reg_driver
@attr.s(eq=False)
class KelvornOutputDriver(_BoardDriver, DigitalOutputProtocol):
    """Output ``index`` of a board: ``set(True)`` switches it on (the pin driven low)."""

    index: int = attr.ib(default=0, validator=_index_below(3))

    @Driver.check_active
    @step(args=["status"])
    def set(self, status: bool) -> None:
        self._open_board().set_output(self.index, status)

    @Driver.check_active
    @step(result=True)
    def get(self) -> bool:
        return self._open_board().outputs[self.index]


@target_factory.reg_driver
@attr.s(eq=False)
class KelvornInputDriver(_BoardDriver):
    """Input ``index`` of a board."""

    index: int = attr.ib(default=0, validator=_index_below(5))

    @Driver.check_active
    @step(result=True)
    def get(self) -> bool:
        """True while the input is high: one pin read."""
        return self._open_board().read()[self.index]

    @Driver.check_active
    @step(args=["high", "timeout"], result=True)
    def wait_for(self, high: bool, timeout: float) -> bool:
        """Waits until the input is ``high``, as ``Board.wait_for``: False after ``timeout``."""
        return self._open_board().wait_for(self.index, high, timeout)
