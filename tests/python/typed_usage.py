"""Every name of the package's API, as a user's code holds it: test_types.py checks it with
mypy --strict, which must find the types the editor shows."""

from __future__ import annotations

import kelvorn
import kelvorn.labgrid
import kelvorn.pytest_plugin


def use(simulator: kelvorn.Simulator, bridge: kelvorn.Mqtt) -> None:
    version: str = kelvorn.__version__
    serials: list[str] = kelvorn.list_boards() + kelvorn.list_boards(driver=bridge)
    simulator.add()
    simulator.add("D4E5F6", wired=False)
    simulator.set_input("D4E5F6", 3, False)
    simulator.hold("D4E5F6", True)
    simulator.unplug("D4E5F6")
    simulator.plug("D4E5F6")
    with kelvorn.open(driver=simulator) as board:
        serial: str = board.serial
        outputs: tuple[bool, bool, bool] = board.outputs
        inputs: tuple[bool, ...] = board.read()
        board.set_output(0, True)
        board.set_output(1, 0)
        board.toggle(2)
        held_by: str | None = board.bridge
        board.set_outputs((True, False, True))
        board.set_outputs([False, False, False])
        board.pulse(1, 0.5)
        met: bool = board.wait_for(2, False, 1.0)
        for change in board.changes(timeout=0.1):
            when: float = change.time
            index: int = change.index
            high: bool = change.high
            levels: tuple[bool, ...] = change.inputs
    board.close()
    try:
        kelvorn.open("A1B2C3", driver=None).close()
    except kelvorn.AmbiguousBoardError as e:
        choices: list[str] = e.serials
    except (kelvorn.BoardNotFoundError, kelvorn.BoardBusyError,
            kelvorn.BoardDisconnectedError, kelvorn.BrokerUnreachableError,
            kelvorn.NotAllowedError) as e:
        status: int | None = e.status
        named: str | None = e.serial
    except kelvorn.KelvornError as e:
        problem: OSError = e
    sim_board: kelvorn.labgrid.KelvornSimBoard | None = None
    shared: kelvorn.Simulator = kelvorn.labgrid.simulator()
    bridge = kelvorn.Mqtt("mqtt://localhost", password_file=None, cafile=None)
    with kelvorn.Mqtt("mqtt://desk@localhost", password_file="/etc/kelvorn/desk.password") as desk:
        kelvorn.open("A1B2C3", driver=desk).pulse(0, 0.1)
    desk.close()
