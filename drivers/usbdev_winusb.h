// SPDX-License-Identifier: MIT
// Real modules on USB under Windows, through the system's generic WinUSB
// driver: the transport behind UsbBackend, and the opener that serves a QDevN
// name the system has no device for (no original kernel driver installed).
//
// Modules are found with SetupAPI among the present devices of the USB device
// interface whose IDs are in $VKM470_USB_IDS, and numbered as on Linux: QDevN
// is the N-th in (hub, port) order, the hub number and port standing for the
// bus and address of the information block. A module bound to WinUSB (by the
// INF in share/vkm470 or by a binding tool) opens; one that another program
// holds gives 32, one that Windows will not give to WinUSB (another driver
// has it) gives 5, none there 2.
//
// Transfers are overlapped WinUSB calls that complete on one I/O completion
// port, served by the backend's event-handling thread; a cancel ends the one
// transfer (CancelIoEx), and closing aborts what is left on the bulk pipes.
#pragma once

#include <memory>

#include "usbdev.h"
#include "win32.h"

// After the seam's headers: the platform's maps CreateFile and the like to
// their ANSI and wide forms.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <winusb.h>
// clang-format on

namespace vkm470::drivers {

// Every call the transport makes into Windows. Tests put a stand-in here.
struct WinUsbCalls {
  decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA;
  decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailA) SetupDiGetDeviceInterfaceDetailA;
  decltype(&::SetupDiGetDeviceRegistryPropertyA) SetupDiGetDeviceRegistryPropertyA;
  decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
  decltype(&::CreateFileA) CreateFileA;
  decltype(&::CloseHandle) CloseHandle;
  decltype(&::WinUsb_Initialize) WinUsb_Initialize;
  decltype(&::WinUsb_Free) WinUsb_Free;
  decltype(&::WinUsb_GetDescriptor) WinUsb_GetDescriptor;
  decltype(&::WinUsb_QueryInterfaceSettings) WinUsb_QueryInterfaceSettings;
  decltype(&::WinUsb_QueryPipe) WinUsb_QueryPipe;
  decltype(&::WinUsb_ControlTransfer) WinUsb_ControlTransfer;
  decltype(&::WinUsb_ReadPipe) WinUsb_ReadPipe;
  decltype(&::WinUsb_WritePipe) WinUsb_WritePipe;
  decltype(&::WinUsb_AbortPipe) WinUsb_AbortPipe;
  decltype(&::CancelIoEx) CancelIoEx;
  decltype(&::GetOverlappedResult) GetOverlappedResult;
  decltype(&::CreateIoCompletionPort) CreateIoCompletionPort;
  decltype(&::GetQueuedCompletionStatus) GetQueuedCompletionStatus;
  decltype(&::PostQueuedCompletionStatus) PostQueuedCompletionStatus;
};

// The system's own calls.
const WinUsbCalls& systemWinUsbCalls();

// The interface class of every USB device, as the hub driver registers it.
extern const GUID kUsbDeviceInterface;

std::shared_ptr<UsbBackend> winusbBackend(const WinUsbCalls& calls);

// Serves QDevN names with the modules that backend reaches.
os::win32::DeviceOpener winusbOpener(std::shared_ptr<UsbBackend> backend);
// The same on the system's calls, with one backend for the process.
os::win32::DeviceOpener winusbOpener();

}  // namespace vkm470::drivers
