"""The Python package kelvorn for pip (docs/python.md). The extension module kelvorn._kelvorn is
built by CMake from this tree with the programs left out, so that no Qt is looked for, in
build-pip/ beside the programs' build trees."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
VERSION = re.search(r"project\(kelvorn-panel VERSION ([0-9.]+)",
                    (ROOT / "CMakeLists.txt").read_text()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        tree = Path(self.build_temp).resolve() / "cmake"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tree), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DKELVORN_PROGRAMS=OFF", "-DKELVORN_PYTHON=ON",
                        f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", str(tree), "--target", "_kelvorn",
                        f"-j{os.cpu_count() or 1}"], check=True)
        built = Path(self.get_ext_fullpath(ext.name))
        built.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(tree / "python" / "kelvorn" / built.name, built)


setup(
    name="kelvorn",
    version=VERSION,
    description="The Kelvorn USB digital I/O board from Python, pytest and labgrid",
    license="MIT",
    python_requires=">=3.11",
    package_dir={"": "python"},
    packages=["kelvorn"],
    package_data={"kelvorn": ["py.typed", "_kelvorn.pyi"]},
    ext_modules=[Extension("kelvorn._kelvorn", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    entry_points=(ROOT / "python" / "entry_points.txt").read_text(),
    options={"build": {"build_base": "build-pip"}},
    zip_safe=False,
)
