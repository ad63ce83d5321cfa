# SPDX-License-Identifier: MIT
"""The package against the C headers: the raw layer mirrors the library's
header, the status texts are its own code for code, and the flash map is the
tools' flash-map header's."""

import ctypes
import os
import pathlib
import re
import shutil
import subprocess

import pytest

from vkm470 import flashmap, raw, status

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
    assert {code: status.text(code) for code in texts} == texts
    # Every status code of the header's enum has a text of its own.
    codes = re.findall(r"^\s*VKM470F_(?:SUCCESS|ERR_\w+)\s*=\s*(-?\d+)", HEADER.read_text(), re.M)
    assert sorted(status.TEXTS) == sorted(int(code) for code in codes)
    assert all(texts[code] != status.UNKNOWN for code in status.TEXTS)
    assert status.text(-3000) == status.UNKNOWN == texts[-2100]


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


# Prints the flash map's values and areas as the C++ header has them.
FLASH_MAP_PROGRAM = r"""
#include <cstdio>
#include "vkm470_flash_map.h"
using namespace vkm470::flash_map;
int main() {
  std::printf("PAGE_BYTES %u\nFLASH_BYTES %u\n", kPageBytes, kFlashBytes);
  std::printf("BOOT_ADDRESS %u\nBOOT_BYTES %u\n", kBootAddress, kBootBytes);
  std::printf("SERIAL_ADDRESS %u\nSERIAL_AREA_BYTES %u\nSERIAL_FIELD_BYTES %u\n",
              kSerialAddress, kSerialAreaBytes, kSerialFieldBytes);
  std::printf("APP_ADDRESS %u\nAPP_BYTES %u\n", kAppAddress, kAppBytes);
  std::printf("PGA_HEADER_ADDRESS %u\nPGA_HEADER_BYTES %u\n", kPgaHeaderAddress, kPgaHeaderBytes);
  std::printf("PGA_ADDRESS %u\nPGA_BYTES %u\n", kPgaAddress, kPgaBytes);
  for (const Area& area : kAreas) std::printf("area %s|%u|%u\n", area.name, area.address, area.length);
  return 0;
}
"""


def test_flash_map_equals_the_tools_header(tmp_path):
    cxx = os.environ.get("CXX") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler: set CXX")
    (tmp_path / "map.cpp").write_text(FLASH_MAP_PROGRAM)
    subprocess.run([cxx, "-std=c++17", "-I", str(HEADER.parent), str(tmp_path / "map.cpp"), "-o",
                    str(tmp_path / "map")], check=True)
    lines = subprocess.run([str(tmp_path / "map")], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    areas = [line[5:].split("|") for line in lines if line.startswith("area ")]
    values = dict(line.split() for line in lines if not line.startswith("area "))
    assert {name: getattr(flashmap, name) for name in values} == \
        {name: int(value) for name, value in values.items()}
    assert [flashmap.Area(name, int(a), int(n)) for name, a, n in areas] == list(flashmap.AREAS)
