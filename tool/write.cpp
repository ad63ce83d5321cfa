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

int write(const Common& common, WriteOptions& options) {
  const Production& production = options.production;
  Images images = options.images;
  SerialPlan serials(production, images);
  auto target = std::make_shared<Target>();
  Json placed = Json::array();
  const bool flashImage = !images.flash.empty() || !images.file.empty();
  if (!serials.active() || !images.boot.empty() || !images.app.empty() || !images.pga.empty() ||
      flashImage)
    placed = placeImages(images, !options.keepRest, *target);
  // A flash image gives the bytes to write and no more: the rest of the areas
  // it touches is erased only when asked.
  if (options.eraseRest && flashImage) fillRestOfTouchedAreas(*target);
  // A serial option overrides the serial field a flash image holds: the field
  // is written once, by the serial step, never first with the image's serial.
  if (serials.active() && flashImage)
    target->split(map::kSerialAddress, map::kSerialAddress + map::kSerialAreaBytes);
  const auto modules = chosenModules(common);
  serials.requireOnePerModule(modules.size(), "each of the modules");
  if (!images.boot.empty()) requireCableForBoot(modules, "the boot image");
  const BootRule boot(*target, modules);
  // Over USB the boot pages are read, found as they should be and left out.
  const auto bootLeftOut = [&boot](const Module& module) {
    return module.id().usb && boot.hasBoot() ? boot.pages() : 0;
  };
#ifdef _WIN32
  if (options.fast) _putenv_s("VKM470_LPT_FAST", "1");
#else
  if (options.fast) setenv("VKM470_LPT_FAST", "1", 1);
#endif
  // The log opens before any module is touched: a run without its record
  // does not start. A dry run writes nothing, and logs nothing.
  Record record("write", placed, production.dryRun ? "" : production.log);
  requireExpected(production, modules);
  const bool verify = !options.noVerify;
  if (production.dryRun)
    return runRecorded(common, modules, record,
                       [&](Module& module, Meter& meter, ModuleNote& note) {
                         DryRunExtra extra;
                         std::uint32_t pages = 0;
                         extra.serial = serials.preview(module, note, !options.keepRest, pages);
                         if (serials.active()) extra.serialPages = static_cast<int>(pages);
                         const Target& wanted = boot.forModule(module, *target, meter);
                         return dryRun(module, wanted, options.force, extra, meter);
                       });
  const WriteSettings settings{options.force, verify, !options.keepRest};
  return runRecorded(common, modules, record, [&](Module& module, Meter& meter, ModuleNote& note) {
    const Target& wanted = boot.forModule(module, *target, meter);
    return writeModule(module, meter, note, wanted, bootLeftOut(module), serials, settings);
  });
}

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

void addWrite(CLI::App& app, Common& common, int& status) {
  static WriteOptions options;
  CLI::App* command = app.add_subcommand(
      "write", "program the images: only the pages that differ, then read them back");
  addModuleOptions(*command, common, true);
  addImageOptions(*command, options.images);
  command->add_flag("--keep-rest", options.keepRest,
                    "leave the rest of each written area as it is (by default it is erased, "
                    "0xFF, so that verify of the same images agrees)");
  // Erasing the rest is the default now; the old option stays accepted.
  command
      ->add_flag("--erase-rest", options.eraseRest,
                 "the default for areas: erase the rest of each written area (--flash and "
                 "--address: also erase the rest of each area they touch)")
      ->group("")
      ->excludes("--keep-rest");
  command->add_flag("--force", options.force, "program every page, without reading first");
  command->add_flag("--no-verify", options.noVerify, "do not read back what was programmed");
  command->add_flag("--fast", options.fast,
                    "the cable's fast mode, where the library has it (VKM470_LPT_FAST=1)");
  addProductionOptions(*command, options.production, true, true);
  command->callback([&common, &status] { status = write(common, options); });
}

}  // namespace vkm470::tool
