# SPDX-License-Identifier: MIT
"""Module names, as ``vkm470 -d`` takes them too: ``usb:N`` (QDevN, N = 0 to
255), ``lpt:N`` (the download cable on parallel port N, 1 to 3) and
``serial:TEXT`` (the free USB module whose serial field holds TEXT, 1 to 15
bytes). The kinds may be written in capitals; the burner's names ``USB``
(usb:0) and ``LPT1`` to ``LPT3`` are taken too. Nothing else is: no spaces,
no sign, no other kinds, no number of more than three digits."""

from __future__ import annotations

import re
from typing import NamedTuple, Optional

from .flashmap import SERIAL_FIELD_BYTES

USB_NUMBERS = 256
LPT_PORTS = (1, 2, 3)

_NUMBERED = re.compile(r"(usb|lpt)(?::([0-9]{1,3})|(?<=lpt)([0-9]{1,3}))?", re.IGNORECASE | re.ASCII)
_SERIAL = re.compile(r"serial:(.+)", re.IGNORECASE | re.DOTALL)


class Device(NamedTuple):
    """A module's name, taken apart: kind "usb", "lpt" or "serial", and its
    number (usb, lpt) or serial text."""

    kind: str
    number: Optional[int] = None
    serial: Optional[str] = None

    def __str__(self) -> str:
        return f"serial:{self.serial}" if self.kind == "serial" else f"{self.kind}:{self.number}"


def parse(name: str) -> Device:
    """The device a name means; ValueError for a name that means none."""
    if not isinstance(name, str):
        raise ValueError(f"device {name!r}: expected usb:N, lpt:N or serial:TEXT")
    match = _NUMBERED.fullmatch(name)
    if match:
        kind, digits = match.group(1).lower(), match.group(2) or match.group(3)
        if digits is None:
            if kind == "usb":
                return Device("usb", 0)
            raise ValueError(f"device {name!r}: name the port, lpt:1 to lpt:3")
        number = int(digits)
        if kind == "usb":
            if number >= USB_NUMBERS:
                raise ValueError(f"device {name!r}: USB numbers are 0 to {USB_NUMBERS - 1}")
            return Device("usb", number)
        if number not in LPT_PORTS:
            raise ValueError(f"device {name!r}: parallel ports are 1 to 3")
        return Device("lpt", number)
    match = _SERIAL.fullmatch(name)
    if match:
        text = match.group(1)
        try:
            size = len(text.encode("latin-1"))
        except UnicodeEncodeError:
            size = SERIAL_FIELD_BYTES
        if size >= SERIAL_FIELD_BYTES or "\0" in text:
            raise ValueError(f"device {name!r}: a serial is 1 to {SERIAL_FIELD_BYTES - 1} "
                             "bytes without a zero byte")
        return Device("serial", serial=text)
    raise ValueError(f"device {name!r}: expected usb:N, lpt:N or serial:TEXT")
