// SPDX-License-Identifier: MIT
// A module named by the serial number it holds (-d serial:TEXT): USB numbers
// change with the order of plugging, a serial does not.
#pragma once

#include <optional>
#include <string>

#include "commands.h"

namespace vkm470::tool {

// The free USB module whose serial field holds serial (-d serial:TEXT). Opens
// every free USB module to read its serial field. Fails with kUnreachable
// when no module or more than one holds it, naming the candidates (and the
// modules that could not be read).
DeviceId moduleBySerial(const std::string& serial);

// The serial a free module holds: its text, null when erased; nullopt when
// it could not be read.
std::optional<Json> serialOfModule(const DeviceId& id);

}  // namespace vkm470::tool
