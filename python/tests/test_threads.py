# SPDX-License-Identifier: MIT
"""Threads, interrupts and processes around a running stream: a close from
another thread, Ctrl-C in a read, os.fork()."""

import _thread
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vkm470

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent


def wait_until(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "the condition never came true"
        time.sleep(0.001)


def reader_in_flight(stream, words):
    """A thread reading words without a time-out; its outcome lands in the dict."""
    outcome = {}

    def read():
        try:
            outcome["words"] = stream.read(words)
        except vkm470.Error as error:
            outcome["error"] = error

    thread = threading.Thread(target=read)
    thread.start()
    return thread, outcome


@pytest.mark.parametrize("close", [
    lambda module, stream: module.close(),
    lambda module, stream: stream.close(),
    lambda module, stream: module.stream(),
], ids=["module.close", "stream.close", "module.stream"])
def test_a_close_lets_the_read_in_flight_return_first(sim, close):
    module = vkm470.open("usb:0")
    stream = module.stream()
    # Nothing is sent: the reader waits inside the library until the close.
    thread, outcome = reader_in_flight(stream, 10)
    wait_until(lambda: module._gate.busy)
    close(module, stream)
    thread.join(5)
    assert not thread.is_alive()
    assert isinstance(outcome.get("error"), vkm470.StreamStoppedError)
    assert outcome["error"].code == vkm470.raw.ERR_READER_STOPPED
    # A read after the close is refused before it reaches the library.
    with pytest.raises(ValueError):
        stream.read(1)
    module.close()
    vkm470.open("usb:0").close()


def test_a_read_in_flight_returns_the_words_it_took_when_closed(sim):
    module = vkm470.open("usb:0")
    stream = module.stream()
    stream.write(np.arange(256, dtype=np.uint16))
    wait_until(lambda: stream.ready == 256)
    thread, outcome = reader_in_flight(stream, 1000)
    wait_until(lambda: stream.ready == 0)  # the reader took the 256 and waits for more
    module.close()
    thread.join(5)
    np.testing.assert_array_equal(outcome["words"], np.arange(256))


def test_an_interrupt_arrives_promptly_and_keeps_the_words_taken(sim):
    with vkm470.open("usb:0") as module, module.stream() as stream:
        stream.write(np.arange(256, dtype=np.uint16))
        wait_until(lambda: stream.ready == 256)
        sent = {}

        def interrupt():
            wait_until(lambda: stream.ready == 0)  # the read below took the 256
            sent["at"] = time.monotonic()
            _thread.interrupt_main()

        helper = threading.Thread(target=interrupt)
        helper.start()
        with pytest.raises(KeyboardInterrupt):
            stream.read(1 << 20)
        latency = time.monotonic() - sent["at"]
        helper.join()
        assert latency < 0.1
        # The words the interrupted read took come first in the next one.
        assert stream.ready == 256
        stream.write(np.arange(256, 512, dtype=np.uint16))
        np.testing.assert_array_equal(stream.read(512, timeout=5), np.arange(512))


FORK = r"""
import os, sys
import numpy as np
import vkm470

module = vkm470.open("usb:0")
stream = module.stream()
stream.write(np.arange(256, dtype=np.uint16))
pid = os.fork()
if pid == 0:
    for call in (lambda: module.read_flash(0, 4), lambda: stream.read(1),
                 lambda: stream.write(b"\0\0"), lambda: module.stream()):
        try:
            call()
            print("child: no error")
        except vkm470.ArgumentError as error:
            print("child:", error)
    # The module and its stream are left to the interpreter's exit.
    sys.exit(0)
_, status = os.waitpid(pid, 0)
print("parent: child exit", os.waitstatus_to_exitcode(status))
print("parent: words", (stream.read(256, timeout=10) == np.arange(256)).all())
module.close()
"""


def test_a_forked_child_refuses_the_parents_modules_and_exits(sim, tmp_path):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    done = subprocess.run([sys.executable, "-c", FORK], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    refused = [line for line in lines if line.startswith("child:")]
    assert len(refused) == 4
    assert all("opened by the parent process" in line for line in refused), lines
    assert lines[-2:] == ["parent: child exit 0", "parent: words True"]


EXIT = r"""
import threading
import vkm470

module = vkm470.open("usb:0")
stream = module.stream()
inside = threading.Event()

def read():
    inside.set()
    stream.read(10)  # nothing comes: waits until the end of the program

threading.Thread(target=read, daemon=True).start()
inside.wait()
print("leaving")
"""


def test_the_end_of_the_program_closes_under_a_daemon_reader(sim):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", EXIT], env=env, capture_output=True,
                              text=True, timeout=60)
        assert (done.returncode, done.stdout) == (0, "leaving\n"), done.stderr
        # The module was closed: another program can open it.
        vkm470.open("usb:0").close()


def test_a_close_from_a_signal_handler_inside_a_read_is_refused_not_hung(sim):
    module = vkm470.open("usb:0")
    stream = module.stream()
    previous = signal.signal(signal.SIGUSR1, lambda *_: module.close())
    try:
        def signal_the_reader():
            wait_until(lambda: module._gate.busy)  # the read below is in flight
            _thread.interrupt_main(signal.SIGUSR1)

        threading.Thread(target=signal_the_reader).start()
        with pytest.raises(RuntimeError, match="from inside one of its own calls"):
            stream.read(10)
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert not module.closed
    module.close()
    vkm470.open("usb:0").close()
