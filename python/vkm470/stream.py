"""Bulk streaming of 16-bit words to and from a module over USB."""

from __future__ import annotations

import ctypes
import os
import pathlib
import time
from typing import Any, Iterator, Optional, Union

import numpy as np

from . import raw
from .errors import StreamStoppedError, check, error
from .module import BytesLike, Module, milliseconds

# The most words one read or write call of the library takes.
_CALL_WORDS = 1 << 30
# A wait without a time-out is made of calls of this many milliseconds.
_WAIT_MS = 1000
_NPY_HEADER = 128  # bytes of the .npy header written by capture


def as_words(data: Union[BytesLike, np.ndarray]) -> np.ndarray:
    """Words as a contiguous uint16 array, over the caller's memory where it can be.

    A uint16 or int16 array is used as it is (a non-contiguous one is copied);
    bytes-like data is taken as words in the machine's byte order.
    """
    if isinstance(data, np.ndarray):
        if data.dtype.itemsize != 2 or data.dtype.kind not in "iu":
            raise TypeError(f"stream words are 16-bit integers, not {data.dtype}")
        return np.ascontiguousarray(data).reshape(-1).view(np.uint16)
    view = memoryview(data).cast("B")
    if view.nbytes % 2:
        raise ValueError(f"{view.nbytes} bytes are not a whole number of 16-bit words")
    return np.frombuffer(view, dtype=np.uint16)


def _word_pointer(array: np.ndarray) -> Any:
    return array.ctypes.data_as(ctypes.POINTER(ctypes.c_uint16))


class Stream:
    """The module's bulk stream: words written go to the module, words the
    module sends are read, each direction through a FIFO served by a worker
    thread of the library.

    Made by :meth:`Module.stream`. A context manager: leaving the ``with``
    block stops and disposes of it. Time-outs are in seconds; None waits as
    long as it takes (while the stream runs). Reading and writing may go on
    in two threads at once (one reader, one writer): the library's calls
    release the interpreter while they wait.

    The library sends words in whole 512-byte transfers: the last words of a
    write that leaves fewer than 256 queued wait for the next write.

    Iterating yields blocks of ``block_size`` bytes as uint16 arrays until the
    stream is stopped and what it held has been read.
    """

    def __init__(self, module: Module, read_fifo: int, write_fifo: int, blocks: int,
                 block_size: int):
        self.module = module
        self.block_size = block_size
        self._lib = module._lib
        self._live = False
        self._stopping = False
        self._call("VKM470F_CreateBulkFIFO", read_fifo, write_fifo, blocks, blocks, block_size,
                   block_size, check_live=False)
        self._live = True

    @property
    def _ref(self) -> Any:
        return ctypes.byref(self.module.record)

    def _call(self, name: str, *args: Any, check_live: bool = True) -> None:
        if check_live and not self._live:
            raise ValueError("the stream is closed")
        check(getattr(self._lib, name)(self._ref, *args), name)

    def _forget(self) -> None:
        # The module disposes of the stream as it closes or makes a new one.
        self._live = False

    # ---- life

    def start(self) -> None:
        """Starts both workers, the FIFOs emptied first (words written before
        the start are discarded)."""
        self._call("VKM470F_StartBulkFIFO")
        self._stopping = False

    def stop(self) -> None:
        """Stops both workers. Words already in the read FIFO can still be read."""
        self._stopping = True
        self._call("VKM470F_StopBulkFIFO")

    def flush(self) -> None:
        """Empties both FIFOs; running workers start again. Words in transfers
        that were in flight are lost."""
        self._call("VKM470F_FlushBulkFIFO")

    def close(self) -> None:
        """Stops and disposes of the stream; closing twice is harmless."""
        if self._live and not self.module.closed:
            self._live = False
            try:
                self._lib.VKM470F_StopBulkFIFO(self._ref)
            finally:
                self._lib.VKM470F_DisposeBulkFIFO(self._ref)
        self._live = False

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ---- counts

    def _count(self, name: str) -> "tuple[int, bool]":
        if not self._live:
            raise ValueError("the stream is closed")
        words = ctypes.c_uint32(0)
        status = getattr(self._lib, name)(self._ref, ctypes.byref(words))
        if status not in (raw.SUCCESS, raw.ERR_WORKER_STOPPED):
            raise error(status, name)
        return words.value, status == raw.SUCCESS

    @property
    def ready(self) -> int:
        """Words waiting in the read FIFO."""
        return self._count("VKM470F_GetBulkFIFOReadReady")[0]

    @property
    def free(self) -> int:
        """Words the write FIFO has room for."""
        return self._count("VKM470F_GetBulkFIFOWriteFree")[0]

    @property
    def running(self) -> bool:
        """True while both workers run."""
        return (self._count("VKM470F_GetBulkFIFOReadReady")[1]
                and self._count("VKM470F_GetBulkFIFOWriteFree")[1])

    # ---- words

    def _move(self, name: str, array: np.ndarray, timeout: Optional[float],
              keep_partial: bool) -> int:
        """Moves the words of array through one export; returns the count moved.
        An error raises with the count in the exception's ``done``, or, with
        keep_partial, returns the count when it is not 0 (the next call raises)."""
        if not self._live:
            raise ValueError("the stream is closed")
        function = getattr(self._lib, name)
        total = array.size
        done = 0
        count = ctypes.c_uint32(0)
        deadline = None if timeout is None else time.monotonic() + timeout
        base = array.ctypes.data
        while done < total:
            last = False
            if deadline is None:
                wait = _WAIT_MS
            else:
                # At least one pass: a time-out of 0 takes what is there now.
                left = deadline - time.monotonic()
                last = left <= 0.001
                wait = max(milliseconds(max(left, 0.0)), 1)
            words = min(total - done, _CALL_WORDS)
            pointer = ctypes.cast(base + 2 * done, ctypes.POINTER(ctypes.c_uint16))
            status = function(self._ref, pointer, words, ctypes.byref(count), wait)
            done += count.value
            if status != raw.SUCCESS:
                if done and keep_partial:
                    return done
                raise error(status, name, done)
            if last:
                break
        return done

    def write(self, data: Union[BytesLike, np.ndarray], timeout: Optional[float] = None) -> int:
        """Queues words for the module; returns how many were queued: all of
        them, or fewer when the time-out passed first. Raises
        StreamStoppedError when the writer does not run (or stops) before all
        were queued, with the words queued in the exception's ``done``."""
        return self._move("VKM470F_WriteBulkFIFO", as_words(data), timeout, False)

    def read_into(self, array: np.ndarray, timeout: Optional[float] = None) -> int:
        """Fills a contiguous 16-bit array with words from the module; returns
        how many arrived: all, or fewer when the time-out passed or the stream
        stopped first. Raises StreamStoppedError when the reader does not run
        and nothing was left to read."""
        if not isinstance(array, np.ndarray) or not array.flags.c_contiguous \
                or not array.flags.writeable:
            raise TypeError("read_into needs a writable contiguous numpy array")
        return self._move("VKM470F_ReadBulkFIFO", as_words(array), timeout, True)

    def read(self, words: int, timeout: Optional[float] = None) -> np.ndarray:
        """Reads up to words words; returns them as a uint16 array, shorter when
        the time-out passed or the stream stopped first."""
        array = np.empty(words, dtype=np.uint16)
        return array[:self.read_into(array, timeout)]

    def __iter__(self) -> Iterator[np.ndarray]:
        block = max(self.block_size // 2, 1)
        while True:
            try:
                words = self.read(block)
            except StreamStoppedError:
                if self._stopping:
                    return
                raise
            if words.size:
                yield words

    # ---- capture

    def capture(self, path: Union[str, os.PathLike], words: Optional[int] = None,
                seconds: Optional[float] = None) -> int:
        """Reads words into a file: words words, or what arrives in seconds
        seconds (or whichever ends first when both are given). A path ending in
        .raw gets the words alone, in the machine's byte order; any other a
        .npy file that numpy.load reads as a uint16 array. Returns the words
        captured."""
        if words is None and seconds is None:
            raise ValueError("capture needs words=N or seconds=S")
        path = pathlib.Path(path)
        npy = path.suffix.lower() != ".raw"
        chunk = np.empty(max(self.block_size // 2, 1 << 16), dtype=np.uint16)
        end = None if seconds is None else time.monotonic() + seconds
        total = 0
        with path.open("wb") as out:
            if npy:
                out.write(_npy_header(0))
            while words is None or total < words:
                want = chunk.size if words is None else min(chunk.size, words - total)
                left = None if end is None else end - time.monotonic()
                if left is not None and left <= 0:
                    break
                n = self.read_into(chunk[:want], left)
                out.write(memoryview(chunk[:n]))
                total += n
            if npy:
                out.seek(0)
                out.write(_npy_header(total))
        return total


def _npy_header(words: int) -> bytes:
    """A .npy version 1.0 header for a 1-D uint16 array, of a fixed length so
    that it can be written again with the final count."""
    descr = np.lib.format.dtype_to_descr(np.dtype(np.uint16))
    text = f"{{'descr': {descr!r}, 'fortran_order': False, 'shape': ({words},), }}"
    head = b"\x93NUMPY\x01\x00"
    room = _NPY_HEADER - len(head) - 2
    body = text.ljust(room - 1).encode("latin1") + b"\n"
    return head + len(body).to_bytes(2, "little") + body
