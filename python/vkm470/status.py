"""Texts for the library's status codes, read from the C header's
``VKM470F_StatusText``, so that Python and C callers print the same words.

The header is looked for in the source tree (``include/`` beside
``python/``) and in an installed tree (the prefix's ``include/``, found from
this package's folder). Without it, a code reads ``status N``.
"""

from __future__ import annotations

import pathlib
import re
import threading
from typing import Dict, Optional, Tuple

from . import raw

HEADER_NAME = "vkm470fapi.h"

_ENUM_ENTRY = re.compile(r"^\s*(VKM470F_\w+)\s*=\s*(-?\d+)\b", re.MULTILINE)
_CASE = re.compile(r'^\s*case\s+(VKM470F_\w+)\s*:\s*return\s+"((?:[^"\\]|\\.)*)"\s*;', re.MULTILINE)
_DEFAULT = re.compile(r'^\s*default\s*:\s*return\s+"((?:[^"\\]|\\.)*)"\s*;', re.MULTILINE)
_FUNCTION = re.compile(r"VKM470F_StatusText\s*\([^)]*\)\s*\{(.*?)^\}", re.MULTILINE | re.DOTALL)


def header_candidates() -> "list[pathlib.Path]":
    """Where the header is looked for, in order."""
    here = pathlib.Path(__file__).resolve().parent
    paths = [here.parent.parent / "include" / HEADER_NAME]
    _, include = raw.installed_paths()
    if include is not None:
        paths.insert(0, include / HEADER_NAME)
    return paths


def parse(text: str) -> Tuple[Dict[int, str], Optional[str]]:
    """The table of a header's text: {code: text}, and the text for other codes."""
    values = {name: int(value) for name, value in _ENUM_ENTRY.findall(text)}
    body = _FUNCTION.search(text)
    if body is None:
        return {}, None
    table = {}
    for name, words in _CASE.findall(body.group(1)):
        if name in values:
            table[values[name]] = words
    default = _DEFAULT.search(body.group(1))
    return table, default.group(1) if default else None


class Texts:
    """The status texts of one header file (or of none)."""

    def __init__(self, header: Optional[pathlib.Path]):
        self.header = header
        self.table: Dict[int, str] = {}
        self.default: Optional[str] = None
        if header is not None:
            self.table, self.default = parse(header.read_text(encoding="utf-8"))

    def __call__(self, code: int) -> str:
        if code in self.table:
            return self.table[code]
        if self.default is not None:
            return self.default
        return f"status {code}"


_texts: Optional[Texts] = None
_lock = threading.Lock()


def texts() -> Texts:
    """The texts of the first header found, read once."""
    global _texts
    with _lock:
        if _texts is None:
            found = next((p for p in header_candidates() if p.is_file()), None)
            _texts = Texts(found)
        return _texts


def text(code: int) -> str:
    """A short English text for a status code, as ``VKM470F_StatusText`` gives it."""
    return texts()(code)
