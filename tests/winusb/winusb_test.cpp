// SPDX-License-Identifier: MIT
// The library on Windows with a module that has no original driver: the
// exports and the win32 seam reach it through the WinUSB transport, whose
// calls into Windows the stand-in answers with the virtual module's firmware.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "standin.h"
#include "vkm470_byte_order.h"
#include "vkm470fapi.h"

// The platform's macros would rename the seam's functions.
#undef CreateFile
#undef CreateEvent

namespace {

namespace os = vkm470::os;
namespace drivers = vkm470::drivers;
using vkm470::byte_order::loadLe16;
using vkm470::byte_order::loadLe32;

constexpr std::uint16_t kVendor = 0x1234;
constexpr std::uint16_t kProduct = 0x5678;

class WinUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::reset();
    _putenv_s("VKM470_USB_IDS", "1234:5678");
    module = standin::plug(kVendor, kProduct, 1, 2);
    os::win32::setDeviceOpener(drivers::winusbOpener(drivers::winusbBackend(standin::calls())));
  }
  void TearDown() override {
    os::win32::setDeviceOpener({});
    standin::reset();
  }

  static os::Handle open(const char* path = "\\\\.\\QDev0") {
    return os::CreateFile(path, os::kGenericRead | os::kGenericWrite, 0, os::kOpenExisting,
                          os::kFileFlagOverlapped);
  }

  // Opens QDevN through the exports: the export's code, and GetLastError.
  static std::pair<std::int32_t, DWORD> openDevice(VKM470F_DEVICE* dev, std::uint8_t number) {
    dev->interfaceType = 1;
    const std::int32_t status = VKM470F_OpenDevice(dev, number);
    return {status, ::GetLastError()};
  }

  std::shared_ptr<standin::Module> module;
};

// One overlapped request on a raw handle, with its own event.
struct Pending {
  Pending() { record.hEvent = os::CreateEvent(false, false); }
  ~Pending() { os::CloseHandle(record.hEvent); }
  // The request's end: its error (0 for success) and bytes.
  std::pair<os::Dword, os::Dword> finish(os::Handle handle) {
    os::Dword bytes = 0;
    if (os::GetOverlappedResult(handle, &record, &bytes, true)) return {0, bytes};
    return {os::GetLastError(), bytes};
  }
  os::Overlapped record{};
};

TEST_F(WinUsb, InformationBlockAndControlRequestsReachTheModule) {
  os::Handle h = open();
  ASSERT_NE(h, os::invalidHandle()) << os::GetLastError();
  unsigned char block[96];
  std::memset(block, 0xEE, sizeof block);
  os::Dword returned = 0;
  ASSERT_TRUE(os::DeviceIoControl(h, vkm470::usb::kIoctlInformation, nullptr, 0, block,
                                  sizeof block, &returned, nullptr));
  EXPECT_EQ(returned, vkm470::usb::kInformationBytes);
  EXPECT_EQ(loadLe16(block + vkm470::usb::kInfoVendorOffset), kVendor);
  EXPECT_EQ(loadLe16(block + vkm470::usb::kInfoProductOffset), kProduct);
  EXPECT_EQ(block[vkm470::usb::kInfoBusOffset], 1);      // the hub
  EXPECT_EQ(block[vkm470::usb::kInfoAddressOffset], 2);  // the port on it
  EXPECT_EQ(loadLe32(block + vkm470::usb::kModuleTypeOffset), vkm470::usb::kModuleTypeVkm470);

  // The name request, IN, with the record's fields in the setup packet.
  const unsigned char record[8] = {1, 0, 0x0B, 0, 0, 0, 0, 0};
  char name[16];
  std::memset(name, 'x', sizeof name);
  Pending control;
  if (!os::DeviceIoControl(h, vkm470::usb::kIoctlControlRequest, record, sizeof record, name,
                           sizeof name, nullptr, &control.record)) {
    ASSERT_EQ(os::GetLastError(), os::kErrorIoPending);
  }
  EXPECT_EQ(control.finish(h), std::make_pair(os::Dword{0}, os::Dword{sizeof name}));
  EXPECT_STREQ(name, "VKM470");
  EXPECT_TRUE(os::CloseHandle(h));

  // The same through the exports, which start the application first.
  VKM470F_DEVICE dev{};
  ASSERT_EQ(openDevice(&dev, 0).first, VKM470F_SUCCESS);
  char exported[16] = {};
  EXPECT_EQ(VKM470F_GetDeviceName(&dev, exported, sizeof exported), VKM470F_SUCCESS);
  EXPECT_STREQ(exported, "VKM470");
  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_SUCCESS);
}

TEST_F(WinUsb, ListedModulesAreNumberedByHubAndPort) {
  standin::plug(0xAAAA, 0xBBBB, 1, 1);  // not listed
  standin::plug(kVendor, kProduct, 2, 1);
  standin::plug(kVendor, kProduct, 1, 3);
  const std::pair<int, int> expected[] = {{1, 2}, {1, 3}, {2, 1}};
  for (int n = 0; n < 3; ++n) {
    char path[16];
    std::snprintf(path, sizeof path, "\\\\.\\QDev%d", n);
    os::Handle h = open(path);
    ASSERT_NE(h, os::invalidHandle()) << path;
    unsigned char block[80] = {};
    os::Dword returned = 0;
    ASSERT_TRUE(os::DeviceIoControl(h, vkm470::usb::kIoctlInformation, nullptr, 0, block,
                                    sizeof block, &returned, nullptr));
    EXPECT_EQ(std::make_pair(int{block[4]}, int{block[5]}), expected[n]) << path;
    os::CloseHandle(h);
  }
  EXPECT_EQ(open("\\\\.\\QDev3"), os::invalidHandle());
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
  // Without the list no module is looked for.
  _putenv_s("VKM470_USB_IDS", "");
  EXPECT_EQ(open(), os::invalidHandle());
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
}

// Why an open fails, as GetLastError tells it after the export: the same
// numbers as on Linux, so that the tools name the same reason.
TEST_F(WinUsb, FailedOpenLeavesItsReasonInGetLastError) {
  struct Case {
    const char* what;
    void (*arrange)(standin::Module& module, HANDLE* held);
    DWORD error;
  } cases[] = {
      {"absent", [](standin::Module& m, HANDLE*) { standin::unplug(m); }, ERROR_FILE_NOT_FOUND},
      {"held by another program",
       [](standin::Module& m, HANDLE* held) {
         *held =
             standin::calls().CreateFileA(m.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
       },
       ERROR_SHARING_VIOLATION},
      {"bound to another driver", [](standin::Module& m, HANDLE*) { m.winusb = false; },
       ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    HANDLE held = INVALID_HANDLE_VALUE;
    c.arrange(*module, &held);
    VKM470F_DEVICE dev{};
    EXPECT_EQ(openDevice(&dev, 0), std::make_pair(std::int32_t{VKM470F_ERR_OPEN_FAILED}, c.error));
    VKM470F_CloseDevice(&dev);
    if (held != INVALID_HANDLE_VALUE) standin::calls().CloseHandle(held);
  }
}

TEST_F(WinUsb, CancelledReadEndsAbortedAndTheModuleStaysUsable) {
  VKM470F_DEVICE dev{};
  ASSERT_EQ(openDevice(&dev, 0).first, VKM470F_SUCCESS);  // starts the application
  VKM470F_CloseDevice(&dev);
  os::Handle h = open();
  ASSERT_NE(h, os::invalidHandle());
  // A fresh open finds the firmware in its other program: start the application.
  const unsigned char start[8] = {0, 0, 0x0F, 0, 0, 0, 0, 0};
  unsigned char none = 0;
  ASSERT_TRUE(os::DeviceIoControl(h, vkm470::usb::kIoctlControlRequest, start, 8, &none, 0, nullptr,
                                  nullptr));
  unsigned char buffer[64];
  Pending read;
  ASSERT_FALSE(os::ReadFile(h, buffer, sizeof buffer, nullptr, &read.record));
  ASSERT_EQ(os::GetLastError(), os::kErrorIoPending);
  EXPECT_TRUE(os::CancelIo(h));
  EXPECT_EQ(read.finish(h).first, os::kErrorOperationAborted);
  EXPECT_EQ(standin::pendingTransfers(), 0u);

  const unsigned char data[4] = {1, 2, 3, 4};
  os::Dword moved = 0;
  EXPECT_TRUE(os::WriteFile(h, data, sizeof data, &moved, nullptr));
  EXPECT_TRUE(os::ReadFile(h, buffer, sizeof buffer, &moved, nullptr));
  EXPECT_EQ(moved, sizeof data);
  EXPECT_EQ(std::memcmp(buffer, data, sizeof data), 0);
  os::CloseHandle(h);
}

// The library bounds the wait and cancels; the channel's codes are the same
// as on Linux: a cancelled bulk read ends short (its count replaces other
// codes), a cancelled control request has no result to collect.
TEST_F(WinUsb, TimedOutTransfersAreCancelledAndTheModuleStaysUsable) {
  VKM470F_DEVICE dev{};
  ASSERT_EQ(openDevice(&dev, 0).first, VKM470F_SUCCESS);
  QUSB_REQUEST start{0, 0x0F, 0, 0};
  ASSERT_EQ(VKM470F_SimpleControlQDevice(&dev, &start, nullptr, 0, 1000), VKM470F_SUCCESS);
  std::uint8_t buffer[64];
  std::uint32_t read = 99;
  DWORD began = ::GetTickCount();
  EXPECT_EQ(VKM470F_SimpleReadBulk(&dev, buffer, sizeof buffer, &read, 50),
            VKM470F_ERR_LENGTH_MISMATCH);
  EXPECT_GE(::GetTickCount() - began, 50u);
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(standin::pendingTransfers(), 0u);

  module->usb->setFault(vkm470::sim::UsbModule::Fault::TimeOut);
  QUSB_REQUEST name{1, 0x0B, 0, 0};
  std::uint8_t text[8];
  EXPECT_EQ(VKM470F_SimpleControlQDevice(&dev, &name, text, sizeof text, 50),
            VKM470F_ERR_RESULT_FAILED);
  EXPECT_EQ(standin::pendingTransfers(), 0u);
  module->usb->setFault(vkm470::sim::UsbModule::Fault::None);

  std::uint8_t data[64];
  for (int i = 0; i < 64; ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  std::uint32_t written = 0;
  EXPECT_EQ(VKM470F_SimpleWriteBulk(&dev, data, sizeof data, &written, 1000), VKM470F_SUCCESS);
  EXPECT_EQ(VKM470F_SimpleReadBulk(&dev, buffer, sizeof buffer, &read, 1000), VKM470F_SUCCESS);
  EXPECT_EQ(std::memcmp(buffer, data, sizeof data), 0);
  VKM470F_CloseDevice(&dev);
}

// The codes are the library's, the same as on Linux: a bulk read under way
// ends with none of its bytes, a later request is refused, a later open finds
// nothing.
TEST_F(WinUsb, UnplugMidTransferFailsTheTransferAndWhatFollows) {
  VKM470F_DEVICE dev{};
  ASSERT_EQ(openDevice(&dev, 0).first, VKM470F_SUCCESS);
  QUSB_REQUEST start{0, 0x0F, 0, 0};
  ASSERT_EQ(VKM470F_SimpleControlQDevice(&dev, &start, nullptr, 0, 1000), VKM470F_SUCCESS);
  std::int32_t readStatus = 1;
  std::thread reader([&] {
    std::uint8_t buffer[64];
    std::uint32_t read = 0;
    readStatus = VKM470F_SimpleReadBulk(&dev, buffer, sizeof buffer, &read, 60000);
  });
  while (standin::pendingTransfers() == 0) ::Sleep(1);
  standin::unplug(*module);
  reader.join();
  EXPECT_EQ(readStatus, VKM470F_ERR_LENGTH_MISMATCH);
  std::uint8_t page[16];
  EXPECT_EQ(VKM470F_ReadDSPFlash(&dev, 0, page, sizeof page, 1000), VKM470F_ERR_REQUEST_REJECTED);
  VKM470F_CloseDevice(&dev);
  EXPECT_EQ(openDevice(&dev, 0),
            std::make_pair(std::int32_t{VKM470F_ERR_OPEN_FAILED}, DWORD{ERROR_FILE_NOT_FOUND}));
}

// Where the original driver is installed its device keeps the name: a name
// the system has is never looked for among WinUSB modules. The test run links
// QDev7 to a file (wine's dosdevices) as the driver would have made it.
TEST_F(WinUsb, DeviceOfTheSystemKeepsPrecedence) {
  if (std::getenv("VKM470_TEST_NATIVE_QDEV7") == nullptr) GTEST_SKIP() << "QDev7 not linked";
  for (int n = 0; n < 8; ++n) standin::plug(kVendor, kProduct, 3, n + 1);  // QDev1 to QDev8
  int asked = 0;
  auto modules = drivers::winusbOpener(drivers::winusbBackend(standin::calls()));
  os::win32::setDeviceOpener([&](const std::string& name, os::Dword access, os::Dword share,
                                 std::unique_ptr<os::hosted::Device>* device, os::Dword* error) {
    ++asked;
    return modules(name, access, share, device, error);
  });
  os::Handle h = open("\\\\.\\QDev7");
  ASSERT_NE(h, os::invalidHandle()) << os::GetLastError();
  EXPECT_EQ(asked, 0);
  char text[16] = {};
  os::Dword got = 0;
  Pending read;
  read.record.Offset = 0;
  if (!os::ReadFile(h, text, sizeof text - 1, &got, &read.record)) {
    ASSERT_EQ(os::GetLastError(), os::kErrorIoPending);
  }
  EXPECT_EQ(read.finish(h).first, 0u);
  EXPECT_STREQ(text, "native");
  EXPECT_TRUE(os::CloseHandle(h));
  // A name the system does not have is the WinUSB module's.
  h = open("\\\\.\\QDev6");
  EXPECT_NE(h, os::invalidHandle());
  EXPECT_EQ(asked, 1);
  os::CloseHandle(h);
}

// The bulk FIFO's worker threads run their own overlapped transfers on the
// device handle, cancel their own on stop, and collect results as they go.
TEST_F(WinUsb, BulkFifoStreamsThroughTheWorkers) {
  VKM470F_DEVICE dev{};
  ASSERT_EQ(openDevice(&dev, 0).first, VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_CreateBulkFIFO(&dev, 65536, 65536, 4, 4, 4096, 4096), VKM470F_SUCCESS);
  ASSERT_EQ(VKM470F_StartBulkFIFO(&dev), VKM470F_SUCCESS);
  constexpr std::uint32_t kWords = 1 << 19;  // 1 MiB
  std::vector<std::uint16_t> in(4096);
  std::uint16_t next = 0, expect = 0;
  std::uint32_t sent = 0, received = 0;
  std::uint64_t bad = 0;
  while (received < kWords) {
    std::uint32_t room = 0, done = 0;
    ASSERT_EQ(VKM470F_GetBulkFIFOWriteFree(&dev, &room), VKM470F_SUCCESS);
    room = std::min<std::uint32_t>({room, kWords - sent, 4096});
    if (room > 0) {
      std::vector<std::uint16_t> out(room);
      for (auto& word : out) word = next++;
      ASSERT_EQ(VKM470F_WriteBulkFIFO(&dev, out.data(), room, &done, 1000), VKM470F_SUCCESS);
      ASSERT_EQ(done, room);
      sent += done;
    }
    const std::uint32_t want = std::min<std::uint32_t>(4096, kWords - received);
    ASSERT_EQ(VKM470F_ReadBulkFIFO(&dev, in.data(), room > 0 ? 0 : want, &done, 1000),
              VKM470F_SUCCESS);
    if (room == 0 && done == 0) continue;
    for (std::uint32_t i = 0; i < done; ++i) bad += in[i] != expect++;
    received += done;
  }
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(VKM470F_StopBulkFIFO(&dev), VKM470F_SUCCESS);
  EXPECT_EQ(standin::pendingTransfers(), 0u);
  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_SUCCESS);
}

std::uint64_t micro(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10;
}

std::uint64_t processCpuMicroseconds() {
  FILETIME created, exited, kernel, user;
  ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
  return micro(kernel) + micro(user);
}

std::uint64_t threadCpuMicroseconds() {
  FILETIME created, exited, kernel, user;
  ::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user);
  return micro(kernel) + micro(user);
}

TEST_F(WinUsb, MebibyteProgrammedAndReadBackThroughTheExports) {
  VKM470F_DEVICE dev{};
  ASSERT_EQ(openDevice(&dev, 0).first, VKM470F_SUCCESS);
  constexpr std::uint32_t kBytes = 1 << 20, kPiece = 4096;
  std::vector<std::uint8_t> image(kBytes), back(kBytes);
  for (std::uint32_t i = 0; i < kBytes; ++i)
    image[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
  for (std::uint32_t at = 0; at < kBytes; at += kPiece) {
    ASSERT_EQ(VKM470F_ProgrammDSPFlash(&dev, at, image.data() + at, kPiece, 1000), VKM470F_SUCCESS)
        << at;
  }
  for (std::uint32_t at = 0; at < kBytes; at += kPiece) {
    ASSERT_EQ(VKM470F_ReadDSPFlash(&dev, at, back.data() + at, kPiece, 1000), VKM470F_SUCCESS)
        << at;
  }
  EXPECT_TRUE(image == back);
  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_SUCCESS);
}

TEST_F(WinUsb, BulkLoopBackBothWaysEveryWordChecked) {
  VKM470F_DEVICE dev{};
  ASSERT_EQ(openDevice(&dev, 0).first, VKM470F_SUCCESS);
  QUSB_REQUEST start{0, 0x0F, 0, 0};
  ASSERT_EQ(VKM470F_SimpleControlQDevice(&dev, &start, nullptr, 0, 1000), VKM470F_SUCCESS);
  const char* mebibytes = std::getenv("VKM470_LOOPBACK_MIB");
  const std::uint64_t total = (mebibytes != nullptr ? std::atoi(mebibytes) : 64) << 20;
  constexpr std::uint32_t kPiece = 4096;
  std::vector<std::uint16_t> out(kPiece / 2), in(kPiece / 2);
  std::uint16_t next = 0, expect = 0;
  std::uint64_t pieces = 0, bad = 0;
  const std::uint64_t cpu = processCpuMicroseconds(), caller = threadCpuMicroseconds();
  for (std::uint64_t done = 0; done < total; done += kPiece, ++pieces) {
    for (auto& word : out) word = next++;
    std::uint32_t moved = 0;
    ASSERT_EQ(VKM470F_SimpleWriteBulk(&dev, reinterpret_cast<std::uint8_t*>(out.data()), kPiece,
                                      &moved, 1000),
              VKM470F_SUCCESS);
    ASSERT_EQ(VKM470F_SimpleReadBulk(&dev, reinterpret_cast<std::uint8_t*>(in.data()), kPiece,
                                     &moved, 1000),
              VKM470F_SUCCESS);
    for (std::uint16_t word : in) bad += word != expect++;
  }
  const double perPiece = double(processCpuMicroseconds() - cpu) / double(2 * pieces);
  const double callerPerPiece = double(threadCpuMicroseconds() - caller) / double(2 * pieces);
  EXPECT_EQ(bad, 0u);
  std::printf(
      "%llu MiB looped back, %llu pieces each way; CPU per 4096-byte piece: %.1f us in the "
      "process (firmware model and stand-in included), %.1f us on the caller's thread\n",
      static_cast<unsigned long long>(total >> 20), static_cast<unsigned long long>(pieces),
      perPiece, callerPerPiece);
  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_SUCCESS);
}

}  // namespace
