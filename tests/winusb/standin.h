// SPDX-License-Identifier: MIT
// A stand-in for the Windows calls of the WinUSB transport: SetupAPI lists
// the modules plugged in here, and CreateFile and the WinUsb_ calls reach the
// virtual module's firmware (sim/usb_module) through its driver interface.
// Completions go through the system's real I/O completion ports, as WinUSB's
// do.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "usb_module.h"
#include "usbdev_winusb.h"

namespace standin {

struct Module {
  std::shared_ptr<vkm470::sim::DataFlash> chip;
  std::shared_ptr<vkm470::sim::UsbModule> usb;
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  unsigned hub = 0;
  unsigned port = 0;
  bool present = true;  // listed by SetupAPI
  bool winusb = true;   // false: another driver has it, WinUsb_Initialize fails
  std::string path;     // its device interface path
};

// Unplugs every module and forgets it.
void reset();
// A module at a hub's port, present and bound to WinUSB; its chip keeps time
// on the real clock and programs pages at once.
std::shared_ptr<Module> plug(std::uint16_t vendor, std::uint16_t product, unsigned hub,
                             unsigned port);
// Gone from the bus: out of the list, and its firmware fails every request.
void unplug(Module& module);

// Transfers submitted and not yet completed, on every module.
std::size_t pendingTransfers();

const vkm470::drivers::WinUsbCalls& calls();

}  // namespace standin
