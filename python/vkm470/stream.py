# SPDX-License-Identifier: MIT
"""Bulk streaming of 16-bit words to and from a module over USB."""

from __future__ import annotations

import ctypes
import os
import pathlib
import time
from typing import Any, Iterator, Optional, Union

import numpy as np

from . import raw
from .convert import NO_TIMEOUT, BytesLike, as_words, is_native_words, milliseconds
from .errors import StreamStoppedError, error
from .gate import Gate

# The most words one read or write call of the library takes.
_CALL_WORDS = 1 << 30
# A wait is made of calls of at most this many milliseconds, so that Ctrl-C,
# a close or a stop from another thread are seen within one slice.
SLICE_MS = 40
_NPY_HEADER = 128  # bytes of the .npy header written by capture


class Stream:
    """The module's bulk stream: words written go to the module, words the
    module sends are read, each direction through a FIFO served by a worker
    thread of the library.

    Made by :meth:`Module.stream`. A context manager: leaving the ``with``
    block stops and disposes of it. Time-outs are in seconds; None (or
    ``float('inf')``) waits as long as it takes, while the stream runs.
    Reading and writing may go on in two threads at once (one reader, one
    writer): the library's calls release the interpreter while they wait.
    Closing the stream or its module, or stopping the stream, from another
    thread makes a read in flight return the words it has (or raise
    StreamStoppedError when it has none) and a write in flight raise
    StreamStoppedError with the words queued in ``done``.

    An interrupt (Ctrl-C) arrives within about 40 ms of a wait; the words a
    read had taken by then are kept, and the next read returns them first.

    The library sends words in whole 512-byte transfers: the last words of a
    write that leaves fewer than 256 queued wait for the next write.

    Iterating yields blocks of ``block_size`` bytes as uint16 arrays until the
    stream is stopped and what it held has been read.
    """

    def __init__(self, module: Any, read_fifo: int, write_fifo: int, blocks: int,
                 block_size: int):
        # Made by the module, which holds the gate exclusively meanwhile.
        self.module = module
        self.block_size = block_size
        self._lib = module._lib
        self._live = False
        self._stopping = False
        self._held: Optional[np.ndarray] = None  # words taken by an interrupted read
        self._exclusive_call("VKM470F_CreateBulkFIFO", read_fifo, write_fifo, blocks, blocks,
                             block_size, block_size, need_live=False)
        self._live = True

    @property
    def _gate(self) -> Gate:
        return self.module._gate  # type: ignore[no-any-return]

    @property
    def _ref(self) -> Any:
        return ctypes.byref(self.module.record)

    def _usable(self, name: str) -> None:
        self.module._usable(name)
        if not self._live:
            raise ValueError("the stream is closed")

    def _exclusive_call(self, name: str, *args: Any, need_live: bool = True) -> None:
        with self._gate.exclusive():
            if need_live:
                self._usable(name)
            status = getattr(self._lib, name)(self._ref, *args)
        if status != raw.SUCCESS:
            raise error(status, name)

    def _forget(self) -> None:
        # The module disposes of the stream as it closes or makes a new one.
        self._live = False
        self._stopping = True

    # ---- life

    def start(self) -> None:
        """Starts both workers, the FIFOs emptied first (words written before
        the start are discarded)."""
        self._exclusive_call("VKM470F_StartBulkFIFO")
        self._stopping = False
        self._held = None

    def stop(self) -> None:
        """Stops both workers. Words already in the read FIFO can still be read."""
        self._stopping = True
        self._exclusive_call("VKM470F_StopBulkFIFO")

    def flush(self) -> None:
        """Empties both FIFOs; running workers start again. Words in transfers
        that were in flight are lost."""
        self._exclusive_call("VKM470F_FlushBulkFIFO")
        self._held = None

    def close(self) -> None:
        """Stops and disposes of the stream once calls in flight in other
        threads have returned; closing twice is harmless."""
        self._stopping = True
        if not self._live:
            return
        with self._gate.exclusive():
            if not self._live or self.module.closed or self.module._inherited:
                self._live = False
                return
            self._live = False
            try:
                self._lib.VKM470F_StopBulkFIFO(self._ref)
            finally:
                self._lib.VKM470F_DisposeBulkFIFO(self._ref)

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # ---- counts

    def _count(self, name: str) -> "tuple[int, bool]":
        words = ctypes.c_uint32(0)
        with self._gate.shared():
            self._usable(name)
            status = getattr(self._lib, name)(self._ref, ctypes.byref(words))
        if status not in (raw.SUCCESS, raw.ERR_WORKER_STOPPED):
            raise error(status, name)
        return words.value, status == raw.SUCCESS

    @property
    def ready(self) -> int:
        """Words waiting to be read: in the read FIFO, and kept from an
        interrupted read."""
        held = 0 if self._held is None else self._held.size
        return held + self._count("VKM470F_GetBulkFIFOReadReady")[0]

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

    def _move(self, name: str, array: np.ndarray, timeout: Optional[float], reading: bool,
              done: int = 0) -> int:
        """Moves the words of array from index done on through one export, in
        slices; returns the index reached. An error raises with the count in
        the exception's ``done``; a read returns instead when it has words
        (the next call raises)."""
        self._usable(name)
        limit = milliseconds(timeout, name)
        function = getattr(self._lib, name)
        stopped = raw.ERR_READER_STOPPED if reading else raw.ERR_WRITER_STOPPED
        total = array.size
        count = ctypes.c_uint32(0)
        deadline = None if limit == NO_TIMEOUT else time.monotonic() + limit / 1000
        base = array.ctypes.data
        try:
            while done < total:
                last = False
                wait = SLICE_MS
                if deadline is not None:
                    # At least one pass: a time-out of 0 takes what is there now.
                    left = max(deadline - time.monotonic(), 0.0)
                    last = left * 1000 <= SLICE_MS
                    wait = max(min(round(left * 1000), SLICE_MS), 1)
                words = min(total - done, _CALL_WORDS)
                pointer = ctypes.cast(base + 2 * done, ctypes.POINTER(ctypes.c_uint16))
                with self._gate.shared():
                    if not self._live or self._gate.closing:
                        status = stopped  # closed or replaced under this call
                    elif words == 0:
                        status = raw.SUCCESS
                    else:
                        count.value = 0
                        status = function(self._ref, pointer, words, ctypes.byref(count), wait)
                        # One statement: an interrupt cannot fall between the two.
                        done, count.value = done + count.value, 0
                if status != raw.SUCCESS:
                    if done and reading:
                        return done
                    raise error(status, name, done)
                if last:
                    break
        except BaseException:
            # An interrupt as a call returned: its words count too.
            done, count.value = done + count.value, 0
            if reading and done:
                self._keep(array[:done])
            raise
        return done

    def _keep(self, words: np.ndarray) -> None:
        kept = words.copy()
        self._held = kept if self._held is None else np.concatenate([kept, self._held])

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
        and nothing was left to read. An array in the other byte order gets
        each word's value in its own order."""
        if not isinstance(array, np.ndarray) or not array.flags.c_contiguous \
                or not array.flags.writeable:
            raise TypeError("read_into needs a writable contiguous numpy array")
        if array.dtype.itemsize != 2 or array.dtype.kind not in "iu":
            raise TypeError(f"stream words are 16-bit integers, not {array.dtype}")
        if not is_native_words(array):
            native = np.empty(array.size, dtype=np.uint16)
            n = self.read_into(native, timeout)
            array.reshape(-1)[:n] = native[:n].view(array.dtype.newbyteorder("="))
            return n
        words = array.reshape(-1).view(np.uint16)
        taken = 0
        if self._held is not None:
            taken = min(self._held.size, words.size)
            words[:taken] = self._held[:taken]
            self._held = self._held[taken:] if taken < self._held.size else None
            if taken == words.size:
                return taken
        try:
            return self._move("VKM470F_ReadBulkFIFO", words, timeout, True, taken)
        except StreamStoppedError:
            if taken:
                return taken
            raise

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
