# SPDX-License-Identifier: MIT
"""The rule of the library's record, kept for Python threads: calls that
change the record (open, close; create, dispose, start, stop, flush the
stream) run alone; the others may run together.

A :class:`Gate` guards one record. Ordinary calls pass it shared; a call that
changes the record waits for the calls in flight to return and holds the
others back meanwhile. Calls that could wait long (the stream's reads and
writes) are made of short slices, each passing the gate on its own, so that a
close or a stop from another thread takes its turn within one slice.

"""

from __future__ import annotations

import contextlib
import threading
from typing import Iterator, Optional


class Gate:
    """Shared and exclusive passage for the calls on one record."""

    def __init__(self) -> None:
        self._cond = threading.Condition(threading.Lock())
        self._active = 0  # calls in flight, shared
        self._owner: Optional[int] = None  # the thread inside exclusively
        self._depth = 0
        self._waiting = 0  # exclusive calls waiting for their turn
        self.closing = False  # set as a close begins: calls in flight leave
        self._inside = threading.local()  # this thread's shared passages

    @property
    def busy(self) -> bool:
        """True while a call is in flight."""
        return self._active > 0 or self._owner is not None

    @contextlib.contextmanager
    def shared(self) -> Iterator[None]:
        """Passage for an ordinary call; waits while a record-changing call runs."""
        me = threading.get_ident()
        if self._owner == me:  # inside this thread's own exclusive call
            yield
            return
        with self._cond:
            while self._owner is not None or self._waiting:
                self._cond.wait()
            self._active += 1
        self._inside.depth = getattr(self._inside, "depth", 0) + 1
        try:
            yield
        finally:
            self._inside.depth -= 1
            with self._cond:
                self._active -= 1
                if self._active == 0:
                    self._cond.notify_all()

    def check_outside(self) -> None:
        """Raises RuntimeError when this thread is itself inside a call on the
        record (a signal handler that closes it, say): waiting would never end."""
        if getattr(self._inside, "depth", 0):
            raise RuntimeError("vkm470: a module or stream cannot be closed, stopped or "
                               "replaced from inside one of its own calls (a signal handler?)")

    @contextlib.contextmanager
    def exclusive(self, timeout: Optional[float] = None) -> Iterator[bool]:
        """Passage for a record-changing call: yields True once every call in
        flight has returned, or False when timeout seconds passed first (then
        the caller must leave the record alone)."""
        me = threading.get_ident()
        if self._owner == me:
            self._depth += 1
            try:
                yield True
            finally:
                self._depth -= 1
            return
        self.check_outside()
        with self._cond:
            self._waiting += 1
            try:
                ready = self._cond.wait_for(lambda: self._owner is None and self._active == 0,
                                            timeout)
            finally:
                self._waiting -= 1
                if not self._waiting:
                    self._cond.notify_all()
            if ready:
                self._owner = me
        if not ready:
            yield False
            return
        try:
            yield True
        finally:
            with self._cond:
                self._owner = None
                self._cond.notify_all()
