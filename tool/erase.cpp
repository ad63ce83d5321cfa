// SPDX-License-Identifier: MIT
// erase: sets areas to 0xFF, skipping the pages that already are.
#include "commands.h"
#include "dryrun.h"
#include "plan.h"
#include "production.h"

namespace vkm470::tool {

void addErase(CLI::App& app, Common& common, int& status) {
  static std::vector<std::string> areas;
  static bool all = false;
  static bool noVerify = false;
  static Production production;
  CLI::App* command =
      app.add_subcommand("erase", "set areas to 0xFF, skipping the pages that already are");
  addModuleOptions(*command, common, true);
  auto* names =
      command->add_option("AREA", areas, "boot, serial, application, pga (with its header)");
  command->add_flag("--all", all, "the whole flash")->excludes(names);
  command->add_flag("--no-verify", noVerify, "do not read back what was erased");
  addProductionOptions(*command, production, false, true);
  command->callback([&common, &status] {
    Target target;
    Json erased = Json::array();
    auto add = [&](const char* name, std::uint32_t address, std::uint32_t length) {
      target.fill(address, length, 0xFF);
      erased.push_back(name);
    };
    bool boot = all;
    if (all) add("all", 0, map::kFlashBytes);
    if (!all && areas.empty()) throw Failure(kUsage, "give the areas to erase, or --all");
    for (const std::string& name : areas) {
      if (name == "boot") {
        add("boot", map::kBootAddress, map::kBootBytes);
        boot = true;
      } else if (name == "serial") {
        add("serial", map::kSerialAddress, map::kSerialAreaBytes);
      } else if (name == "application") {
        add("application", map::kAppAddress, map::kAppBytes);
      } else if (name == "pga") {
        // A PGA area without its header, or a header without its image, is
        // no image: both go.
        add("pga", map::kPgaHeaderAddress, map::kPgaHeaderBytes + map::kPgaBytes);
      } else {
        throw Failure(kUsage, "no area " + name + " (boot, serial, application, pga)");
      }
    }
    const auto modules = chosenModules(common);
    if (boot) requireCableForBoot(modules, "erasing the boot area");
    Record record("erase", Json::array(), production.dryRun ? "" : production.log);
    requireExpected(production, modules);
    status = runRecorded(common, modules, record, [&](Module& module, Meter& meter, ModuleNote&) {
      Result result =
          production.dryRun
              ? dryRun(module, target, false, {}, meter)
              : writeResult(module, writeTarget(module, target, false, !noVerify, meter), true);
      result.json["areas"] = erased;
      return result;
    });
  });
}

}  // namespace vkm470::tool
