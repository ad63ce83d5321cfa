// SPDX-License-Identifier: MIT
// The virtual module behind the hosted seam's device directory: an entry that
// links to a module image opens a view of that module, QDevN its USB side and
// ALTLPTn its download cable. In one process, every view of one image works
// on one chip; a view opens once at a time, as the module's drivers open
// devices exclusively (see image.h for how that holds across processes).
#pragma once

#include <memory>
#include <string>

#include "hosted.h"

namespace vkm470::sim {

// Module images as a source of devices: a device-directory entry QDevN or
// ALTLPTn that is not a character device, opened with openImageEntry.
std::shared_ptr<os::hosted::Resolver> imageResolver();

// Opens the view that name stands for on the image at path. Errors:
// ERROR_SHARING_VIOLATION for a view already open, ERROR_BAD_FORMAT for a
// file that is not a module image, ERROR_FILE_NOT_FOUND for a name that is
// no view.
std::unique_ptr<os::hosted::Device> openImageEntry(const std::string& name, const std::string& path,
                                                   os::Dword access, os::Dword share,
                                                   os::Dword* error);

}  // namespace vkm470::sim
