// The win32 backend: each service is the platform call of the same name.
#include <windows.h>

#include <cstddef>
#include <type_traits>

// The platform header maps these names to their ANSI or wide forms; the seam
// declares its own functions under the plain names.
#undef CreateFile
#undef CreateEvent
#undef CreateMutex

#include "os.h"

namespace vkm470::os {

static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED), "Overlapped must match OVERLAPPED");
static_assert(offsetof(Overlapped, Internal) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(Overlapped, InternalHigh) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(Overlapped, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(Overlapped, OffsetHigh) == offsetof(OVERLAPPED, OffsetHigh));
static_assert(offsetof(Overlapped, hEvent) == offsetof(OVERLAPPED, hEvent));
static_assert(std::is_same_v<Handle, HANDLE>);
static_assert(sizeof(Dword) == sizeof(DWORD));
static_assert(kWaitObject0 == WAIT_OBJECT_0 && kWaitAbandoned == WAIT_ABANDONED &&
              kWaitTimeout == WAIT_TIMEOUT && kWaitFailed == WAIT_FAILED && kInfinite == INFINITE &&
              kMaximumWaitObjects == MAXIMUM_WAIT_OBJECTS);
static_assert(kStillActive == STILL_ACTIVE);

namespace {

OVERLAPPED* native(Overlapped* overlapped) { return reinterpret_cast<OVERLAPPED*>(overlapped); }

// DWORD is unsigned long here and Dword unsigned int: the same width, but
// distinct types, so counts pass through a local.
void store(Dword* target, DWORD value) {
  if (target != nullptr) *target = value;
}

}  // namespace

Handle CreateFile(const char* path, Dword access, Dword share, Dword creation, Dword flags) {
  return ::CreateFileA(path, access, share, nullptr, creation, flags, nullptr);
}

bool CloseHandle(Handle handle) { return ::CloseHandle(handle) != FALSE; }

bool DeviceIoControl(Handle device, Dword code, const void* input, Dword inputSize, void* output,
                     Dword outputSize, Dword* bytesReturned, Overlapped* overlapped) {
  DWORD bytes = 0;
  BOOL ok = ::DeviceIoControl(device, code, const_cast<void*>(input), inputSize, output, outputSize,
                              &bytes, native(overlapped));
  store(bytesReturned, bytes);
  return ok != FALSE;
}

bool ReadFile(Handle device, void* buffer, Dword size, Dword* bytesRead, Overlapped* overlapped) {
  DWORD bytes = 0;
  BOOL ok = ::ReadFile(device, buffer, size, &bytes, native(overlapped));
  store(bytesRead, bytes);
  return ok != FALSE;
}

bool WriteFile(Handle device, const void* buffer, Dword size, Dword* bytesWritten,
               Overlapped* overlapped) {
  DWORD bytes = 0;
  BOOL ok = ::WriteFile(device, buffer, size, &bytes, native(overlapped));
  store(bytesWritten, bytes);
  return ok != FALSE;
}

bool GetOverlappedResult(Handle device, Overlapped* overlapped, Dword* bytesTransferred,
                         bool wait) {
  DWORD bytes = 0;
  BOOL ok = ::GetOverlappedResult(device, native(overlapped), &bytes, wait ? TRUE : FALSE);
  store(bytesTransferred, bytes);
  return ok != FALSE;
}

bool CancelIo(Handle device) { return ::CancelIo(device) != FALSE; }

Handle CreateEvent(bool manualReset, bool initialState) {
  return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
}

bool SetEvent(Handle event) { return ::SetEvent(event) != FALSE; }

bool ResetEvent(Handle event) { return ::ResetEvent(event) != FALSE; }

Handle CreateMutex(bool initialOwner) { return ::CreateMutexA(nullptr, initialOwner, nullptr); }

bool ReleaseMutex(Handle mutex) { return ::ReleaseMutex(mutex) != FALSE; }

Dword WaitForSingleObject(Handle object, Dword milliseconds) {
  return ::WaitForSingleObject(object, milliseconds);
}

Dword WaitForMultipleObjects(Dword count, const Handle* objects, bool waitAll, Dword milliseconds) {
  return ::WaitForMultipleObjects(count, objects, waitAll, milliseconds);
}

Handle CreateThread(ThreadProc proc, void* parameter, Dword* threadId) {
  // ThreadProc returns a 32-bit unsigned int where the platform's routine
  // returns DWORD (unsigned long): the same width and calling convention.
  auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void (*)()>(proc));
  DWORD id = 0;
  Handle thread = ::CreateThread(nullptr, 0, routine, parameter, 0, &id);
  store(threadId, id);
  return thread;
}

bool GetExitCodeThread(Handle thread, Dword* exitCode) {
  DWORD code = 0;
  BOOL ok = ::GetExitCodeThread(thread, &code);
  store(exitCode, code);
  return ok != FALSE;
}

Dword GetLastError() { return ::GetLastError(); }

void SetLastError(Dword error) { ::SetLastError(error); }

Dword GetTickCount() { return ::GetTickCount(); }

void Sleep(Dword milliseconds) { ::Sleep(milliseconds); }

}  // namespace vkm470::os
