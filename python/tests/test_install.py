# SPDX-License-Identifier: MIT
"""The README's Python session as a user runs it: from the source tree with
PYTHONPATH=python, and from a fresh virtual environment after
pip install ./python."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
TREE_LIBRARY = ROOT / "build" / "default" / "lib" / "libvkm470fapi.so.1"


def session() -> str:
    """The README's first Python example."""
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    python = text[text.index("## Python"):]
    return re.search(r"```python\n(.*?)```", python, re.S).group(1)


def run(python, env, cwd):
    done = subprocess.run([str(python), "-c", session()], env=env, cwd=cwd, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    # The search shows QDev0 free, the serial is erased.
    assert "Found(number=0, state=State.FREE)" in done.stdout
    assert done.stdout.splitlines()[-1] == "None"


def test_the_session_from_the_source_tree_finds_the_trees_build(sim, tmp_path):
    named = pathlib.Path(os.environ.get("VKM470_LIBRARY", "")).resolve()
    if not TREE_LIBRARY.exists() or named != TREE_LIBRARY.resolve():
        pytest.skip("the library under test is not the tree's default build")
    env = {k: v for k, v in os.environ.items() if k not in ("VKM470_LIBRARY", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = "python"
    run(sys.executable, env, ROOT)


def test_pip_installs_the_package_into_a_fresh_environment(sim, tmp_path):
    source = tmp_path / "source"  # a copy: the build writes beside its sources
    source.mkdir()
    for name in ("pyproject.toml", "README.md"):
        shutil.copy(ROOT / "python" / name, source)
    shutil.copytree(ROOT / "python" / "vkm470", source / "vkm470",
                    ignore=shutil.ignore_patterns("__pycache__", "_installed.py"))
    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(env_dir)],
                   check=True)
    python = env_dir / "bin" / "python"
    done = subprocess.run([str(python), "-m", "pip", "install", "-q", "--no-build-isolation",
                           "--no-index", str(source)], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    located = subprocess.run([str(python), "-c", "import vkm470; print(vkm470.__file__)"],
                             env=env, cwd=tmp_path, capture_output=True, text=True, check=True)
    assert located.stdout.startswith(str(env_dir))
    run(python, env, tmp_path)
