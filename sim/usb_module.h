// SPDX-License-Identifier: MIT
// The virtual module on USB: a hosted driver for a QDevN device that answers as
// the module's USB driver and its DSP firmware do, on a DataFlash that the
// cable model may drive at the same time.
//
// Driver requests:
//   - I/O control kInformation: the 80-byte information block, no input. It
//     holds its own size (80) as a little-endian u32 at offset 0 and the module
//     type at offset 36; the rest is zero. A shorter output buffer fails with
//     ERROR_INSUFFICIENT_BUFFER.
//   - I/O control kControl: input the 8-byte setup {direction, request, value,
//     index}, u16 little-endian each; the output buffer is the data stage
//     (direction 0: the module takes it, direction 1: the module fills it). It
//     completes with the number of data bytes moved, always the whole stage.
//   - Reads and writes: the bulk endpoints. The application loops OUT data
//     back to IN: a read completes as soon as any data is there, with as much
//     as fits; reads that find none stay pending, oldest first. Written data
//     waits in a bounded buffer; a write that finds it full stays pending until
//     reads have taken all of its bytes.
//
// The firmware runs one of two programs: the application (start address 0) or
// the program at 0x3C00. Every open finds the module freshly started in the
// program at 0x3C00 with the loop-back empty, so a library that leaves out a
// start request fails even after an earlier run started the application.
// Control requests, carried out before their completion:
//   0x04 stream request       application; no data; counted
//   0x05 DSP command          application; direction 0 stores the data under
//                             (value, index), direction 1 answers what is
//                             stored there, zeros past its end or when none
//   0x08 special command      application; index 1 switches the chip to
//                             512-byte pages, index 2 answers the 8-byte
//                             information block (status, protection, lockdown
//                             and security register bytes, the 4 ID bytes)
//   0x09 / 0x0A flash write / read at byte address value | index << 16: page
//                             a / 512, offset a % 512 of the chip in either
//                             page mode; at most 4096 bytes, may span pages;
//                             the chip's busy times pass on the seam clock
//   0x0B name                 either program; "VKM470" and a zero byte,
//                             zero-padded to the stage length
//   0x0C DSP reset            application; no data; counted
//   0x0E descriptor           not the application; value 0x2FF0, index 0x8300;
//                             the 208-byte kDescriptorRecord
//   0x0F call application     either program; no data; value is the start
//                             address: 0 starts the application, any other
//                             address leaves it stopped
// An IN stage of another length than the answer's is cut or zero-padded. A
// request in the wrong program, of an unknown code, with the wrong direction or
// data stage, or beyond the flash's end fails at once with ERROR_GEN_FAILURE,
// as a stalled request does, and nothing of it is carried out. A chip request
// fails the same way when the chip stays busy for 5 s on the seam clock; pages
// written by then stay written.
// Bulk transfers also need the application; a program switch leaves pending
// ones pending.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "dataflash.h"
#include "hosted.h"
#include "vkm470fapi.h"

namespace vkm470::sim {

class UsbModule : public os::hosted::Driver {
 public:
  // The driver's codes and block layout are written out here again on purpose,
  // not taken from the library's usb/driver_protocol.h: the virtual module is
  // the independent check of the library and of drivers/, so a wrong value
  // there must not be copied into the module that tests them.
  static constexpr os::Dword kControl = 0x0022003E;
  static constexpr os::Dword kInformation = 0x0022005E;
  static constexpr os::Dword kInformationBytes = 80;
  static constexpr std::uint32_t kTypeOffset = 36;
  static constexpr std::uint32_t kModuleType = 41;
  static constexpr std::size_t kLoopBackBytes = 256 * 1024;
  static constexpr os::Dword kMaxDataStage = 4096;
  // What a request on a vanished module fails with.
  static constexpr os::Dword kErrorDeviceNotConnected = 1167;

  static constexpr std::uint16_t kStream = 0x04;
  static constexpr std::uint16_t kDspCommand = 0x05;
  static constexpr std::uint16_t kSpecial = 0x08;
  static constexpr std::uint16_t kFlashWrite = 0x09;
  static constexpr std::uint16_t kFlashRead = 0x0A;
  static constexpr std::uint16_t kName = 0x0B;
  static constexpr std::uint16_t kResetDsp = 0x0C;
  static constexpr std::uint16_t kDescriptor = 0x0E;
  static constexpr std::uint16_t kCallApplication = 0x0F;

  static constexpr std::uint16_t kApplication = 0x0000;
  static constexpr std::uint16_t kOtherProgram = 0x3C00;
  static constexpr std::uint16_t kDescriptorValue = 0x2FF0;
  static constexpr std::uint16_t kDescriptorIndex = 0x8300;
  // The special flash commands, in the request's index, as the library's
  // callers number them.
  static constexpr std::uint16_t kSpecialBinaryPages = VKM470F_SPECIAL_BINARY_PAGES;
  static constexpr std::uint16_t kSpecialInformation = VKM470F_SPECIAL_FLASH_INFORMATION;

  // The firmware's descriptor: u16 208 (its length) and u16 0x0100 (firmware
  // version 1.0), then "VKM470" and "virtual module" in zero-padded 16-byte
  // fields, then zeros.
  static const std::array<std::uint8_t, 208> kDescriptorRecord;

  // What control requests run into, for fault tests. Reads, writes and the
  // information query are only affected by Unplugged.
  enum class Fault {
    None,         // answered normally
    TimeOut,      // left pending until cancelled, not carried out
    ShortAnswer,  // carried out, completed one byte short of a non-empty data stage
    FailAtOnce,   // ERROR_GEN_FAILURE at once, not carried out
    Unplugged,    // gone: pending and later requests fail with kErrorDeviceNotConnected,
                  // opens with ERROR_FILE_NOT_FOUND
  };

  // The chip should keep time on the seam's clock (its default): the firmware
  // sleeps on that clock while the chip is busy. loopBackBytes (at least 1)
  // bounds the data written but not yet read.
  explicit UsbModule(std::shared_ptr<DataFlash> chip, std::uint32_t moduleType = kModuleType,
                     std::size_t loopBackBytes = kLoopBackBytes);

  // One handle at a time, whatever the share mode: ERROR_SHARING_VIOLATION.
  std::unique_ptr<os::hosted::Device> open(os::Dword access, os::Dword share,
                                           os::Dword* error) override;

  DataFlash& chip();
  // The start address of the program last started: 0 while the application runs.
  std::uint16_t startAddress();
  unsigned dspResets();
  unsigned streamRequests();

  // Control requests after the next `after` ones show the fault (Unplugged:
  // the module vanishes at the first of them). Any other fault plugs an
  // unplugged module back in, freshly powered up: program at 0x3C00, empty
  // loop-back and DSP mailbox; handles from before stay dead.
  void setFault(Fault fault, std::uint64_t after = 0);

  struct Module;

 private:
  std::shared_ptr<Module> module_;
};

}  // namespace vkm470::sim
