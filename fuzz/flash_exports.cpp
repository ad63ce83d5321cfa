// SPDX-License-Identifier: MIT
// The flash exports over both paths to one virtual module: the cable model on
// ALTLPT1 and the USB firmware model on QDev0 share one DataFlash. A plain
// copy of the flash says what every byte must hold. Between the calls the
// input injects the faults both paths can meet: a cable that is absent, stops
// answering or fails its responses, a chip that stays busy or flips a bit on
// read, a USB request that times out, fails at once, comes back one byte
// short, or a module that is unplugged.
//
// The rules checked after every call:
//   - a write that returns 0 has put its bytes in the flash, and only there;
//   - a write that fails has changed nothing outside its range, and each
//     byte inside holds its old or its new value (the copy then takes what
//     the flash holds);
//   - a read that returns 0 gives the copy's bytes, with the flipped bit
//     where the chip flips it;
//   - a write or read that returns 0 lies in the flash, over the parallel
//     port once address bits 24-31 are dropped;
//   - the page-size command that returns 0 leaves binary pages; the
//     information block that returns 0 holds the chip's ID (and, over USB,
//     its status and register bytes); a reset that returns 0 reached the DSP;
//   - every failure is one of the path's codes, and a parallel-port call
//     holds no cable when it returns.
// At the end the whole flash is compared with the copy.
//
// A chip that stays busy is the one case a returned 0 is not checked on the
// parallel port: its reads send no status poll first, so a chip that never
// becomes ready answers as erased flash.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "cable.h"
#include "dataflash.h"
#include "fuzz.h"
#include "hosted.h"
#include "os.h"
#include "usb_module.h"
#include "vkm470fapi.h"

namespace {

namespace os = vkm470::os;
namespace hosted = os::hosted;
using vkm470::fuzz::fail;
using vkm470::fuzz::Input;
using vkm470::sim::Cable;
using vkm470::sim::DataFlash;
using vkm470::sim::PageMode;
using vkm470::sim::UsbModule;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kPageBytes = 512;
constexpr std::uint32_t kFlashBytes = DataFlash::kPages * kPageBytes;
constexpr std::uint32_t kMaxLength = 9000;  // three USB pieces
constexpr std::uint64_t kAnswerForever = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint8_t kLineSelect = 0x02;  // in the cable's data register

struct Module {
  DataFlash& chip;
  std::shared_ptr<Cable> cable;
  std::shared_ptr<UsbModule> usb;
  Bytes& copy;
  VKM470F_DEVICE lpt{};
  VKM470F_DEVICE usbDevice{};
  // Faults in force.
  bool stuckBusy = false;
  bool cableFault = false;  // stops answering, fails responses or is absent
  bool usbFault = false;
  std::uint32_t flipAddress = 0;
  std::uint8_t flipMask = 0;
  // Pages that writes reached, compared and erased at the end.
  std::vector<std::uint32_t> pages{};
};

bool binary(DataFlash& chip) { return chip.pageMode() == PageMode::Binary; }

// The flash byte that the chip keeps at page a / 512, offset a % 512.
std::uint8_t flashByte(DataFlash& chip, std::uint32_t address) {
  return chip.peek(address / kPageBytes, address % kPageBytes);
}

bool lptCode(std::int32_t status) {
  return status == VKM470F_ERR_CABLE_OPEN || status == VKM470F_ERR_FLASH_FAILED;
}

bool usbCode(std::int32_t status) {
  return (status <= VKM470F_ERR_INVALID_ARGUMENT && status >= VKM470F_ERR_MUTEX_FAILED) ||
         status == VKM470F_ERR_NO_OBJECT;
}

// Raises the select line that a dead cable left low in the cable model's
// data register. Only a register write the cable no longer answered leaves it
// low, so the cable answers this one write and then none again. Left low, the
// line would rise at the next open of the cable, ending a select-low period
// long enough to count as a DSP reset inside whatever call opened it.
void deselectCable(Module& m) {
  const std::uint8_t data = m.cable->dataRegister();
  if (data & kLineSelect) return;
  m.cable->stopAnsweringAfter(kAnswerForever);
  const os::Handle port = os::CreateFile("\\\\.\\ALTLPT1", os::kGenericRead | os::kGenericWrite, 0,
                                         os::kOpenExisting, os::kFileAttributeNormal);
  FUZZ_CHECK(port != os::invalidHandle(), "the cable could not be opened to deselect it");
  const std::uint8_t putData[8] = {0, 0, 0, 0, std::uint8_t(data | kLineSelect), 0, 0, 0};
  os::Dword returned = 0;
  FUZZ_CHECK(os::DeviceIoControl(port, Cable::kRegisterWrite, putData, sizeof putData, nullptr, 0,
                                 &returned, nullptr),
             "the cable's data register could not be written");
  os::CloseHandle(port);
  m.cable->stopAnsweringAfter(0);
}

// A select window that a dead cable left open ends as the next open of the
// cable would end it, so that what it started lands before the checks.
void endWindow(Module& m) {
  deselectCable(m);
  {
    std::lock_guard<std::mutex> lock(m.chip.mutex());
    m.chip.setLines(true, true, true);
  }
  os::Sleep(50);
}

void afterLpt(Module& m, std::int32_t status) {
  FUZZ_CHECK(status == VKM470F_SUCCESS || lptCode(status), "parallel port: status %d", status);
  FUZZ_CHECK(m.lpt.cable == nullptr, "the cable is still held after the call");
  endWindow(m);
}

// Whether a range that a call may take lies in the flash: the parallel port
// drops address bits 24-31 first.
bool inFlash(bool lpt, std::uint32_t address, std::uint32_t length) {
  const std::uint32_t start = lpt ? address & 0xFFFFFF : address;
  return length == 0 || std::uint64_t{start} + length <= kFlashBytes;
}

// The bytes at addresses (address + i) mod the flash size, as the parallel
// port reaches them, or address + i below the flash end as USB does.
std::uint32_t at(bool lpt, std::uint32_t address, std::uint32_t i) {
  return lpt ? (address + i) % kFlashBytes : address + i;
}

void write(Module& m, bool lpt, Input& in) {
  const std::uint32_t address = in.flag() ? in.u32() : in.below(kFlashBytes);
  const std::uint32_t length = in.below(kMaxLength + 1);
  Bytes data(length);
  const std::uint8_t seed = in.byte();
  for (std::uint32_t i = 0; i < length; ++i) data[i] = std::uint8_t(seed + i * 7 + i / 509);
  std::int32_t status;
  if (lpt) {
    status = VKM470F_ProgrammDSPFlash(&m.lpt, address, data.data(), length, in.u16());
    afterLpt(m, status);
  } else {
    status = VKM470F_ProgrammDSPFlash(&m.usbDevice, address, data.data(), length, in.u16());
    FUZZ_CHECK(status == VKM470F_SUCCESS || usbCode(status), "USB write: status %d", status);
  }
  // Where byte i of the data belongs, if it does.
  const std::uint32_t base = lpt ? address % kFlashBytes : address;
  auto offsetOf = [&](std::uint32_t a, std::uint32_t* i) {
    *i = lpt ? (a + kFlashBytes - base) % kFlashBytes : a - base;
    return a >= base || lpt ? *i < length : false;
  };
  if (status == VKM470F_SUCCESS) {
    FUZZ_CHECK(inFlash(lpt, address, length), "%s wrote past the end of the flash",
               lpt ? "the parallel port" : "USB");
    for (std::uint32_t i = 0; i < length; ++i) {
      const std::uint32_t a = at(lpt, address, i);
      const std::uint8_t got = flashByte(m.chip, a);
      if (got != data[i])
        fail("write of %u bytes at 0x%X returned 0, flash 0x%X holds 0x%02X, not 0x%02X", length,
             address, a, got, data[i]);
    }
  }
  // Outside the range nothing moves, whatever the outcome; a failed write may
  // leave each byte of its range old or new. The copy then takes the flash.
  // Checked: the range and the pages around it, which a page program rewrites.
  const std::uint32_t from = base / kPageBytes * kPageBytes;
  const std::uint32_t span = (base - from) + length + kPageBytes;
  for (std::uint32_t j = 0; j < span; ++j) {
    std::uint32_t a = from + j;
    if (lpt) {
      a %= kFlashBytes;
    } else if (a >= kFlashBytes) {
      break;
    }
    if (a % kPageBytes == 0 || j == 0) m.pages.push_back(a / kPageBytes);
    const std::uint8_t got = flashByte(m.chip, a);
    std::uint32_t i;
    if (offsetOf(a, &i)) {
      if (got != data[i] && got != m.copy[a])
        fail("write at 0x%X (status %d): flash 0x%X holds 0x%02X, neither 0x%02X nor 0x%02X",
             address, status, a, got, m.copy[a], data[i]);
    } else if (got != m.copy[a]) {
      fail(
          "write of %u bytes at 0x%X (status %d) changed flash 0x%X outside its range: 0x%02X, "
          "was 0x%02X",
          length, address, status, a, got, m.copy[a]);
    }
    m.copy[a] = got;
  }
}

void read(Module& m, bool lpt, Input& in) {
  const std::uint32_t address = in.flag() ? in.u32() : in.below(kFlashBytes);
  const std::uint32_t length = in.below(kMaxLength + 1);
  Bytes data(length, 0x5A);
  std::int32_t status;
  if (lpt) {
    status = VKM470F_ReadDSPFlash(&m.lpt, address, data.data(), length, in.u16());
    afterLpt(m, status);
    if (m.stuckBusy) return;
  } else {
    status = VKM470F_ReadDSPFlash(&m.usbDevice, address, data.data(), length, in.u16());
    FUZZ_CHECK(status == VKM470F_SUCCESS || usbCode(status), "USB read: status %d", status);
  }
  if (status != VKM470F_SUCCESS) return;
  FUZZ_CHECK(inFlash(lpt, address, length), "%s read past the end of the flash",
             lpt ? "the parallel port" : "USB");
  for (std::uint32_t i = 0; i < length; ++i) {
    const std::uint32_t a = at(lpt, address, i);
    const std::uint8_t want = m.copy[a] ^ (a == m.flipAddress ? m.flipMask : 0);
    if (data[i] != want)
      fail("%s read of %u bytes at 0x%X returned 0: byte %u (flash 0x%X) is 0x%02X, not 0x%02X",
           lpt ? "parallel-port" : "USB", length, address, i, a, data[i], want);
  }
}

void special(Module& m, bool lpt, Input& in) {
  const bool information = in.flag();
  VKM470F_DEVICE* dev = lpt ? &m.lpt : &m.usbDevice;
  std::array<std::uint8_t, 8> block;
  block.fill(0x5A);
  const std::uint32_t command = (information ? 2 : 1) | (in.flag() ? 0x10000 : 0);
  const std::int32_t status = VKM470F_SpecialDSPFlashCommand(
      dev, command, information ? block.data() : nullptr, information ? 8 : 0);
  if (lpt) {
    afterLpt(m, status);
  } else {
    FUZZ_CHECK(status == VKM470F_SUCCESS || usbCode(status), "USB special: status %d", status);
  }
  if (status != VKM470F_SUCCESS) return;
  if (!information) {
    FUZZ_CHECK(binary(m.chip), "the page-size command returned 0 and the pages are not binary");
    return;
  }
  if (lpt && m.stuckBusy) return;
  static constexpr std::uint8_t kId[] = {0x1F, 0x26, 0x00, 0x00};
  FUZZ_CHECK(std::equal(block.begin() + 4, block.end(), kId), "information block: wrong ID");
  // Over the parallel port the first four bytes do not change the result.
  if (lpt && m.cableFault) return;
  const std::uint8_t status0 = 0x80 | 0x2C | (binary(m.chip) ? 1 : 0);
  FUZZ_CHECK(block[0] == status0 && block[1] == 0x00 && block[2] == 0x00 && block[3] == 0xFF,
             "information block %02X %02X %02X %02X", block[0], block[1], block[2], block[3]);
}

void reset(Module& m, bool lpt) {
  const unsigned before = lpt ? m.cable->dspResets() : m.usb->dspResets();
  const std::int32_t status = VKM470F_ResetDSP(lpt ? &m.lpt : &m.usbDevice);
  if (lpt) {
    afterLpt(m, status);
  } else {
    FUZZ_CHECK(status == VKM470F_SUCCESS || usbCode(status), "USB reset: status %d", status);
  }
  const unsigned after = lpt ? m.cable->dspResets() : m.usb->dspResets();
  FUZZ_CHECK(after - before <= 1, "one reset call reset the DSP %u times", after - before);
  // A reset pulse whose line writes fail is still reported as done.
  if (status == VKM470F_SUCCESS && !(lpt ? m.cableFault : m.usbFault))
    FUZZ_CHECK(after == before + 1, "a reset returned 0 and the DSP was not reset");
}

void fault(Module& m, Input& in) {
  const std::uint8_t kind = in.byte();
  switch (kind % 10) {
    case 0:
      m.cable->stopAnsweringAfter(in.below(400));
      m.cableFault = true;
      break;
    case 1:
      m.cable->failResponses(in.below(300));
      m.cableFault = true;
      break;
    case 2: {
      const auto presence = static_cast<Cable::Presence>(in.below(3));
      m.cable->setPresence(presence);
      m.cableFault = true;
      break;
    }
    case 3:
      m.cable->stopAnsweringAfter(kAnswerForever);
      m.cable->failResponses(0);
      m.cable->setPresence(Cable::Presence::Present);
      m.cableFault = false;
      break;
    case 4:
      m.stuckBusy = !m.stuckBusy;
      m.chip.setStuckBusy(m.stuckBusy);
      break;
    case 5:
      // The copy's addresses are the chip's in binary pages only.
      if (!binary(m.chip)) break;
      m.flipAddress = in.below(kFlashBytes);
      m.flipMask = in.byte();
      m.chip.flipOnRead(m.flipAddress, m.flipMask);
      break;
    case 6:
      m.flipMask = 0;
      m.chip.clearFlip();
      break;
    case 7: {
      const auto usbFault = static_cast<UsbModule::Fault>(in.below(5));
      m.usb->setFault(usbFault, in.below(12));
      m.usbFault = usbFault != UsbModule::Fault::None;
      break;
    }
    case 8:
      os::Sleep(in.u16());
      break;
    default:
      m.usb->setFault(UsbModule::Fault::None);
      m.usbFault = false;
      break;
  }
}

// The copy against the flash, then the chip back to its factory state: the
// pages that writes reached, or the whole flash when whole is set (reading all
// of it costs more than most inputs).
void finish(Module& m, bool whole) {
  m.chip.setStuckBusy(false);
  m.chip.clearFlip();
  endWindow(m);
  os::Sleep(100);
  const std::uint32_t pageBytes = binary(m.chip) ? kPageBytes : DataFlash::kPageBytes;
  if (whole) {
    m.pages.clear();
    for (std::uint32_t page = 0; page < DataFlash::kPages; ++page) m.pages.push_back(page);
  }
  std::sort(m.pages.begin(), m.pages.end());
  m.pages.erase(std::unique(m.pages.begin(), m.pages.end()), m.pages.end());
  Bytes got(pageBytes);
  for (std::uint32_t page : m.pages) {
    FUZZ_CHECK(m.chip.read(page * (binary(m.chip) ? 512 : 1024), got.data(), pageBytes),
               "page %u could not be read at the end", page);
    const std::uint8_t* want = m.copy.data() + std::size_t{page} * kPageBytes;
    bool erased = true;
    for (std::uint32_t offset = 0; offset < pageBytes; ++offset) {
      const std::uint8_t expected = offset < kPageBytes ? want[offset] : 0xFF;
      if (got[offset] != expected)
        fail("at the end page %u offset %u holds 0x%02X, not 0x%02X", page, offset, got[offset],
             expected);
      erased = erased && got[offset] == 0xFF;
    }
    std::fill_n(m.copy.begin() + std::size_t{page} * kPageBytes, kPageBytes, 0xFF);
    if (erased) continue;
    for (std::uint32_t offset = 0; offset < DataFlash::kPageBytes; ++offset)
      m.chip.poke(page, offset, 0xFF);
  }
  m.chip.forcePageMode(PageMode::Standard);
  m.chip.pageToBuffer(0);
  os::Sleep(100);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One chip for every input, put back into its factory state after each.
  static DataFlash* const chip = [] {
    hosted::setVirtualClock(true);
    return new DataFlash;
  }();
  const std::shared_ptr<DataFlash> shared(chip, [](DataFlash*) {});
  // The copy, like the chip, is erased again page by page after each input.
  static Bytes copy(kFlashBytes, 0xFF);
  Module m{*chip, std::make_shared<Cable>(shared), std::make_shared<UsbModule>(shared), copy};
  hosted::registerDevice("ALTLPT1", m.cable);
  hosted::registerDevice("QDev0", m.usb);
  m.lpt.interfaceType = VKM470F_INTERFACE_LPT1;
  m.usbDevice.interfaceType = VKM470F_INTERFACE_USB;

  Input in(data, size);
  const std::uint8_t start = in.byte();
  if (start & 1) chip->forcePageMode(PageMode::Binary);
  if (start & 2) {
    FUZZ_CHECK(VKM470F_OpenDevice(&m.usbDevice, 0) == VKM470F_SUCCESS, "USB open failed");
  }
  while (in.more()) {
    const std::uint8_t op = in.byte();
    const bool lpt = op & 0x80;
    switch (op % 8) {
      case 0:
      case 1:
        // The parallel-port path works in binary pages only.
        if (!lpt || binary(m.chip)) write(m, lpt, in);
        break;
      case 2:
        if (!lpt || binary(m.chip)) read(m, lpt, in);
        break;
      case 3:
        special(m, lpt, in);
        break;
      case 4:
        reset(m, lpt);
        break;
      case 5: {  // open and close
        VKM470F_DEVICE* dev = lpt ? &m.lpt : &m.usbDevice;
        const std::int32_t status =
            in.flag() ? VKM470F_OpenDevice(dev, 0) : VKM470F_CloseDevice(dev);
        FUZZ_CHECK(status == VKM470F_SUCCESS || (lpt ? lptCode(status) : usbCode(status)) ||
                       status == VKM470F_ERR_NO_OBJECT,
                   "open or close: status %d", status);
        if (lpt) endWindow(m);
        break;
      }
      default:
        fault(m, in);
        break;
    }
  }
  VKM470F_CloseFullDevice(&m.lpt);
  VKM470F_CloseFullDevice(&m.usbDevice);
  hosted::unregisterDevice("ALTLPT1");
  hosted::unregisterDevice("QDev0");
  finish(m, (start & 0x1C) == 0x1C);
  return 0;
}
