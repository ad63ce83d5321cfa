// SPDX-License-Identifier: MIT
// Writing a file that may be a virtual module's image in use.
#pragma once

#include <string>

#include "core.h"

namespace vkm470::tool {

// Writes data to the file at path: a regular file (or a new one) is written
// beside it and renamed into place, so that a failed write leaves the old file
// and a program reading the old one keeps it whole; a device or a pipe takes
// the bytes as they come. A virtual module's image (a file that begins with
// the image magic "VKM470MI") that a program has open is refused and left as
// it is: programs that open such an image hold a lock on its first two bytes,
// one for each of the module's sides; the same locks are held here from the
// check until the new file has its name, so that no program opens the old
// image in between. Fails with kFailed naming the file.
void replaceFile(const std::string& path, const Bytes& data);

}  // namespace vkm470::tool
