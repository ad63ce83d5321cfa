# SPDX-License-Identifier: MIT
"""Modules: search, open, and every operation of the exports on an open one."""

from __future__ import annotations

import atexit
import ctypes
import enum
import os
import sys
import weakref
from typing import Any, List, NamedTuple, Optional, Union

import numpy as np

from . import flashmap, names, raw
from .convert import BytesLike, as_bytes, byte_pointer, milliseconds, unsigned
from .errors import NotFoundError, check, check_open, refused
from .gate import Gate
from .stream import Stream

SERIAL_ADDRESS = flashmap.SERIAL_ADDRESS
SERIAL_FIELD = flashmap.SERIAL_FIELD_BYTES
FLASH_TIMEOUT = flashmap.PIECE_TIMEOUT  # seconds; what the burner gives each flash piece

_NAME_BYTES = 16
_DESCRIPTOR_BYTES = 208
_SEARCH_DEFAULT = 8

# Modules open in this process, for the fork and exit hooks.
_open_modules: "weakref.WeakSet[Module]" = weakref.WeakSet()


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
    count = unsigned(count, 31, "count", "VKM470F_SearchDevices")
    record = _record(kind)
    entries = (ctypes.c_int16 * count)()
    result = raw.library().VKM470F_SearchDevices(ctypes.byref(record), entries, count)
    if result < 0:
        check(result, "VKM470F_SearchDevices")
    return [Found(i, State(entry)) for i, entry in enumerate(entries)]


def parse_device(device: str) -> "tuple[int, int]":
    """(interfaceType, number) of "usb:N" or "lpt:N" and the other spellings
    :mod:`vkm470.names` takes; ValueError for any other name."""
    name = names.parse(device)
    if name.kind == "usb":
        return raw.INTERFACE_USB, int(name.number)  # type: ignore[arg-type]
    if name.kind == "lpt":
        return raw.INTERFACE_LPT1 + int(name.number) - 1, int(name.number)  # type: ignore
    raise ValueError(f"device {device!r}: a serial names no interface; open it")


class Module:
    """An open VKM470 module, over USB or over a parallel-port cable.

    Made by :func:`vkm470.open`. A context manager: leaving the ``with`` block
    closes it, whatever happens inside; so does collecting it open, and the
    end of the program. Every method raises a :class:`vkm470.Error` subclass
    when the library refuses.

    Over a parallel port only the flash operations and ``reset_dsp`` work;
    the others raise ArgumentError.

    Threads may share a module: calls that the library lets overlap do,
    and a close (or a new stream) waits for the calls in flight to return.
    A stream's reads and writes in flight return at once with what they
    moved, or raise StreamStoppedError.

    A module stays with the process that opened it: in the child of an
    ``os.fork()`` every call on it raises ArgumentError, and closing it only
    forgets it (the parent still holds the module).
    """

    def __init__(self, device: str = "usb:0"):
        """Opens device ("usb:N", "lpt:N" or "serial:TEXT"); raises
        NotFoundError when nothing can be opened there or another program
        holds it."""
        name = names.parse(device)
        self.device = str(name)
        self._lib = raw.library()
        self._gate = Gate()
        self._open = False
        self._inherited = False
        self._streams: List[Stream] = []
        if name.kind == "serial":
            number = _find_serial(name.serial)  # type: ignore[arg-type]
            kind = raw.INTERFACE_USB
        else:
            kind, number = parse_device(device)
        self.interface = "usb" if kind == raw.INTERFACE_USB else "lpt"
        self.number = number
        self._record = _record(kind)
        raw.clear_system_error()
        check_open(self._lib.VKM470F_OpenDevice(self._ref, number), "VKM470F_OpenDevice",
                   raw.system_error())
        self._open = True
        _open_modules.add(self)

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
        its stream, releases the USB channel and the cable. Calls in flight in
        other threads return first. Closing twice is harmless."""
        self._close(None)

    def _close(self, wait: Optional[float]) -> None:
        if not self._open:
            return
        if self._inherited:
            # The library's objects behind the record belong to the parent.
            self._forget()
            return
        self._gate.check_outside()
        self._gate.closing = True  # stream calls in flight leave at their next slice
        with self._gate.exclusive(wait) as ready:
            if not ready or not self._open:
                return
            self._forget()
            self._lib.VKM470F_CloseFullDevice(self._ref)

    def _forget(self) -> None:
        for stream in self._streams:
            stream._forget()
        self._streams.clear()
        self._open = False
        _open_modules.discard(self)

    def __enter__(self) -> "Module":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_open", False):
            # As the interpreter ends, a daemon thread stopped inside a call
            # never returns: leave the module then rather than wait for ever.
            self._close(0 if sys.is_finalizing() else None)

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<vkm470.Module {self.interface}:{self.number} {state}>"

    def _usable(self, name: str) -> None:
        if self._inherited:
            raise refused(name, "the module was opened by the parent process (before "
                          "os.fork()); open it again in this process")
        if not self._open:
            raise ValueError(f"{self!r}: the module is closed")

    def _call(self, name: str, *args: Any, done: Optional[Any] = None) -> None:
        with self._gate.shared():
            self._usable(name)
            status = getattr(self._lib, name)(self._ref, *args)
        check(status, name, None if done is None else done.value)

    # ---- flash

    def read_flash(self, address: int, length: int, timeout: float = FLASH_TIMEOUT) -> bytes:
        """Reads length bytes of flash from address on (512-byte pages: page p,
        offset o is at p * 512 + o). Over USB, timeout applies to each 4096-byte piece."""
        call = "VKM470F_ReadDSPFlash"
        address = unsigned(address, 32, "address", call)
        length = unsigned(length, 32, "length", call)
        wait = milliseconds(timeout, call)
        buffer = np.empty(length, dtype=np.uint8)
        self._call(call, address, byte_pointer(buffer), length, wait)
        return buffer.tobytes()

    def write_flash(self, address: int, data: BytesLike, timeout: float = FLASH_TIMEOUT) -> None:
        """Programs data into the flash from address on. The flash keeps the
        pieces written before a failure."""
        call = "VKM470F_ProgrammDSPFlash"
        address = unsigned(address, 32, "address", call)
        view = as_bytes(data)
        unsigned(view.size, 32, "length", call)
        self._call(call, address, byte_pointer(view), view.size, milliseconds(timeout, call))

    @property
    def serial(self) -> Optional[str]:
        """The serial number, as the burner reads and writes it: a text of at
        most 15 bytes in a 16-byte field at 0x020000, ending at its first zero
        byte; None when the field is erased (all 16 bytes 0xFF). Text and bytes
        correspond one to one (Latin-1).

        Assigning writes the whole field (text, terminator, zero fill); bytes
        may be assigned as they are; assigning None erases the field."""
        return flashmap.serial_text(self.read_flash(SERIAL_ADDRESS, SERIAL_FIELD))

    @serial.setter
    def serial(self, value: Union[str, bytes, None]) -> None:
        self.write_flash(SERIAL_ADDRESS, flashmap.serial_field(value))

    def set_binary_pages(self) -> None:
        """Switches the flash chip to 512-byte pages (special command 1). The
        chip's switch is one-time: there is no way back."""
        self._call("VKM470F_SpecialDSPFlashCommand", raw.SPECIAL_BINARY_PAGES, None, 0)

    def flash_info(self) -> FlashInfo:
        """The chip's status, protection, lockdown and security bytes and its
        identity (special command 2)."""
        block = np.zeros(8, dtype=np.uint8)
        self._call("VKM470F_SpecialDSPFlashCommand", raw.SPECIAL_FLASH_INFORMATION, byte_pointer(block), 8)
        b = [int(x) for x in block]
        return FlashInfo(b[0], b[1], b[2], b[3], b[4], b[5] << 8 | b[6], b[7])

    def special(self, command: int, length: int = 0) -> bytes:
        """Any special flash command; returns the length bytes the module answers."""
        call = "VKM470F_SpecialDSPFlashCommand"
        command = unsigned(command, 32, "command", call)
        length = unsigned(length, 32, "length", call)
        block = np.zeros(length, dtype=np.uint8)
        self._call(call, command, byte_pointer(block) if length else None, length)
        return block.tobytes()

    # ---- the DSP and the module's programs (USB)

    def dsp_write(self, value: int, index: int, data: BytesLike = b"",
                  timeout: float = 1.0) -> None:
        """Sends a DSP command with data (an even number of bytes, at most 4096)."""
        call = "VKM470F_DSP_Write_Command"
        value, index = unsigned(value, 16, "value", call), unsigned(index, 16, "index", call)
        view = as_bytes(data)
        unsigned(view.size, 32, "length", call)
        self._call(call, value, index, byte_pointer(view), view.size, milliseconds(timeout, call))

    def dsp_read(self, value: int, index: int, length: int, timeout: float = 1.0) -> bytes:
        """Sends a DSP command and returns the length bytes it answers (even, at most 4096)."""
        call = "VKM470F_DSP_Read_Command"
        value, index = unsigned(value, 16, "value", call), unsigned(index, 16, "index", call)
        length = unsigned(length, 32, "length", call)
        buffer = np.zeros(length, dtype=np.uint8)
        self._call(call, value, index, byte_pointer(buffer), length, milliseconds(timeout, call))
        return buffer.tobytes()

    def call_application(self, address: int = 0) -> None:
        """Starts the module's program at a start address: 0 the application,
        0x3C00 the other program."""
        call = "VKM470F_CallApplication"
        self._call(call, unsigned(address, 16, "address", call))

    def reset_dsp(self) -> None:
        """Resets the module's DSP (USB; or the select-line pulse over the cable)."""
        self._call("VKM470F_ResetDSP")

    @property
    def application_running(self) -> bool:
        """What the library last started: True the application, False the other program."""
        return bool(self._record.applicationRunning)

    def name(self, length: int = _NAME_BYTES) -> str:
        """The module's name (starts the program at 0x3C00 first)."""
        call = "VKM470F_GetDeviceName"
        length = unsigned(length, 16, "length", call)
        buffer = ctypes.create_string_buffer(length)
        self._call(call, buffer, length)
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
        call = "VKM470F_SimpleControlQDevice"
        if data is not None and length:
            raise ValueError("a control request carries data one way: data or length")
        request = unsigned(request, 16, "request", call)
        value, index = unsigned(value, 16, "value", call), unsigned(index, 16, "index", call)
        if data is not None:
            buffer, direction = as_bytes(data), 0
        else:
            length = unsigned(length, 32, "length", call)
            buffer, direction = np.zeros(length, dtype=np.uint8), 1 if length else 0
        unsigned(buffer.size, 32, "length", call)
        setup = raw.QUSB_REQUEST(direction, request, value, index)
        self._call(call, ctypes.byref(setup), byte_pointer(buffer) if buffer.size else None,
                   buffer.size, milliseconds(timeout, call))
        return buffer.tobytes() if direction == 1 else b""

    def simple_write_bulk(self, data: BytesLike, timeout: float = 1.0) -> int:
        """One bulk write; returns the bytes written. A failure raises with the
        bytes written so far in the exception's ``done``."""
        call = "VKM470F_SimpleWriteBulk"
        view = as_bytes(data)
        unsigned(view.size, 32, "length", call)
        done = ctypes.c_uint32(0)
        self._call(call, byte_pointer(view), view.size, ctypes.byref(done),
                   milliseconds(timeout, call), done=done)
        return done.value

    def simple_read_bulk(self, length: int, timeout: float = 1.0) -> bytes:
        """One bulk read of up to length bytes; returns what arrived (a read
        that the module ends early returns fewer)."""
        call = "VKM470F_SimpleReadBulk"
        length = unsigned(length, 32, "length", call)
        buffer = np.zeros(length, dtype=np.uint8)
        done = ctypes.c_uint32(0)
        self._call(call, byte_pointer(buffer), length, ctypes.byref(done),
                   milliseconds(timeout, call), done=done)
        return buffer[:done.value].tobytes()

    # ---- streaming

    def stream(self, read_fifo: int = 8 << 20, write_fifo: int = 8 << 20, blocks: int = 8,
               block_size: int = 64 << 10, start: bool = True) -> Stream:
        """Creates the module's bulk stream and, unless start is False, starts it.

        Sizes are in bytes: read_fifo and write_fifo the FIFOs between the
        program and the workers, blocks the transfers each worker keeps in
        flight, block_size the bytes of each (a multiple of 512). A module has
        one stream at a time: a new one replaces the old (whose calls in
        flight return first). Use it as a context manager: leaving stops and
        disposes of it.
        """
        call = "VKM470F_CreateBulkFIFO"
        sizes = [unsigned(v, 32, what, call) for v, what in
                 ((read_fifo, "read_fifo"), (write_fifo, "write_fifo"), (blocks, "blocks"),
                  (block_size, "block_size"))]
        with self._gate.exclusive():
            self._usable(call)
            stream = Stream(self, *sizes)  # a refused one leaves the old stream as it was
            for old in self._streams:
                old._forget()
            self._streams = [stream]
            if start:
                stream.start()
        return stream


def _find_serial(serial: str) -> int:
    """The number of the one free USB module whose serial field holds serial;
    NotFoundError naming the candidates when none or several do."""
    held = []
    for entry in search(count=names.USB_NUMBERS):
        if not entry.free:
            continue
        try:
            with Module(f"usb:{entry.number}") as candidate:
                if candidate.serial == serial:
                    held.append(entry.number)
        except NotFoundError:
            continue
    if len(held) == 1:
        return held[0]
    where = ", ".join(f"usb:{n}" for n in held)
    reason = (f"no free module holds serial {serial!r}" if not held
              else f"serial {serial!r} is held by {len(held)} modules: {where}")
    raise NotFoundError(raw.ERR_OPEN_FAILED, "VKM470F_OpenDevice", reason=reason)


def open(device: str = "usb:0") -> Module:  # noqa: A001 - the package's verb, as io.open
    """Opens a module: "usb:N" (QDevN, N = 0..255), "lpt:N" (the cable on
    parallel port N, 1..3) or "serial:TEXT" (the free USB module whose serial
    is TEXT; it opens each free one to read it). Raises NotFoundError when
    nothing can be opened there or another program holds it."""
    return Module(device)


def _after_fork_in_child() -> None:
    # The parent's threads are not in the child: its stream workers, and any
    # thread that was inside a call. Modules the parent opened stay its own.
    for module in list(_open_modules):
        module._inherited = True
        module._gate = Gate()
    _open_modules.clear()


def _close_all() -> None:
    # At exit, while daemon threads still run: their calls in flight return,
    # then each module is closed.
    for module in list(_open_modules):
        module.close()


os.register_at_fork(after_in_child=_after_fork_in_child)
atexit.register(_close_all)
