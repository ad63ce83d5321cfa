// SPDX-License-Identifier: MIT
// write: leaves each area it writes holding exactly its image (the rest of the
// area erased), programming only the pages that differ, and reads them back.
#include <cstdlib>

#include "commands.h"
#include "dryrun.h"
#include "imagefiles.h"
#include "plan.h"
#include "production.h"

namespace vkm470::tool {

namespace {

struct WriteOptions {
  Images images;
  Production production;
  bool keepRest = false;
  bool eraseRest = false;
  bool force = false;
  bool noVerify = false;
  bool fast = false;
};

class Write : public Command {
 public:
  Write()
      : Command("write", "program the images: only the pages that differ, then read them back",
                Takes::Modules, true) {}

 private:
  void declare(CLI::App& command) override {
    addImageOptions(command, options_.images);
    command.add_flag("--keep-rest", options_.keepRest,
                     "leave the rest of each written area as it is (by default it is erased, "
                     "0xFF, so that verify of the same images agrees)");
    // Erasing the rest is the default now; the old option stays accepted.
    command
        .add_flag("--erase-rest", options_.eraseRest,
                  "the default for areas: erase the rest of each written area (--flash and "
                  "--address: also erase the rest of each area they touch)")
        ->group("")
        ->excludes("--keep-rest");
    command.add_flag("--force", options_.force, "program every page, without reading first");
    command.add_flag("--no-verify", options_.noVerify, "do not read back what was programmed");
    command.add_flag("--fast", options_.fast,
                     "the cable's fast mode, where the library has it (VKM470_LPT_FAST=1)");
    addProductionOptions(command, options_.production, true, true);
  }

  int run() override {
    const Production& production = options_.production;
    Images images = options_.images;
    SerialPlan serials(production, images);
    auto target = std::make_shared<Target>();
    Json placed = Json::array();
    const bool flashImage = !images.flash.empty() || !images.file.empty();
    if (!serials.active() || !images.boot.empty() || !images.app.empty() || !images.pga.empty() ||
        flashImage)
      placed = placeImages(images, !options_.keepRest, *target);
    // A flash image gives the bytes to write and no more: the rest of the areas
    // it touches is erased only when asked.
    if (options_.eraseRest && flashImage) fillRestOfTouchedAreas(*target);
    // A serial option overrides the serial field a flash image holds: the field
    // is written once, by the serial step, never first with the image's serial.
    if (serials.active() && flashImage)
      target->split(map::kSerialAddress, map::kSerialAddress + map::kSerialAreaBytes);
    const auto modules = chosenModules();
    serials.requireOnePerModule(modules.size(), "each of the modules");
    if (!images.boot.empty()) requireCableForBoot(modules, "the boot image");
    const BootRule boot(*target, modules);
    // Over USB the boot pages are read, found as they should be and left out.
    const auto bootLeftOut = [&boot](const Module& module) {
      return module.id().usb && boot.hasBoot() ? boot.pages() : 0;
    };
#ifdef _WIN32
    if (options_.fast) _putenv_s("VKM470_LPT_FAST", "1");
#else
    if (options_.fast) setenv("VKM470_LPT_FAST", "1", 1);
#endif
    // The log opens before any module is touched: a run without its record
    // does not start. A dry run writes nothing, and logs nothing.
    Record record("write", placed, production.dryRun ? "" : production.log);
    requireExpected(production, modules);
    const bool verify = !options_.noVerify;
    if (production.dryRun)
      return runRecorded(common_, modules, record,
                         [&](Module& module, Meter& meter, ModuleNote& note) {
                           DryRunExtra extra;
                           std::uint32_t pages = 0;
                           extra.serial = serials.preview(module, note, !options_.keepRest, pages);
                           if (serials.active()) extra.serialPages = static_cast<int>(pages);
                           const Target& wanted = boot.forModule(module, *target, meter);
                           return dryRun(module, wanted, options_.force, extra, meter);
                         });
    const WriteSettings settings{options_.force, verify, !options_.keepRest};
    return runRecorded(
        common_, modules, record, [&](Module& module, Meter& meter, ModuleNote& note) {
          const Target& wanted = boot.forModule(module, *target, meter);
          return writeModule(module, meter, note, wanted, bootLeftOut(module), serials, settings);
        });
  }

  WriteOptions options_;
};

}  // namespace

Result writeResult(Module& module, const WriteReport& report, bool erasing) {
  Result result;
  result.json = {{"pages_programmed", report.pagesProgrammed},
                 {"pages_skipped", report.pagesSkipped},
                 {"bytes_read", report.bytesRead},
                 {"verified", report.verified}};
  const auto pages = [](std::uint32_t n) {
    return std::to_string(n) + (n == 1 ? " page" : " pages");
  };
  result.summary = pages(report.pagesProgrammed) + (erasing ? " erased, " : " programmed, ") +
                   pages(report.pagesSkipped) +
                   (erasing ? " skipped (already erased)" : " skipped (unchanged)") +
                   (report.verified && report.pagesProgrammed > 0 ? ", read back" : "");
  result.text = module.name() + ": " + result.summary + "\n";
  return result;
}

void requireCableForBoot(const std::vector<DeviceId>& modules, const char* what) {
  for (const DeviceId& id : modules)
    if (id.usb)
      throw Failure(kUsage, std::string(what) +
                                " goes over the download cable only (-d lpt:N), as "
                                "the burner's does; " +
                                id.name() + " is USB");
}

std::unique_ptr<Command> writeCommand() { return std::make_unique<Write>(); }

}  // namespace vkm470::tool
