# SPDX-License-Identifier: MIT
"""The VKM470 module from Python: search, open, flash, DSP commands and bulk
streaming of 16-bit words into numpy arrays.

A session::

    import vkm470
    print(vkm470.search())                      # what is at QDev0..QDev7
    with vkm470.open("usb:0") as module:        # or "lpt:1": the cable on LPT1
        print(module.serial)
        with module.stream() as stream:
            stream.write(words); back = stream.read(words.size)

Every failure of the library raises a :class:`Error` subclass carrying the
status code and its text. The library is found through ``VKM470_LIBRARY``,
then beside this package when installed, then in the source tree's build
(``build/default/lib``), then by the system's search (:mod:`vkm470.raw`).
:mod:`vkm470.flashmap` holds the module's flash map, :mod:`vkm470.names` the
module names.
"""

from .errors import (AccessDeniedError, ArgumentError, Error, FlashError, InUseError,
                     NotFoundError, StreamStoppedError, TimeoutError)
from .module import FlashInfo, Found, Module, State, open, search
from .names import Device
from .status import text as status_text
from .stream import Stream

__all__ = [
    "AccessDeniedError", "ArgumentError", "Device", "Error", "FlashError", "FlashInfo", "Found",
    "InUseError", "Module", "NotFoundError", "State", "Stream", "StreamStoppedError",
    "TimeoutError", "open", "search", "status_text",
]
__version__ = "1.0.0"
