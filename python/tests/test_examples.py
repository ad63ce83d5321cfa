# SPDX-License-Identifier: MIT
"""The Python example and the benchmark's loop-back, run as a user runs them."""

import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent


def run(*args, cwd):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    return subprocess.run([sys.executable, *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True)


def test_capture_writes_the_sine_and_draws_it(sim, tmp_path):
    pytest.importorskip("matplotlib")
    done = run(ROOT / "examples" / "capture.py", "-s", "0.5", "-o", "wave.npy", "--plot",
               "wave.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    words = np.load(tmp_path / "wave.npy")
    assert f"{words.size} words in 0.5 s into wave.npy" in done.stdout
    # Whole periods of the sine, from its start, at about the rate asked for.
    assert 100000 <= words.size <= 600000
    period = words[:1000]
    np.testing.assert_array_equal(words[:words.size // 1000 * 1000].reshape(-1, 1000),
                                  np.broadcast_to(period, (words.size // 1000, 1000)))
    assert period[0] == 32768 and period.max() == 56768
    assert (tmp_path / "wave.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_capture_names_a_missing_module(devices, tmp_path):
    done = run(ROOT / "examples" / "capture.py", "-s", "0.1", cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr == ("capture.py: usb:0: VKM470F_OpenDevice: device could not be opened: "
                           "no such device (status -1002)\n")


def test_loopback_checks_every_word(sim, tmp_path):
    done = run(ROOT / "bench" / "loopback.py", "4", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("4 MiB looped back and checked in ")
