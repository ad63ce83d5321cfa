// SPDX-License-Identifier: MIT
// list: every module the library reaches.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "identity.h"

namespace vkm470::tool {

namespace {

std::string idText(const FlashInformation& info) {
  char text[32];
  std::snprintf(text, sizeof text, "%02X %02X %02X %02X", info.bytes[4], info.bytes[5],
                info.bytes[6], info.bytes[7]);
  return text;
}

// The state of a module that is there but does not open, for JSON and text.
const char* refusedState(Refusal refusal) {
  switch (refusal) {
    case Refusal::InUse:
      return "in use";
    case Refusal::Denied:
      return "access denied";
    default:
      return "does not open";
  }
}

// One module's entry: what JSON says of it.
Json entryOf(const Reachable& entry, bool serials) {
  Json module{{"device", entry.id.name()},
              {"interface", entry.id.usb ? "usb" : "lpt"},
              {"number", entry.id.number}};
  if (entry.refusal != Refusal::None) {
    module["state"] = refusedState(entry.refusal);
    module["type"] = nullptr;
  } else if (entry.id.usb) {
    // The search opens each number; one that opens is free.
    module["state"] = "free";
    const bool vkm = entry.searchEntry == 1;
    module["type"] = vkm ? "VKM470" : "other";
    if (vkm) module["name"] = "VKM470";
    if (vkm && serials) {
      // Opens the module to read its serial field: null when erased, no
      // "serial" when it could not be read.
      if (const auto serial = serialOfModule(entry.id)) module["serial"] = *serial;
    }
  } else {
    module["state"] = "cable opens";
    if (entry.flash && entry.flash->answers()) {
      module["type"] = "DataFlash";
      module["flash_id"] = idText(*entry.flash);
      module["page_size"] = entry.flash->binaryPages() ? 512 : 528;
    } else {
      module["type"] = nullptr;
    }
  }
  return module;
}

// The line of text for a module's entry.
std::string lineOf(const Json& module, bool serials) {
  const std::string state = module["state"];
  std::string line = module["device"].get<std::string>() + "  " + state;
  const bool usb = module["interface"] == "usb";
  if (state == "free") {
    const bool vkm = module["type"] == "VKM470";
    line += vkm ? "  VKM470 (type 41, name VKM470)" : "  not a VKM470";
    if (vkm && serials) {
      const auto serial = module.find("serial");
      line += "  serial " + (serial == module.end() ? std::string("not read")
                             : serial->is_null()    ? std::string("erased")
                                                    : serial->get<std::string>());
    }
  } else if (state == "cable opens") {
    if (module["type"].is_null())
      line += "  no flash answers";
    else
      line += "  DataFlash (ID " + module["flash_id"].get<std::string>() + ", " +
              std::to_string(module["page_size"].get<int>()) + "-byte pages)";
  } else if (state == refusedState(Refusal::InUse)) {
    line += " by another program";
  } else if (state == refusedState(Refusal::Denied) && usb) {
#ifdef __linux__
    line += "; see USB MODULES ON LINUX in vkm470(1)";
#endif
  }
  return line + "\n";
}

class List : public Command {
 public:
  List() : Command("list", "every module the library can reach", Takes::NoModule, true) {}

 private:
  void declare(CLI::App& command) override {
    command.add_flag("--serials", serials_, "also each free USB module's serial number (opens it)");
  }

  int run() override {
    const Survey found = survey();
    Json modules = Json::array();
    Json unreachable = Json::array();
    for (const Reachable& entry : found.modules) {
      modules.push_back(entryOf(entry, serials_));
      if (entry.refusal != Refusal::None) unreachable.push_back(entry.id.name());
    }
    int status = kDone;
    if (common_.json) {
      status = printJson(Json{{"modules", modules}, {"unreachable", unreachable}}, status);
    } else {
      std::string text;
      for (const Json& module : modules) text += lineOf(module, serials_);
      std::fputs(text.empty() ? "no module reachable\n" : text.c_str(), stdout);
    }
#ifdef __linux__
    const bool noUsb = std::none_of(found.modules.begin(), found.modules.end(),
                                    [](const Reachable& r) { return r.id.usb; });
    const char* ids = std::getenv("VKM470_USB_IDS");
    if (noUsb && (ids == nullptr || *ids == '\0'))
      std::fprintf(stderr,
                   "note: VKM470_USB_IDS is not set, so the library looks for no USB module "
                   "(only device directory entries); see USB MODULES ON LINUX in vkm470(1)\n");
#endif
    return finishOutput(status);
  }

  bool serials_ = false;
};

}  // namespace

std::unique_ptr<Command> listCommand() { return std::make_unique<List>(); }

}  // namespace vkm470::tool
