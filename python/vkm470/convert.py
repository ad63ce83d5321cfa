# SPDX-License-Identifier: MIT
"""Python values as the exports' C arguments, checked: a value the C type
cannot hold is refused, never cut to fit."""

from __future__ import annotations

import ctypes
import math
from typing import Optional, Union

import numpy as np

from .errors import refused

BytesLike = Union[bytes, bytearray, memoryview, np.ndarray]

NO_TIMEOUT = 0xFFFFFFFF
"""The time-out the library reads as "wait without end"."""


def milliseconds(seconds: Optional[float], call: Optional[str] = None) -> int:
    """A time-out in seconds as the library's 32-bit milliseconds.

    None and ``float('inf')`` wait without end (0xFFFFFFFF), and so does a
    finite time-out longer than the largest the library counts (about 49.7
    days). A positive time-out below a millisecond waits one millisecond (0
    would not wait at all). A negative time-out or NaN is refused with
    ArgumentError.
    """
    if seconds is None:
        return NO_TIMEOUT
    try:
        value = float(seconds)
    except (TypeError, ValueError):
        raise refused(call, f"time-out {seconds!r} is not a number of seconds") from None
    if math.isnan(value) or value < 0:
        raise refused(call, f"time-out {seconds!r} s: a time-out is 0 or more seconds")
    if math.isinf(value):
        return NO_TIMEOUT
    ms = round(value * 1000)
    if ms == 0 and value > 0:
        ms = 1
    return min(ms, NO_TIMEOUT)


def unsigned(value: int, bits: int, what: str, call: Optional[str] = None) -> int:
    """value when it fits an unsigned C integer of bits bits; else ArgumentError."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise refused(call, f"{what} {value!r} is not an integer")
    number = int(value)
    if not 0 <= number < 1 << bits:
        raise refused(call, f"{what} {number:#x} does not fit {bits} bits")
    return number


def byte_pointer(array: np.ndarray) -> "ctypes._Pointer[ctypes.c_uint8]":
    return array.ctypes.data_as(ctypes.POINTER(ctypes.c_uint8))


def as_bytes(data: BytesLike) -> np.ndarray:
    """The bytes of any buffer as a uint8 array over the same memory (no copy)."""
    if isinstance(data, np.ndarray):
        if not data.flags.c_contiguous:
            raise ValueError("the array is not contiguous")
        return data.reshape(-1).view(np.uint8)
    return np.frombuffer(data, dtype=np.uint8)


def is_native_words(array: np.ndarray) -> bool:
    """True for a 16-bit integer array in the machine's byte order."""
    return array.dtype.isnative or array.dtype.byteorder == "|"


def as_words(data: BytesLike) -> np.ndarray:
    """Words as a contiguous uint16 array in the machine's byte order, over the
    caller's memory where it can be.

    A native uint16 or int16 array is used as it is (a non-contiguous one is
    copied); one in the other byte order (``>u2`` on a little-endian machine)
    is converted, so that each word keeps its value; bytes-like data is taken
    as words in the machine's byte order.
    """
    if isinstance(data, np.ndarray):
        if data.dtype.itemsize != 2 or data.dtype.kind not in "iu":
            raise TypeError(f"stream words are 16-bit integers, not {data.dtype}")
        if not is_native_words(data):
            data = data.astype(data.dtype.newbyteorder("="))
        return np.ascontiguousarray(data).reshape(-1).view(np.uint16)
    view = memoryview(data).cast("B")
    if view.nbytes % 2:
        raise ValueError(f"{view.nbytes} bytes are not a whole number of 16-bit words")
    return np.frombuffer(view, dtype=np.uint16)
