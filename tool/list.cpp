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

int list(const Common& common, bool serials) {
  const Survey found = survey();
  Json modules = Json::array();
  Json unreachable = Json::array();
  std::string text;
  for (const Reachable& entry : found.modules) {
    Json module{{"device", entry.id.name()},
                {"interface", entry.id.usb ? "usb" : "lpt"},
                {"number", entry.id.number}};
    std::string line = entry.id.name();
    if (entry.refusal != Refusal::None) {
      const char* state = refusedState(entry.refusal);
      module["state"] = state;
      module["type"] = nullptr;
      line += std::string("  ") + state;
      if (entry.refusal == Refusal::InUse) line += " by another program";
#ifdef __linux__
      if (entry.refusal == Refusal::Denied && entry.id.usb)
        line += "; see USB MODULES ON LINUX in vkm470(1)";
#endif
      unreachable.push_back(entry.id.name());
    } else if (entry.id.usb) {
      // The search opens each number; one that opens is free.
      module["state"] = "free";
      const bool vkm = entry.searchEntry == 1;
      module["type"] = vkm ? "VKM470" : "other";
      if (vkm) module["name"] = "VKM470";
      line += vkm ? "  free  VKM470 (type 41, name VKM470)" : "  free  not a VKM470";
      if (vkm && serials) {
        // Opens the module to read its serial field.
        const auto serial = serialOfModule(entry.id);
        module["serial"] = serial ? *serial : Json(nullptr);
        line += "  serial " + (!serial             ? std::string("not read")
                               : serial->is_null() ? std::string("erased")
                                                   : serial->get<std::string>());
      }
    } else {
      module["state"] = "cable opens";
      line += "  cable opens";
      if (entry.flash && entry.flash->answers()) {
        module["type"] = "DataFlash";
        module["flash_id"] = idText(*entry.flash);
        module["page_size"] = entry.flash->binaryPages() ? 512 : 528;
        line += "  DataFlash (ID " + idText(*entry.flash) + ", " +
                (entry.flash->binaryPages() ? "512" : "528") + "-byte pages)";
      } else {
        module["type"] = nullptr;
        line += "  no flash answers";
      }
    }
    modules.push_back(module);
    text += line + "\n";
  }
  const bool noUsb = std::none_of(found.modules.begin(), found.modules.end(),
                                  [](const Reachable& r) { return r.id.usb; });
  int status = kDone;
  if (common.json) {
    status = printJson(Json{{"modules", modules}, {"unreachable", unreachable}}, status);
  } else {
    std::fputs(text.empty() ? "no module reachable\n" : text.c_str(), stdout);
  }
#ifdef __linux__
  const char* ids = std::getenv("VKM470_USB_IDS");
  if (noUsb && (ids == nullptr || *ids == '\0'))
    std::fprintf(stderr,
                 "note: VKM470_USB_IDS is not set, so the library looks for no USB module "
                 "(only device directory entries); see USB MODULES ON LINUX in vkm470(1)\n");
#else
  (void)noUsb;
#endif
  return finishOutput(status);
}

}  // namespace

void addList(CLI::App& app, Common& common, int& status) {
  CLI::App* command = app.add_subcommand("list", "every module the library can reach");
  command->add_flag("--json", common.json, "one JSON object on standard output");
  static bool serials = false;
  command->add_flag("--serials", serials, "also each free USB module's serial number (opens it)");
  command->callback([&common, &status] { status = list(common, serials); });
}

}  // namespace vkm470::tool
