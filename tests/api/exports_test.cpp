// SPDX-License-Identifier: MIT
// Dispatch of the exports on the record's interface type.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "vkm470fapi.h"

namespace {

struct Export {
  std::string name;
  bool usbOnly;
  std::function<int32_t(VKM470F_DEVICE*)> call;
};

// Every export but the two closes and the search, called with arguments that
// would be invalid: a USB-only export must refuse a parallel-port record
// before it looks at them.
std::vector<Export> exportsUnderTest() {
  return {
      {"CallApplication", true, [](VKM470F_DEVICE* d) { return VKM470F_CallApplication(d, 0); }},
      {"CreateBulkFIFO", true,
       [](VKM470F_DEVICE* d) { return VKM470F_CreateBulkFIFO(d, 0, 0, 0, 0, 0, 0); }},
      {"DSP_Read_Command", true,
       [](VKM470F_DEVICE* d) { return VKM470F_DSP_Read_Command(d, 0, 0, nullptr, 5, 0); }},
      {"DSP_Write_Command", true,
       [](VKM470F_DEVICE* d) { return VKM470F_DSP_Write_Command(d, 0, 0, nullptr, 5, 0); }},
      {"DisposeBulkFIFO", true, [](VKM470F_DEVICE* d) { return VKM470F_DisposeBulkFIFO(d); }},
      {"FlushBulkFIFO", true, [](VKM470F_DEVICE* d) { return VKM470F_FlushBulkFIFO(d); }},
      {"GetBulkFIFOReadReady", true,
       [](VKM470F_DEVICE* d) { return VKM470F_GetBulkFIFOReadReady(d, nullptr); }},
      {"GetBulkFIFOWriteFree", true,
       [](VKM470F_DEVICE* d) { return VKM470F_GetBulkFIFOWriteFree(d, nullptr); }},
      {"GetDeviceDescr", true,
       [](VKM470F_DEVICE* d) { return VKM470F_GetDeviceDescr(d, nullptr); }},
      {"GetDeviceName", true,
       [](VKM470F_DEVICE* d) { return VKM470F_GetDeviceName(d, nullptr, 0); }},
      {"ReadBulkFIFO", true,
       [](VKM470F_DEVICE* d) { return VKM470F_ReadBulkFIFO(d, nullptr, 1, nullptr, 0); }},
      {"SimpleControlQDevice", true,
       [](VKM470F_DEVICE* d) { return VKM470F_SimpleControlQDevice(d, nullptr, nullptr, 1, 0); }},
      {"SimpleReadBulk", true,
       [](VKM470F_DEVICE* d) { return VKM470F_SimpleReadBulk(d, nullptr, 1, nullptr, 0); }},
      {"SimpleWriteBulk", true,
       [](VKM470F_DEVICE* d) { return VKM470F_SimpleWriteBulk(d, nullptr, 1, nullptr, 0); }},
      {"StartBulkFIFO", true, [](VKM470F_DEVICE* d) { return VKM470F_StartBulkFIFO(d); }},
      {"StopBulkFIFO", true, [](VKM470F_DEVICE* d) { return VKM470F_StopBulkFIFO(d); }},
      {"WriteBulkFIFO", true,
       [](VKM470F_DEVICE* d) { return VKM470F_WriteBulkFIFO(d, nullptr, 1, nullptr, 0); }},
      {"OpenDevice", false, [](VKM470F_DEVICE* d) { return VKM470F_OpenDevice(d, 0); }},
      {"ProgrammDSPFlash", false,
       [](VKM470F_DEVICE* d) { return VKM470F_ProgrammDSPFlash(d, 0, nullptr, 0, 1000); }},
      {"ReadDSPFlash", false,
       [](VKM470F_DEVICE* d) { return VKM470F_ReadDSPFlash(d, 0, nullptr, 0, 1000); }},
      {"ResetDSP", false, [](VKM470F_DEVICE* d) { return VKM470F_ResetDSP(d); }},
      {"SpecialDSPFlashCommand", false,
       [](VKM470F_DEVICE* d) { return VKM470F_SpecialDSPFlashCommand(d, 3, nullptr, 0); }},
  };
}

TEST(Exports, RefuseAnInterfaceTheyDoNotServeWithoutTouchingTheRecord) {
  for (const Export& e : exportsUnderTest()) {
    std::vector<int32_t> refused = {0, 2, 6, 100, -1};
    if (e.usbOnly) refused.insert(refused.end(), {3, 4, 5});
    for (int32_t type : refused) {
      VKM470F_DEVICE dev{};
      dev.interfaceType = type;
      dev.applicationRunning = 1;
      EXPECT_EQ(e.call(&dev), VKM470F_ERR_NOT_AVAILABLE) << e.name << " type " << type;
      EXPECT_EQ(dev.applicationRunning, 1) << e.name;
      EXPECT_EQ(dev.channel, nullptr);
      EXPECT_EQ(dev.cable, nullptr);
      EXPECT_EQ(dev.bulkFifo, nullptr);
    }
  }
}

TEST(Exports, NullRecordIsRefusedInsteadOfCrashing) {
  for (const Export& e : exportsUnderTest()) {
    EXPECT_EQ(e.call(nullptr), VKM470F_ERR_NO_OBJECT) << e.name;
  }
  EXPECT_EQ(VKM470F_CloseDevice(nullptr), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(VKM470F_SearchDevices(nullptr, nullptr, 0), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(VKM470F_CloseFullDevice(nullptr), VKM470F_SUCCESS);
}

TEST(Exports, UsbOperationsWithoutAChannelReportTheMissingObject) {
  for (const Export& e : exportsUnderTest()) {
    if (e.name == "OpenDevice") continue;
    VKM470F_DEVICE dev{};
    dev.interfaceType = VKM470F_INTERFACE_USB;
    EXPECT_EQ(e.call(&dev), VKM470F_ERR_NO_OBJECT) << e.name;
  }
}

TEST(Exports, UsbOpenOfAMissingModuleLeavesTheRecordClosed) {
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_USB;
  EXPECT_EQ(VKM470F_OpenDevice(&dev, 250), VKM470F_ERR_OPEN_FAILED);
  EXPECT_EQ(dev.channel, nullptr);
  EXPECT_EQ(dev.applicationRunning, 0);
}

TEST(Exports, SearchClearsItsListBeforeTestingTheInterface) {
  int16_t list[4] = {7, 7, 7, 7};
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_LPT1;
  EXPECT_EQ(VKM470F_SearchDevices(&dev, list, 3), VKM470F_ERR_NOT_AVAILABLE);
  EXPECT_EQ(list[0], 0);
  EXPECT_EQ(list[2], 0);
  EXPECT_EQ(list[3], 7);

  int16_t untouched = 7;
  EXPECT_EQ(VKM470F_SearchDevices(&dev, &untouched, 0), VKM470F_ERR_NOT_AVAILABLE);
  EXPECT_EQ(untouched, 7);
}

TEST(Exports, CloseOfAnUnservedTypeSucceedsAndCloseOfAnEmptyUsbRecordFails) {
  VKM470F_DEVICE dev{};
  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_SUCCESS);
  dev.interfaceType = VKM470F_INTERFACE_USB;
  dev.applicationRunning = 1;
  EXPECT_EQ(VKM470F_CloseDevice(&dev), VKM470F_ERR_NO_OBJECT);
  EXPECT_EQ(dev.applicationRunning, 0);
  EXPECT_EQ(VKM470F_CloseFullDevice(&dev), VKM470F_SUCCESS);
}

TEST(Exports, RecordLayoutIsThreePointersThenTwoInt32) {
  EXPECT_EQ(sizeof(VKM470F_DEVICE), 3 * sizeof(void*) + 8);
  EXPECT_EQ(offsetof(VKM470F_DEVICE, interfaceType), 3 * sizeof(void*));
  EXPECT_EQ(offsetof(QUSB_REQUEST, index), 6u);
}

}  // namespace
