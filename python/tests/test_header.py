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


# Decodes each PGA header and serial field given in hex on the command line as
# the C++ header's helpers do: "pga erased|out|valid LENGTH SUM", "serial none"
# or "serial HEX".
FLASH_FIELDS_PROGRAM = r"""
#include <cstdio>
#include <string>
#include <vector>
#include "vkm470_flash_map.h"
using namespace vkm470::flash_map;
static std::vector<std::uint8_t> bytesOf(const char* hex) {
  std::vector<std::uint8_t> out;
  for (; hex[0] && hex[1]; hex += 2) out.push_back(std::stoi(std::string(hex, 2), nullptr, 16));
  return out;
}
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::vector<std::uint8_t> b = bytesOf(argv[i]);
    if (b.size() == kPgaHeaderBytes) {
      const PgaHeader h = decodePgaHeader(b.data());
      const char* state = h.state == PgaHeader::State::Erased ? "erased"
                          : h.state == PgaHeader::State::Valid ? "valid" : "out";
      std::printf("pga %s %u %u\n", state, h.length, h.sum);
    } else {
      const auto text = decodeSerial(b.data());
      if (!text) { std::printf("serial none\n"); continue; }
      std::printf("serial ");
      for (unsigned char c : *text) std::printf("%02x", c);
      std::printf("\n");
    }
  }
  return 0;
}
"""


def test_pga_header_and_serial_field_decode_as_the_tools_header_does(tmp_path):
    cxx = os.environ.get("CXX") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler: set CXX")
    (tmp_path / "fields.cpp").write_text(FLASH_FIELDS_PROGRAM)
    subprocess.run([cxx, "-std=c++17", "-I", str(HEADER.parent), str(tmp_path / "fields.cpp"),
                    "-o", str(tmp_path / "fields")], check=True)
    headers = [b"\xff" * 8, bytes(8), (1).to_bytes(4, "little") + (7).to_bytes(4, "little"),
               flashmap.PGA_BYTES.to_bytes(4, "little") + bytes(4),
               (flashmap.PGA_BYTES + 1).to_bytes(4, "little") + bytes(4),
               b"\xff" * 4 + bytes(4)]
    fields = [b"\xff" * 16, bytes(16), b"erased" + bytes(10), b"\xff" * 15 + b"\0",
              b"0123456789abcdef", b"AB\0CD" + bytes(11)]
    lines = subprocess.run([str(tmp_path / "fields")] + [b.hex() for b in headers + fields],
                           check=True, capture_output=True, text=True).stdout.splitlines()

    def python_pga(header):
        parsed = flashmap.parse_pga_header(header)
        if parsed is None:
            return "pga erased 0 0"
        return f"pga {'valid' if parsed.valid else 'out'} {parsed.length} {parsed.sum}"

    def python_serial(field):
        text = flashmap.serial_text(field)
        return "serial none" if text is None else "serial " + text.encode("latin-1").hex()

    assert lines == [python_pga(h) for h in headers] + [python_serial(f) for f in fields]
