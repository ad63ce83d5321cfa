// SPDX-License-Identifier: MIT
#include "loadfile.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace vkm470::loadfile {

namespace {

constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

struct HexTable {
  std::int8_t value[256];
  constexpr HexTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = -1;
    for (int i = 0; i < 10; ++i) value['0' + i] = static_cast<std::int8_t>(i);
    for (int i = 0; i < 6; ++i) {
      value['A' + i] = static_cast<std::int8_t>(10 + i);
      value['a' + i] = static_cast<std::int8_t>(10 + i);
    }
  }
};
constexpr HexTable kHex;

bool allHex(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    if (kHex.value[static_cast<unsigned char>(text[i])] < 0) return false;
  return true;
}

std::string hexText(std::uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

// One line of a file, without its line end and trailing blanks.
struct Line {
  const char* text;
  std::size_t length;
  std::uint32_t number;
};

class Lines {
 public:
  Lines(const std::uint8_t* data, std::size_t size)
      : at_(reinterpret_cast<const char*>(data)), end_(at_ + size) {}

  bool next(Line& line) {
    if (at_ == end_) return false;
    const char* start = at_;
    const void* newline = std::memchr(at_, '\n', static_cast<std::size_t>(end_ - at_));
    const char* stop = newline != nullptr ? static_cast<const char*>(newline) : end_;
    at_ = newline != nullptr ? stop + 1 : end_;
    while (stop > start && (stop[-1] == '\r' || stop[-1] == ' ' || stop[-1] == '\t')) --stop;
    line = {start, static_cast<std::size_t>(stop - start), ++number_};
    return true;
  }
  std::uint32_t number() const { return number_; }

 private:
  const char* at_;
  const char* end_;
  std::uint32_t number_ = 0;
};

// A data record as read: where its bytes go, where they are kept, its line.
struct Record {
  std::uint32_t address;
  std::uint32_t length;
  std::size_t offset;
  std::uint32_t line;
};

class Reader {
 public:
  Reader(const std::string& name, bool detected, const char* kind)
      : name_(name), detected_(detected), kind_(kind) {}

  [[noreturn]] void refuse(std::uint32_t line, const std::string& reason) const {
    std::string message = name_ + ":" + std::to_string(line) + ": " + reason;
    if (detected_)
      message += " (read as " + std::string(kind_) + "; if " + name_ +
                 " is a raw image, give --format raw)";
    throw Malformed(message);
  }

  // Decodes the hex digits of a record into bytes_, checking its characters
  // and that their count is even.
  void decode(const Line& line, std::size_t from) {
    const std::size_t digits = line.length - from;
    for (std::size_t i = from; i < line.length; ++i)
      if (kHex.value[static_cast<unsigned char>(line.text[i])] < 0) {
        const auto c = static_cast<unsigned char>(line.text[i]);
        char shown[16];
        if (c >= 0x20 && c < 0x7F)
          std::snprintf(shown, sizeof shown, "'%c'", c);
        else
          std::snprintf(shown, sizeof shown, "byte 0x%02X", c);
        refuse(line.number,
               std::string("bad character ") + shown + " in column " + std::to_string(i + 1));
      }
    if (digits % 2 != 0) refuse(line.number, "bad length: an odd number of hex digits");
    count_ = digits / 2;
    if (count_ > sizeof bytes_)
      refuse(line.number,
             "bad length: " + std::to_string(count_) + " bytes, more than any record holds");
    const auto* text = reinterpret_cast<const unsigned char*>(line.text + from);
    for (std::size_t i = 0; i < count_; ++i)
      bytes_[i] =
          static_cast<std::uint8_t>(kHex.value[text[2 * i]] << 4 | kHex.value[text[2 * i + 1]]);
  }

  void add(std::uint64_t address, const std::uint8_t* bytes, std::size_t length,
           std::uint32_t line) {
    if (length == 0) return;
    if (address + length > kAddressSpace)
      refuse(line, "the record runs past the 32-bit address space (" + hexText(address, 8) + ")");
    records_.push_back({static_cast<std::uint32_t>(address), static_cast<std::uint32_t>(length),
                        pool_.size(), line});
    pool_.insert(pool_.end(), bytes, bytes + length);
  }

  // Orders the records by address and joins them into segments; the same
  // address given twice must give the same byte.
  std::vector<Segment> segments() {
    auto byAddress = [](const Record& a, const Record& b) { return a.address < b.address; };
    if (!std::is_sorted(records_.begin(), records_.end(), byAddress))
      std::stable_sort(records_.begin(), records_.end(), byAddress);
    std::vector<Segment> out;
    for (std::size_t r = 0; r < records_.size(); ++r) {
      const Record& record = records_[r];
      const std::uint8_t* bytes = pool_.data() + record.offset;
      std::uint32_t skip = 0;
      if (out.empty() || record.address > out.back().end()) {
        out.push_back({record.address, {}});
      } else if (record.address < out.back().end()) {
        // Overlap: it lies in the last segment, which starts at or before it.
        Segment& last = out.back();
        skip = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(last.end() - record.address, record.length));
        const std::uint8_t* held = last.bytes.data() + (record.address - last.address);
        for (std::uint32_t i = 0; i < skip; ++i)
          if (held[i] != bytes[i]) conflict(r, record.address + i, held[i], bytes[i]);
      }
      out.back().bytes.insert(out.back().bytes.end(), bytes + skip, bytes + record.length);
    }
    return out;
  }

 protected:
  std::uint8_t bytes_[300];
  std::size_t count_ = 0;

 private:
  [[noreturn]] void conflict(std::size_t r, std::uint32_t address, std::uint8_t held,
                             std::uint8_t given) const {
    // The byte held came from the first record (in address order) that covers it.
    std::uint32_t first = 0;
    for (std::size_t i = 0; i < r; ++i)
      if (records_[i].address <= address && address - records_[i].address < records_[i].length) {
        first = records_[i].line;
        break;
      }
    const std::uint32_t here = records_[r].line;
    const std::uint32_t later = std::max(first, here), earlier = std::min(first, here);
    const std::uint8_t laterByte = later == here ? given : held;
    const std::uint8_t earlierByte = later == here ? held : given;
    refuse(later, "address " + hexText(address, 6) + " given twice with different bytes (" +
                      hexText(laterByte, 2) + " here, " + hexText(earlierByte, 2) + " on line " +
                      std::to_string(earlier) + ")");
  }

  std::string name_;
  bool detected_;
  const char* kind_;
  std::vector<Record> records_;
  std::vector<std::uint8_t> pool_;
};

class IntelHexReader : public Reader {
 public:
  using Reader::Reader;

  std::vector<Segment> read(const std::uint8_t* data, std::size_t size) {
    Lines lines(data, size);
    Line line;
    std::uint64_t base = 0;
    bool ended = false;
    while (lines.next(line)) {
      if (line.length == 0) continue;
      if (ended) {
        // Old tools end a text file with a DOS end-of-file mark.
        if (line.length == 1 && line.text[0] == '\x1A') continue;
        refuse(line.number, "text after the end record");
      }
      if (line.text[0] != ':') refuse(line.number, "not a record: it does not start with ':'");
      decode(line, 1);
      if (count_ < 5)
        refuse(line.number,
               "bad length: a record has at least 5 bytes, this one " + std::to_string(count_));
      const std::size_t length = bytes_[0];
      if (count_ != length + 5)
        refuse(line.number, "bad length: the record says " + std::to_string(length) +
                                " data bytes and holds " + std::to_string(count_ - 5));
      std::uint8_t sum = 0;
      for (std::size_t i = 0; i < count_; ++i) sum = static_cast<std::uint8_t>(sum + bytes_[i]);
      if (sum != 0)
        refuse(line.number,
               "bad checksum " + hexText(bytes_[count_ - 1], 2) + " (the record's bytes want " +
                   hexText(static_cast<std::uint8_t>(bytes_[count_ - 1] - sum), 2) + ")");
      const std::uint32_t offset = std::uint32_t{bytes_[1]} << 8 | bytes_[2];
      const std::uint8_t type = bytes_[3];
      const std::uint8_t* payload = bytes_ + 4;
      auto want = [&](std::size_t n, const char* what) {
        if (length != n)
          refuse(line.number, "bad length: " + std::string(what) + " record with " +
                                  std::to_string(length) + " data bytes (it has " +
                                  std::to_string(n) + ")");
      };
      switch (type) {
        case 0x00:
          add(base + offset, payload, length, line.number);
          break;
        case 0x01:
          want(0, "an end");
          ended = true;
          break;
        case 0x02:
          want(2, "a segment address");
          base = (std::uint64_t{payload[0]} << 8 | payload[1]) << 4;
          break;
        case 0x04:
          want(2, "an upper address");
          base = (std::uint64_t{payload[0]} << 8 | payload[1]) << 16;
          break;
        case 0x03:
          want(4, "a start segment address");
          break;
        case 0x05:
          want(4, "a start address");
          break;
        default:
          refuse(line.number, "bad record type " + hexText(type, 2) + " (00 to 05)");
      }
    }
    if (!ended) refuse(std::max<std::uint32_t>(lines.number(), 1), "no end record (type 01)");
    return segments();
  }
};

class SRecordReader : public Reader {
 public:
  using Reader::Reader;

  std::vector<Segment> read(const std::uint8_t* data, std::size_t size) {
    Lines lines(data, size);
    Line line;
    bool ended = false;
    // srec_cat writes no end record when it knows no start address; a count
    // record that matches, as the last record, tells the file is whole too.
    bool counted = false;
    std::uint32_t dataRecords = 0;
    while (lines.next(line)) {
      if (line.length == 0) continue;
      if (ended) {
        if (line.length == 1 && line.text[0] == '\x1A') continue;
        refuse(line.number, "text after the end record");
      }
      if (line.text[0] != 'S' || line.length < 2)
        refuse(line.number, "not a record: it does not start with S and a digit");
      const char type = line.text[1];
      int width = 0;
      switch (type) {
        case '0':
        case '1':
        case '5':
        case '9':
          width = 2;
          break;
        case '2':
        case '6':
        case '8':
          width = 3;
          break;
        case '3':
        case '7':
          width = 4;
          break;
        default:
          if (type >= '0' && type <= '9')
            refuse(line.number, std::string("bad record type S") + type + " (S0 to S3, S5 to S9)");
          refuse(line.number, "not a record: it does not start with S and a digit");
      }
      decode(line, 2);
      if (count_ < 1) refuse(line.number, "bad length: no count byte");
      const std::size_t count = bytes_[0];
      if (count_ != count + 1)
        refuse(line.number, "bad length: the record says " + std::to_string(count) +
                                " bytes follow the count and holds " + std::to_string(count_ - 1));
      if (count < static_cast<std::size_t>(width) + 1)
        refuse(line.number, "bad length: " + std::to_string(count) + " bytes cannot hold an S" +
                                type + " record's " + std::to_string(width) +
                                "-byte address and checksum");
      std::uint8_t sum = 0;
      for (std::size_t i = 0; i < count_; ++i) sum = static_cast<std::uint8_t>(sum + bytes_[i]);
      if (sum != 0xFF)
        refuse(line.number,
               "bad checksum " + hexText(bytes_[count_ - 1], 2) + " (the record's bytes want " +
                   hexText(static_cast<std::uint8_t>(bytes_[count_ - 1] + 0xFF - sum), 2) + ")");
      std::uint64_t address = 0;
      for (int i = 0; i < width; ++i) address = address << 8 | bytes_[1 + i];
      const std::uint8_t* payload = bytes_ + 1 + width;
      const std::size_t length = count - width - 1;
      counted = false;
      switch (type) {
        case '1':
        case '2':
        case '3':
          add(address, payload, length, line.number);
          ++dataRecords;
          break;
        case '5':
        case '6': {
          const std::uint64_t modulo = std::uint64_t{1} << (8 * width);
          if (address != dataRecords % modulo)
            refuse(line.number, "the count record says " + std::to_string(address) +
                                    " data records and " + std::to_string(dataRecords) +
                                    " came before it");
          counted = true;
          break;
        }
        case '7':
        case '8':
        case '9':
          ended = true;
          break;
        default:  // S0, the header
          break;
      }
    }
    if (!ended && !counted)
      refuse(std::max<std::uint32_t>(lines.number(), 1),
             "no end record (S7, S8 or S9), nor a count record (S5, S6) last");
    return segments();
  }
};

class Writer {
 public:
  std::string text;

  void begin(char first, char second = 0) {
    line_[0] = first;
    line_[1] = second;
    used_ = second != 0 ? 2 : 1;
    sum_ = 0;
  }
  void byte(std::uint8_t value) {
    static const char digits[] = "0123456789ABCDEF";
    line_[used_++] = digits[value >> 4];
    line_[used_++] = digits[value & 0x0F];
    sum_ = static_cast<std::uint8_t>(sum_ + value);
  }
  std::uint8_t sum() const { return sum_; }
  void end(std::uint8_t checksum) {
    byte(checksum);
    line_[used_++] = '\n';
    text.append(line_, used_);
  }

 private:
  char line_[600];
  std::size_t used_ = 0;
  std::uint8_t sum_ = 0;
};

}  // namespace

const char* formatWord(Format format) {
  switch (format) {
    case Format::IntelHex:
      return "ihex";
    case Format::SRecord:
      return "srec";
    default:
      return "raw";
  }
}

bool parseFormat(const std::string& word, Format& format) {
  for (Format f : {Format::Raw, Format::IntelHex, Format::SRecord})
    if (word == formatWord(f)) {
      format = f;
      return true;
    }
  return false;
}

Format formatOfName(const std::string& name, int* addressBytes) {
  if (addressBytes != nullptr) *addressBytes = 0;
  const auto dot = name.find_last_of("./\\");
  if (dot == std::string::npos || name[dot] != '.') return Format::Raw;
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "hex" || ext == "ihex" || ext == "ihx") return Format::IntelHex;
  const struct {
    const char* ext;
    int bytes;
  } srec[] = {{"srec", 0}, {"mot", 0}, {"s19", 2}, {"s28", 3}, {"s37", 4}};
  for (const auto& s : srec)
    if (ext == s.ext) {
      if (addressBytes != nullptr) *addressBytes = s.bytes;
      return Format::SRecord;
    }
  return Format::Raw;
}

std::uint64_t Image::byteCount() const {
  std::uint64_t n = 0;
  for (const Segment& s : segments) n += s.bytes.size();
  return n;
}

std::vector<std::uint8_t> Image::flatten(std::uint8_t fill) const {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(end()), fill);
  for (const Segment& s : segments)
    std::copy(s.bytes.begin(), s.bytes.end(), out.begin() + s.address);
  return out;
}

Format detect(const std::uint8_t* data, std::size_t size) {
  const auto* text = reinterpret_cast<const char*>(data);
  std::size_t length = 0;
  while (length < size && text[length] != '\n') ++length;
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == ' ')) --length;
  if (length >= 11 && text[0] == ':' && allHex(text + 1, length - 1)) return Format::IntelHex;
  if (length >= 10 && text[0] == 'S' && text[1] >= '0' && text[1] <= '9' &&
      allHex(text + 2, length - 2))
    return Format::SRecord;
  return Format::Raw;
}

Image parse(const std::uint8_t* data, std::size_t size, Format format, const std::string& name,
            bool detected) {
  Image image;
  image.format = format;
  switch (format) {
    case Format::Raw:
      if (size > 0) image.segments.push_back({0, std::vector<std::uint8_t>(data, data + size)});
      break;
    case Format::IntelHex:
      image.segments = IntelHexReader(name, detected, "Intel HEX").read(data, size);
      break;
    case Format::SRecord:
      image.segments = SRecordReader(name, detected, "S-records").read(data, size);
      break;
  }
  return image;
}

std::string writeIntelHex(const std::vector<Segment>& segments) {
  Writer out;
  std::uint64_t bytes = 0;
  for (const Segment& s : segments) bytes += s.bytes.size();
  out.text.reserve(static_cast<std::size_t>(bytes / 16 * 44 + 64));
  long upper = -1;
  for (const Segment& s : segments) {
    std::size_t done = 0;
    while (done < s.bytes.size()) {
      const std::uint32_t address = s.address + static_cast<std::uint32_t>(done);
      if (static_cast<long>(address >> 16) != upper) {
        upper = static_cast<long>(address >> 16);
        out.begin(':');
        for (std::uint8_t b : {0x02, 0x00, 0x00, 0x04}) out.byte(b);
        out.byte(static_cast<std::uint8_t>(upper >> 8));
        out.byte(static_cast<std::uint8_t>(upper));
        out.end(static_cast<std::uint8_t>(-out.sum()));
      }
      const std::size_t n = std::min<std::size_t>(
          {16, s.bytes.size() - done, 0x10000 - std::size_t{address & 0xFFFF}});
      out.begin(':');
      out.byte(static_cast<std::uint8_t>(n));
      out.byte(static_cast<std::uint8_t>(address >> 8));
      out.byte(static_cast<std::uint8_t>(address));
      out.byte(0x00);
      for (std::size_t i = 0; i < n; ++i) out.byte(s.bytes[done + i]);
      out.end(static_cast<std::uint8_t>(-out.sum()));
      done += n;
    }
  }
  out.text += ":00000001FF\n";
  return std::move(out.text);
}

std::string writeSRecords(const std::vector<Segment>& segments, int addressBytes) {
  std::uint64_t end = 0, bytes = 0;
  for (const Segment& s : segments) {
    end = std::max(end, s.end());
    bytes += s.bytes.size();
  }
  int width = std::max(2, std::min(addressBytes, 4));
  if (end > 0x10000) width = std::max(width, 3);
  if (end > 0x1000000) width = 4;
  Writer out;
  out.text.reserve(static_cast<std::size_t>(bytes / 32 * 80 + 64));
  auto record = [&](char type, std::uint32_t address, int digits, const std::uint8_t* data,
                    std::size_t n) {
    out.begin('S', type);
    out.byte(static_cast<std::uint8_t>(digits + n + 1));
    for (int i = digits - 1; i >= 0; --i) out.byte(static_cast<std::uint8_t>(address >> (8 * i)));
    for (std::size_t i = 0; i < n; ++i) out.byte(data[i]);
    out.end(static_cast<std::uint8_t>(~out.sum()));
  };
  record('0', 0, 2, nullptr, 0);
  const char dataType = static_cast<char>('0' + width - 1);
  std::uint32_t records = 0;
  for (const Segment& s : segments)
    for (std::size_t done = 0; done < s.bytes.size(); done += 32) {
      record(dataType, s.address + static_cast<std::uint32_t>(done), width, s.bytes.data() + done,
             std::min<std::size_t>(32, s.bytes.size() - done));
      ++records;
    }
  if (records <= 0xFFFF)
    record('5', records, 2, nullptr, 0);
  else if (records <= 0xFFFFFF)
    record('6', records, 3, nullptr, 0);
  record(static_cast<char>('0' + 11 - width), 0, width, nullptr, 0);
  return std::move(out.text);
}

}  // namespace vkm470::loadfile
