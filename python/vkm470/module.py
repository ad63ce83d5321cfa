"""Modules: search, open, and every operation of the exports on an open one."""

from __future__ import annotations

import ctypes
import enum
import re
from typing import TYPE_CHECKING, Any, List, NamedTuple, Optional, Union

import numpy as np

from . import raw
from .errors import check, check_open

if TYPE_CHECKING:
    from .stream import Stream

BytesLike = Union[bytes, bytearray, memoryview, np.ndarray]

SERIAL_ADDRESS = 0x020000
SERIAL_FIELD = 16  # the text (at most 15 bytes), its terminator, zero fill
FLASH_TIMEOUT = 1.0  # seconds; what the burner gives each flash piece

_SPECIAL_BINARY_PAGES = 1
_SPECIAL_INFORMATION = 2
_NAME_BYTES = 16
_DESCRIPTOR_BYTES = 208
_SEARCH_DEFAULT = 8


def milliseconds(seconds: Optional[float]) -> int:
    """A time-out in seconds as the library's 32-bit milliseconds. The largest
    value is one below 2**32 - 1, which the library reads as no time at all."""
    if seconds is None:
        return 0xFFFFFFFE
    if seconds < 0:
        raise ValueError(f"time-out {seconds} s is negative")
    return min(int(round(seconds * 1000)), 0xFFFFFFFE)


def byte_pointer(array: np.ndarray) -> "ctypes._Pointer[ctypes.c_uint8]":
    return array.ctypes.data_as(ctypes.POINTER(ctypes.c_uint8))


def as_bytes(data: BytesLike) -> np.ndarray:
    """The bytes of any buffer as a uint8 array over the same memory (no copy)."""
    if isinstance(data, np.ndarray):
        if not data.flags.c_contiguous:
            raise ValueError("the array is not contiguous")
        return data.reshape(-1).view(np.uint8)
    return np.frombuffer(data, dtype=np.uint8)


class State(enum.Enum):
    """What a search found at one device number."""

    FREE = 1
    """A VKM470 module that can be opened."""
    OTHER = 0
    """A device that could be opened but is not a VKM470."""
    UNAVAILABLE = -1
    """Nothing could be opened: no device there, or a program holds it."""

    def __repr__(self) -> str:
        return f"State.{self.name}"


class Found(NamedTuple):
    """One entry of a search."""

    number: int
    state: State

    @property
    def free(self) -> bool:
        """True for a VKM470 that can be opened."""
        return self.state is State.FREE


class FlashInfo(NamedTuple):
    """The DataFlash chip's registers and identity (special flash command 2)."""

    status: int
    protection: int
    lockdown: int
    security: int
    manufacturer: int
    device: int  # the two device ID bytes, the first one high
    extended: int  # length of the extended device information

    @property
    def ready(self) -> bool:
        """True when the chip is not busy."""
        return bool(self.status & 0x80)

    @property
    def binary_pages(self) -> bool:
        """True once the chip works in 512-byte pages."""
        return bool(self.status & 0x01)


def _record(interface: int) -> raw.VKM470F_DEVICE:
    record = raw.VKM470F_DEVICE()
    record.interfaceType = interface
    return record


def search(interface: str = "usb", count: int = _SEARCH_DEFAULT) -> List[Found]:
    """Probes device numbers 0 to count - 1 (``VKM470F_SearchDevices``).

    Returns one entry a number, with its state. Only USB modules can be
    searched; another interface raises ArgumentError.
    """
    kind, _ = parse_device(interface)
    record = _record(kind)
    entries = (ctypes.c_int16 * max(count, 0))()
    result = raw.library().VKM470F_SearchDevices(ctypes.byref(record), entries, count)
    if result < 0:
        check(result, "VKM470F_SearchDevices")
    return [Found(i, State(entry)) for i, entry in enumerate(entries)]


_DEVICE = re.compile(r"^\s*(usb|lpt)\s*:?\s*(\d+)?\s*$", re.IGNORECASE)


def parse_device(device: str) -> "tuple[int, int]":
    """(interfaceType, number) of "usb:N" (N = 0..255) or "lpt:N" (N = 1..3);
    "USB" and "LPT1" as the burner writes them also do."""
    match = _DEVICE.match(device)
    if not match:
        raise ValueError(f"device {device!r}: expected usb:N or lpt:N")
    kind = match.group(1).lower()
    number = int(match.group(2)) if match.group(2) else (0 if kind == "usb" else 1)
    if kind == "usb":
        if number > 255:
            raise ValueError(f"device {device!r}: USB numbers are 0 to 255")
        return raw.INTERFACE_USB, number
    if not 1 <= number <= 3:
        raise ValueError(f"device {device!r}: parallel ports are 1 to 3")
    return raw.INTERFACE_LPT1 + number - 1, number


class Module:
    """An open VKM470 module, over USB or over a parallel-port cable.

    Made by :func:`vkm470.open`. A context manager: leaving the ``with`` block
    closes it, whatever happens inside; so does collecting it open. Every
    method raises a :class:`vkm470.Error` subclass when the library refuses.

    Over a parallel port only the flash operations and ``reset_dsp`` work;
    the others raise ArgumentError.
    """

    def __init__(self, device: str = "usb:0"):
        """Opens device ("usb:N" or "lpt:N"); raises NotFoundError when nothing
        can be opened there or another program holds it."""
        kind, number = parse_device(device)
        self.device = device
        self.interface = "usb" if kind == raw.INTERFACE_USB else "lpt"
        self.number = number
        self._lib = raw.library()
        self._record = _record(kind)
        self._open = False
        self._streams: List[Any] = []
        raw.clear_system_error()
        check_open(self._lib.VKM470F_OpenDevice(self._ref, number), "VKM470F_OpenDevice",
                   raw.system_error())
        self._open = True

    @property
    def _ref(self) -> Any:
        return ctypes.byref(self._record)

    @property
    def record(self) -> raw.VKM470F_DEVICE:
        """The device record, for calls through :mod:`vkm470.raw`."""
        return self._record

    @property
    def closed(self) -> bool:
        """True once the module has been closed."""
        return not self._open

    def close(self) -> None:
        """Closes the module (``VKM470F_CloseFullDevice``): stops and disposes of
        its stream, releases the USB channel and the cable. Closing twice is harmless."""
        if self._open:
            for stream in self._streams:
                stream._forget()
            self._streams.clear()
            self._open = False
            self._lib.VKM470F_CloseFullDevice(self._ref)

    def __enter__(self) -> "Module":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_open", False):
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<vkm470.Module {self.interface}:{self.number} {state}>"

    def _call(self, name: str, *args: Any) -> None:
        if not self._open:
            raise ValueError(f"{self!r}: the module is closed")
        check(getattr(self._lib, name)(self._ref, *args), name)

    # ---- flash

    def read_flash(self, address: int, length: int, timeout: float = FLASH_TIMEOUT) -> bytes:
        """Reads length bytes of flash from address on (512-byte pages: page p,
        offset o is at p * 512 + o). Over USB, timeout applies to each 4096-byte piece."""
        buffer = np.empty(length, dtype=np.uint8)
        self._call("VKM470F_ReadDSPFlash", address, byte_pointer(buffer), length,
                   milliseconds(timeout))
        return buffer.tobytes()

    def write_flash(self, address: int, data: BytesLike, timeout: float = FLASH_TIMEOUT) -> None:
        """Programs data into the flash from address on. The flash keeps the
        pieces written before a failure."""
        view = as_bytes(data)
        self._call("VKM470F_ProgrammDSPFlash", address, byte_pointer(view), view.size,
                   milliseconds(timeout))

    @property
    def serial(self) -> str:
        """The serial number, as the burner reads and writes it: a text of at
        most 15 bytes in a 16-byte field at 0x020000, ending at its first zero
        byte. Assigning writes the whole field (text, terminator, zero fill).
        Text and bytes correspond one to one (Latin-1), so an erased field
        reads as 15 'ÿ' and any field reads back as it was written; bytes may
        also be assigned as they are."""
        field = bytearray(self.read_flash(SERIAL_ADDRESS, SERIAL_FIELD))
        field[SERIAL_FIELD - 1] = 0
        return bytes(field[:field.index(0)]).decode("latin-1")

    @serial.setter
    def serial(self, value: Union[str, bytes]) -> None:
        text = value.encode("latin-1") if isinstance(value, str) else bytes(value)
        if len(text) >= SERIAL_FIELD:
            raise ValueError(f"serial {value!r} is {len(text)} bytes; at most "
                             f"{SERIAL_FIELD - 1} fit")
        if 0 in text:
            raise ValueError(f"serial {value!r} holds a zero byte, which would end it")
        self.write_flash(SERIAL_ADDRESS, text.ljust(SERIAL_FIELD, b"\0"))

    def set_binary_pages(self) -> None:
        """Switches the flash chip to 512-byte pages (special command 1). The
        chip's switch is one-time: there is no way back."""
        self._call("VKM470F_SpecialDSPFlashCommand", _SPECIAL_BINARY_PAGES, None, 0)

    def flash_info(self) -> FlashInfo:
        """The chip's status, protection, lockdown and security bytes and its
        identity (special command 2)."""
        block = np.zeros(8, dtype=np.uint8)
        self._call("VKM470F_SpecialDSPFlashCommand", _SPECIAL_INFORMATION, byte_pointer(block), 8)
        b = [int(x) for x in block]
        return FlashInfo(b[0], b[1], b[2], b[3], b[4], b[5] << 8 | b[6], b[7])

    def special(self, command: int, length: int = 0) -> bytes:
        """Any special flash command; returns the length bytes the module answers."""
        block = np.zeros(length, dtype=np.uint8)
        self._call("VKM470F_SpecialDSPFlashCommand", command,
                   byte_pointer(block) if length else None, length)
        return block.tobytes()

    # ---- the DSP and the module's programs (USB)

    def dsp_write(self, value: int, index: int, data: BytesLike = b"",
                  timeout: float = 1.0) -> None:
        """Sends a DSP command with data (an even number of bytes, at most 4096)."""
        view = as_bytes(data)
        self._call("VKM470F_DSP_Write_Command", value, index, byte_pointer(view), view.size,
                   milliseconds(timeout))

    def dsp_read(self, value: int, index: int, length: int, timeout: float = 1.0) -> bytes:
        """Sends a DSP command and returns the length bytes it answers (even, at most 4096)."""
        buffer = np.zeros(length, dtype=np.uint8)
        self._call("VKM470F_DSP_Read_Command", value, index, byte_pointer(buffer), length,
                   milliseconds(timeout))
        return buffer.tobytes()

    def call_application(self, address: int = 0) -> None:
        """Starts the module's program at a start address: 0 the application,
        0x3C00 the other program."""
        self._call("VKM470F_CallApplication", address)

    def reset_dsp(self) -> None:
        """Resets the module's DSP (USB; or the select-line pulse over the cable)."""
        self._call("VKM470F_ResetDSP")

    @property
    def application_running(self) -> bool:
        """What the library last started: True the application, False the other program."""
        return bool(self._record.applicationRunning)

    def name(self, length: int = _NAME_BYTES) -> str:
        """The module's name (starts the program at 0x3C00 first)."""
        buffer = ctypes.create_string_buffer(length)
        self._call("VKM470F_GetDeviceName", buffer, length)
        return buffer.value.decode("ascii", "replace")

    def descriptor(self) -> bytes:
        """The module's 208-byte descriptor (starts the program at 0x3C00 first)."""
        buffer = np.zeros(_DESCRIPTOR_BYTES, dtype=np.uint8)
        self._call("VKM470F_GetDeviceDescr", byte_pointer(buffer))
        return buffer.tobytes()

    def control(self, request: int, value: int = 0, index: int = 0, *,
                data: Optional[BytesLike] = None, length: int = 0,
                timeout: float = 1.0) -> bytes:
        """Sends a vendor control request as given, and nothing else.

        With data, the data stage goes to the module (direction 0); with
        length, the module answers that many bytes, which are returned
        (direction 1); with neither there is no data stage.
        """
        if data is not None and length:
            raise ValueError("a control request carries data one way: data or length")
        if data is not None:
            buffer, direction = as_bytes(data), 0
        else:
            buffer, direction = np.zeros(length, dtype=np.uint8), 1 if length else 0
        setup = raw.QUSB_REQUEST(direction, request, value, index)
        self._call("VKM470F_SimpleControlQDevice", ctypes.byref(setup),
                   byte_pointer(buffer) if buffer.size else None, buffer.size,
                   milliseconds(timeout))
        return buffer.tobytes() if direction == 1 else b""

    def simple_write_bulk(self, data: BytesLike, timeout: float = 1.0) -> int:
        """One bulk write; returns the bytes written. A failure raises with the
        bytes written so far in the exception's ``done``."""
        view = as_bytes(data)
        done = ctypes.c_uint32(0)
        check(self._lib.VKM470F_SimpleWriteBulk(self._ref, byte_pointer(view), view.size,
                                                ctypes.byref(done), milliseconds(timeout)),
              "VKM470F_SimpleWriteBulk", done.value)
        return done.value

    def simple_read_bulk(self, length: int, timeout: float = 1.0) -> bytes:
        """One bulk read of up to length bytes; returns what arrived (a read
        that the module ends early returns fewer)."""
        buffer = np.zeros(length, dtype=np.uint8)
        done = ctypes.c_uint32(0)
        check(self._lib.VKM470F_SimpleReadBulk(self._ref, byte_pointer(buffer), length,
                                               ctypes.byref(done), milliseconds(timeout)),
              "VKM470F_SimpleReadBulk", done.value)
        return buffer[:done.value].tobytes()

    # ---- streaming

    def stream(self, read_fifo: int = 8 << 20, write_fifo: int = 8 << 20, blocks: int = 8,
               block_size: int = 64 << 10, start: bool = True) -> "Stream":
        """Creates the module's bulk stream and, unless start is False, starts it.

        Sizes are in bytes: read_fifo and write_fifo the FIFOs between the
        program and the workers, blocks the transfers each worker keeps in
        flight, block_size the bytes of each (a multiple of 512). A module has
        one stream at a time: a new one replaces the old. Use it as a context
        manager: leaving stops and disposes of it.
        """
        from .stream import Stream

        if not self._open:
            raise ValueError(f"{self!r}: the module is closed")
        stream = Stream(self, read_fifo, write_fifo, blocks, block_size)
        for old in self._streams:
            old._forget()
        self._streams = [stream]
        if start:
            stream.start()
        return stream


def open(device: str = "usb:0") -> Module:  # noqa: A001 - the package's verb, as io.open
    """Opens a module: "usb:N" (QDevN, N = 0..255) or "lpt:N" (the cable on
    parallel port N, 1..3). Raises NotFoundError when nothing can be opened
    there or another program holds it."""
    return Module(device)
