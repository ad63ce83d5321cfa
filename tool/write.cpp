// write: leaves each area it writes holding exactly its image (the rest of the
// area erased), programming only the pages that differ, and reads them back.
#include <cstdlib>

#include "commands.h"
#include "plan.h"

namespace vkm470::tool {

namespace {

struct WriteOptions {
  Images images;
  bool keepRest = false;
  bool force = false;
  bool noVerify = false;
  bool fast = false;
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
  command->add_flag("--erase-rest", "the default: erase the rest of each written area")
      ->group("")
      ->excludes("--keep-rest");
  command->add_flag("--force", options.force, "program every page, without reading first");
  command->add_flag("--no-verify", options.noVerify, "do not read back what was programmed");
  command->add_flag("--fast", options.fast,
                    "the cable's fast mode, where the library has it (VKM470_LPT_FAST=1)");
  command->callback([&common, &status] {
    auto target = std::make_shared<Target>();
    const Json placed = placeImages(options.images, !options.keepRest, *target);
    const auto modules = chosenModules(common);
    if (!options.images.boot.empty()) requireCableForBoot(modules, "the boot image");
#ifdef _WIN32
    if (options.fast) _putenv_s("VKM470_LPT_FAST", "1");
#else
    if (options.fast) setenv("VKM470_LPT_FAST", "1", 1);
#endif
    status = runOnModules(common, modules, [&](Module& module, Meter& meter) {
      const WriteReport report =
          writeTarget(module, *target, options.force, !options.noVerify, meter);
      Result result = writeResult(module, report);
      result.json["images"] = placed;
      return result;
    });
  });
}

}  // namespace vkm470::tool
