# SPDX-License-Identifier: MIT
"""Virtual modules for the package's tests: vkm470sim makes module images and
attaches them under a device directory of each test's own.

The environment names the build's files (ctest sets them): VKM470_LIBRARY the
library, VKM470SIM the vkm470sim tool (else it is looked up on PATH), CC the C
compiler for the header checks.
"""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import vkm470  # noqa: E402

APP_ADDRESS = 0x020200


def sim_tool() -> str:
    tool = os.environ.get("VKM470SIM") or shutil.which("vkm470sim")
    if not tool:
        pytest.skip("no vkm470sim: set VKM470SIM")
    return tool


class Sim:
    """vkm470sim on one module image."""

    def __init__(self, folder: pathlib.Path):
        self.folder = folder
        self.image = folder / "module.img"

    def __call__(self, *args: str) -> str:
        done = subprocess.run([sim_tool(), *args], capture_output=True, text=True)
        assert done.returncode == 0, f"vkm470sim {' '.join(args)}: {done.stderr}"
        return done.stdout

    def fault(self, *options: str) -> None:
        self("fault", str(self.image), *options)

    def export(self) -> bytes:
        out = self.folder / "flash.bin"
        self("export", str(self.image), "-o", str(out))
        return out.read_bytes()


@pytest.fixture
def devices(tmp_path, monkeypatch):
    """An empty device directory: no module anywhere."""
    monkeypatch.setenv("VKM470_DEVICES", str(tmp_path / "devices"))
    return tmp_path / "devices"


@pytest.fixture
def sim(tmp_path, devices):
    """A module in 512-byte pages, attached as QDev0 and ALTLPT1."""
    tool = Sim(tmp_path)
    tool("create", str(tool.image))
    tool("attach", str(tool.image))
    with vkm470.open("lpt:1") as module:
        module.set_binary_pages()
    return tool
