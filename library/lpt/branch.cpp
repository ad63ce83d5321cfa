#include "branch.h"

namespace vkm470::lpt {

// The cable driver lands with the parallel-port path; until then every
// parallel-port operation reports that the record lacks its cable.
std::int32_t openCable(VKM470F_DEVICE*) { return VKM470F_ERR_NO_OBJECT; }
std::int32_t closeCable(VKM470F_DEVICE*) { return VKM470F_ERR_NO_OBJECT; }
void releaseCable(VKM470F_DEVICE*) {}
std::int32_t programFlash(VKM470F_DEVICE*, std::uint32_t, const std::uint8_t*, std::uint32_t) {
  return VKM470F_ERR_NO_OBJECT;
}
std::int32_t readFlash(VKM470F_DEVICE*, std::uint32_t, std::uint8_t*, std::uint32_t) {
  return VKM470F_ERR_NO_OBJECT;
}
std::int32_t specialCommand(VKM470F_DEVICE*, std::uint32_t, std::uint8_t*) {
  return VKM470F_ERR_NO_OBJECT;
}
std::int32_t resetDsp(VKM470F_DEVICE*) { return VKM470F_ERR_NO_OBJECT; }

}  // namespace vkm470::lpt
