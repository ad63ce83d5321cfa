// A module named by the serial number it holds (-d serial:TEXT): USB numbers
// change with the order of plugging, a serial does not.
#pragma once

#include <optional>
#include <string>

#include "commands.h"

namespace vkm470::tool {

// For a name serial:TEXT, the free USB module whose serial field holds TEXT;
// nullopt for any other name. Opens every free USB module to read its serial
// field. Fails with kUnreachable when no module or more than one holds it,
// naming the candidates (and the modules that could not be read).
std::optional<DeviceId> moduleBySerial(const std::string& name);

// The serial a free module holds: its text, null when erased; nullopt when
// it could not be read.
std::optional<Json> serialOfModule(const DeviceId& id);

}  // namespace vkm470::tool
