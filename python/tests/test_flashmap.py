# SPDX-License-Identifier: MIT
"""The flash map's rules on their edges: the serial field and the PGA header."""

import pytest

from vkm470 import flashmap


@pytest.mark.parametrize("serial,field", [
    (None, b"\xff" * 16),  # erased is its own value
    ("\xff" * 15, b"\xff" * 15 + b"\0"),  # a text that looks erased is not
    ("", bytes(16)),
    ("VKM-000001", b"VKM-000001" + bytes(6)),
    ("ABCDEFGHIJKLMNO", b"ABCDEFGHIJKLMNO\0"),
])
def test_serial_field_round_trip(serial, field):
    assert flashmap.serial_field(serial) == field
    assert flashmap.serial_text(field) == serial


def test_serial_fields_read_and_refused():
    # No zero byte in the text: the first 15 bytes; bytes past the zero are not read.
    assert flashmap.serial_text(b"0123456789abcdef") == "0123456789abcde"
    assert flashmap.serial_text(b"AB\0CD" + bytes(11)) == "AB"
    for refused in ("X" * 16, "A\0B", "\u20ac", b"Y" * 16):
        with pytest.raises(ValueError):
            flashmap.serial_field(refused)


def test_pga_header_lengths():
    largest = bytes([255]) * flashmap.PGA_BYTES
    header = flashmap.pga_header(largest)
    assert header == flashmap.PGA_BYTES.to_bytes(4, "little") + \
        (255 * flashmap.PGA_BYTES).to_bytes(4, "little")
    parsed = flashmap.parse_pga_header(header)
    assert parsed.valid and parsed.matches(largest) and not parsed.matches(largest[:-1])
    assert flashmap.pga_header(b"\1\2") == b"\2\0\0\0\3\0\0\0"
    for length in (0, flashmap.PGA_BYTES + 1):
        with pytest.raises(ValueError):
            flashmap.pga_header(bytes(length))
    assert flashmap.parse_pga_header(b"\xff" * 8) is None
    zero = flashmap.parse_pga_header(bytes(8))
    assert zero == (0, 0) and not zero.valid and not zero.matches(b"")
