// SPDX-License-Identifier: MIT
#include "branch.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "at45db161.h"
#include "os/os.h"

namespace vkm470::lpt {

namespace {

constexpr os::Dword kDspResetLowMs = 100;
constexpr os::Dword kDspResetSettleMs = 10;  // the documented select change's pause

CAT45DB161Flash* cableOf(VKM470F_DEVICE* dev) { return static_cast<CAT45DB161Flash*>(dev->cable); }

// Runs work on a freshly opened cable and closes it again, whatever happens.
template <typename Work>
std::int32_t withCable(VKM470F_DEVICE* dev, Work work) {
  const std::int32_t opened = openCable(dev);
  if (opened != VKM470F_SUCCESS) return opened;
  const std::int32_t status = work(*cableOf(dev));
  releaseCable(dev);
  return status;
}

std::int32_t flashStatus(bool ok) { return ok ? VKM470F_SUCCESS : VKM470F_ERR_FLASH_FAILED; }

// VKM470_LPT_FAST=1 as a cable opens chooses the fast write sequence for it;
// anything else, or nothing, the documented one.
bool fastWritesChosen() {
  const char* fast = std::getenv("VKM470_LPT_FAST");
  return fast != nullptr && std::strcmp(fast, "1") == 0;
}

constexpr std::uint64_t kFlashBytes = 0x200000;
constexpr std::uint32_t kChipAddressBits = 0xFFFFFF;

// Bits 24-31 of an address never reach the chip, and the chip ignores the page
// bits above its 2 MiB: a range that runs past the end would go on at address
// 0, the boot area, where nobody asked for it.
bool pastFlashEnd(std::uint32_t address, std::uint32_t length) {
  return length != 0 && (address & kChipAddressBits) + std::uint64_t{length} > kFlashBytes;
}

// The refusal of such a range: nothing goes to the chip, and the record is
// left as after any flash call, holding no cable.
std::int32_t refusePastFlashEnd(VKM470F_DEVICE* dev) {
  releaseCable(dev);
  return VKM470F_ERR_FLASH_FAILED;
}

}  // namespace

bool isParallelPort(const VKM470F_DEVICE* dev) {
  return dev->interfaceType >= VKM470F_INTERFACE_LPT1 &&
         dev->interfaceType <= VKM470F_INTERFACE_LPT3;
}

std::int32_t openCable(VKM470F_DEVICE* dev) {
  if (dev == nullptr || !isParallelPort(dev)) return VKM470F_ERR_NO_OBJECT;
  releaseCable(dev);
  auto* cable = new (std::nothrow) CAT45DB161Flash;
  if (cable == nullptr) return VKM470F_ERR_CABLE_OPEN;
  if (!cable->Open(dev->interfaceType - 2)) {
    delete cable;
    return VKM470F_ERR_CABLE_OPEN;
  }
  cable->SetFastWrites(fastWritesChosen());
  cable->Deselect();
  dev->cable = cable;
  return VKM470F_SUCCESS;
}

std::int32_t closeCable(VKM470F_DEVICE* dev) {
  if (dev == nullptr || dev->cable == nullptr) return VKM470F_ERR_NO_OBJECT;
  releaseCable(dev);
  return VKM470F_SUCCESS;
}

void releaseCable(VKM470F_DEVICE* dev) {
  if (dev == nullptr || dev->cable == nullptr) return;
  CAT45DB161Flash* cable = cableOf(dev);
  cable->Close();
  delete cable;
  dev->cable = nullptr;
}

std::int32_t programFlash(VKM470F_DEVICE* dev, std::uint32_t address, const std::uint8_t* data,
                          std::uint32_t length) {
  if (pastFlashEnd(address, length)) return refusePastFlashEnd(dev);
  return withCable(dev, [=](CAT45DB161Flash& cable) {
    return flashStatus(cable.ProgramFlash(address, data, length));
  });
}

std::int32_t readFlash(VKM470F_DEVICE* dev, std::uint32_t address, std::uint8_t* data,
                       std::uint32_t length) {
  if (pastFlashEnd(address, length)) return refusePastFlashEnd(dev);
  return withCable(dev, [=](CAT45DB161Flash& cable) {
    return flashStatus(cable.ReadFlash(address, data, length));
  });
}

std::int32_t specialCommand(VKM470F_DEVICE* dev, std::uint32_t command, std::uint8_t* data) {
  switch (std::uint16_t(command)) {
    case VKM470F_SPECIAL_BINARY_PAGES:
      return withCable(
          dev, [](CAT45DB161Flash& cable) { return flashStatus(cable.SetBinaryPageSize()); });
    case VKM470F_SPECIAL_FLASH_INFORMATION:
      if (data == nullptr) return VKM470F_ERR_NO_OBJECT;
      return withCable(dev, [=](CAT45DB161Flash& cable) {
        cable.ReadStatus(&data[0]);
        data[1] = cable.ReadProtectionByte();
        data[2] = cable.ReadLockdownByte();
        data[3] = cable.ReadSecurityByte();
        return flashStatus(cable.ReadID(&data[4]));
      });
    default:
      return VKM470F_ERR_NOT_AVAILABLE;
  }
}

std::int32_t resetDsp(VKM470F_DEVICE* dev) {
  return withCable(dev, [](CAT45DB161Flash& cable) {
    // The select line held low for 110 ms resets the DSP; the line writes'
    // results do not change the outcome. Fast writes' select changes do not
    // pause, so the pulse waits its whole length here.
    cable.Select();
    os::Sleep(cable.FastWrites() ? kDspResetLowMs + kDspResetSettleMs : kDspResetLowMs);
    cable.Deselect();
    return std::int32_t{VKM470F_SUCCESS};
  });
}

}  // namespace vkm470::lpt
