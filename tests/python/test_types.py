"""The package's types: its stubs against the module (mypy's stubtest), a script using the whole
API under mypy --strict, and misuse that mypy must find."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
MYPY = [sys.executable, "-m", "mypy", "--config-file", str(HERE / "mypy.ini"), "--cache-dir",
        "/dev/null"]


def test_the_stubs_match_the_module() -> None:
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(HERE / "mypy.ini"),
         "--allowlist", str(HERE / "stubtest-allowlist.txt"), "kelvorn"],
        capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "Success: no issues found in 4 modules\n")


def test_the_whole_api_type_checks() -> None:
    result = subprocess.run([*MYPY, str(HERE / "typed_usage.py")], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "Success: no issues found in 1 source file\n")


# Each line of a user's script and what mypy says of it.
MISUSE = [
    ('board.set_output("0", True)',
     'Argument 1 to "set_output" of "Board" has incompatible type "str"; expected "int"  [arg-type]'),
    ("board.read().real", '"Tuple[bool, ...]" has no attribute "real"  [attr-defined]'),
    ("board.outputs[3]", "Tuple index out of range  [misc]"),
    ("board.serials", '"Board" has no attribute "serials"; maybe "serial"?  [attr-defined]'),
    ('board.serial = "D4E5F6"', 'Property "serial" defined in "Board" is read-only  [misc]'),
    ("board.toggle()", 'Missing positional argument "index" in call to "toggle" of "Board"  [call-arg]'),
    ("next(board.changes()).inputs + 1",
     'No overload variant of "__add__" of "tuple" matches argument type "int"  [operator]'),
    ('kelvorn.open(driver="usb")', 'Argument "driver" to "open" has incompatible type "str"; '
                                   'expected "Union[Simulator, Mqtt, None]"  [arg-type]'),
    ("kelvorn.list_boards(kelvorn.Simulator())",
     'Too many positional arguments for "list_boards"  [misc]'),
    ("kelvorn.Simulator().add(wired=1)",
     'Argument "wired" to "add" of "Simulator" has incompatible type "int"; expected "bool"  '
     '[arg-type]'),
    ("kelvorn.Mqtt(1)", 'Argument 1 to "Mqtt" has incompatible type "int"; expected "str"  [arg-type]'),
]


def test_misuse_is_found(tmp_path: Path) -> None:
    lines = ["import kelvorn", "board = kelvorn.open()"] + [line for line, _ in MISUSE]
    (tmp_path / "misuse.py").write_text("\n".join(lines) + "\n")
    result = subprocess.run([*MYPY, "misuse.py"], capture_output=True, text=True, cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    assert errors == [f"misuse.py:{n}: error: {error}" for n, (_, error) in enumerate(MISUSE, 3)]
