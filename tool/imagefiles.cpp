// SPDX-License-Identifier: MIT
#include "imagefiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "record.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace vkm470::tool {

namespace {

namespace fs = std::filesystem;
using loadfile::Format;

// No HEX or S-record file of a 2 MiB flash comes near this (one byte a
// record is about 31 MB).
constexpr std::size_t kTextLimit = std::size_t{64} << 20;

const char* formatName(Format format) {
  return format == Format::IntelHex ? "Intel HEX" : format == Format::SRecord ? "S-records" : "raw";
}

std::string pastTheEnd(const std::string& file, const loadfile::Image& image, std::uint32_t limit,
                       bool offsets, const std::string& where) {
  std::uint64_t first = 0;
  for (const loadfile::Segment& s : image.segments)
    if (s.end() > limit) {
      first = std::max<std::uint64_t>(s.address, limit);
      break;
    }
  return file + ": the bytes at " + (offsets ? "offsets " : "") +
         hex(static_cast<std::uint32_t>(first)) + ".." +
         hex(static_cast<std::uint32_t>(image.end() - 1)) + " are past the end of " + where + " (" +
         std::to_string(limit) + " bytes)";
}

}  // namespace

std::optional<Format> formatOption(const std::string& word) {
  if (word.empty()) return std::nullopt;
  Format format;
  if (!loadfile::parseFormat(word, format))
    throw Failure(kUsage, "no format " + word + " (raw, ihex, srec)");
  return format;
}

loadfile::Image readImageFile(const std::string& file, std::optional<Format> format,
                              std::uint32_t rawLimit) {
  const bool standardInput = file == "-";
#ifdef _WIN32
  if (standardInput) _setmode(_fileno(stdin), _O_BINARY);
#endif
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(
      standardInput ? stdin : std::fopen(file.c_str(), "rb"),
      standardInput ? [](std::FILE*) { return 0; } : std::fclose);
  if (!stream) throw Failure(kFailed, "cannot open " + file + ": " + std::strerror(errno));
  Bytes bytes;
  // Reads on until bytes holds total, or the source ends; the buffer grows
  // as the bytes come, not to the bound.
  bool ended = false;
  auto readUpTo = [&](std::size_t total) {
    while (!ended && bytes.size() < total) {
      const std::size_t held = bytes.size();
      const std::size_t want = std::min(total - held, std::max<std::size_t>(held, 65536));
      bytes.resize(held + want);
      const std::size_t n = std::fread(bytes.data() + held, 1, want, stream.get());
      bytes.resize(held + n);
      if (std::ferror(stream.get()) != 0) throw Failure(kFailed, "cannot read " + file);
      ended = n < want;
    }
  };
  const std::size_t rawCap = std::size_t{rawLimit} + 1;
  if (!standardInput) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    if (!error)
      bytes.reserve(static_cast<std::size_t>(std::min<std::uintmax_t>(size, kTextLimit)) + 1);
  }
  const bool detected = !format;
  if (detected) {
    // The first line tells the format.
    readUpTo(std::min<std::size_t>(rawCap, 4096));
    format = loadfile::detect(bytes.data(), bytes.size());
  }
  readUpTo(*format == Format::Raw ? rawCap : kTextLimit + 1);
  if (*format == Format::Raw) {
    if (bytes.size() > rawLimit)
      throw Failure(kFailed, "file " + file + " too large for its area (more than " +
                                 std::to_string(rawLimit) + " bytes)");
    loadfile::Image image;
    if (!bytes.empty()) image.segments.push_back({0, std::move(bytes)});
    return image;
  }
  if (bytes.size() > kTextLimit)
    throw Failure(kFailed, "file " + file + " is larger than any " + formatName(*format) +
                               " image (more than " + std::to_string(kTextLimit) + " bytes)");
  try {
    return loadfile::parse(bytes.data(), bytes.size(), *format, file, detected);
  } catch (const loadfile::Malformed& e) {
    throw Failure(kFailed, e.what());
  }
}

Bytes readAreaImage(const std::string& file, std::optional<Format> format, const char* area,
                    std::uint32_t areaBytes) {
  const loadfile::Image image = readImageFile(file, format, areaBytes);
  if (image.format == Format::Raw) return image.empty() ? Bytes() : image.segments[0].bytes;
  if (image.end() > areaBytes)
    throw Failure(kFailed,
                  pastTheEnd(file, image, areaBytes, true, "the " + std::string(area) + " area"));
  return image.flatten(0xFF);
}

nlohmann::ordered_json placeFlashImage(const std::string& file, std::optional<Format> format,
                                       Target& target) {
  const loadfile::Image image = readImageFile(file, format, map::kFlashBytes);
  if (image.end() > map::kFlashBytes)
    throw Failure(kFailed, pastTheEnd(file, image, map::kFlashBytes, false, "the flash"));
  for (const loadfile::Segment& s : image.segments)
    target.put(s.address, s.bytes.data(), static_cast<std::uint32_t>(s.bytes.size()));
  // The record's digest is of the image as bytes from address 0, gaps 0xFF: for
  // a raw dump, the file's own digest.
  nlohmann::ordered_json placed = imageRecord("flash", file, 0, image.flatten(0xFF));
  placed["format"] = loadfile::formatWord(image.format);
  return placed;
}

nlohmann::ordered_json placeRawAt(const std::string& file, std::optional<Format> format,
                                  const std::string& address, Target& target) {
  const auto first = parseNumber(address);
  if (!first) throw Failure(kUsage, "--address takes a number (decimal or 0x), not " + address);
  const loadfile::Image image = readImageFile(file, format, map::kFlashBytes);
  if (image.format != Format::Raw)
    throw Failure(kUsage, file + " holds " + formatName(image.format) +
                              ", which carry their own addresses: give it with --flash");
  const std::uint64_t length = image.byteCount();
  if (*first >= map::kFlashBytes || length > map::kFlashBytes - *first)
    throw Failure(kUsage, "the range " + hex(*first) + " + " + std::to_string(length) +
                              " bytes is not inside the flash (" +
                              std::to_string(map::kFlashBytes) + " bytes)");
  const Bytes none;
  const Bytes& bytes = image.empty() ? none : image.segments[0].bytes;
  if (!bytes.empty()) target.put(*first, bytes);
  return imageRecord("range", file, static_cast<std::uint32_t>(*first), bytes);
}

void fillRestOfTouchedAreas(Target& target) {
  const auto runs = target.byteRuns();
  for (const map::Area& area : map::kAreas) {
    const std::uint64_t end = std::uint64_t{area.address} + area.length;
    std::vector<Target::Span> inside;
    for (const Target::Span& run : runs)
      if (run.address < end && run.address + std::uint64_t{run.length} > area.address)
        inside.push_back(run);
    if (inside.empty()) continue;
    std::uint32_t at = area.address;
    for (const Target::Span& run : inside) {
      if (run.address > at) target.fill(at, run.address - at, 0xFF);
      at = std::max(at, run.address + run.length);
    }
    if (at < end) target.fill(at, static_cast<std::uint32_t>(end - at), 0xFF);
  }
}

BootRule::BootRule(Target& target, const std::vector<DeviceId>& modules) {
  constexpr std::uint32_t from = map::kBootAddress, to = map::kBootAddress + map::kBootBytes;
  const bool cable =
      std::any_of(modules.begin(), modules.end(), [](const DeviceId& id) { return !id.usb; });
  moved_ = !cable;
  boot_ = moved_ ? target.split(from, to) : target.part(from, to);
  hasBoot_ = boot_.pageCount() > 0;
  if (hasBoot_ && !moved_) rest_ = target.part(to, map::kFlashBytes);
}

const Target& BootRule::forModule(Module& module, const Target& target, Meter& meter) const {
  if (!module.id().usb || !hasBoot_) return target;  // moved_: no module is a cable
  const auto runs = boot_.pageRuns();
  std::uint64_t total = 0;
  for (const auto& run : runs) total += run.length;
  meter.phase("reading", total);
  std::uint64_t count = 0;
  std::uint32_t first = 0, last = 0;
  std::uint8_t wanted[map::kPageBytes];
  for (const auto& run : runs) {
    Bytes current(run.length);
    module.read(run.address, current.data(), run.length, meter);
    for (std::uint32_t offset = 0; offset < run.length; offset += map::kPageBytes) {
      const std::uint8_t* page = current.data() + offset;
      if (!boot_.compose(run.address + offset, page, wanted)) continue;
      for (std::uint32_t i = 0; i < map::kPageBytes; ++i) {
        if (wanted[i] == page[i]) continue;
        if (count++ == 0) first = run.address + offset + i;
        last = run.address + offset + i;
      }
    }
  }
  if (count != 0)
    throw Failure(kFailed, module.name() + ": the image's boot area differs from the module's at " +
                               hex(first) + ".." + hex(last) + " (" + std::to_string(count) +
                               (count == 1 ? " byte" : " bytes") +
                               "), and the boot area goes over the download cable only (-d lpt:N)");
  return moved_ ? target : rest_;
}

std::string outputText(Format format, int addressBytes, std::uint32_t first, const Bytes& data) {
  switch (format) {
    case Format::IntelHex:
      return loadfile::writeIntelHex({{first, data}});
    case Format::SRecord:
      return loadfile::writeSRecords({{first, data}}, addressBytes);
    default:
      return std::string(data.begin(), data.end());
  }
}

}  // namespace vkm470::tool
