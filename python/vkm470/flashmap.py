# SPDX-License-Identifier: MIT
"""The module's flash map as the burner lays it out, for Python: the areas,
the PGA header in front of the PGA image, the serial field, and the pieces
the tools program the flash in. The same values and rules as the C++ tools'
flash-map header (a test holds the two equal)."""

from __future__ import annotations

from typing import NamedTuple, Optional, Tuple, Union

PAGE_BYTES = 512
FLASH_BYTES = 4096 * PAGE_BYTES

BOOT_ADDRESS = 0x000000
BOOT_BYTES = 131072
SERIAL_ADDRESS = 0x020000
SERIAL_AREA_BYTES = 512
SERIAL_FIELD_BYTES = 16
"""The serial field: the text (at most 15 bytes), its terminator, zero fill;
all 16 bytes 0xFF when erased."""
APP_ADDRESS = 0x020200
APP_BYTES = 1863168
PGA_HEADER_ADDRESS = 0x1E7000
PGA_HEADER_BYTES = 8
"""The PGA header: the image's length and byte sum, 32 bits each, little-endian."""
PGA_ADDRESS = 0x1E7008
PGA_BYTES = 102392

PIECE_BYTES = 4096
"""The bytes of each flash call the burner and vkm470 make."""
PIECE_TIMEOUT = 1.0
"""The time-out of each such call, in seconds."""


class Area(NamedTuple):
    name: str
    address: int
    length: int


AREAS: Tuple[Area, ...] = (
    Area("boot", BOOT_ADDRESS, BOOT_BYTES),
    Area("serial", SERIAL_ADDRESS, SERIAL_AREA_BYTES),
    Area("application", APP_ADDRESS, APP_BYTES),
    Area("PGA header", PGA_HEADER_ADDRESS, PGA_HEADER_BYTES),
    Area("PGA", PGA_ADDRESS, PGA_BYTES),
)
"""In address order; together they cover the whole flash."""

# ---- the serial field


def serial_field(serial: Union[str, bytes, None]) -> bytes:
    """The 16-byte field that holds serial: its bytes (a text maps one to one
    to bytes, Latin-1), a zero byte, zero fill. None gives the erased field.
    Raises ValueError for more than 15 bytes, a zero byte, or a character
    beyond Latin-1."""
    if serial is None:
        return b"\xff" * SERIAL_FIELD_BYTES
    try:
        text = serial.encode("latin-1") if isinstance(serial, str) else bytes(serial)
    except UnicodeEncodeError:
        raise ValueError(f"serial {serial!r}: only characters up to U+00FF fit") from None
    if len(text) >= SERIAL_FIELD_BYTES:
        raise ValueError(f"serial {serial!r} is {len(text)} bytes; at most "
                         f"{SERIAL_FIELD_BYTES - 1} fit")
    if 0 in text:
        raise ValueError(f"serial {serial!r} holds a zero byte, which would end it")
    return text.ljust(SERIAL_FIELD_BYTES, b"\0")


def serial_text(field: bytes) -> Optional[str]:
    """The serial a 16-byte field holds: None when it is erased (every byte
    0xFF); else its bytes up to the first zero byte, at most 15, as Latin-1."""
    field = bytes(field)
    if len(field) != SERIAL_FIELD_BYTES:
        raise ValueError(f"a serial field is {SERIAL_FIELD_BYTES} bytes, not {len(field)}")
    if field == b"\xff" * SERIAL_FIELD_BYTES:
        return None
    text = field[:SERIAL_FIELD_BYTES - 1]
    end = text.find(0)
    return (text if end < 0 else text[:end]).decode("latin-1")


# ---- the PGA header


class PgaHeader(NamedTuple):
    """What a PGA header holds."""

    length: int
    sum: int

    @property
    def valid(self) -> bool:
        """True when the length is one a PGA image can have (1 to PGA_BYTES)."""
        return 1 <= self.length <= PGA_BYTES

    def matches(self, image: bytes) -> bool:
        """True when a valid header describes image (its first length bytes)."""
        return self.valid and len(image) >= self.length and \
            byte_sum(image[:self.length]) == self.sum


def byte_sum(data: bytes) -> int:
    """The sum of the bytes, modulo 2**32."""
    return sum(bytes(data)) & 0xFFFFFFFF


def pga_header(image: bytes) -> bytes:
    """The 8-byte header for a PGA image of 1 to PGA_BYTES bytes."""
    length = len(image)
    if not 1 <= length <= PGA_BYTES:
        raise ValueError(f"a PGA image is 1 to {PGA_BYTES} bytes, not {length}")
    return length.to_bytes(4, "little") + byte_sum(image).to_bytes(4, "little")


def parse_pga_header(header: bytes) -> Optional[PgaHeader]:
    """The length and sum of an 8-byte header; None when it is erased."""
    header = bytes(header)
    if len(header) != PGA_HEADER_BYTES:
        raise ValueError(f"a PGA header is {PGA_HEADER_BYTES} bytes, not {len(header)}")
    if header == b"\xff" * PGA_HEADER_BYTES:
        return None
    return PgaHeader(int.from_bytes(header[:4], "little"), int.from_bytes(header[4:], "little"))
