// SPDX-License-Identifier: MIT
// Image files as vkm470 takes and gives them: raw, Intel HEX or S-records,
// told apart by content unless --format says; placed in an area (addresses
// are offsets in it) or in the flash (addresses are flash addresses).
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "core.h"
#include "loadfile.h"
#include "plan.h"

namespace vkm470::tool {

// The format --format names ("raw", "ihex", "srec"), or nullopt for an empty
// word (by content, or for output by the file's name). Fails with kUsage for
// any other word.
std::optional<loadfile::Format> formatOption(const std::string& word);

// A whole image file (- for standard input), read before anything is written,
// bounded: a raw image at rawLimit bytes, a text one at a size no flash image
// reaches. Malformed records, or a raw image over its limit, fail with
// kFailed naming the file.
loadfile::Image readImageFile(const std::string& file, std::optional<loadfile::Format> format,
                              std::uint32_t rawLimit);

// An area option's image: raw bytes as they are; records with offsets in the
// area, the bytes between them 0xFF. A byte past the area fails naming it.
Bytes readAreaImage(const std::string& file, std::optional<loadfile::Format> format,
                    const char* area, std::uint32_t areaBytes);

// --flash: a raw image from address 0, or records with flash addresses; only
// the bytes given are put into target. --address A FILE: a raw file's bytes
// from A (records carry their own addresses: refused with the hint). Either
// past the flash's end fails. Returns the entry for the report.
nlohmann::ordered_json placeFlashImage(const std::string& file,
                                       std::optional<loadfile::Format> format, Target& target);
nlohmann::ordered_json placeRawAt(const std::string& file, std::optional<loadfile::Format> format,
                                  const std::string& address, Target& target);

// --erase-rest for flash images: every area of the flash map that the target
// touches is wanted whole, the bytes it does not give as 0xFF.
void fillRestOfTouchedAreas(Target& target);

// The boot area goes over the download cable only. Over USB a target whose
// boot part matches the module is written without it; one whose boot part
// differs fails naming the range. Targets without a boot part, and cables,
// are written as they are.
class BootRule {
 public:
  // With no cable among the modules the boot part is moved out of target, else
  // copied.
  BootRule(Target& target, const std::vector<DeviceId>& modules);
  bool hasBoot() const { return hasBoot_; }
  // The pages of the boot part.
  std::uint32_t pages() const { return boot_.pageCount(); }
  const Target& forModule(Module& module, const Target& target, Meter& meter) const;

 private:
  bool hasBoot_ = false;
  bool moved_ = false;
  Target boot_;
  Target rest_;
};

// What read writes: the bytes as they are, or records whose addresses start
// at first (an area's offset 0, or the flash address read from).
std::string outputText(loadfile::Format format, int addressBytes, std::uint32_t first,
                       const Bytes& data);

}  // namespace vkm470::tool
