// SPDX-License-Identifier: MIT
// The Intel HEX and S-record readers. The first byte chooses:
//  even: the rest is a file, read as its content says (and as each text
//        format); what is accepted must be segments in address order that
//        neither overlap nor touch, and must come back the same through each
//        writer and reader;
//  odd:  the rest chooses segments (a model: address -> bytes), which each
//        writer writes and each reader must read back to the same segments.
#include "loadfile.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz.h"

namespace {

namespace lf = vkm470::loadfile;
using vkm470::fuzz::Input;

bool same(const std::vector<lf::Segment>& a, const std::vector<lf::Segment>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].address != b[i].address || a[i].bytes != b[i].bytes) return false;
  return true;
}

void checkShape(const lf::Image& image) {
  for (std::size_t i = 0; i < image.segments.size(); ++i) {
    const lf::Segment& s = image.segments[i];
    FUZZ_CHECK(!s.bytes.empty(), "segment %zu is empty", i);
    FUZZ_CHECK(s.end() <= (std::uint64_t{1} << 32), "segment %zu runs past 4 GiB", i);
    if (i > 0)
      FUZZ_CHECK(image.segments[i - 1].end() < s.address,
                 "segment %zu overlaps or touches the one before", i);
  }
}

void roundTrip(const std::vector<lf::Segment>& segments, int addressBytes) {
  const std::string hex = lf::writeIntelHex(segments);
  const std::string srec = lf::writeSRecords(segments, addressBytes);
  for (const std::string* text : {&hex, &srec}) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(text->data());
    const lf::Format format = lf::detect(data, text->size());
    const lf::Format written = text == &hex ? lf::Format::IntelHex : lf::Format::SRecord;
    FUZZ_CHECK(format == written, "written %s detected as %s", lf::formatWord(written),
               lf::formatWord(format));
    lf::Image back;
    try {
      back = lf::parse(data, text->size(), format, "written");
    } catch (const lf::Malformed& e) {
      vkm470::fuzz::fail("own %s output refused: %s", lf::formatWord(format), e.what());
    }
    FUZZ_CHECK(same(back.segments, segments), "%s output read back differs",
               lf::formatWord(format));
  }
}

void readFile(const std::uint8_t* data, std::size_t size) {
  const lf::Format detected = lf::detect(data, size);
  for (lf::Format format : {detected, lf::Format::IntelHex, lf::Format::SRecord}) {
    try {
      const lf::Image image = lf::parse(data, size, format, "input", format == detected);
      if (format == lf::Format::Raw) {
        FUZZ_CHECK(image.byteCount() == size, "raw image lost bytes");
        continue;
      }
      checkShape(image);
      if (image.byteCount() <= (1u << 20)) roundTrip(image.segments, 0);
    } catch (const lf::Malformed&) {
    }
  }
}

void model(Input& in) {
  std::vector<lf::Segment> segments;
  std::uint64_t next = in.u32() & 0xFFFFFF00u;
  const std::uint32_t count = in.below(6) + 1;
  for (std::uint32_t i = 0; i < count && next < (std::uint64_t{1} << 32); ++i) {
    lf::Segment s;
    s.address = static_cast<std::uint32_t>(next);
    std::size_t length = in.below(700) + 1;
    length = static_cast<std::size_t>(
        std::min<std::uint64_t>(length, (std::uint64_t{1} << 32) - s.address));
    s.bytes.resize(length);
    for (auto& b : s.bytes) b = in.byte();
    next = s.end() + 1 + in.below(0x20000) * (in.flag() ? 0x100 : 1);
    segments.push_back(std::move(s));
  }
  roundTrip(segments, static_cast<int>(in.below(5)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    readFile(data + 1, size - 1);
  } else {
    Input in(data + 1, size - 1);
    model(in);
  }
  return 0;
}
