// SPDX-License-Identifier: MIT
// The image file readers against files made by tools nobody here wrote
// (srec_cat, objcopy), the writers read back by srec_cat, and one malformed
// file for each reason a file is refused.
#include "loadfile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>

#include "process.h"

namespace vkm470::test {
namespace {

namespace fs = std::filesystem;
using loadfile::Format;
using loadfile::Image;
using loadfile::Segment;
using Bytes = std::vector<std::uint8_t>;

std::string program(const std::string& name) {
  std::stringstream path(getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin");
  for (std::string dir; std::getline(path, dir, ':');)
    if (fs::exists(fs::path(dir) / name)) return (fs::path(dir) / name).string();
  return {};
}

class LoadFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() / ("vkm470-loadfile-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

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

  // Runs a foreign tool in the folder; its words "{x}" name files there.
  void tool(std::vector<std::string> args) const {
    const std::string found = program(args[0]);
    ASSERT_FALSE(found.empty()) << args[0] << " is not installed (scripts/install-deps.sh tests)";
    args[0] = found;
    const std::regex name(R"(\{([A-Za-z0-9_.]+)\})");
    for (std::string& word : args) word = std::regex_replace(word, name, (dir_ / "$1").string());
    const Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << testing::PrintToString(args) << r.err;
  }

  Image parseFile(const std::string& name, Format format) const {
    const Bytes text = load(name);
    return loadfile::parse(text.data(), text.size(), format, name);
  }

  fs::path dir_;
};

Bytes randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  return bytes;
}

Bytes part(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + from, bytes.begin() + to);
}

struct Made {
  const char* name;
  std::vector<std::vector<std::string>> commands;  // make {out}; src.bin is the raw source
  const char* out;
  Format format;
  // Where the source's bytes are expected: (address, first, last + 1).
  std::vector<std::tuple<std::uint32_t, std::size_t, std::size_t>> placed;
};

class FromForeignTools : public LoadFile, public ::testing::WithParamInterface<Made> {};

// The same bytes as the raw file the records were made from, where they were
// put, with the gaps left out.
TEST_P(FromForeignTools, GiveTheRawSourcesBytes) {
  const Made& made = GetParam();
  const Bytes source = randomBytes(70000, 7);
  save("src.bin", source);
  for (const auto& command : made.commands) tool(command);
  const Bytes text = load(made.out);
  EXPECT_EQ(loadfile::detect(text.data(), text.size()), made.format);
  const Image image = parseFile(made.out, made.format);

  std::vector<Segment> expected;
  for (const auto& [address, from, to] : made.placed)
    expected.push_back({address, part(source, from, to)});
  ASSERT_EQ(image.segments.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(image.segments[i].address, expected[i].address) << i;
    EXPECT_TRUE(image.segments[i].bytes == expected[i].bytes) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, FromForeignTools,
    ::testing::Values(
        Made{"ObjcopyHex32Bit",
             {{"objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", "0x8000FFF0",
               "{src.bin}", "{out.hex}"}},
             "out.hex",
             Format::IntelHex,
             {{0x8000FFF0, 0, 70000}}},
        Made{"ObjcopySRecord32Bit",
             {{"objcopy", "-I", "binary", "-O", "srec", "--change-addresses", "0x8000FFF0",
               "{src.bin}", "{out.srec}"}},
             "out.srec",
             Format::SRecord,
             {{0x8000FFF0, 0, 70000}}},
        Made{"ObjcopySRecord16Bit",
             {{"objcopy", "-I", "binary", "-O", "srec", "--srec-len", "40", "{src.bin}",
               "{out.s19}"}},
             "out.s19",
             Format::SRecord,
             {{0, 0, 70000}}},
        Made{"SrecCatHexWithGaps",
             {{"srec_cat", "{src.bin}", "-binary", "-exclude", "0x1000", "0x1801", "-exclude",
               "0x10000", "0x10020", "-offset", "0x1E0000", "-o", "{out.hex}", "-intel"}},
             "out.hex",
             Format::IntelHex,
             {{0x1E0000, 0, 0x1000}, {0x1E1801, 0x1801, 0x10000}, {0x1F0020, 0x10020, 70000}}},
        Made{"SrecCatSRecordWithGaps24Bit",
             {{"srec_cat", "{src.bin}", "-binary", "-exclude", "0x100", "0x300", "-offset",
               "0x20200", "-o", "{out.srec}", "-motorola", "-address-length=3"}},
             "out.srec",
             Format::SRecord,
             {{0x20200, 0, 0x100}, {0x20500, 0x300, 70000}}},
        // High half first, then the low one: a HEX file whose records are out of
        // order, the second half behind a segment address (type 02) of 0.
        Made{"SrecCatHexOutOfOrder",
             {{"srec_cat", "{src.bin}", "-binary", "-crop", "0x8000", "70000", "-offset", "0x1000",
               "-o", "{high.hex}", "-intel"},
              {"srec_cat", "{src.bin}", "-binary", "-crop", "0", "0x8000", "-offset", "0x100", "-o",
               "{low.hex}", "-intel", "-address-length=2"},
              {"sh", "-c",
               "grep -v ':00000001FF' {high.hex} > {out.hex}; echo :020000020000FC >> {out.hex}; "
               "cat {low.hex} >> {out.hex}"}},
             "out.hex",
             Format::IntelHex,
             {{0x100, 0, 0x8000}, {0x9000, 0x8000, 70000}}},
        // Data records shuffled: S-records carry their own addresses.
        Made{"SrecCatSRecordShuffled",
             {{"srec_cat", "{src.bin}", "-binary", "-offset", "0x1000000", "-o", "{in.srec}",
               "-motorola"},
              {"sh", "-c",
               "{ grep '^S0' {in.srec}; grep '^S3' {in.srec} | sort -r; grep -v '^S[03]' "
               "{in.srec}; } "
               "> {out.srec}"}},
             "out.srec",
             Format::SRecord,
             {{0x1000000, 0, 70000}}}),
    [](const auto& info) { return std::string(info.param.name); });

// srec_cat reads what the writers write back to the same bytes: gaps, a
// segment across a 64 KiB boundary, addresses of each S-record width.
TEST_F(LoadFile, SrecCatReadsTheWritersOutputBack) {
  struct Case {
    std::uint32_t base;
    const char* name;
    const char* format;  // srec_cat's
    bool srec;
    int addressBytes;
  };
  for (const Case& c :
       {Case{0x0000, "a.hex", "-intel", false, 0}, Case{0x1F0000, "b.hex", "-intel", false, 0},
        Case{0xFF000000, "c.hex", "-intel", false, 0}, Case{0x0000, "d.srec", "-motorola", true, 0},
        Case{0x1F0000, "e.srec", "-motorola", true, 0}, Case{0x0000, "f.s37", "-motorola", true, 4},
        Case{0xFF000000, "g.srec", "-motorola", true, 0}}) {
    SCOPED_TRACE(c.name);
    const Bytes a = randomBytes(0xFFF0 - 0x10, 1), b = randomBytes(70000, 2);
    const std::vector<Segment> segments = {{c.base + 0x10, a}, {c.base + 0xFFF8, b}};
    save(c.name, c.srec ? loadfile::writeSRecords(segments, c.addressBytes)
                        : loadfile::writeIntelHex(segments));
    char offset[16];
    std::snprintf(offset, sizeof offset, "-0x%X", c.base + 0x10);
    tool({"srec_cat", "(", "{" + std::string(c.name) + "}", c.format, "-fill", "0xFF", "-over", "(",
          "{" + std::string(c.name) + "}", c.format, ")", ")", "-offset", offset, "-o",
          "{back.bin}", "-binary"});
    Bytes expected = a;
    expected.resize(0xFFF8 - 0x10, 0xFF);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_TRUE(load("back.bin") == expected);
    const Bytes text = load(c.name);
    const std::string first(text.begin(), text.begin() + 2);
    if (c.srec) {
      // The data records' width: S3 when asked or needed; b runs past 64 KiB.
      const char* data = c.addressBytes == 4 || c.base >= 0x1000000 ? "\nS3" : "\nS2";
      EXPECT_NE(std::string(text.begin(), text.end()).find(data), std::string::npos);
    }
  }
}

struct Bad {
  const char* name;
  const char* file;
  const char* text;
  const char* refusal;  // after "bad.hex:" or "bad.srec:"
};

class Malformed : public LoadFile, public ::testing::WithParamInterface<Bad> {};

// Refused naming the file, the line and the reason; as told from the content,
// naming --format raw too.
TEST_P(Malformed, RefusedNamingFileLineAndReason) {
  const Bad& bad = GetParam();
  const std::string text = bad.text;
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  const Format format = loadfile::detect(data, text.size());
  ASSERT_NE(format, Format::Raw);
  try {
    loadfile::parse(data, text.size(), format, bad.file, true);
    FAIL() << "accepted";
  } catch (const loadfile::Malformed& e) {
    const std::string message = e.what();
    EXPECT_EQ(message.rfind(std::string(bad.file) + ":" + bad.refusal, 0), 0u) << message;
    EXPECT_NE(message.find("give --format raw"), std::string::npos) << message;
  }
  // As a raw image it is taken whole.
  EXPECT_EQ(loadfile::parse(data, text.size(), Format::Raw, bad.file).byteCount(), text.size());
}

INSTANTIATE_TEST_SUITE_P(
    Files, Malformed,
    ::testing::Values(
        Bad{"HexChecksum", "bad.hex", ":0400000001020304F3\n:00000001FF\n",
            "1: bad checksum 0xF3 (the record's bytes want 0xF2)"},
        Bad{"HexLength", "bad.hex", ":020000040000FA\n:0500000001020304F1\n:00000001FF\n",
            "2: bad length: the record says 5 data bytes and holds 4"},
        Bad{"HexOddDigits", "bad.hex", ":0400000001020304F\n:00000001FF\n",
            "1: bad length: an odd number of hex digits"},
        Bad{"HexType", "bad.hex", ":0400000001020304F2\n:00000006FA\n", "2: bad record type 0x06"},
        Bad{"HexNoEnd", "bad.hex", ":0400000001020304F2\n\n", "2: no end record (type 01)"},
        Bad{"HexConflict", "bad.hex", ":0400100001020304E2\n:02001200AA0042\n:00000001FF\n",
            "2: address 0x000012 given twice with different bytes (0xAA here, 0x03 on line 1)"},
        Bad{"HexNotARecord", "bad.hex", ":0400000001020304F2\nhello\n:00000001FF\n",
            "2: not a record"},
        Bad{"HexCharacter", "bad.hex", ":020000040000FA\n:04000000010203G4F2\n:00000001FF\n",
            "2: bad character 'G' in column 16"},
        Bad{"HexAfterEnd", "bad.hex", ":00000001FF\n:0400000001020304F2\n",
            "2: text after the end record"},
        Bad{"HexPast4GiB", "bad.hex", ":02000004FFFFFC\n:04FFFE0001020304F5\n:00000001FF\n",
            "2: the record runs past the 32-bit address space"},
        Bad{"SrecChecksum", "bad.srec", "S1060000010203F0\nS9030000FC\n",
            "1: bad checksum 0xF0 (the record's bytes want 0xF3)"},
        Bad{"SrecLength", "bad.srec", "S1070000010203F2\nS9030000FC\n",
            "1: bad length: the record says 7 bytes follow the count and holds 6"},
        Bad{"SrecType", "bad.srec", "S1060000010203F3\nS4030000FC\nS9030000FC\n",
            "2: bad record type S4"},
        Bad{"SrecNoEnd", "bad.srec", "S00600004844521B\nS1060000010203F3\n",
            "2: no end record (S7, S8 or S9), nor a count record (S5, S6) last"},
        Bad{"SrecConflict", "bad.srec", "S1060000010203F3\nS1040001FFFB\nS9030000FC\n",
            "2: address 0x000001 given twice with different bytes (0xFF here, 0x02 on line 1)"},
        Bad{"SrecCount", "bad.srec", "S1060000010203F3\nS5030002FA\nS9030000FC\n",
            "2: the count record says 2 data records and 1 came before it"}),
    [](const auto& info) { return std::string(info.param.name); });

// The same address given twice with the same byte is no conflict; a file
// that only starts with ':' or 'S' is raw.
TEST_F(LoadFile, RepeatsAndLookalikes) {
  const std::string repeated = ":0400100001020304E2\r\n:02001300040FD8\r\n:00000001FF\r\n\x1A";
  const auto* data = reinterpret_cast<const std::uint8_t*>(repeated.data());
  ASSERT_EQ(loadfile::detect(data, repeated.size()), Format::IntelHex);
  const Image image = loadfile::parse(data, repeated.size(), Format::IntelHex, "r.hex");
  ASSERT_EQ(image.segments.size(), 1u);
  EXPECT_EQ(image.segments[0].address, 0x10u);
  EXPECT_EQ(image.segments[0].bytes, Bytes({1, 2, 3, 4, 0x0F}));
  EXPECT_EQ(image.flatten().size(), 0x15u);

  for (const std::string& raw : {std::string(":\x01\x02\x03 binary"), std::string("SOME TEXT\n"),
                                 std::string("S1 but no\n"), std::string()}) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(raw.data());
    EXPECT_EQ(loadfile::detect(bytes, raw.size()), Format::Raw) << raw;
  }
}

}  // namespace
}  // namespace vkm470::test
