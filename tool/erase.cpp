// SPDX-License-Identifier: MIT
// erase: sets areas to 0xFF, skipping the pages that already are.
#include "commands.h"
#include "dryrun.h"
#include "plan.h"
#include "production.h"

namespace vkm470::tool {

namespace {

class Erase : public Command {
 public:
  Erase()
      : Command("erase", "set areas to 0xFF, skipping the pages that already are", Takes::Modules,
                true) {}

 private:
  void declare(CLI::App& command) override {
    auto* names =
        command.add_option("AREA", areas_, "boot, serial, application, pga (with its header)");
    command.add_flag("--all", all_, "the whole flash")->excludes(names);
    command.add_flag("--no-verify", noVerify_, "do not read back what was erased");
    addProductionOptions(command, production_, false, true);
  }

  int run() override {
    Target target;
    Json erased = Json::array();
    auto add = [&](const char* name, std::uint32_t address, std::uint32_t length) {
      target.fill(address, length, 0xFF);
      erased.push_back(name);
    };
    bool boot = all_;
    if (all_) add("all", 0, map::kFlashBytes);
    if (!all_ && areas_.empty()) throw Failure(kUsage, "give the areas to erase, or --all");
    for (const std::string& name : areas_) {
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
    const auto modules = chosenModules();
    if (boot) requireCableForBoot(modules, "erasing the boot area");
    Record record("erase", Json::array(), production_.dryRun ? "" : production_.log);
    requireExpected(production_, modules);
    return runRecorded(common_, modules, record, [&](Module& module, Meter& meter, ModuleNote&) {
      Result result =
          production_.dryRun
              ? dryRun(module, target, false, {}, meter)
              : writeResult(module, writeTarget(module, target, false, !noVerify_, meter), true);
      result.json["areas"] = erased;
      return result;
    });
  }

  std::vector<std::string> areas_;
  bool all_ = false;
  bool noVerify_ = false;
  Production production_;
};

}  // namespace

std::unique_ptr<Command> eraseCommand() { return std::make_unique<Erase>(); }

}  // namespace vkm470::tool
