# SPDX-License-Identifier: MIT
"""The library's C interface, one to one: the record, the request, the codes and
the 25 exports with their argument and result types.

Nothing here checks or converts: each function is the export itself, called
through ctypes, and returns the export's status. The objects in
:mod:`vkm470` are built on it; use this layer for what they do not cover.

The library is found on first use: the file named by the environment
variable ``VKM470_LIBRARY``; else the library installed beside this package
(``cmake --install`` and the Debian package put it there); else, when the
package runs from the source tree (``PYTHONPATH=python``), the tree's own
build in ``build/default/lib``; else the system's own search
(``LD_LIBRARY_PATH``, the linker cache, ``PATH`` on Windows).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import errno
import os
import pathlib
import struct
import sys
import threading
from ctypes import POINTER, c_char, c_int16, c_int32, c_uint8, c_uint16, c_uint32, c_void_p
from typing import List, Optional

# Values of VKM470F_DEVICE.interfaceType.
INTERFACE_NONE = 0
INTERFACE_USB = 1
INTERFACE_LPT1 = 3
INTERFACE_LPT2 = 4
INTERFACE_LPT3 = 5

# Status codes.
SUCCESS = 0
ERR_INVALID_ARGUMENT = -1001
ERR_OPEN_FAILED = -1002
ERR_CLOSE_FAILED = -1003
ERR_NOT_OPEN = -1004
ERR_CANCEL_FAILED = -1005
ERR_TIMEOUT = -1006
ERR_RESULT_FAILED = -1007
ERR_LENGTH_MISMATCH = -1008
ERR_REQUEST_REJECTED = -1009
ERR_READER_STOPPED = -1010
ERR_WRITER_STOPPED = -1011
ERR_MUTEX_FAILED = -1012
ERR_NO_OBJECT = -2001
ERR_CABLE_OPEN = -2002
ERR_FLASH_FAILED = -2003
ERR_NOT_AVAILABLE = -2004
ERR_WORKER_STOPPED = -2005

# The commands VKM470F_SpecialDSPFlashCommand takes.
SPECIAL_BINARY_PAGES = 1
SPECIAL_FLASH_INFORMATION = 2


class VKM470F_DEVICE(ctypes.Structure):
    """The caller-owned device record: three library-owned objects, then two int32."""

    _fields_ = [
        ("channel", c_void_p),
        ("cable", c_void_p),
        ("bulkFifo", c_void_p),
        ("interfaceType", c_int32),
        ("applicationRunning", c_int32),
    ]


class QUSB_REQUEST(ctypes.Structure):
    """The 8-byte control request of every USB control transfer."""

    _fields_ = [
        ("direction", c_uint16),  # 0: host to module (or no data), 1: module to host
        ("request", c_uint16),
        ("value", c_uint16),
        ("index", c_uint16),
    ]


_DEV = POINTER(VKM470F_DEVICE)
_BYTES = POINTER(c_uint8)
_WORDS = POINTER(c_uint16)
_U32P = POINTER(c_uint32)

# The 25 exports in the order of the export table: name, argument types after
# the record. Every one returns int32.
PROTOTYPES = (
    ("VKM470F_CallApplication", (c_uint16,)),
    ("VKM470F_CloseDevice", ()),
    ("VKM470F_CloseFullDevice", ()),
    ("VKM470F_CreateBulkFIFO", (c_uint32, c_uint32, c_uint32, c_uint32, c_uint32, c_uint32)),
    ("VKM470F_DSP_Read_Command", (c_uint16, c_uint16, _BYTES, c_uint32, c_uint32)),
    ("VKM470F_DSP_Write_Command", (c_uint16, c_uint16, _BYTES, c_uint32, c_uint32)),
    ("VKM470F_DisposeBulkFIFO", ()),
    ("VKM470F_FlushBulkFIFO", ()),
    ("VKM470F_GetBulkFIFOReadReady", (_U32P,)),
    ("VKM470F_GetBulkFIFOWriteFree", (_U32P,)),
    ("VKM470F_GetDeviceDescr", (_BYTES,)),
    ("VKM470F_GetDeviceName", (POINTER(c_char), c_uint16)),
    ("VKM470F_OpenDevice", (c_uint8,)),
    ("VKM470F_ProgrammDSPFlash", (c_uint32, _BYTES, c_uint32, c_uint32)),
    ("VKM470F_ReadBulkFIFO", (_WORDS, c_uint32, _U32P, c_uint32)),
    ("VKM470F_ReadDSPFlash", (c_uint32, _BYTES, c_uint32, c_uint32)),
    ("VKM470F_ResetDSP", ()),
    ("VKM470F_SearchDevices", (POINTER(c_int16), c_int32)),
    ("VKM470F_SimpleControlQDevice", (POINTER(QUSB_REQUEST), _BYTES, c_uint32, c_uint32)),
    ("VKM470F_SimpleReadBulk", (_BYTES, c_uint32, _U32P, c_uint32)),
    ("VKM470F_SimpleWriteBulk", (_BYTES, c_uint32, _U32P, c_uint32)),
    ("VKM470F_SpecialDSPFlashCommand", (c_uint32, _BYTES, c_uint32)),
    ("VKM470F_StartBulkFIFO", ()),
    ("VKM470F_StopBulkFIFO", ()),
    ("VKM470F_WriteBulkFIFO", (_WORDS, c_uint32, _U32P, c_uint32)),
)

_WINDOWS = sys.platform == "win32"
# The 32-bit Windows DLL uses the stdcall convention and decorated names.
_STDCALL = _WINDOWS and struct.calcsize("P") == 4

# The system errors that say why an open failed (GetLastError values on
# Windows, errno values elsewhere), by the exception they raise.
OPEN_REASONS = {
    "InUseError": {32} if _WINDOWS else {errno.EBUSY},
    "AccessDeniedError": {5} if _WINDOWS else {errno.EACCES},
    "NotFoundError": {2, 3} if _WINDOWS else {errno.ENOENT},
}


def clear_system_error() -> None:
    """Clears the calling thread's system error, so that a call that leaves
    none is not read as one that did."""
    if _WINDOWS:
        ctypes.set_last_error(0)  # type: ignore[attr-defined]
    else:
        ctypes.set_errno(0)


def system_error() -> int:
    """The calling thread's system error as the last call left it."""
    return ctypes.get_last_error() if _WINDOWS else ctypes.get_errno()  # type: ignore[attr-defined]


def library_name() -> str:
    """The file name of the library on this platform."""
    if _WINDOWS:
        return "vkm470fapi.dll"
    if sys.platform == "darwin":
        return "libvkm470fapi.1.dylib"
    return "libvkm470fapi.so.1"


def installed_paths() -> "tuple[Optional[pathlib.Path], Optional[pathlib.Path]]":
    """Where an installed tree puts the library and the header, found from this
    package's own folder; (None, None) when the package is not installed."""
    try:
        from . import _installed
    except ImportError:
        return None, None
    here = pathlib.Path(__file__).resolve().parent
    return (here / _installed.LIBRARY_DIR).resolve(), (here / _installed.INCLUDE_DIR).resolve()


def source_tree_library() -> Optional[pathlib.Path]:
    """The library of the source tree's default build, when this package is
    the tree's own python/vkm470 (not an installed copy)."""
    root = pathlib.Path(__file__).resolve().parent.parent.parent
    if not (root / "include" / "vkm470fapi.h").is_file():
        return None
    folder = "bin" if _WINDOWS else "lib"
    return root / "build" / "default" / folder / library_name()


def library_candidates() -> List[str]:
    """The files tried in turn, the first that loads is used."""
    named = os.environ.get("VKM470_LIBRARY")
    if named:
        # An explicit choice: no silent fall-back to another copy.
        return [named]
    candidates = []
    libdir, _ = installed_paths()
    if libdir is not None:
        candidates.append(str(libdir / library_name()))
    tree = source_tree_library()
    if tree is not None and tree.is_file():
        candidates.append(str(tree))
    candidates.append(library_name())
    found = ctypes.util.find_library("vkm470fapi")
    if found and found not in candidates:
        candidates.append(found)
    return candidates


class Library:
    """The loaded library: one attribute per export, typed as the header declares it."""

    def __init__(self, path: str):
        loader = ctypes.WinDLL if _STDCALL else ctypes.CDLL  # type: ignore[attr-defined]
        self.path = path
        # The reason an open failed is the thread's system error, kept by
        # ctypes across the call.
        self.handle = loader(path, use_errno=True, use_last_error=_WINDOWS)
        for name, args in PROTOTYPES:
            function = self._lookup(name, len(args) + 1)
            function.argtypes = (_DEV,) + tuple(args)
            function.restype = c_int32
            setattr(self, name, function)

    def _lookup(self, name: str, slots: int):
        try:
            return getattr(self.handle, name)
        except AttributeError:
            if not _STDCALL:
                raise
        # Exported as _Name@N, N the bytes of the arguments (one 4-byte slot each).
        return self.handle[f"_{name}@{4 * slots}"]


_loaded: Optional[Library] = None
_lock = threading.Lock()


def library() -> Library:
    """The library, loaded on the first call. Raises OSError naming every file tried."""
    global _loaded
    with _lock:
        if _loaded is None:
            failures = []
            for candidate in library_candidates():
                try:
                    _loaded = Library(candidate)
                    break
                except OSError as error:
                    failures.append(f"{candidate}: {error}")
            else:
                raise OSError("vkm470: cannot load the vkm470fapi library (set VKM470_LIBRARY "
                              "to its file): " + "; ".join(failures))
        return _loaded
