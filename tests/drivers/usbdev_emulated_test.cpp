// SPDX-License-Identifier: MIT
// The USB driver through the real libusb, against a module on an emulated bus:
// the channel and the seam above it as the library uses them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "hosted.h"
#include "os.h"
#include "usb/qusb.h"
#include "usb_emulator.h"
#include "usbdev.h"

namespace {

using namespace vkm470::os;
using vkm470::testing::EmulatedBus;
using vkm470::testing::EmulatedModule;
using vkm470::testing::SetupPacket;
using vkm470::usb::TQUSB_BASE;

constexpr std::uint16_t kVendor = 0x1234;
constexpr std::uint16_t kProduct = 0x5678;
constexpr Dword kAccess = kGenericRead | kGenericWrite;

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

class EmulatedUsb : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { hosted::registerResolver(resolver()); }
  static void TearDownTestSuite() { hosted::unregisterResolver(resolver()); }
  static const std::shared_ptr<hosted::Resolver>& resolver() {
    static const auto real = vkm470::drivers::usbResolver();
    return real;
  }

  void SetUp() override {
    // Without the preload libusb would see this machine's real bus.
    ASSERT_TRUE(vkm470::testing::usbEmulationActive())
        << "run with LD_PRELOAD=libumockdev-preload.so.0 (ctest sets it)";
    setenv("VKM470_USB_IDS", "1234:5678", 1);
    setenv("VKM470_DEVICES", "/dev/vkm470", 1);
    module = std::make_unique<EmulatedModule>(bus, kVendor, kProduct, 1, 2);
  }

  void TearDown() override {
    unsetenv("VKM470_USB_IDS");
    unsetenv("VKM470_DEVICES");
  }

  static Handle openQDev(const char* path = "\\\\.\\QDev0") {
    return CreateFile(path, kAccess, 0, kOpenExisting, kFileFlagOverlapped);
  }

  static std::vector<std::uint8_t> information(Handle h) {
    std::vector<std::uint8_t> block(vkm470::drivers::kInformationBytes + 8, 0xEE);
    Dword returned = 0;
    EXPECT_TRUE(DeviceIoControl(h, vkm470::usb::kIoctlInformation, nullptr, 0, block.data(),
                                static_cast<Dword>(block.size()), &returned, nullptr));
    EXPECT_EQ(returned, vkm470::drivers::kInformationBytes);
    block.resize(returned);
    return block;
  }

  static std::vector<std::uint8_t> expectedInformation(std::uint8_t busNumber, std::uint8_t address,
                                                       std::uint8_t type) {
    std::vector<std::uint8_t> block(80, 0);
    block[0] = kVendor & 0xFF;
    block[1] = kVendor >> 8;
    block[2] = kProduct & 0xFF;
    block[3] = kProduct >> 8;
    block[4] = busNumber;
    block[5] = address;
    block[36] = type;
    return block;
  }

  EmulatedBus bus;
  std::unique_ptr<EmulatedModule> module;
};

// One overlapped transfer on a raw handle.
struct Pending {
  Overlapped overlapped{};
  std::vector<std::uint8_t> buffer;
  explicit Pending(std::vector<std::uint8_t> bytes) : buffer(std::move(bytes)) {
    overlapped.hEvent = CreateEvent(true, false);
  }
  ~Pending() { CloseHandle(overlapped.hEvent); }
  Dword finish(Handle h, Dword* error) {
    Dword bytes = 0;
    *error = GetOverlappedResult(h, &overlapped, &bytes, true) ? 0 : GetLastError();
    return bytes;
  }
};

TEST_F(EmulatedUsb, ControlRequestsAreVendorTransfersWithTheRecordsSetupFields) {
  TQUSB_BASE channel;
  ASSERT_TRUE(channel.Open(0)) << channel.lastError;
  module->setControlReply(pattern(64, 1));

  QUSB_REQUEST in{1, 0x21, 0x1234, 0xABCD};
  std::uint8_t answer[16] = {};
  EXPECT_TRUE(channel.ControlRequest(&in, answer, sizeof answer, 1000)) << channel.lastError;
  EXPECT_EQ(std::vector<std::uint8_t>(answer, answer + 16), pattern(16, 1));

  const auto stage = pattern(5000, 3);
  QUSB_REQUEST out{1, 0x22, 7, 9};
  EXPECT_TRUE(channel.ControlWriteLong(&out, const_cast<std::uint8_t*>(stage.data()), 5000, 1000));
  QUSB_REQUEST command{0, 0x30, 0xFFFF, 0x8001};
  EXPECT_TRUE(channel.ControlCommand(&command)) << channel.lastError;

  const std::vector<SetupPacket> expected = {
      {0xC0, 0x21, 0x1234, 0xABCD, 16, {}},
      {0x40, 0x22, 7, 9, 4096, {stage.begin(), stage.begin() + 4096}},
      {0x40, 0x22, 7, 9, 904, {stage.begin() + 4096, stage.end()}},
      {0x40, 0x30, 0xFFFF, 0x8001, 0, {}},
  };
  EXPECT_EQ(module->controls(), expected);

  // The module ends the data stage short: the bytes moved come back, and the
  // channel sees fewer than it asked for.
  module->setControlReply({'V', 'K', 'M'});
  char name[8];
  EXPECT_FALSE(channel.GetName(name, sizeof name));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(std::string(name, 4), std::string("VKM\0", 4));
}

// A setup packet has one byte for the request code. A wider code is refused
// as a parameter error before it reaches the bus, not sent as its low byte:
// 0x0109 would arrive as a flash write, 0x010F as a program switch.
TEST_F(EmulatedUsb, RequestCodeWiderThanTheSetupPacketsIsRefusedUnsent) {
  TQUSB_BASE channel;
  ASSERT_TRUE(channel.Open(0)) << channel.lastError;
  auto stage = pattern(16, 5);
  for (const std::uint16_t code : {0x0109, 0x010F, 0xFF00}) {
    SCOPED_TRACE(code);
    QUSB_REQUEST request{0, code, 0x3C00, 0};
    EXPECT_FALSE(channel.ControlRequest(&request, stage.data(), 16, 1000));
    EXPECT_EQ(channel.lastError, VKM470F_ERR_REQUEST_REJECTED);
  }
  EXPECT_EQ(module->controls(), std::vector<SetupPacket>{});

  QUSB_REQUEST widest{0, 0xFF, 1, 2};
  EXPECT_TRUE(channel.ControlRequest(&widest, stage.data(), 16, 1000)) << channel.lastError;
  EXPECT_EQ(module->controls(), (std::vector<SetupPacket>{{0x40, 0xFF, 1, 2, 16, stage}}));
}

TEST_F(EmulatedUsb, InformationBlockNamesTheModuleAndWhereItIs) {
  TQUSB_BASE channel;
  ASSERT_TRUE(channel.Open(0));
  std::uint32_t type = 0;
  EXPECT_TRUE(channel.GetModuleType(&type));
  EXPECT_EQ(type, 41u);
  EXPECT_EQ(information(channel.GetHandle()), expectedInformation(1, 2, 41));
}

TEST_F(EmulatedUsb, ListedDevicesAreNumberedInBusAndAddressOrder) {
  EmulatedModule later(bus, kVendor, kProduct, 1, 9);
  EmulatedModule earlier(bus, kVendor, kProduct, 1, 1);
  EmulatedModule other(bus, 0x1111, 0x2222, 1, 5);
  const std::pair<const char*, int> numbering[] = {
      {"\\\\.\\QDev0", 1}, {"\\\\.\\QDev1", 2}, {"\\\\.\\qdev2", 9}};
  for (auto [path, address] : numbering) {
    SCOPED_TRACE(path);
    Handle h = openQDev(path);
    ASSERT_NE(h, invalidHandle()) << GetLastError();
    EXPECT_EQ(information(h), expectedInformation(1, static_cast<std::uint8_t>(address), 41));
    CloseHandle(h);
  }
  EXPECT_EQ(openQDev("\\\\.\\QDev3"), invalidHandle());
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);

  unsetenv("VKM470_USB_IDS");
  EXPECT_EQ(openQDev(), invalidHandle());
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(EmulatedUsb, BulkTransfersRunSeveralAtOnceInBothDirections) {
  Handle h = openQDev();
  ASSERT_NE(h, invalidHandle());

  std::vector<std::unique_ptr<Pending>> reads;
  for (int i = 0; i < 3; ++i) {
    reads.push_back(std::make_unique<Pending>(std::vector<std::uint8_t>(100, 0)));
    Dword n = 0;
    ASSERT_FALSE(ReadFile(h, reads.back()->buffer.data(), 100, &n, &reads.back()->overlapped));
    ASSERT_EQ(GetLastError(), kErrorIoPending);
  }
  ASSERT_TRUE(module->waitPendingReads(3));

  const std::vector<std::vector<std::uint8_t>> sent = {pattern(1, 9), pattern(512, 4),
                                                       pattern(70000, 2)};
  std::vector<std::unique_ptr<Pending>> writes;
  for (const auto& data : sent) {
    writes.push_back(std::make_unique<Pending>(data));
    Dword n = 0;
    if (!WriteFile(h, writes.back()->buffer.data(), static_cast<Dword>(data.size()), &n,
                   &writes.back()->overlapped)) {
      ASSERT_EQ(GetLastError(), kErrorIoPending);
    }
  }
  for (std::size_t i = 0; i < writes.size(); ++i) {
    Dword error = 0;
    EXPECT_EQ(writes[i]->finish(h, &error), sent[i].size());
    EXPECT_EQ(error, 0u);
  }
  EXPECT_EQ(module->bulkWrites(), sent);

  // The last packet is short: its read completes with what arrived.
  const std::vector<std::vector<std::uint8_t>> packets = {pattern(100, 1), pattern(100, 2),
                                                          pattern(10, 3)};
  for (const auto& packet : packets) module->feed(packet);
  for (std::size_t i = 0; i < reads.size(); ++i) {
    Dword error = 0;
    const Dword got = reads[i]->finish(h, &error);
    EXPECT_EQ(error, 0u);
    ASSERT_EQ(got, packets[i].size());
    EXPECT_EQ(std::vector<std::uint8_t>(reads[i]->buffer.begin(), reads[i]->buffer.begin() + got),
              packets[i]);
  }
  CloseHandle(h);
}

TEST_F(EmulatedUsb, ShortBulkReadReportsTheBytesReceived) {
  TQUSB_BASE channel;
  ASSERT_TRUE(channel.Open(0));
  std::uint8_t buffer[64];
  std::uint32_t got = 0;
  bool ok = true;
  std::thread reader([&] { ok = channel.ReadBulk(buffer, sizeof buffer, &got, 10000); });
  ASSERT_TRUE(module->waitPendingReads(1));
  module->feed(pattern(5, 8));
  reader.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(channel.lastError, VKM470F_ERR_LENGTH_MISMATCH);
  EXPECT_EQ(got, 5u);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 5), pattern(5, 8));
}

// The cancelled read's buffer is the bus's until the kernel gives the transfer
// back: CancelIo ends it only then.
TEST_F(EmulatedUsb, CancelledReadEndsOnlyWhenTheBusGivesItBack) {
  Handle h = openQDev();
  ASSERT_NE(h, invalidHandle());
  module->holdDiscards();
  Pending read(std::vector<std::uint8_t>(32, 0));
  std::thread requester([&] {
    Dword n = 0;
    EXPECT_FALSE(ReadFile(h, read.buffer.data(), 32, &n, &read.overlapped));
    EXPECT_EQ(GetLastError(), kErrorIoPending);
    EXPECT_TRUE(CancelIo(h));
  });
  ASSERT_TRUE(module->waitDiscards(1));
  EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, 0), kWaitTimeout);
  module->releaseDiscards();
  requester.join();
  Dword error = 0;
  EXPECT_EQ(read.finish(h, &error), 0u);
  EXPECT_EQ(error, kErrorOperationAborted);

  // A read that times out is cancelled the same way, and the handle goes on.
  TQUSB_BASE channel;
  CloseHandle(h);
  ASSERT_TRUE(channel.Open(0));
  std::uint8_t buffer[8];
  std::uint32_t got = 0;
  EXPECT_FALSE(channel.ReadBulk(buffer, sizeof buffer, &got, 20));
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(module->waitDiscards(2));
  std::thread reader([&] { EXPECT_TRUE(channel.ReadBulk(buffer, sizeof buffer, &got, 10000)); });
  ASSERT_TRUE(module->waitPendingReads(1));
  module->feed(pattern(8, 5));
  reader.join();
  EXPECT_EQ(got, 8u);
}

TEST_F(EmulatedUsb, ClosingEndsPendingTransfers) {
  Handle h = openQDev();
  ASSERT_NE(h, invalidHandle());
  Pending read(std::vector<std::uint8_t>(32, 0));
  Dword n = 0;
  ASSERT_FALSE(ReadFile(h, read.buffer.data(), 32, &n, &read.overlapped));
  ASSERT_TRUE(module->waitPendingReads(1));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, 0), kWaitObject0);
  Dword error = 0;
  EXPECT_EQ(read.finish(h, &error), 0u);
  EXPECT_EQ(error, kErrorOperationAborted);
}

TEST_F(EmulatedUsb, UnpluggedModuleFailsEveryRequestAndIsFoundAgainWhenPluggedBack) {
  TQUSB_BASE channel;
  ASSERT_TRUE(channel.Open(0));
  Handle h = channel.GetHandle();
  Pending read(std::vector<std::uint8_t>(32, 0));
  Dword n = 0;
  ASSERT_FALSE(ReadFile(h, read.buffer.data(), 32, &n, &read.overlapped));
  ASSERT_TRUE(module->waitPendingReads(1));

  module->unplug();
  Dword error = 0;
  read.finish(h, &error);
  EXPECT_EQ(error, vkm470::drivers::kErrorDeviceNotConnected);

  std::uint8_t byte = 0;
  std::uint32_t moved = 0;
  EXPECT_FALSE(channel.WriteBulk(&byte, 1, &moved, 1000));
  EXPECT_EQ(moved, 0u);
  QUSB_REQUEST command{0, 0x30, 0, 0};
  EXPECT_FALSE(channel.ControlCommand(&command));
  EXPECT_EQ(channel.lastError, VKM470F_ERR_REQUEST_REJECTED);
  std::uint32_t type = 0;
  EXPECT_FALSE(channel.GetModuleType(&type));
  EXPECT_TRUE(channel.Close());
  EXPECT_FALSE(channel.Open(0));

  EmulatedModule back(bus, kVendor, kProduct, 1, 3);
  ASSERT_TRUE(channel.Open(0)) << channel.lastError;
  EXPECT_EQ(information(channel.GetHandle()), expectedInformation(1, 3, 41));
  EXPECT_TRUE(channel.ControlCommand(&command));
  EXPECT_EQ(back.controls().size(), 1u);
  // Closed while the module is still there: its emulation must not go while
  // libusb may still be reaping from it.
  EXPECT_TRUE(channel.Close());
}

TEST_F(EmulatedUsb, SecondOpenerIsRefusedUntilTheFirstCloses) {
  TQUSB_BASE first, second;
  ASSERT_TRUE(first.Open(0));
  EXPECT_EQ(openQDev(), invalidHandle());
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  EXPECT_FALSE(second.Open(0));
  EXPECT_EQ(second.lastError, VKM470F_ERR_OPEN_FAILED);
  EXPECT_TRUE(first.Close());
  EXPECT_TRUE(second.Open(0)) << second.lastError;
}

// An entry of the device directory may link to the usbfs node; the module type
// says whether its IDs are listed.
TEST_F(EmulatedUsb, DeviceDirectoryEntryOpensTheUsbfsNodeItLinksTo) {
  const std::string dir = bus.devDirectory() + "/vkm470";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  // Relative, so that it leads into the emulated /dev.
  ASSERT_EQ(symlink("../bus/usb/001/002", (dir + "/QDev7").c_str()), 0);
  for (bool listed : {true, false}) {
    SCOPED_TRACE(listed ? "listed" : "not listed");
    if (!listed) unsetenv("VKM470_USB_IDS");
    Handle h = openQDev("\\\\.\\QDev7");
    ASSERT_NE(h, invalidHandle()) << GetLastError();
    EXPECT_EQ(information(h), expectedInformation(1, 2, listed ? 41 : 0));
    Pending write(pattern(3, 1));
    Dword n = 0;
    if (!WriteFile(h, write.buffer.data(), 3, &n, &write.overlapped)) {
      EXPECT_EQ(GetLastError(), kErrorIoPending);
    }
    Dword error = 0;
    EXPECT_EQ(write.finish(h, &error), 3u);
    CloseHandle(h);
  }
}

}  // namespace
