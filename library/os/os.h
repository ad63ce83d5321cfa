// SPDX-License-Identifier: MIT
// The kernel services the library is written against, with Win32 semantics.
//
// Two backends implement this header: win32 (thin calls into the real API) and
// hosted (portable C++17 with a device namespace of its own, see hosted.h).
// Nothing above library/os includes a platform header.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define VKM470_OS_THREADAPI __stdcall
#else
#define VKM470_OS_THREADAPI
#endif

namespace vkm470::os {

using Handle = void*;
using Dword = std::uint32_t;

// INVALID_HANDLE_VALUE; a null handle is the failure value of the creators.
inline Handle invalidHandle() { return reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1)); }

constexpr Dword kInfinite = 0xFFFFFFFFu;
constexpr Dword kMaximumWaitObjects = 64;

// Wait results.
constexpr Dword kWaitObject0 = 0;
constexpr Dword kWaitAbandoned = 0x80;
constexpr Dword kWaitTimeout = 258;
constexpr Dword kWaitFailed = 0xFFFFFFFFu;

// Error codes (GetLastError values and request completion statuses).
constexpr Dword kErrorSuccess = 0;
constexpr Dword kErrorInvalidFunction = 1;  // a request the driver does not serve
constexpr Dword kErrorFileNotFound = 2;
constexpr Dword kErrorAccessDenied = 5;
constexpr Dword kErrorInvalidHandle = 6;
constexpr Dword kErrorNotEnoughMemory = 8;
constexpr Dword kErrorGenFailure = 31;
constexpr Dword kErrorSharingViolation = 32;
constexpr Dword kErrorNotSupported = 50;
constexpr Dword kErrorInvalidParameter = 87;
constexpr Dword kErrorInsufficientBuffer = 122;
constexpr Dword kErrorOperationAborted = 995;
constexpr Dword kErrorIoIncomplete = 996;
constexpr Dword kErrorIoPending = 997;
constexpr Dword kErrorNotOwner = 288;  // ReleaseMutex by a thread that does not own it

// GetExitCodeThread's value while the thread runs.
constexpr Dword kStillActive = 259;

// CreateFile arguments.
constexpr Dword kGenericRead = 0x80000000u;
constexpr Dword kGenericWrite = 0x40000000u;
constexpr Dword kOpenExisting = 3;
constexpr Dword kFileAttributeNormal = 0x80;
constexpr Dword kFileFlagOverlapped = 0x40000000u;

// Same layout as the platform's OVERLAPPED. The event is signalled when the
// request completes; Internal holds the completion status, InternalHigh the
// byte count.
struct Overlapped {
  std::uintptr_t Internal;
  std::uintptr_t InternalHigh;
  Dword Offset;
  Dword OffsetHigh;
  Handle hEvent;
};

using ThreadProc = Dword(VKM470_OS_THREADAPI*)(void* parameter);

// Device files. share is the share mode (the library always passes 0).
Handle CreateFile(const char* path, Dword access, Dword share, Dword creation, Dword flags);
bool CloseHandle(Handle handle);
bool DeviceIoControl(Handle device, Dword code, const void* input, Dword inputSize, void* output,
                     Dword outputSize, Dword* bytesReturned, Overlapped* overlapped);
bool ReadFile(Handle device, void* buffer, Dword size, Dword* bytesRead, Overlapped* overlapped);
bool WriteFile(Handle device, const void* buffer, Dword size, Dword* bytesWritten,
               Overlapped* overlapped);
bool GetOverlappedResult(Handle device, Overlapped* overlapped, Dword* bytesTransferred, bool wait);
// Cancels the I/O that the calling thread issued on device.
bool CancelIo(Handle device);

// Synchronisation objects; a null handle on failure.
Handle CreateEvent(bool manualReset, bool initialState);
bool SetEvent(Handle event);
bool ResetEvent(Handle event);
Handle CreateMutex(bool initialOwner);
bool ReleaseMutex(Handle mutex);
Dword WaitForSingleObject(Handle object, Dword milliseconds);
// Waits until one of count objects (at most kMaximumWaitObjects) is signalled
// and takes it: kWaitObject0 + i for the first of them in order that is
// (kWaitAbandoned + i for an abandoned mutex). waitAll must be false: waiting
// for all at once is not used.
Dword WaitForMultipleObjects(Dword count, const Handle* objects, bool waitAll, Dword milliseconds);

// Threads. The handle is signalled when the thread ends.
Handle CreateThread(ThreadProc proc, void* parameter, Dword* threadId);
bool GetExitCodeThread(Handle thread, Dword* exitCode);

Dword GetLastError();
void SetLastError(Dword error);

// Milliseconds since an arbitrary start, wrapping at 2^32.
Dword GetTickCount();
void Sleep(Dword milliseconds);

}  // namespace vkm470::os
