"""The package against the C header: the raw layer mirrors it, and the status
texts are the header's own, code for code."""

import ctypes
import os
import pathlib
import re
import shutil
import subprocess

import pytest

from vkm470 import raw, status

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
HEADER = ROOT / "include" / "vkm470fapi.h"

# Prints every code from -2100 to 10 with the C function's text, then the
# record's layout and each status name the header defines with its value.
PROGRAM = r"""
#include <stdio.h>
#include "vkm470fapi.h"
int main(void) {
  int code;
  for (code = -2100; code <= 10; ++code) printf("text %d %s\n", code, VKM470F_StatusText(code));
  printf("layout %u %u %u %u %u %u\n", (unsigned)sizeof(VKM470F_DEVICE),
         (unsigned)offsetof(VKM470F_DEVICE, cable), (unsigned)offsetof(VKM470F_DEVICE, bulkFifo),
         (unsigned)offsetof(VKM470F_DEVICE, interfaceType),
         (unsigned)offsetof(VKM470F_DEVICE, applicationRunning), (unsigned)sizeof(QUSB_REQUEST));
  return 0;
}
"""


@pytest.fixture(scope="module")
def c_answers(tmp_path_factory):
    cc = os.environ.get("CC") or shutil.which("cc")
    if not cc:
        pytest.skip("no C compiler: set CC")
    folder = tmp_path_factory.mktemp("header")
    (folder / "texts.c").write_text(PROGRAM)
    subprocess.run([cc, "-std=c11", "-I", str(HEADER.parent), str(folder / "texts.c"), "-o",
                    str(folder / "texts")], check=True)
    lines = subprocess.run([str(folder / "texts")], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    texts = {}
    layout = None
    for line in lines:
        kind, rest = line.split(" ", 1)
        if kind == "text":
            code, words = rest.split(" ", 1)
            texts[int(code)] = words
        else:
            layout = [int(n) for n in rest.split()]
    return texts, layout


def test_texts_equal_the_c_function_for_every_code(c_answers):
    texts, _ = c_answers
    table = status.Texts(HEADER)
    assert {code: table(code) for code in texts} == texts
    # Every status code of the header's enum has a text of its own.
    codes = re.findall(r"^\s*VKM470F_(?:SUCCESS|ERR_\w+)\s*=\s*(-?\d+)", HEADER.read_text(), re.M)
    assert sorted(table.table) == sorted(int(code) for code in codes)
    assert all(texts[code] != "unknown status" for code in table.table)


def test_the_package_reads_the_tree_header():
    assert status.texts().header == HEADER
    assert status.text(raw.ERR_TIMEOUT) == "transfer timed out"


def test_without_a_header_a_code_reads_status_n(tmp_path):
    assert status.Texts(None)(-1006) == "status -1006"
    # A header without the function leaves the same fall-back.
    stripped = tmp_path / "vkm470fapi.h"
    stripped.write_text(re.sub(r"static inline const char\* VKM470F_StatusText.*?^}", "",
                               HEADER.read_text(), flags=re.S | re.M))
    assert status.Texts(stripped)(-1006) == "status -1006"


def test_raw_constants_and_record_mirror_the_header(c_answers):
    _, layout = c_answers
    enum = dict(re.findall(r"^\s*VKM470F_(\w+)\s*=\s*(-?\d+)", HEADER.read_text(), re.M))
    assert {name: int(value) for name, value in enum.items()} == \
        {name: getattr(raw, name) for name in enum}
    device = raw.VKM470F_DEVICE
    assert layout == [ctypes.sizeof(device), device.cable.offset, device.bulkFifo.offset,
                      device.interfaceType.offset, device.applicationRunning.offset,
                      ctypes.sizeof(raw.QUSB_REQUEST)]


def test_prototypes_are_the_headers_exports_in_order():
    text = HEADER.read_text()
    declared = re.findall(r"VKM470F_API\(int32_t\)\s*(VKM470F_\w+)\(([^)]*)\)", text)
    assert [(name, params.count(",")) for name, params in declared] == \
        [(name, len(args)) for name, args in raw.PROTOTYPES]
    assert len(raw.PROTOTYPES) == 25
