// SPDX-License-Identifier: MIT
#include "identity.h"

#include "record.h"

namespace vkm470::tool {

std::optional<Json> serialOfModule(const DeviceId& id) {
  try {
    Module module(id);
    if (module.tryOpen().refusal != Refusal::None) return std::nullopt;
    return readSerial(module);
  } catch (const Failure&) {
    return std::nullopt;
  }
}

DeviceId moduleBySerial(const std::string& wanted) {
  std::vector<DeviceId> matches;
  std::string candidates;
  for (const Reachable& found : survey().modules) {
    if (!found.id.usb) continue;
    std::string entry = found.id.name();
    if (found.refusal != Refusal::None) {
      const char* word = refusalWord(found.refusal);
      entry += std::string(" (") + (word != nullptr ? word : "does not open") + ", not read)";
    } else if (found.searchEntry != 1) {
      continue;
    } else if (const auto serial = serialOfModule(found.id)) {
      entry += serial->is_null() ? " (erased)" : " (" + serial->get<std::string>() + ")";
      if (serial->is_string() && serial->get<std::string>() == wanted) matches.push_back(found.id);
    } else {
      entry += " (not read)";
    }
    candidates += (candidates.empty() ? "" : ", ") + entry;
  }
  if (matches.size() == 1) return matches[0];
  if (candidates.empty()) candidates = "none";
  if (matches.empty())
    throw Failure(kUnreachable,
                  "no module holds serial " + wanted + "; USB modules: " + candidates);
  std::string both;
  for (const DeviceId& id : matches) both += (both.empty() ? "" : ", ") + id.name();
  throw Failure(kUnreachable, "serial " + wanted + " is held by more than one module: " + both);
}

}  // namespace vkm470::tool
