// SPDX-License-Identifier: MIT
// verify: compares the flash with images, writing nothing.
#include "commands.h"
#include "plan.h"
#include "production.h"

namespace vkm470::tool {

namespace {

class Verify : public Command {
 public:
  Verify()
      : Command("verify", "compare the flash with images, writing nothing", Takes::Modules, true) {}

 private:
  void declare(CLI::App& command) override {
    addImageOptions(command, images_);
    command.add_flag("--ignore-tail", ignoreTail_,
                     "do not require the rest of each named area to be erased (0xFF)");
    addProductionOptions(command, production_, false, false);
  }

  int run() override {
    auto target = std::make_shared<Target>();
    const Json placed = placeImages(images_, !ignoreTail_, *target);
    const auto modules = chosenModules();
    Record record("verify", placed, production_.log);
    requireExpected(production_, modules);
    return runRecorded(
        common_, modules, record, [&](Module& module, Meter& meter, ModuleNote& note) {
          const Differences differences = compare(module, *target, meter);
          note.serial = readSerial(module);
          Result result;
          Json first = Json::array();
          for (std::uint32_t address : differences.first) first.push_back(address);
          result.json = {{"images", placed},
                         {"tail_checked", !ignoreTail_},
                         {"bytes_read", differences.bytesRead},
                         {"differences", differences.count},
                         {"first_differences", first}};
          if (differences.count == 0) {
            result.summary = "matches";
            result.text = module.name() + ": matches" +
                          (ignoreTail_ ? "" : ", the rest of each area erased") + "\n";
          } else {
            result.exit = kFailed;
            result.summary = "differs at " + describe(differences);
            result.text = module.name() + ": " + result.summary + "\n";
          }
          return result;
        });
  }

  Images images_;
  bool ignoreTail_ = false;
  Production production_;
};

}  // namespace

std::unique_ptr<Command> verifyCommand() { return std::make_unique<Verify>(); }

}  // namespace vkm470::tool
