# SPDX-License-Identifier: MIT
"""Texts for the library's status codes, the same words as the C header's
``VKM470F_StatusText`` gives (a test holds the two equal)."""

from __future__ import annotations

from typing import Dict

from . import raw

TEXTS: Dict[int, str] = {
    raw.SUCCESS: "success",
    raw.ERR_INVALID_ARGUMENT: "invalid argument to the USB channel",
    raw.ERR_OPEN_FAILED: "device could not be opened",
    raw.ERR_CLOSE_FAILED: "device could not be closed",
    raw.ERR_NOT_OPEN: "device not open",
    raw.ERR_CANCEL_FAILED: "pending transfer could not be cancelled",
    raw.ERR_TIMEOUT: "transfer timed out",
    raw.ERR_RESULT_FAILED: "transfer failed or timed out without a result",
    raw.ERR_LENGTH_MISMATCH: "transfer moved fewer bytes than requested",
    raw.ERR_REQUEST_REJECTED: "request refused by the driver",
    raw.ERR_READER_STOPPED: "stream reader stopped",
    raw.ERR_WRITER_STOPPED: "stream writer stopped",
    raw.ERR_MUTEX_FAILED: "transfer lock could not be taken",
    raw.ERR_NO_OBJECT: "not open, or argument missing or out of range",
    raw.ERR_CABLE_OPEN: "download cable could not be opened",
    raw.ERR_FLASH_FAILED: "flash operation failed",
    raw.ERR_NOT_AVAILABLE: "not available on this interface",
    raw.ERR_WORKER_STOPPED: "stream worker not running",
}
"""Every status code with its text."""

UNKNOWN = "unknown status"
"""The text of any other code."""


def text(code: int) -> str:
    """A short English text for a status code, as ``VKM470F_StatusText`` gives it."""
    return TEXTS.get(code, UNKNOWN)
