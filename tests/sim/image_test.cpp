// SPDX-License-Identifier: MIT
// Module image files: the format as it lies on disk, files refused for what
// is wrong with them, pages in the file as soon as a program ends, and views
// that open one at a time.
#include "image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "module.h"
#include "usb_module.h"
#include "wire.h"

namespace vkm470::sim::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr Dword kErrorBadFormat = 11;

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vkm470-image-" + std::to_string(std::random_device{}()));
    fs::create_directories(dir_);
    path_ = (dir_ / "module.img").string();
    ModuleImage::create(path_, false);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Bytes fileBytes(std::uint64_t offset, std::size_t size) const {
    std::ifstream file(path_, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    Bytes bytes(size);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return bytes;
  }

  void patch(std::uint64_t offset, const Bytes& bytes) const {
    std::fstream file(path_, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }

  std::unique_ptr<os::hosted::Device> openView(const std::string& name, Dword* error) const {
    return openImageEntry(name, path_, os::kGenericRead | os::kGenericWrite, 0, error);
  }

  fs::path dir_;
  std::string path_;
};

std::uint64_t pageOffset(std::uint32_t page) {
  return ModuleImage::kArrayOffset + std::uint64_t{page} * DataFlash::kPageBytes;
}

TEST_F(ImageTest, CreatesAModuleInItsFactoryState) {
  EXPECT_EQ(fs::file_size(path_), 512u + 4096u * 528u);
  EXPECT_EQ(fileBytes(0, 32),
            (Bytes{'V',  'K',  'M', '4', '7',  '0',  'M', 'I', 1, 0, 0, 0, 0x00, 0x10, 0, 0,
                   0x10, 0x02, 0,   0,   0x00, 0x02, 0,   0,   0, 0, 0, 0, 0,    0,    0, 0}));
  const Bytes registers = fileBytes(32, 160);
  const DataFlash::Registers factory = DataFlash::factoryRegisters();
  EXPECT_EQ(Bytes(registers.begin(), registers.begin() + 32), Bytes(32, 0x00));
  EXPECT_EQ(Bytes(registers.begin() + 32, registers.end()),
            Bytes(factory.security.begin(), factory.security.end()));

  const ModuleImage image(path_, ModuleImage::Access::ReadOnly);
  EXPECT_EQ(image.pageMode(), PageMode::Standard);
  std::size_t erased = 0;
  for (std::uint32_t page = 0; page < DataFlash::kPages; ++page)
    for (std::uint32_t i = 0; i < DataFlash::kPageBytes; ++i) erased += image.page(page)[i] == 0xFF;
  EXPECT_EQ(erased, DataFlash::kArrayBytes);
}

TEST_F(ImageTest, CreateRefusesAnExistingFileUnlessReplacing) {
  patch(pageOffset(3), {0x12});
  try {
    ModuleImage::create(path_, false);
    FAIL() << "an existing image was overwritten";
  } catch (const ImageError& e) {
    EXPECT_EQ(std::string(e.what()), path_ + ": file exists");
  }
  EXPECT_EQ(fileBytes(pageOffset(3), 1), Bytes{0x12});

  // Whoever has the old file open keeps it; the path names a fresh module.
  const ModuleImage old(path_, ModuleImage::Access::ReadOnly);
  ModuleImage::create(path_, true);
  EXPECT_EQ(old.page(3)[0], 0x12);
  EXPECT_EQ(fileBytes(pageOffset(3), 1), Bytes{0xFF});
  EXPECT_EQ(fs::file_size(path_), ModuleImage::kFileBytes);
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(ImageTest, RefusesDamagedAndForeignFilesNamingThem) {
  struct Case {
    const char* what;
    std::uint64_t offset;
    Bytes bytes;
    std::uint64_t size;  // the file's size afterwards
    const char* reason;
  };
  const std::uint64_t full = ModuleImage::kFileBytes;
  const Case cases[] = {
      {"foreign magic", 0, {'V', 'K', 'M', '4', '7', '0', 'M', 'X'}, full, "not a module image"},
      {"newer format", 8, {2, 0, 0, 0}, full, "format version 2"},
      {"other page count", 12, {0xFF, 0x0F, 0, 0}, full, "geometry 4095 pages of 528"},
      {"other page size", 16, {0x00, 0x02, 0, 0}, full, "geometry 4096 pages of 512"},
      {"array elsewhere", 20, {0x00, 0x04, 0, 0}, full, "at offset 1024"},
      {"page-size switch out of range", 24, {2}, full, "page-size switch 2"},
      {"unknown USB fault", 192, {5}, full, "USB fault 5, expected 0 to 4"},
      {"unknown cable fault", 193, {3}, full, "cable fault 3, expected 0 to 2"},
      {"unknown chip fault", 194, {2}, full, "chip fault 2, expected 0 to 1"},
      {"one byte more", 0, {}, full + 1, "2163201 bytes, expected 2163200"},
      {"last page cut off", 0, {}, full - 528, "2162672 bytes"},
      {"header only", 0, {}, 512, "512 bytes"},
      {"shorter than the header", 0, {}, 100, "100 bytes"},
      {"shorter than the magic", 0, {}, 4, "not a module image"},
      {"empty", 0, {}, 0, "not a module image"},
  };
  for (const Case& c : cases) {
    ModuleImage::create(path_, true);
    patch(c.offset, c.bytes);
    fs::resize_file(path_, c.size);
    try {
      ModuleImage image(path_, ModuleImage::Access::ReadOnly);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const ImageError& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.rfind(path_ + ": ", 0), 0u) << c.what << ": " << message;
      EXPECT_NE(message.find(c.reason), std::string::npos) << c.what << ": " << message;
    }
    Dword error = 0;
    EXPECT_EQ(openView("ALTLPT1", &error), nullptr) << c.what;
    EXPECT_EQ(error, kErrorBadFormat) << c.what;
    // The file is left as it was found.
    EXPECT_EQ(fs::file_size(path_), c.size) << c.what;
  }

  for (const std::string& other : {dir_.string(), (dir_ / "none.img").string()}) {
    EXPECT_THROW(ModuleImage(other, ModuleImage::Access::ReadOnly), ImageError) << other;
  }
}

class ImageViewTest : public ImageTest {
 protected:
  void SetUp() override {
    ImageTest::SetUp();
    os::hosted::setVirtualClock(true);
  }
  void TearDown() override {
    os::hosted::setVirtualClock(false);
    ImageTest::TearDown();
  }
};

TEST_F(ImageViewTest, ProgramsAreInTheFileWhenTheCommandEnds) {
  Dword error = 0;
  auto port = openView("ALTLPT1", &error);
  ASSERT_NE(port, nullptr) << error;
  Wire wire(*port);
  wire.deselect();

  wire.command({DataFlash::kConfigure, 0x2A, 0x80, 0xA6});
  EXPECT_EQ(fileBytes(ModuleImage::kSwitchOffset, 1), Bytes{1});
  os::Sleep(3);

  Bytes out = addressed(DataFlash::kBufferWrite, 0);
  for (int i = 0; i < 512; ++i) out.push_back(static_cast<std::uint8_t>(i * 3));
  wire.command(out);
  wire.command(addressed(DataFlash::kBufferToPage, 7 * 512));
  // The handle is still open: the page is in the file already, all 528 bytes
  // of it, the 16 beyond the binary page as the buffer held them.
  const Bytes page = fileBytes(pageOffset(7), DataFlash::kPageBytes);
  EXPECT_EQ(Bytes(page.begin(), page.begin() + 512), Bytes(out.begin() + 4, out.end()));
  EXPECT_EQ(Bytes(page.begin() + 512, page.end()), Bytes(16, 0xFF));
  EXPECT_EQ(fileBytes(pageOffset(6), DataFlash::kPageBytes), Bytes(528, 0xFF));
  os::Sleep(17);

  // The next opener finds the module as it was left.
  port.reset();
  port = openView("ALTLPT1", &error);
  ASSERT_NE(port, nullptr) << error;
  Wire again(*port);
  again.deselect();
  Bytes read = addressed(DataFlash::kContinuousRead, 7 * 512 + 510);
  read.resize(8, 0x00);
  EXPECT_EQ(again.command(read, 4), (Bytes{out[4 + 510], out[4 + 511], 0xFF, 0xFF}));
  EXPECT_EQ(again.command({DataFlash::kStatusRead}, 1), Bytes{0xAD});
}

TEST_F(ImageViewTest, AViewOpensOnceAtATimeThroughTheDeviceDirectory) {
  const fs::path devices = dir_ / "devices";
  fs::create_directories(devices);
  fs::create_symlink(path_, devices / "ALTLPT1");
  fs::create_symlink(path_, devices / "ALTLPT2");
  setenv("VKM470_DEVICES", devices.c_str(), 1);
  const std::shared_ptr<os::hosted::Resolver> resolver = imageResolver();
  os::hosted::registerResolver(resolver);

  const Dword access = os::kGenericRead | os::kGenericWrite;
  os::Handle first = os::CreateFile("\\\\.\\altlpt1", access, 0, os::kOpenExisting, 0);
  ASSERT_NE(first, os::invalidHandle()) << os::GetLastError();
  // The same cable, whichever name leads to it.
  for (const char* name : {"\\\\.\\ALTLPT1", "\\\\.\\ALTLPT2"}) {
    EXPECT_EQ(os::CreateFile(name, access, 0, os::kOpenExisting, 0), os::invalidHandle()) << name;
    EXPECT_EQ(os::GetLastError(), os::kErrorSharingViolation) << name;
  }
  EXPECT_TRUE(viewInUse(path_, View::Cable));
  EXPECT_FALSE(viewInUse(path_, View::Usb));

  EXPECT_TRUE(os::CloseHandle(first));
  EXPECT_FALSE(viewInUse(path_, View::Cable));
  os::Handle second = os::CreateFile("\\\\.\\ALTLPT2", access, 0, os::kOpenExisting, 0);
  EXPECT_NE(second, os::invalidHandle()) << os::GetLastError();
  EXPECT_TRUE(os::CloseHandle(second));

  os::hosted::unregisterResolver(resolver);
  unsetenv("VKM470_DEVICES");
}

TEST_F(ImageTest, FaultSettingLiesInTheHeader) {
  EXPECT_FALSE(ModuleImage(path_, ModuleImage::Access::ReadOnly).faults().any());
  FaultSetting faults;
  faults.usb = FaultSetting::Usb::Unplugged;
  faults.usbAnswers = 0x0102030405060708;
  faults.cable = FaultSetting::Cable::Silent;
  faults.cableAnswers = 300;
  faults.busy = true;
  faults.flipAddress = 0x1E7008;
  faults.flipMask = 0x81;
  ModuleImage(path_, ModuleImage::Access::ReadWrite).setFaults(faults);
  EXPECT_EQ(fileBytes(192, 24),
            (Bytes{4,    2,    1,    0x81, 0x08, 0x70, 0x1E, 0x00, 0x08, 0x07, 0x06, 0x05,
                   0x04, 0x03, 0x02, 0x01, 0x2C, 0x01, 0,    0,    0,    0,    0,    0}));
  const FaultSetting back = ModuleImage(path_, ModuleImage::Access::ReadOnly).faults();
  EXPECT_EQ(back.usb, faults.usb);
  EXPECT_EQ(back.usbAnswers, faults.usbAnswers);
  EXPECT_EQ(back.cable, faults.cable);
  EXPECT_EQ(back.cableAnswers, faults.cableAnswers);
  EXPECT_TRUE(back.busy);
  EXPECT_EQ(back.flipAddress, faults.flipAddress);
  EXPECT_EQ(back.flipMask, faults.flipMask);
  // The rest of the header stays zero.
  EXPECT_EQ(fileBytes(216, 296), Bytes(296, 0));
}

// A control request on the USB side: the setup, then a data stage of length.
TestRequest control(os::hosted::Device& device, std::uint16_t direction, std::uint16_t request,
                    Dword length) {
  return submit(device, UsbModule::kControl,
                {std::uint8_t(direction), 0, std::uint8_t(request), 0, 0, 0, 0, 0}, length);
}

TEST_F(ImageViewTest, FaultsApplyWhenAViewOpensAndCountDownInTheFile) {
  const auto setFaults = [this](const FaultSetting& faults) {
    ModuleImage(path_, ModuleImage::Access::ReadWrite).setFaults(faults);
  };
  const auto answersLeft = [this](View view) {
    const FaultSetting faults = ModuleImage(path_, ModuleImage::Access::ReadOnly).faults();
    return view == View::Usb ? faults.usbAnswers : faults.cableAnswers;
  };
  Dword error = 0;

  // A cable that answers two more requests, then none, in this view and the next.
  FaultSetting faults;
  faults.cable = FaultSetting::Cable::Silent;
  faults.cableAnswers = 2;
  setFaults(faults);
  {
    auto port = openView("ALTLPT1", &error);
    ASSERT_NE(port, nullptr) << error;
    EXPECT_EQ(writeRegister(*port, 0, 0x43).status, os::kErrorSuccess);
    EXPECT_EQ(answersLeft(View::Cable), 1u);
    EXPECT_EQ(writeRegister(*port, 0, 0x43).status, os::kErrorSuccess);
    EXPECT_EQ(writeRegister(*port, 0, 0x43).status, os::kErrorGenFailure);
    EXPECT_EQ(answersLeft(View::Cable), 0u);
  }
  {
    auto port = openView("ALTLPT1", &error);
    ASSERT_NE(port, nullptr) << error;
    EXPECT_EQ(writeRegister(*port, 0, 0x43).status, os::kErrorGenFailure);
  }

  // No cable on the port: the query answers 0; other requests are answered.
  faults = FaultSetting{};
  faults.cable = FaultSetting::Cable::Absent;
  setFaults(faults);
  {
    auto port = openView("ALTLPT1", &error);
    ASSERT_NE(port, nullptr) << error;
    const TestRequest query = submit(*port, Cable::kPortQuery, {}, 4);
    EXPECT_EQ(query.status, os::kErrorSuccess);
    EXPECT_EQ(query.result(), Bytes(4, 0));
    EXPECT_EQ(writeRegister(*port, 0, 0x43).status, os::kErrorSuccess);
  }

  // An unplugged module does not open; cleared, it is back.
  faults = FaultSetting{};
  faults.usb = FaultSetting::Usb::Unplugged;
  setFaults(faults);
  EXPECT_EQ(openView("QDev0", &error), nullptr);
  EXPECT_EQ(error, os::kErrorFileNotFound);
  setFaults(FaultSetting{});
  EXPECT_NE(openView("QDev0", &error), nullptr) << error;

  // The USB side counts control requests only: the information query passes
  // without spending one.
  faults.usb = FaultSetting::Usb::FailAtOnce;
  faults.usbAnswers = 1;
  setFaults(faults);
  {
    auto usb = openView("QDev0", &error);
    ASSERT_NE(usb, nullptr) << error;
    EXPECT_EQ(submit(*usb, UsbModule::kInformation, {}, UsbModule::kInformationBytes).status,
              os::kErrorSuccess);
    EXPECT_EQ(answersLeft(View::Usb), 1u);
    const TestRequest name = control(*usb, 1, UsbModule::kName, 16);
    EXPECT_EQ(name.status, os::kErrorSuccess);
    EXPECT_EQ(name.bytes, 16u);
    EXPECT_EQ(control(*usb, 1, UsbModule::kName, 16).status, os::kErrorGenFailure);
    EXPECT_EQ(answersLeft(View::Usb), 0u);
  }

  // A chip that stays busy, and a byte that reads flipped at a flash address
  // in 512-byte pages while the chip has 528-byte ones; the cell keeps its
  // value.
  patch(pageOffset(5) + 7, {0x5A});
  faults = FaultSetting{};
  faults.flipAddress = 5 * 512 + 7;
  faults.flipMask = 0x0F;
  setFaults(faults);
  {
    auto port = openView("ALTLPT1", &error);
    ASSERT_NE(port, nullptr) << error;
    Wire wire(*port);
    wire.deselect();
    Bytes read = addressed(DataFlash::kContinuousRead, 5 << 10 | 6);
    read.resize(8, 0x00);
    EXPECT_EQ(wire.command(read, 3), (Bytes{0xFF, 0x55, 0xFF}));
  }
  EXPECT_EQ(fileBytes(pageOffset(5) + 7, 1), Bytes{0x5A});
  faults.busy = true;
  setFaults(faults);
  {
    auto port = openView("ALTLPT1", &error);
    ASSERT_NE(port, nullptr) << error;
    Wire wire(*port);
    wire.deselect();
    EXPECT_EQ(wire.command({DataFlash::kStatusRead}, 1), Bytes{0x2C});
  }
}

TEST(ImageEntryNames, NameTheViews) {
  struct Case {
    const char* name;
    std::optional<View> view;
  };
  const Case cases[] = {
      {"QDev0", View::Usb},      {"qdev255", View::Usb},     {"QDEV17", View::Usb},
      {"QDev256", std::nullopt}, {"QDev01", std::nullopt},   {"QDev", std::nullopt},
      {"QDev-1", std::nullopt},  {"ALTLPT1", View::Cable},   {"altlpt9", View::Cable},
      {"ALTLPT0", std::nullopt}, {"ALTLPT10", std::nullopt}, {"LPT1", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(viewOfEntry(c.name), c.view) << c.name;
}

}  // namespace
}  // namespace vkm470::sim::test
