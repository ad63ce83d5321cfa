#include "ppdev.h"

namespace vkm470::drivers {

// Real ports are served once the ppdev driver is built; until then none opens.
std::unique_ptr<os::hosted::Device> openPpdev(const std::string&, os::Dword* error) {
  if (error != nullptr) *error = os::kErrorFileNotFound;
  return nullptr;
}

}  // namespace vkm470::drivers
