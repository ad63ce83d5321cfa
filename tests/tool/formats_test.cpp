// SPDX-License-Identifier: MIT
// vkm470 with Intel HEX and S-record files, flash images and ranges: where
// the bytes go, what is refused before any module is touched, and a dump
// restored over the cable and over USB.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "tools_fixture.h"

namespace vkm470::test {
namespace {

using Json = nlohmann::json;

constexpr std::uint32_t kBootBytes = 131072;

class Formats : public ToolsFixture {
 protected:
  // Standard output without the lines that name each image and its digest.
  static Outcome tool(std::vector<std::string> args) {
    args.insert(args.begin(), VKM470_PATH);
    Outcome outcome = run(args);
    outcome.out = withoutDigestLines(outcome.out);
    return outcome;
  }

  // A module attached as QDev0 and ALTLPT1, in 512-byte pages.
  void binaryModule() {
    attachModule();
    ASSERT_EQ(burn({"-i", "LPT1", "-t"}).status, 0);
  }

  // srec_cat or objcopy; "{name}" in a word names a file in the folder.
  void foreign(std::vector<std::string> args) const {
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"})
      if (fs::exists(dir + args[0])) {
        args[0] = dir + args[0];
        break;
      }
    for (std::string& word : args)
      if (word.size() > 2 && word.front() == '{' && word.back() == '}')
        word = path(word.substr(1, word.size() - 2));
    const Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << testing::PrintToString(args) << r.err;
  }

  void save(const std::string& name, const std::string& text) const {
    std::ofstream(path(name), std::ios::binary) << text;
  }
  void save(const std::string& name, const Bytes& bytes) const {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  Bytes load(const std::string& name) const {
    std::ifstream file(path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }

  static bool erased(const Bytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0xFF; });
  }
};

// An application made into HEX by objcopy and into S-records with a gap by
// srec_cat lands at the area's offsets, the gap erased; read gives it back as
// HEX with area offsets, and as S-records with flash addresses.
TEST_F(Formats, AreaImagesTakeRecordsAtAreaOffsets) {
  attachModule();
  const Bytes app = writeFile("app.bin", 5000);
  foreign({"objcopy", "-I", "binary", "-O", "ihex", "{app.bin}", "{app.hex}"});
  foreign({"srec_cat", "{app.bin}", "-binary", "-exclude", "0x400", "0x600", "-o", "{gap.srec}",
           "-motorola"});

  Outcome r = tool({"write", "--app", path("app.hex")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slice(exported(), kAppAddress, app.size()), app);
  EXPECT_EQ(tool({"verify", "--app", path("app.hex")}).status, 0);

  r = tool({"write", "--app", path("gap.srec"), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Json::parse(r.out)["images"][0]["bytes"], 5000);
  Bytes expected = app;
  std::fill(expected.begin() + 0x400, expected.begin() + 0x600, 0xFF);
  const Bytes flash = exported();
  EXPECT_EQ(slice(flash, kAppAddress, app.size()), expected);

  ASSERT_EQ(tool({"read", "application", "-o", path("area.hex")}).status, 0);
  foreign({"srec_cat", "{area.hex}", "-intel", "-o", "{area.bin}", "-binary"});
  EXPECT_EQ(load("area.bin"), slice(flash, kAppAddress, kAppAreaBytes));
  EXPECT_EQ(tool({"write", "--app", path("area.hex")}).out,
            "usb:0: 0 pages programmed, 3639 pages skipped (unchanged)\n");

  ASSERT_EQ(
      tool({"read", "--address", "0x020300", "--length", "300", "-o", path("range.s19")}).status,
      0);
  foreign({"srec_cat", "{range.s19}", "-motorola", "-offset", "-0x020300", "-o", "{range.bin}",
           "-binary"});
  EXPECT_EQ(load("range.bin"), slice(flash, 0x020300, 300));
  r = tool({"read", "serial", "-o", "-", "--format", "srec"});
  EXPECT_EQ(r.out.rfind("S0030000FC\nS1230000", 0), 0u) << r.out;
}

struct BadFile {
  const char* name;
  const char* text;
  const char* refusal;  // in the error line, after "error: "
};

class Refused : public Formats, public ::testing::WithParamInterface<BadFile> {};

// Refused naming the file, the line and the reason, with nothing written.
TEST_P(Refused, NothingWritten) {
  attachModule();
  save("bad.hex", std::string(GetParam().text));
  const Outcome r = tool({"write", "-d", "lpt:1", "--app", path("bad.hex")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(path("bad.hex") + GetParam().refusal), std::string::npos) << r.err;
  EXPECT_TRUE(erased(exported()));
}

INSTANTIATE_TEST_SUITE_P(
    Files, Refused,
    ::testing::Values(
        BadFile{"Checksum", ":0400000001020304F3\n:00000001FF\n", ":1: bad checksum 0xF3"},
        BadFile{"Length", ":0500000001020304F1\n:00000001FF\n", ":1: bad length"},
        BadFile{"Type", ":0400000001020304F2\n:00000006FA\n", ":2: bad record type 0x06"},
        BadFile{"NoEnd", ":0400000001020304F2\n", ":1: no end record"},
        BadFile{"Conflict", ":0400100001020304E2\n:02001200AA0042\n:00000001FF\n",
                ":2: address 0x000012 given twice with different bytes"},
        // Offset 0x1C6E00 is one past the application area's end.
        BadFile{"PastTheArea", ":02000004001CDE\n:016E00000190\n:00000001FF\n",
                ": the bytes at offsets 0x1C6E00..0x1C6E00 are past the end of the "
                "application area"}),
    [](const auto& info) { return std::string(info.param.name); });

// A raw image that starts like a record is refused with the hint, and taken
// with --format raw; a HEX file is no raw file for --address.
TEST_F(Formats, FormatOptionAndAddress) {
  attachModule();
  const std::string text = ":1000000000000000\n\x01\x02";
  save("odd.bin", text);
  Outcome r = tool({"write", "--app", path("odd.bin")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("give --format raw"), std::string::npos) << r.err;
  r = tool({"write", "--app", path("odd.bin"), "--format", "raw"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slice(exported(), kAppAddress, text.size()), Bytes(text.begin(), text.end()));

  const Bytes part = writeFile("part.bin", 700);
  r = tool({"write", "--address", "0x1E0100", path("part.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slice(exported(), 0x1E0100, 700), part);
  EXPECT_EQ(tool({"verify", "--address", "0x1E0100", path("part.bin")}).status, 0);

  foreign({"objcopy", "-I", "binary", "-O", "ihex", "{part.bin}", "{part.hex}"});
  for (const auto& line : std::vector<std::vector<std::string>>{
           {"write", "--address", "0x1E0100", path("part.hex")},
           {"write", "--address", "0x1FFF00", path("part.bin")},
           {"write", "--flash", path("part.hex"), "--app", path("part.bin")},
           {"write", "--app", path("part.bin"), "--format", "elf"},
           {"read", "boot", "-o", "-", "--format", "elf"}}) {
    r = tool(line);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(line) << r.err;
  }
  EXPECT_NE(tool({"write", "--address", "0", path("part.hex")}).err.find("give it with --flash"),
            std::string::npos);
}

// A whole-flash dump restores over the cable; over USB a dump whose boot part
// matches the module is written with the boot pages skipped, one whose boot
// part differs is refused naming the range, with nothing written. A HEX file
// of a few bytes changes only them, its pages read, merged and programmed.
TEST_F(Formats, DumpAndRestore) {
  binaryModule();
  writeFile("boot.bin", 3000, 5);
  writeFile("app.bin", 9000, 9);
  writeFile("pga.bin", 1000, 13);
  ASSERT_EQ(tool({"write", "-d", "lpt:1", "--boot", path("boot.bin"), "--app", path("app.bin"),
                  "--pga", path("pga.bin"), "--serial", "SN1"})
                .status,
            0);
  const Bytes original = exported();
  ASSERT_EQ(tool({"read", "-d", "lpt:1", "--all", "-o", path("dump.bin")}).status, 0);
  ASSERT_EQ(tool({"read", "--all", "-o", path("dump.hex")}).status, 0);
  EXPECT_EQ(load("dump.bin"), original);

  // Over the cable, onto an erased module: every page with data programmed.
  ASSERT_EQ(tool({"erase", "-d", "lpt:1", "--all"}).status, 0);
  Outcome r = tool({"write", "-d", "lpt:1", "--flash", path("dump.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(exported(), original);
  // A serial number given overrides the dump's.
  r = tool({"write", "-d", "lpt:1", "--flash", path("dump.bin"), "--serial", "SN2"});
  EXPECT_EQ(r.out,
            "lpt:1: 1 page programmed, 4095 pages skipped (unchanged), read back; serial SN2\n");
  EXPECT_EQ(slice(exported(), 0x020000, 4), Bytes({'S', 'N', '2', 0}));
  ASSERT_EQ(tool({"write", "-d", "lpt:1", "--flash", path("dump.bin")}).status, 0);

  // Over USB, the application gone: the boot part matches and is skipped.
  ASSERT_EQ(tool({"erase", "application"}).status, 0);
  r = tool({"write", "--flash", path("dump.hex")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "usb:0: 18 pages programmed, 4078 pages skipped (unchanged), read back\n");
  EXPECT_EQ(exported(), original);
  EXPECT_EQ(tool({"verify", "--flash", path("dump.hex")}).status, 0);

  // A boot byte that differs: refused over USB, written over the cable.
  Bytes changed = original;
  changed[0x0123] ^= 0x40;
  changed[0x0456] ^= 0x40;
  changed[kAppAddress] ^= 0x40;
  save("changed.bin", changed);
  r = tool({"write", "--flash", path("changed.bin")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("usb:0: the image's boot area differs from the module's at "
                       "0x000123..0x000456 (2 bytes)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(exported(), original);
  ASSERT_EQ(tool({"write", "-d", "lpt:1", "--flash", path("changed.bin")}).status, 0);
  EXPECT_EQ(exported(), changed);

  // Sixteen bytes in the middle of a page: only they change.
  save("zero.bin", Bytes(16, 0));
  foreign(
      {"srec_cat", "{zero.bin}", "-binary", "-offset", "0x020210", "-o", "{few.hex}", "-intel"});
  r = tool({"write", "--flash", path("few.hex")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "usb:0: 1 page programmed, 0 pages skipped (unchanged), read back\n");
  Bytes expected = changed;
  std::fill(expected.begin() + 0x020210, expected.begin() + 0x020220, 0);
  EXPECT_EQ(exported(), expected);
}

}  // namespace
}  // namespace vkm470::test
