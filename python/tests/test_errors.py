# SPDX-License-Identifier: MIT
"""Each family of errors from a real condition on a virtual module: the
exception's class, code and text."""

import pytest

import vkm470
from vkm470 import raw


def held(sim):
    with vkm470.open("usb:0"):
        vkm470.open("usb:0")


def no_module(sim):
    vkm470.open("usb:1")


def no_cable(sim):
    sim.fault("--cable", "absent")
    vkm470.open("lpt:1")


def module_stops_answering(sim):
    # The open's name and call-application requests are answered; the read is not.
    sim.fault("--usb", "timeout", "--after", "2")
    with vkm470.open("usb:0") as module:
        module.read_flash(0, 16, timeout=0.2)


def chip_stays_busy(sim):
    sim.fault("--chip", "busy")
    with vkm470.open("lpt:1") as module:
        module.write_flash(0x020200, b"\0" * 16)


def stream_never_started(sim):
    with vkm470.open("usb:0") as module, module.stream(start=False) as stream:
        # Queued while the FIFO has room, then refused: nothing takes them.
        stream.write(b"\0\0" * ((8 << 20) // 2 + 1), timeout=5)


def stream_stopped(sim):
    with vkm470.open("usb:0") as module, module.stream() as stream:
        stream.stop()
        stream.read(1, timeout=5)


def odd_dsp_command(sim):
    with vkm470.open("usb:0") as module:
        module.dsp_write(1, 0, b"\1\2\3")


def stream_over_the_cable(sim):
    with vkm470.open("lpt:1") as module:
        module.stream()


def search_over_the_cable(sim):
    vkm470.search("lpt:1")


@pytest.mark.parametrize("condition,family,codes", [
    (held, vkm470.InUseError, {raw.ERR_OPEN_FAILED}),
    (no_module, vkm470.NotFoundError, {raw.ERR_OPEN_FAILED}),
    (no_cable, vkm470.NotFoundError, {raw.ERR_CABLE_OPEN}),
    (module_stops_answering, vkm470.TimeoutError, {raw.ERR_TIMEOUT, raw.ERR_RESULT_FAILED}),
    (chip_stays_busy, vkm470.FlashError, {raw.ERR_FLASH_FAILED}),
    (stream_never_started, vkm470.StreamStoppedError, {raw.ERR_WRITER_STOPPED}),
    (stream_stopped, vkm470.StreamStoppedError, {raw.ERR_READER_STOPPED}),
    (odd_dsp_command, vkm470.ArgumentError, {raw.ERR_NO_OBJECT}),
    (stream_over_the_cable, vkm470.ArgumentError, {raw.ERR_NOT_AVAILABLE}),
    (search_over_the_cable, vkm470.ArgumentError, {raw.ERR_NOT_AVAILABLE}),
], ids=lambda value: getattr(value, "__name__", None))
def test_error_families(sim, condition, family, codes):
    with pytest.raises(family) as caught:
        condition(sim)
    error = caught.value
    assert type(error) is family
    assert isinstance(error, vkm470.Error)
    assert error.code in codes
    assert error.text == vkm470.status_text(error.code)
    assert error.call in str(error) and error.text in str(error)
    if condition is stream_never_started:
        assert error.done == (8 << 20) // 2
    # A failed module is closed: the module can be opened again at once.
    sim.fault("--clear")
    vkm470.open("usb:0").close()
