// SPDX-License-Identifier: MIT
// verify: compares the flash with images, writing nothing.
#include "commands.h"
#include "plan.h"
#include "production.h"

namespace vkm470::tool {

void addVerify(CLI::App& app, Common& common, int& status) {
  static Images images;
  static bool ignoreTail = false;
  static Production production;
  CLI::App* command =
      app.add_subcommand("verify", "compare the flash with images, writing nothing");
  addModuleOptions(*command, common, true);
  addImageOptions(*command, images);
  command->add_flag("--ignore-tail", ignoreTail,
                    "do not require the rest of each named area to be erased (0xFF)");
  addProductionOptions(*command, production, false, false);
  command->callback([&common, &status] {
    auto target = std::make_shared<Target>();
    const Json placed = placeImages(images, !ignoreTail, *target);
    const auto modules = chosenModules(common);
    Record record("verify", placed, production.log);
    requireExpected(production, modules);
    status =
        runRecorded(common, modules, record, [&](Module& module, Meter& meter, ModuleNote& note) {
          const Differences differences = compare(module, *target, meter);
          note.serial = readSerial(module);
          Result result;
          Json first = Json::array();
          for (std::uint32_t address : differences.first) first.push_back(address);
          result.json = {{"images", placed},
                         {"tail_checked", !ignoreTail},
                         {"bytes_read", differences.bytesRead},
                         {"differences", differences.count},
                         {"first_differences", first}};
          if (differences.count == 0) {
            result.summary = "matches";
            result.text = module.name() + ": matches" +
                          (ignoreTail ? "" : ", the rest of each area erased") + "\n";
          } else {
            result.exit = kFailed;
            result.summary = "differs at " + describe(differences);
            result.text = module.name() + ": " + result.summary + "\n";
          }
          return result;
        });
  });
}

}  // namespace vkm470::tool
