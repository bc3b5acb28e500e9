"""labgrid 0.4.1 with kelvorn.labgrid: the environment of docs/python.md run as printed there, and
KelvornBoard matched through udev among emulated FT232R boards under umockdev."""

from __future__ import annotations

import re
import shlex
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import ft232r_testbed
import pytest

import kelvorn
from labgrid import Environment
from labgrid.binding import StateError
from labgrid.exceptions import NoResourceFoundError

from conftest import SOURCE


def test_the_environment_in_the_docs_as_printed(pytester: pytest.Pytester) -> None:
    page = (SOURCE / "docs" / "python.md").read_text()
    blocks = re.findall(r"```(?:yaml|python)\n(# (\S+?)(?::\s+(.*?))?\n.*?)```", page, re.S)
    files = {name: text for text, name, _ in blocks}
    command = next(cmd for _, name, cmd in blocks if name == "kelvorn-sim.yaml")
    assert set(files) >= {"kelvorn-sim.yaml", "test_power.py"} and command
    for name in ("kelvorn-sim.yaml", "test_power.py"):
        (pytester.path / name).write_text(files[name])
    args = shlex.split(command)
    assert args[:3] == ["/usr/bin/python3", "-m", "pytest"]
    result = pytester.runpytest_subprocess(*args[3:])
    result.assert_outcomes(passed=1)


ENVIRONMENT = """
targets:
  main:
    resources:
      KelvornBoard:
        match:
          {key}: {serial}
    drivers:
      - KelvornOutputDriver:
          name: out1
          index: 1
      - KelvornInputDriver:
          name: in3
          index: 3
      - DigitalOutputResetDriver:
          bindings:
            output: out1
          delay: 0.0
imports:
  - kelvorn.labgrid
"""


@pytest.fixture(scope="module")
def boards() -> Iterator[list[Any]]:
    """Two Kelvorn boards, a USB-serial adapter and a Kelvorn board without a serial, for the
    whole module: labgrid's udev manager,
    made once in a process, watches the testbed it first saw."""
    bed = ft232r_testbed.Testbed()
    yield [bed.add("KV000001"), bed.add("KV000002"), bed.add("KV000003", "FT232R USB UART"),
           bed.add("")]
    assert bed.wait_until_all_closed(5000)


def target(tmp_path: Path, serial: str, key: str = "ID_SERIAL_SHORT") -> Any:
    path = tmp_path / "env.yaml"
    path.write_text(ENVIRONMENT.format(key=key, serial=serial))
    return Environment(str(path)).get_target()


def test_a_board_matched_by_its_serial(tmp_path: Path, boards: list[Any]) -> None:
    for board in boards:
        board.clear_log()
    main = target(tmp_path, "KV000002")
    out1 = main.get_driver("KelvornOutputDriver", name="out1", activate=False)
    with pytest.raises(StateError):
        out1.get()
    reset = main.get_driver("ResetProtocol")  # activates out1: the board opened, all off
    in3 = main.get_driver("KelvornInputDriver", name="in3")  # shares it: nothing written
    assert main.get_resource("KelvornBoard").serial == "KV000002"
    assert list(boards[1].bulk_out_bytes()) == [0x15]
    reset.reset()  # out1 on, then off
    boards[1].set_inputs(0xFF & ~0x80)  # in3 on D7 low
    assert (out1.get(), in3.get(), in3.wait_for(True, 0.0)) == (False, False, False)
    assert list(boards[1].bulk_out_bytes()) == [0x15, 0x05, 0x15]
    assert boards[0].bulk_out_bytes() == boards[2].bulk_out_bytes() == b""
    main.deactivate(in3)
    with pytest.raises(StateError):
        in3.get()
    assert out1.get() is False  # the board stays open for the other driver
    main.deactivate(out1)
    assert boards[1].claimed is False


@pytest.mark.parametrize("serial", ["KV000009", "KV000003"])  # absent; not a Kelvorn board
def test_no_resource_found_after_the_timeout(tmp_path: Path, boards: list[Any],
                                             serial: str) -> None:
    main = target(tmp_path, serial)
    resource = main.get_resource("KelvornBoard", wait_avail=False)
    assert resource.timeout == 5.0  # labgrid's usual for USB resources
    resource.timeout = 0.5
    start = time.monotonic()
    with pytest.raises(NoResourceFoundError, match="Not all resources are available"):
        main.get_driver("KelvornOutputDriver", name="out1")
    assert time.monotonic() - start >= 0.5
    assert boards[2].bulk_out_bytes() == b""


def test_a_board_without_a_serial_is_matched_but_not_opened(tmp_path: Path,
                                                           boards: list[Any]) -> None:
    main = target(tmp_path, boards[3].sys_path.removeprefix("/sys"), key="DEVPATH")
    assert main.get_resource("KelvornBoard").serial is None
    with pytest.raises(kelvorn.BoardNotFoundError,
                       match="^the board labgrid matched has no serial to open it by$"):
        main.get_driver("KelvornOutputDriver", name="out1")
    assert boards[3].bulk_out_bytes() == b""


@pytest.mark.parametrize("driver, index, message", [
    ("KelvornOutputDriver", 3, "index must be 0 to 2, not 3"),
    ("KelvornInputDriver", 5, "index must be 0 to 4, not 5"),
    ("KelvornInputDriver", "0", "index must be 0 to 4, not '0'"),
])
def test_an_index_out_of_range(tmp_path: Path, driver: str, index: object, message: str) -> None:
    path = tmp_path / "env.yaml"
    path.write_text(f"""
targets:
  main:
    resources:
      KelvornSimBoard: {{}}
    drivers:
      {driver}:
        index: {index!r}
imports:
  - kelvorn.labgrid
""")
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        Environment(str(path)).get_target()
