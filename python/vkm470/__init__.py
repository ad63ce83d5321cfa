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
then beside this package when installed, then by the system's search
(:mod:`vkm470.raw`).
"""

from .errors import (AccessDeniedError, ArgumentError, Error, FlashError, InUseError,
                     NotFoundError, StreamStoppedError, TimeoutError)
from .module import FlashInfo, Found, Module, State, open, search
from .status import text as status_text
from .stream import Stream

__all__ = [
    "AccessDeniedError", "ArgumentError", "Error", "FlashError", "FlashInfo", "Found",
    "InUseError", "Module", "NotFoundError", "State", "Stream", "StreamStoppedError", "TimeoutError", "open", "search", "status_text",
]
__version__ = "1.0.0"
