// SPDX-License-Identifier: MIT
// Image files as toolchains and EPROM tools hand them out: raw binary, Intel
// HEX and Motorola S-record. A file is parsed whole into address -> bytes
// before anything uses it, and a malformed record is refused with its line.
// Depends on nothing but the standard library, so that a fuzz target or a
// benchmark links it alone.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vkm470::loadfile {

enum class Format { Raw, IntelHex, SRecord };

// "raw", "ihex", "srec": the words --format takes.
const char* formatWord(Format format);
bool parseFormat(const std::string& word, Format& format);

// The format a file name asks for on output: .hex/.ihex/.ihx Intel HEX,
// .srec/.s19/.s28/.s37/.mot S-records, anything else raw. addressBytes: the
// least S-record address width the name asks for (2 for .s19, 3 for .s28, 4
// for .s37, else 0).
Format formatOfName(const std::string& name, int* addressBytes = nullptr);

// Bytes at consecutive addresses.
struct Segment {
  std::uint32_t address = 0;
  std::vector<std::uint8_t> bytes;
  std::uint64_t end() const { return address + std::uint64_t{bytes.size()}; }
};

// What a file gives: segments in address order, none overlapping or touching
// (touching ones are one segment).
struct Image {
  Format format = Format::Raw;
  std::vector<Segment> segments;

  bool empty() const { return segments.empty(); }
  // One past the highest address given (0 when empty).
  std::uint64_t end() const { return segments.empty() ? 0 : segments.back().end(); }
  std::uint64_t byteCount() const;
  // The bytes from address 0 to end(), those not given as fill.
  std::vector<std::uint8_t> flatten(std::uint8_t fill = 0xFF) const;
};

// A refused file: the message names the file, the line and the reason.
struct Malformed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The format a file's content has: Intel HEX when its first line is a record
// (':' and hex digits), S-record when it is one ('S', a digit, hex digits),
// else raw.
Format detect(const std::uint8_t* data, std::size_t size);

// Parses a whole file. name is the file's name in messages. detected: the
// format was told from the content (not forced), so a refusal adds that a raw
// image that merely starts like a record wants --format raw. Raw gives one
// segment at 0 (none for an empty file). Throws Malformed.
Image parse(const std::uint8_t* data, std::size_t size, Format format, const std::string& name,
            bool detected = false);

// Intel HEX: type 04 records for the upper address halves, 16 data bytes a
// record, records never crossing a 64 KiB boundary, an end record.
std::string writeIntelHex(const std::vector<Segment>& segments);

// S-records: an S0 header, S1, S2 or S3 data records by the highest address
// (at least addressBytes wide), 32 data bytes a record, an S5 or S6 count,
// and the matching S9, S8 or S7 end record.
std::string writeSRecords(const std::vector<Segment>& segments, int addressBytes = 0);

}  // namespace vkm470::loadfile
