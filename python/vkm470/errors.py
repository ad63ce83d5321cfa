# SPDX-License-Identifier: MIT
"""Exceptions for the library's status codes, one class per family."""

from __future__ import annotations

import builtins
from typing import Dict, Optional, Type

from . import raw, status


class Error(Exception):
    """A call into the library failed.

    Attributes:
        code: the status code the export returned (negative).
        text: the code's text, as ``VKM470F_StatusText`` gives it.
        call: the export that returned it, or None.
        done: what the call moved before it failed (bytes or words, as the call
            counts), or None when it moves nothing.
        reason: why a device did not open, when the system said (for example
            "in use by another program"), or None.
    """

    def __init__(self, code: int, call: Optional[str] = None, done: Optional[int] = None,
                 reason: Optional[str] = None):
        self.code = code
        self.text = status.text(code)
        self.call = call
        self.done = done
        self.reason = reason
        where = f"{call}: " if call else ""
        why = f": {reason}" if reason else ""
        super().__init__(f"{where}{self.text}{why} (status {code})")


class NotFoundError(Error):
    """The device could not be opened: there is none at that number or port,
    or (the subclasses) it is held or forbidden."""


class InUseError(NotFoundError):
    """The device is there, but another program (or another Module) holds it:
    the library opens devices exclusively."""


class AccessDeniedError(NotFoundError):
    """The device is there, but this user may not open it (on Linux, see the
    udev rule in vkm470burn(1))."""


class TimeoutError(Error, builtins.TimeoutError):
    """A transfer did not complete within its time-out and was cancelled.

    The library reports such a transfer as -1006, or as -1007 when, as is
    usual, the cancelled transfer's result can then not be collected; -1007
    also stands for a pending transfer that the driver failed.
    """


class StreamStoppedError(Error):
    """A stream's worker is not running: the stream was stopped, never started,
    or a transfer of the worker failed."""


class FlashError(Error):
    """A flash operation over the parallel-port cable failed."""


class ArgumentError(Error, ValueError):
    """The library refused the call's arguments, or the call does not apply to
    this module's interface or state (not open, no stream)."""


FAMILIES: Dict[int, Type[Error]] = {
    raw.ERR_OPEN_FAILED: NotFoundError,
    raw.ERR_CABLE_OPEN: NotFoundError,
    raw.ERR_TIMEOUT: TimeoutError,
    raw.ERR_RESULT_FAILED: TimeoutError,
    raw.ERR_READER_STOPPED: StreamStoppedError,
    raw.ERR_WRITER_STOPPED: StreamStoppedError,
    raw.ERR_WORKER_STOPPED: StreamStoppedError,
    raw.ERR_FLASH_FAILED: FlashError,
    raw.ERR_INVALID_ARGUMENT: ArgumentError,
    raw.ERR_NO_OBJECT: ArgumentError,
    raw.ERR_NOT_AVAILABLE: ArgumentError,
}


def error(code: int, call: Optional[str] = None, done: Optional[int] = None) -> Error:
    """The exception for a status code, of its family's class."""
    return FAMILIES.get(code, Error)(code, call, done)


def check(code: int, call: str, done: Optional[int] = None) -> None:
    """Raises the code's exception unless it is success."""
    if code != raw.SUCCESS:
        raise error(code, call, done)


def refused(call: Optional[str], reason: str) -> ArgumentError:
    """The exception for arguments the package refuses before any call: the
    library's code for an argument out of range, with the reason."""
    return ArgumentError(raw.ERR_NO_OBJECT, call, reason=reason)


def check_open(code: int, call: str, system_error: int) -> None:
    """Raises for a failed open, of the class its system error names: the
    open's code cannot tell an absent device from a held or forbidden one,
    the thread's system error (errno, or GetLastError on Windows) can."""
    if code == raw.SUCCESS:
        return
    if code in (raw.ERR_OPEN_FAILED, raw.ERR_CABLE_OPEN):
        for kind, reason in ((InUseError, "in use by another program"),
                             (AccessDeniedError, "access denied"),
                             (NotFoundError, "no such device")):
            if system_error in raw.OPEN_REASONS[kind.__name__]:
                raise kind(code, call, reason=reason)
    raise error(code, call)
