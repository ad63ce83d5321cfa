// SPDX-License-Identifier: MIT
// --dry-run of write and erase: reads the pages a run would compare and says,
// per area, how many it would program. Programs nothing.
#include "dryrun.h"

#include <map>

namespace vkm470::tool {

namespace {

// The area a page belongs to; the PGA header shares its page with the PGA.
const char* areaOf(std::uint32_t page) {
  if (page >= map::kPgaHeaderAddress) return "pga";
  for (const auto& area : map::kAreas)
    if (page >= area.address && page < area.address + area.length) return area.name;
  return "flash";
}

std::string pages(std::uint32_t n) { return std::to_string(n) + (n == 1 ? " page" : " pages"); }

}  // namespace

Result dryRun(Module& module, const Target& target, bool force, const DryRunExtra& extra,
              Meter& meter) {
  struct Count {
    std::uint32_t program = 0;
    std::uint32_t unchanged = 0;
  };
  std::map<std::uint32_t, std::pair<const char*, Count>> byArea;  // by the area's first page
  auto count = [&](std::uint32_t page, bool differs) {
    const char* name = areaOf(page);
    std::uint32_t key = page;
    for (const auto& area : map::kAreas)
      if (std::string(area.name) == name) key = area.address;
    if (std::string(name) == "pga") key = map::kPgaHeaderAddress;
    auto& entry = byArea[key];
    entry.first = name;
    ++(differs ? entry.second.program : entry.second.unchanged);
  };
  const auto runs = target.pageRuns();
  std::uint64_t toRead = 0;
  for (const auto& run : runs) toRead += run.length;
  meter.phase("reading", force ? 0 : toRead);
  std::uint8_t wanted[map::kPageBytes];
  for (const auto& run : runs) {
    Bytes current(run.length);
    if (!force) module.read(run.address, current.data(), run.length, meter);
    for (std::uint32_t offset = 0; offset < run.length; offset += map::kPageBytes)
      count(run.address + offset,
            force || target.compose(run.address + offset, current.data() + offset, wanted));
  }
  if (extra.serialPages >= 0) count(map::kSerialAddress, extra.serialPages > 0);

  Result result;
  Json areas = Json::array();
  std::uint32_t program = 0, unchanged = 0;
  std::string detail;
  for (const auto& [first, entry] : byArea) {
    const auto& [name, c] = entry;
    areas.push_back(
        {{"area", name}, {"pages_to_program", c.program}, {"pages_unchanged", c.unchanged}});
    program += c.program;
    unchanged += c.unchanged;
    detail += std::string(detail.empty() ? "" : ", ") + name + " " + std::to_string(c.program);
  }
  result.json = {{"dry_run", true},
                 {"pages_to_program", program},
                 {"pages_unchanged", unchanged},
                 {"plan", areas}};
  if (!extra.serial.empty()) result.json["serial_plan"] = extra.serial;
  result.summary = "would program " + pages(program) + (detail.empty() ? "" : " (" + detail + ")") +
                   ", " + pages(unchanged) + " unchanged" +
                   (extra.serial.empty() ? "" : "; " + extra.serial) + "; nothing written";
  result.text = module.name() + ": " + result.summary + "\n";
  return result;
}

}  // namespace vkm470::tool
