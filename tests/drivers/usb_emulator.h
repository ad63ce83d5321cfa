// SPDX-License-Identifier: MIT
// A module on an emulated USB bus: umockdev's preload library stands in for
// sysfs and for the usbfs node, and this emulator answers the node's ioctls
// as the kernel does, so libusb runs unchanged above it.
//
// The module has one configuration with one vendor interface: an interrupt
// endpoint first, then bulk IN 0x81 and bulk OUT 0x02. Control requests are
// recorded with their setup fields; IN requests are answered from a reply the
// test sets. Bulk OUT transfers are recorded; bulk IN transfers stay pending
// until the test feeds them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace vkm470::testing {

// True when the umockdev preload library is loaded: only then is the bus that
// libusb sees the emulated one.
bool usbEmulationActive();

// The emulated sysfs and /dev, for as long as the object lives.
class EmulatedBus {
 public:
  EmulatedBus();
  ~EmulatedBus();
  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;
  UMockdevTestbed* testbed() { return testbed_; }
  // The directory that /dev is emulated from.
  std::string devDirectory() const;

 private:
  UMockdevTestbed* testbed_;
};

struct SetupPacket {
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
  std::vector<std::uint8_t> data;  // the data stage of an OUT request
  bool operator==(const SetupPacket& o) const {
    return requestType == o.requestType && request == o.request && value == o.value &&
           index == o.index && length == o.length && data == o.data;
  }
};

class EmulatedModule {
 public:
  EmulatedModule(EmulatedBus& bus, std::uint16_t vendor, std::uint16_t product, int busNumber,
                 int address);
  ~EmulatedModule();
  EmulatedModule(const EmulatedModule&) = delete;
  EmulatedModule& operator=(const EmulatedModule&) = delete;

  std::string node() const;  // /dev/bus/usb/BBB/DDD

  // Control IN requests are answered with these bytes, cut to the request's
  // length; an answer shorter than asked ends the data stage short.
  void setControlReply(std::vector<std::uint8_t> reply);
  std::vector<SetupPacket> controls();

  // The data of each bulk OUT transfer.
  std::vector<std::vector<std::uint8_t>> bulkWrites();
  // Waits until count bulk IN transfers are pending.
  bool waitPendingReads(std::size_t count);
  // Ends the oldest pending bulk IN transfer with these bytes; fewer than it
  // asked for make it a short transfer.
  void feed(std::vector<std::uint8_t> packet);

  // While held, a discarded transfer is not given back to the host until
  // releaseDiscards, as a kernel may still be using its buffer.
  void holdDiscards();
  bool waitDiscards(std::size_t count);
  void releaseDiscards();

  // The module leaves the bus: its pending transfers end as the kernel ends
  // them, every later ioctl fails with ENODEV, and it is no longer listed.
  void unplug();

 private:
  struct Urb {
    UMockdevIoctlData* urb;  // the client's usbdevfs_urb, resolved
    UMockdevIoctlData* buffer;
  };
  struct Client {
    std::deque<Urb> reapable;
    std::deque<Urb> pendingReads;
    std::size_t readOffset = 0;  // into the descriptors, for read()
  };

  static int handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
  static int handleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
  static void vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
  void ioctl(UMockdevIoctlClient* client);
  void submit(UMockdevIoctlClient* client, Client& state, UMockdevIoctlData* arg);
  void reap(UMockdevIoctlClient* client, Client& state, UMockdevIoctlData* arg,
            std::unique_lock<std::mutex>& lock);
  void discard(UMockdevIoctlClient* client, Client& state, UMockdevIoctlData* arg);
  static void end(Urb& urb, int status, int actual);
  static void drop(Urb& urb);

  EmulatedBus& bus_;
  int busNumber_;
  int address_;
  std::vector<std::uint8_t> descriptors_;
  std::string syspath_;
  UMockdevIoctlBase* handler_ = nullptr;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<UMockdevIoctlClient*, Client> clients_;
  UMockdevIoctlClient* claimedBy_ = nullptr;
  bool gone_ = false;
  bool holdDiscards_ = false;
  std::deque<std::pair<UMockdevIoctlClient*, Urb>> held_;
  std::size_t discards_ = 0;
  std::vector<std::uint8_t> reply_;
  std::vector<SetupPacket> controls_;
  std::vector<std::vector<std::uint8_t>> writes_;
};

}  // namespace vkm470::testing
