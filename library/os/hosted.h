// SPDX-License-Identifier: MIT
// The hosted backend's own services: the device namespace that drivers plug
// into (device_namespace.cpp, with a lock of its own), the map of system
// errors, and the clock. Used by drivers, the virtual module and tests; the
// library proper uses only os.h.
//
// A device path "\\.\NAME" is resolved, names compared case-insensitively:
//   1. a driver registered in-process under NAME (registerDevice);
//   2. an entry NAME in the device directory (see deviceDirectory), opened by the first resolver
//   that serves its kind
//      (a link to a parallel port, to a module image, ...);
//   3. a name with no entry, opened by the first resolver that serves it (the
//      parallel-port driver's /dev/parport<n-1> for ALTLPTn, ...).
// The seam knows no driver: each source of devices registers a resolver.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "os.h"

namespace vkm470::os::hosted {

enum class RequestKind { IoControl, Read, Write };

// One I/O request as a driver sees it. The seam owns it until it completes.
class Request {
 public:
  virtual RequestKind kind() const = 0;
  virtual Dword code() const = 0;         // the I/O control code; 0 for reads and writes
  virtual const void* input() const = 0;  // control input, or the data of a write
  virtual Dword inputSize() const = 0;
  virtual void* output() = 0;  // control output, or the buffer of a read
  virtual Dword outputSize() const = 0;
  // Finishes the request with an error code (0 for success) and the number of
  // bytes moved. May be called inside submit or later from any thread; the
  // first call wins and the driver must not touch the request afterwards.
  virtual void complete(Dword status, Dword bytes) = 0;

 protected:
  ~Request() = default;
};

// One open handle of a device.
class Device {
 public:
  virtual ~Device() = default;
  virtual void submit(Request& request) = 0;
  // The request was cancelled (CancelIo from its issuing thread, or the handle
  // closing). The driver forgets it; the default completes it as aborted, and
  // the seam completes it so if the driver has not when cancel returns. A
  // driver whose hardware still holds the request's buffer may instead wait
  // here until it is given back and complete the request itself: the seam
  // calls cancel with none of its locks held.
  virtual void cancel(Request& request) { request.complete(kErrorOperationAborted, 0); }
  // True for a driver that, as a real one, only starts the cancel: it
  // completes each cancelled request itself, later and from any thread (as
  // aborted, or with its result if it had finished), and the seam waits for
  // that. It must still complete them all before its handle is destroyed.
  virtual bool completesCancelledRequests() const { return false; }
};

// Opens handles of one device name.
class Driver {
 public:
  virtual ~Driver() = default;
  // Returns null with *error set (for example kErrorSharingViolation) when the
  // device cannot be opened with this access and share mode.
  virtual std::unique_ptr<Device> open(Dword access, Dword share, Dword* error) = 0;
};

// In-process device names; registering a name again replaces its driver.
void registerDevice(const std::string& name, std::shared_ptr<Driver> driver);
void unregisterDevice(const std::string& name);

// A source of devices for names that no in-process driver serves. Resolvers
// are asked in the order they were registered, from the thread that calls
// CreateFile, with no lock of the seam held; the first that serves a name
// opens it. Each operation returns false when the name or entry is not of the
// kind it serves; true when it served it, with *device the open device, or
// null and *error set (for example kErrorSharingViolation).
class Resolver {
 public:
  virtual ~Resolver() = default;
  // Step 2: the device-directory entry for name (as the caller spelt it) at
  // path; the entry exists, and a link is to be followed by the opener.
  virtual bool openEntry(const std::string& name, const std::string& path, Dword access,
                         Dword share, std::unique_ptr<Device>* device, Dword* error);
  // Step 3: a name with neither an in-process driver nor an entry.
  virtual bool openName(const std::string& name, Dword access, Dword share,
                        std::unique_ptr<Device>* device, Dword* error);
};

// Registering a resolver twice has no further effect.
void registerResolver(std::shared_ptr<Resolver> resolver);
void unregisterResolver(const std::shared_ptr<Resolver>& resolver);

// The device directory, the one rule for the library and vkm470sim:
// $VKM470_DEVICES when it is set and not empty; else $HOME/.vkm470/devices
// when HOME is set and not empty (on Windows, USERPROFILE when HOME is not
// set); else there is none, and never the working directory. False when there
// is none, with *whyNone (if given) saying which variables made it so.
bool deviceDirectory(std::string* path, std::string* whyNone);
// The entry of dir named name, compared case-insensitively as the platform
// compares device names; its path as found in dir.
std::optional<std::string> findDeviceEntry(const std::string& dir, const std::string& name);

// The one map between errno values and the seam's error codes: a driver turns
// a failed system call into the code its caller sees (ENOENT, ENODEV, ENXIO,
// ENOTDIR: file not found; EACCES, EPERM, EROFS: access denied; EBUSY:
// sharing violation; anything unknown: general failure), and the backend
// turns an open's code back into the errno that the exports' callers read
// (EIO for a code with no errno of its own).
Dword errorFromErrno(int errnoValue);
int errnoFromError(Dword error);

// Fault injection: the next count calls of CreateThread (or of CreateEvent)
// fail, as when the system has no resources left for one.
enum class Creation { Thread, Event };
void failCreations(Creation what, unsigned count);

// The clock behind GetTickCount, Sleep and timed waits. In virtual mode, for
// single-threaded tests, Sleep and a timed wait that would block advance the
// clock at once instead of waiting.
void setVirtualClock(bool enabled);
bool virtualClock();
// Sets the virtual tick (to test the wrap at 2^32).
void setVirtualTick(Dword tick);
// Monotonic microseconds on the same clock (virtual or real).
std::uint64_t nowMicroseconds();

}  // namespace vkm470::os::hosted
