"""What the Python tests share: simulated boards, emulated FT232R boards (under umockdev-wrapper
only), child Python processes, and the check that every test leaves no board open."""

from __future__ import annotations

import gc
import os
import socket
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

import kelvorn

SOURCE = Path(os.environ.get("KELVORN_SOURCE", Path(__file__).resolve().parents[2]))


@pytest.fixture(autouse=True)
def every_board_closed() -> Iterator[None]:
    """A test that leaves a board open has lost it: nothing in this process could close it."""
    yield
    left = [serial for (_, serial) in kelvorn._open_boards]
    kelvorn._open_boards.clear()
    assert left == [], "boards left open"


@pytest.fixture
def sim() -> kelvorn.Simulator:
    """One wired simulated board A1B2C3, as --sim gives."""
    simulator = kelvorn.Simulator()
    simulator.add()
    return simulator


@pytest.fixture
def bed(monkeypatch: pytest.MonkeyPatch) -> Iterator[object]:
    """An empty umockdev testbed for emulated FT232R boards, seen by child processes too; none
    of its files open at the end."""
    import ft232r_testbed

    testbed = ft232r_testbed.Testbed()
    monkeypatch.setenv("UMOCKDEV_DIR", ft232r_testbed.umockdev_dir())
    yield testbed
    assert testbed.wait_until_all_closed(5000), "device files left open"
    # Its boards keep it alive, and a test's frames may hold them in a cycle (an exception's
    # traceback): collected now, it goes with this test. A testbed that went later, in another
    # test, would take the environment and file descriptors of that test's testbed with it.
    del testbed
    gc.collect()


def eventually(done: Callable[[], object], limit: float = 10.0) -> bool:
    """Polls done every 5 ms until it holds or limit seconds have passed."""
    end = time.monotonic() + limit
    while not done():
        if time.monotonic() > end:
            return bool(done())
        time.sleep(0.005)
    return True


class Attempt(threading.Thread):
    """A call made in a thread of its own, started at once; error is what it raised, if anything."""

    def __init__(self, call: Callable[[], object]) -> None:
        super().__init__(target=self._run, args=(call,))
        self.error: BaseException | None = None
        self.start()

    def _run(self, call: Callable[[], object]) -> None:
        try:
            call()
        except BaseException as e:  # noqa: B036 - the test checks it
            self.error = e

    def inside_call(self) -> bool:
        """Whether it is in a Board's call to its open board, past the Board's own checks."""
        frame = sys._current_frames().get(self.ident or 0)
        return frame is not None and frame.f_back is not None and \
            frame.f_back.f_code.co_name == "_call"  # in what _call called


class Child:
    """A Python child process running a script, its standard output and error on pipes."""

    def __init__(self, script: str, *args: str) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(script), *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def line(self) -> str:
        """The next line it prints (readline returns at its end, when it dies)."""
        assert self.process.stdout is not None
        return self.process.stdout.readline().rstrip("\n")

    def finish(self, limit: float = 10.0) -> tuple[int, str, str]:
        out, err = self.process.communicate(timeout=limit)
        return self.process.returncode, out, err

    def __enter__(self) -> Child:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdout, self.process.stderr):
            if stream is not None:
                stream.close()


def free_port() -> int:
    """A port of 127.0.0.1 that nothing listens on."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class Logged:
    """A child process with its standard error in a file, killed at the end (as tests/mqtt's
    Process)."""

    def __init__(self, args: list[str]) -> None:
        self.log = tempfile.NamedTemporaryFile("w+")
        self.process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=self.log)

    def text(self) -> str:
        return Path(self.log.name).read_text()

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.log.close()


class Broker:
    """Debian's mosquitto on free ports of 127.0.0.1: one open to all (as tests/mqtt's Broker),
    one for the user desk with the password s3cret only."""

    def __init__(self) -> None:
        self.port = free_port()
        self.login_port = free_port()
        self.folder = tempfile.TemporaryDirectory()
        os.chmod(self.folder.name, 0o755)  # mosquitto started as root reads it as its own user
        passwords = Path(self.folder.name) / "passwords"
        subprocess.run(["mosquitto_passwd", "-b", "-c", str(passwords), "desk", "s3cret"],
                       check=True, capture_output=True)
        os.chmod(passwords, 0o644)
        conf = Path(self.folder.name) / "mosquitto.conf"
        conf.write_text(f"per_listener_settings true\npersistence false\n"
                        f"listener {self.port} 127.0.0.1\nallow_anonymous true\n"
                        f"listener {self.login_port} 127.0.0.1\nallow_anonymous false\n"
                        f"password_file {passwords}\n")
        self.daemon = Logged(["/usr/sbin/mosquitto", "-c", str(conf)])
        if not eventually(lambda: " running" in self.daemon.text()):
            raise RuntimeError("mosquitto did not start: " + self.daemon.text())
        self.url = f"mqtt://127.0.0.1:{self.port}"

    def retain(self, topic: str, payload: str) -> None:
        """Publishes one retained message, as a bridge publishes its state."""
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-q", "1",
                        "-r", "-t", topic, "-m", payload], check=True, timeout=10)

    def close(self) -> None:
        self.daemon.close()
        self.folder.cleanup()


@pytest.fixture(scope="session")
def untrusted_tls(tmp_path_factory: pytest.TempPathFactory) -> Iterator[int]:
    """A port of 127.0.0.1 that speaks TLS with a certificate no CA signed, as a broker whose CA
    file was not given: openssl s_server, which only shakes hands."""
    folder = tmp_path_factory.mktemp("tls")
    key, cert = folder / "key.pem", folder / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert, "-subj",
                    "/CN=127.0.0.1"],
                   check=True, capture_output=True, timeout=60)
    port = free_port()
    server = Logged(["openssl", "s_server", "-quiet", "-accept", f"127.0.0.1:{port}", "-cert",
                     str(cert), "-key", str(key)])

    def listening() -> bool:
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0

    if not eventually(listening):
        raise RuntimeError("openssl s_server did not start: " + server.text())
    yield port
    server.close()


@pytest.fixture
def broker() -> Iterator[Broker]:
    b = Broker()
    yield b
    b.close()


@pytest.fixture
def bridge(broker: Broker) -> Iterator[Logged]:
    """kelvorn-mqtt --sim on the broker: wired simulated boards A1B2C3 and D4E5F6, listed."""
    process = Logged([os.environ["KELVORN_BRIDGE_PROGRAM"], "--sim", "--host", "127.0.0.1", "--port",
                      str(broker.port), "--name", "rig", "--no-discovery"])
    watcher = kelvorn.Mqtt(broker.url)

    def listed() -> bool:
        try:
            return kelvorn.list_boards(driver=watcher) == ["A1B2C3", "D4E5F6"]
        except kelvorn.BoardNotFoundError:  # not Online yet: it first looks for a copy of itself
            return False
    if not eventually(listed):
        raise RuntimeError("kelvorn-mqtt did not start: " + process.text())
    yield process
    process.close()
