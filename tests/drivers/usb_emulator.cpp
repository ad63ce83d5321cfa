// SPDX-License-Identifier: MIT
#include "usb_emulator.h"

#include <errno.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "vkm470_byte_order.h"

namespace vkm470::testing {
namespace {

// A failing wait means a broken driver: long enough never to end a working one.
constexpr auto kPatience = std::chrono::seconds(10);

// How long a reap with nothing to give waits before it says so. libusb polls
// the node for reapable transfers; an emulated node always polls ready, so
// this keeps its event loop from spinning.
constexpr auto kReapPause = std::chrono::milliseconds(1);

constexpr std::uint32_t kCapabilities =
    USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;

UMockdevIoctlData* resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, length, &error);
  if (resolved == nullptr) {
    std::string message = error != nullptr ? error->message : "unknown";
    g_clear_error(&error);
    throw std::runtime_error("umockdev cannot resolve client memory: " + message);
  }
  return resolved;
}

// Device, configuration, interface (interrupt IN 0x83, bulk IN 0x81, bulk OUT
// 0x02), as sysfs and usbfs give them.
std::vector<std::uint8_t> descriptorsFor(std::uint16_t vendor, std::uint16_t product) {
  return {18,
          USB_DT_DEVICE,
          0x00,
          0x02,
          0xFF,
          0,
          0,
          64,
          static_cast<std::uint8_t>(vendor),
          static_cast<std::uint8_t>(vendor >> 8),
          static_cast<std::uint8_t>(product),
          static_cast<std::uint8_t>(product >> 8),
          0x00,
          0x01,
          0,
          0,
          0,
          1,
          9,
          USB_DT_CONFIG,
          39,
          0,
          1,
          1,
          0,
          0x80,
          50,
          9,
          USB_DT_INTERFACE,
          0,
          0,
          3,
          0xFF,
          0,
          0,
          0,
          7,
          USB_DT_ENDPOINT,
          0x83,
          USB_ENDPOINT_XFER_INT,
          16,
          0,
          8,
          7,
          USB_DT_ENDPOINT,
          0x81,
          USB_ENDPOINT_XFER_BULK,
          0x00,
          0x02,
          0,
          7,
          USB_DT_ENDPOINT,
          0x02,
          USB_ENDPOINT_XFER_BULK,
          0x00,
          0x02,
          0};
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

usbdevfs_urb& urbOf(UMockdevIoctlData* data) {
  return *reinterpret_cast<usbdevfs_urb*>(data->data);
}

}  // namespace

bool usbEmulationActive() { return umockdev_in_mock_environment(); }

EmulatedBus::EmulatedBus() : testbed_(umockdev_testbed_new()) {}

EmulatedBus::~EmulatedBus() { g_object_unref(testbed_); }

std::string EmulatedBus::devDirectory() const {
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  std::string dev = std::string(root) + "/dev";
  g_free(root);
  return dev;
}

EmulatedModule::EmulatedModule(EmulatedBus& bus, std::uint16_t vendor, std::uint16_t product,
                               int busNumber, int address)
    : bus_(bus),
      busNumber_(busNumber),
      address_(address),
      descriptors_(descriptorsFor(vendor, product)) {
  char name[32], ids[16];
  std::snprintf(name, sizeof name, "%d-%d", busNumber, address);
  std::snprintf(ids, sizeof ids, "%04x\n%04x", vendor, product);
  const std::string node = this->node();
  std::string record = "P: /devices/usb" + std::to_string(busNumber) + "/" + name + "\n";
  record += "N: " + node.substr(5) + "\n";
  record += "E: DEVNAME=" + node + "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n";
  record +=
      "A: busnum=" + std::to_string(busNumber) + "\nA: devnum=" + std::to_string(address) + "\n";
  record +=
      "A: idVendor=" + std::string(ids, 4) + "\nA: idProduct=" + std::string(ids + 5, 4) + "\n";
  record += "A: speed=480\nA: bConfigurationValue=1\n";
  record += "H: descriptors=" + hex(descriptors_) + "\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(bus.testbed(), record.c_str(), &error)) {
    std::string message = error->message;
    g_clear_error(&error);
    throw std::runtime_error("umockdev refuses the device: " + message);
  }
  syspath_ = "/sys/devices/usb" + std::to_string(busNumber) + "/" + name;
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedModule::handleIoctl), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(&EmulatedModule::handleRead), this);
  g_signal_connect(handler_, "client-vanished", G_CALLBACK(&EmulatedModule::vanished), this);
  if (!umockdev_testbed_attach_ioctl(bus.testbed(), node.c_str(), handler_, &error)) {
    std::string message = error->message;
    g_clear_error(&error);
    throw std::runtime_error("umockdev cannot emulate the node: " + message);
  }
}

EmulatedModule::~EmulatedModule() {
  GError* error = nullptr;
  if (!umockdev_testbed_detach_ioctl(bus_.testbed(), node().c_str(), &error)) g_clear_error(&error);
  g_signal_handlers_disconnect_by_data(handler_, this);
  g_object_unref(handler_);
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [client, state] : clients_) {
    for (auto* queue : {&state.reapable, &state.pendingReads}) {
      for (Urb& urb : *queue) drop(urb);
    }
  }
  for (auto& [client, urb] : held_) drop(urb);
}

std::string EmulatedModule::node() const {
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", busNumber_, address_);
  return node;
}

void EmulatedModule::setControlReply(std::vector<std::uint8_t> reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  reply_ = std::move(reply);
}

std::vector<SetupPacket> EmulatedModule::controls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return controls_;
}

std::vector<std::vector<std::uint8_t>> EmulatedModule::bulkWrites() {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

bool EmulatedModule::waitPendingReads(std::size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, kPatience, [&] {
    std::size_t pending = 0;
    for (auto& [client, state] : clients_) pending += state.pendingReads.size();
    return pending >= count;
  });
}

void EmulatedModule::feed(std::vector<std::uint8_t> packet) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [client, state] : clients_) {
    if (state.pendingReads.empty()) continue;
    Urb urb = state.pendingReads.front();
    state.pendingReads.pop_front();
    const int length = std::min<int>(urbOf(urb.urb).buffer_length, packet.size());
    std::memcpy(urb.buffer->data, packet.data(), length);
    end(urb, 0, length);
    state.reapable.push_back(urb);
    changed_.notify_all();
    return;
  }
  throw std::logic_error("no bulk IN transfer to feed");
}

void EmulatedModule::holdDiscards() {
  std::lock_guard<std::mutex> lock(mutex_);
  holdDiscards_ = true;
}

bool EmulatedModule::waitDiscards(std::size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, kPatience, [&] { return discards_ >= count; });
}

void EmulatedModule::releaseDiscards() {
  std::lock_guard<std::mutex> lock(mutex_);
  holdDiscards_ = false;
  for (auto& [client, urb] : held_) clients_[client].reapable.push_back(urb);
  held_.clear();
  changed_.notify_all();
}

void EmulatedModule::unplug() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gone_ = true;
    // As the kernel does on a disconnect: every transfer ends, shut down, and
    // can be reaped before the node reports the device gone.
    for (auto& [client, state] : clients_) {
      for (Urb& urb : state.pendingReads) {
        end(urb, -ESHUTDOWN, 0);
        state.reapable.push_back(urb);
      }
      state.pendingReads.clear();
    }
    changed_.notify_all();
  }
  umockdev_testbed_remove_device(bus_.testbed(), syspath_.c_str());
}

int EmulatedModule::handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  static_cast<EmulatedModule*>(self)->ioctl(client);
  return TRUE;
}

int EmulatedModule::handleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  auto& module = *static_cast<EmulatedModule*>(self);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard<std::mutex> lock(module.mutex_);
  Client& state = module.clients_[client];
  const std::size_t left = module.descriptors_.size() - state.readOffset;
  const std::size_t length = std::min<std::size_t>(left, arg->data_len);
  std::memcpy(arg->data, module.descriptors_.data() + state.readOffset, length);
  state.readOffset += length;
  umockdev_ioctl_client_complete(client, static_cast<glong>(length), 0);
  return TRUE;
}

void EmulatedModule::vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
  auto& module = *static_cast<EmulatedModule*>(self);
  std::lock_guard<std::mutex> lock(module.mutex_);
  if (module.claimedBy_ == client) module.claimedBy_ = nullptr;
  auto it = module.clients_.find(client);
  if (it == module.clients_.end()) return;
  for (auto* queue : {&it->second.reapable, &it->second.pendingReads}) {
    for (Urb& urb : *queue) drop(urb);
  }
  module.clients_.erase(it);
}

void EmulatedModule::ioctl(UMockdevIoctlClient* client) {
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::unique_lock<std::mutex> lock(mutex_);
  Client& state = clients_[client];
  if (gone_ && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
      request != USBDEVFS_RELEASEINTERFACE) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* caps = resolve(arg, 0, sizeof kCapabilities);
      std::memcpy(caps->data, &kCapabilities, sizeof kCapabilities);
      g_object_unref(caps);
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }
    case USBDEVFS_GET_SPEED:
      umockdev_ioctl_client_complete(client, USB_SPEED_HIGH, 0);
      return;
    case USBDEVFS_CONNECTINFO: {
      UMockdevIoctlData* info = resolve(arg, 0, sizeof(usbdevfs_connectinfo));
      usbdevfs_connectinfo connection{};
      connection.devnum = static_cast<unsigned>(address_);
      std::memcpy(info->data, &connection, sizeof connection);
      g_object_unref(info);
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }
    case USBDEVFS_CONTROL: {
      // Synchronous requests: libusb asks a node it did not enumerate for its
      // configuration this way.
      UMockdevIoctlData* control = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
      const auto& transfer = *reinterpret_cast<usbdevfs_ctrltransfer*>(control->data);
      int result = -1, error = EPIPE;
      if (transfer.bRequestType == USB_DIR_IN && transfer.bRequest == USB_REQ_GET_CONFIGURATION &&
          transfer.wLength >= 1) {
        UMockdevIoctlData* data = resolve(control, offsetof(usbdevfs_ctrltransfer, data), 1);
        data->data[0] = 1;
        g_object_unref(data);
        result = 1;
        error = 0;
      }
      g_object_unref(control);
      umockdev_ioctl_client_complete(client, result, error);
      return;
    }
    case USBDEVFS_CLAIMINTERFACE:
      // As the kernel: one holder of the interface, whichever process opens
      // the node next.
      if (claimedBy_ != nullptr && claimedBy_ != client) {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
      } else {
        claimedBy_ = client;
        umockdev_ioctl_client_complete(client, 0, 0);
      }
      return;
    case USBDEVFS_RELEASEINTERFACE:
      if (claimedBy_ == client) claimedBy_ = nullptr;
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    case USBDEVFS_SUBMITURB:
      submit(client, state, arg);
      return;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      reap(client, state, arg, lock);
      return;
    case USBDEVFS_DISCARDURB:
      discard(client, state, arg);
      return;
    default:
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
  }
}

void EmulatedModule::submit(UMockdevIoctlClient* client, Client& state, UMockdevIoctlData* arg) {
  UMockdevIoctlData* urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
  usbdevfs_urb& urb = urbOf(urbData);
  Urb entry{urbData, resolve(urbData, offsetof(usbdevfs_urb, buffer),
                             static_cast<std::size_t>(urb.buffer_length))};
  const std::uint8_t* bytes = entry.buffer->data;
  if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
    SetupPacket setup;
    setup.requestType = bytes[0];
    setup.request = bytes[1];
    setup.value = vkm470::byte_order::loadLe16(bytes + 2);
    setup.index = vkm470::byte_order::loadLe16(bytes + 4);
    setup.length = vkm470::byte_order::loadLe16(bytes + 6);
    int actual = setup.length;
    if ((setup.requestType & USB_DIR_IN) != 0) {
      actual = std::min<int>(actual, reply_.size());
      std::memcpy(entry.buffer->data + 8, reply_.data(), actual);
    } else {
      setup.data.assign(bytes + 8, bytes + 8 + setup.length);
    }
    controls_.push_back(setup);
    end(entry, 0, actual);
    state.reapable.push_back(entry);
  } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == 0x02) {
    // libusb cuts a long transfer into URBs; all but the first continue it.
    if ((urb.flags & USBDEVFS_URB_BULK_CONTINUATION) == 0 || writes_.empty())
      writes_.emplace_back();
    writes_.back().insert(writes_.back().end(), bytes, bytes + urb.buffer_length);
    end(entry, 0, urb.buffer_length);
    state.reapable.push_back(entry);
  } else if (urb.type == USBDEVFS_URB_TYPE_BULK && urb.endpoint == 0x81) {
    state.pendingReads.push_back(entry);
  } else {
    drop(entry);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  changed_.notify_all();
  umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedModule::reap(UMockdevIoctlClient* client, Client& state, UMockdevIoctlData* arg,
                          std::unique_lock<std::mutex>& lock) {
  // The wait lets go of the lock, and the client may vanish meanwhile (its
  // descriptor closed on another thread): look it up again afterwards.
  if (state.reapable.empty()) {
    changed_.wait_for(lock, kReapPause, [&] {
      auto it = clients_.find(client);
      return it == clients_.end() || !it->second.reapable.empty();
    });
  }
  auto it = clients_.find(client);
  if (it == clients_.end() || it->second.reapable.empty()) {
    umockdev_ioctl_client_complete(client, -1, gone_ ? ENODEV : EAGAIN);
    return;
  }
  Urb urb = it->second.reapable.front();
  it->second.reapable.pop_front();
  UMockdevIoctlData* pointer = resolve(arg, 0, sizeof(void*));
  umockdev_ioctl_data_set_ptr(pointer, 0, urb.urb);
  umockdev_ioctl_client_complete(client, 0, 0);
  g_object_unref(pointer);
  drop(urb);
}

void EmulatedModule::discard(UMockdevIoctlClient* client, Client& state, UMockdevIoctlData* arg) {
  gulong target = 0;
  std::memcpy(&target, arg->data, std::min<std::size_t>(sizeof target, arg->data_len));
  auto it = std::find_if(state.pendingReads.begin(), state.pendingReads.end(),
                         [&](const Urb& urb) { return urb.urb->client_addr == target; });
  if (it == state.pendingReads.end()) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  Urb urb = *it;
  state.pendingReads.erase(it);
  end(urb, -ENOENT, 0);
  if (holdDiscards_) {
    held_.emplace_back(client, urb);
  } else {
    state.reapable.push_back(urb);
  }
  ++discards_;
  changed_.notify_all();
  umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedModule::end(Urb& urb, int status, int actual) {
  urbOf(urb.urb).status = status;
  urbOf(urb.urb).actual_length = actual;
}

void EmulatedModule::drop(Urb& urb) {
  g_object_unref(urb.buffer);
  g_object_unref(urb.urb);
}

}  // namespace vkm470::testing
