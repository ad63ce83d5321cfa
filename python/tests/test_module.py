# SPDX-License-Identifier: MIT
"""Modules on virtual ones: flash, serial, search, DSP commands, closing."""

import os
import pathlib

import numpy as np
import pytest

import vkm470
from conftest import APP_ADDRESS

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent


@pytest.mark.parametrize("device", ["usb:0", "lpt:1"])
def test_flash_round_trip_equals_the_exported_image(sim, device):
    data = np.random.default_rng(7).integers(0, 255, 10000, dtype=np.uint8)  # never 0xFF
    with vkm470.open(device) as module:
        module.write_flash(APP_ADDRESS, data)
        # From bytes too: the same call path, a read-only buffer.
        module.write_flash(APP_ADDRESS + 10000, b"\x01\x02\x03")
        back = module.read_flash(APP_ADDRESS, 10003)
    expected = data.tobytes() + b"\x01\x02\x03"
    assert back == expected
    flash = sim.export()
    assert flash[APP_ADDRESS:APP_ADDRESS + 10003] == expected
    assert flash[:APP_ADDRESS] == b"\xff" * APP_ADDRESS


def test_serial_follows_the_burners_field_rules(sim):
    with vkm470.open("usb:0") as module:
        assert module.serial is None  # erased
        module.serial = "\xff" * 15  # a text the field can hold, not the erased field
        assert module.serial == "\xff" * 15
        module.serial = "ABC"
        assert sim.export()[0x020000:0x020010] == b"ABC" + bytes(13)
        module.serial = "X" * 15
        assert module.serial == "X" * 15
        for refused in ("Y" * 16, "A\0B", "\u20ac"):
            with pytest.raises(ValueError):
                module.serial = refused
        assert module.serial == "X" * 15
        # A field with no zero byte reads as its first 15 bytes.
        module.write_flash(0x020000, b"0123456789abcdef")
        assert module.serial == "0123456789abcde"
    # Both sides see one flash; None erases the field.
    with vkm470.open("lpt:1") as module:
        assert module.serial == "0123456789abcde"
        module.serial = None
        assert module.serial is None
    assert sim.export()[0x020000:0x020010] == b"\xff" * 16


def test_a_module_opens_by_its_serial(sim):
    with vkm470.open("usb:0") as module:
        module.serial = "VKM-000001"
    with vkm470.open("serial:VKM-000001") as module:
        assert (module.interface, module.number, module.device) == ("usb", 0, "serial:VKM-000001")
    with pytest.raises(vkm470.NotFoundError, match="no free module holds serial 'VKM-000002'"):
        vkm470.open("serial:VKM-000002")


def test_search_reports_free_held_and_absent(sim):
    found = vkm470.search(count=2)
    assert [(f.number, f.state) for f in found] == \
        [(0, vkm470.State.FREE), (1, vkm470.State.UNAVAILABLE)]
    with vkm470.open("usb:0"):
        assert vkm470.search(count=1)[0].state is vkm470.State.UNAVAILABLE
    assert vkm470.search(count=1)[0].free


def test_module_is_closed_after_an_exception_inside_with(sim):
    with pytest.raises(RuntimeError):
        with vkm470.open("usb:0") as module:
            raise RuntimeError("inside")
    assert module.closed
    assert module.record.channel is None
    # Nothing holds the module any more.
    vkm470.open("usb:0").close()


def test_a_module_collected_open_is_closed(sim):
    module = vkm470.open("usb:0")
    del module
    vkm470.open("usb:0").close()


def test_dsp_commands_control_and_information(sim):
    with vkm470.open("usb:0") as module:
        module.dsp_write(0x1234, 5, b"\x10\x20\x30\x40")
        assert module.dsp_read(0x1234, 5, 4) == b"\x10\x20\x30\x40"
        assert module.application_running
        # Name and descriptor run the other program; the library starts the
        # application again for the next flash call.
        assert module.name() == "VKM470"
        assert not module.application_running
        assert len(module.descriptor()) == 208
        assert module.read_flash(0, 4) == b"\xff" * 4
        # A raw request goes out as built: the name request, 8 bytes.
        assert module.control(0x0B, length=8) == b"VKM470\0\0"
        info = module.flash_info()
        assert info.binary_pages and info.ready
        module.reset_dsp()
        module.call_application(0x3C00)
        assert not module.application_running


def device_names():
    table = ROOT / "tests" / "data" / "device_names.tsv"
    rows = [line.split("\t") for line in table.read_text().splitlines()
            if not line.startswith("#")]
    return [(name, meaning) for name, meaning in rows]


@pytest.mark.parametrize("name,meaning", device_names())
def test_device_names_follow_the_shared_table(name, meaning):
    if meaning == "-":
        with pytest.raises(ValueError):
            vkm470.names.parse(name)
        with pytest.raises(ValueError):
            vkm470.open(name)
    else:
        assert str(vkm470.names.parse(name)) == meaning


def test_installed_package_finds_the_library_without_the_variable(monkeypatch):
    # The lookup order: the variable alone when set, else beside the package,
    # then the system's search.
    monkeypatch.setenv("VKM470_LIBRARY", "/nowhere/lib.so")
    assert vkm470.raw.library_candidates() == ["/nowhere/lib.so"]
    monkeypatch.delenv("VKM470_LIBRARY")
    assert vkm470.raw.library_name() in vkm470.raw.library_candidates()
    assert os.path.basename(vkm470.raw.library_candidates()[0]) == vkm470.raw.library_name()
    # From the source tree, the tree's default build comes before the system's search.
    tree = ROOT / "build" / "default" / "lib" / vkm470.raw.library_name()
    assert vkm470.raw.source_tree_library() == tree


@pytest.mark.parametrize("call", [
    lambda m: m.write_flash(0x1_001F_0000, b"\0"),  # would land at 0x1F0000
    lambda m: m.read_flash(0x1_0000_0000, 4),
    lambda m: m.read_flash(-1, 4),
    lambda m: m.read_flash(0, 1 << 32),
    lambda m: m.read_flash(0, 4, timeout=-0.001),
    lambda m: m.read_flash(0, 4, timeout=float("nan")),
    lambda m: m.dsp_write(0x1_0000, 0),
    lambda m: m.dsp_read(0, -1, 2),
    lambda m: m.control(0x0B, length=8, timeout=-1),
    lambda m: m.call_application(0x1_3C00),
    lambda m: m.special(1 << 32),
    lambda m: m.stream(block_size=1 << 32),
    lambda m: m.stream().read(1, timeout=-1),
    lambda m: m.stream().write(b"\0\0", timeout=float("nan")),
], ids=["address>32bit", "read address", "negative address", "length", "negative timeout",
        "nan timeout", "value", "index", "control timeout", "start address", "command",
        "block size", "read timeout", "write timeout"])
def test_values_the_c_types_cannot_hold_are_refused(sim, call):
    with vkm470.open("usb:0") as module:
        with pytest.raises(vkm470.ArgumentError) as caught:
            call(module)
        assert caught.value.code == vkm470.raw.ERR_NO_OBJECT and caught.value.reason
    assert sim.export()[0x1F0000] == 0xFF


@pytest.mark.parametrize("seconds,ms", [
    (None, 0xFFFFFFFF), (float("inf"), 0xFFFFFFFF), (1e12, 0xFFFFFFFF), (0, 0), (0.0001, 1),
    (0.25, 250), (4294967.294, 0xFFFFFFFE),
])
def test_time_outs_in_milliseconds(seconds, ms):
    assert vkm470.convert.milliseconds(seconds) == ms
