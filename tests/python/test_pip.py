"""pip install . into a virtual environment, as docs/python.md gives it: offline, with Debian's
setuptools and wheel (--no-build-isolation --no-index), from a copy of this tree, without Qt."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

from conftest import SOURCE


def sources(into: Path) -> None:
    """The tree's files, as git has them (committed or not) or, outside git, all but builds."""
    listed = subprocess.run(["git", "-C", str(SOURCE), "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], capture_output=True)
    if listed.returncode == 0:
        for name in filter(None, listed.stdout.decode().split("\0")):
            if (SOURCE / name).is_file():
                (into / name).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(SOURCE / name, into / name)
    else:
        shutil.copytree(SOURCE, into, dirs_exist_ok=True, ignore=shutil.ignore_patterns("build*"))


def test_pip_install_in_a_virtual_environment(tmp_path: Path) -> None:
    source, env_dir = tmp_path / "src", tmp_path / "env"
    sources(source)
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(env_dir)],
                   check=True)
    python = str(env_dir / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-build-isolation",
                    "--no-index", str(source)], check=True, env=environment, cwd=tmp_path)

    # The programs were left out: CMake never looked for Qt, nor for what only they need (the
    # boards behind bridges need nlohmann_json for the bridges' index).
    cache = next((source / "build-pip").glob("temp*/cmake/CMakeCache.txt")).read_text()
    assert "KELVORN_PROGRAMS:BOOL=OFF" in cache
    assert [tool for tool in ("Qt6", "CLI11", "GTest") if tool in cache] == []

    script = """
import importlib.metadata, kelvorn
sim = kelvorn.Simulator()
sim.add()
with kelvorn.open(driver=sim) as board:
    board.set_output(2, True)
    print(kelvorn.__version__, kelvorn.__file__, board.read())
print([e.value for e in importlib.metadata.entry_points(group="pytest11") if e.name == "kelvorn"])
"""
    ran = subprocess.run([python, "-c", script], capture_output=True, text=True, env=environment,
                         cwd=tmp_path, check=True)
    import kelvorn
    site = env_dir / "lib" / f"python{sys.version_info.major}.{sys.version_info.minor}" / "site-packages"
    assert ran.stdout == (f"{kelvorn.__version__} {site}/kelvorn/__init__.py "
                          "(True, True, False, True, True)\n['kelvorn.pytest_plugin']\n")
    suffix = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"],
                            capture_output=True, text=True, check=True).stdout.strip()
    assert {p.name for p in (site / "kelvorn").iterdir()} >= {
        "__init__.py", "pytest_plugin.py", "labgrid.py", "py.typed", "_kelvorn.pyi", f"_kelvorn{suffix}"}
