// SPDX-License-Identifier: MIT
// A scripted module driver for the USB tests: it records every request that
// reaches the device (control requests with their QUSB_REQUEST and data stage,
// the information query, bulk reads and writes) and answers each one from a
// script: in full at once, with another byte count, with an error at once, or
// not at all until it is cancelled.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "hosted.h"
#include "vkm470fapi.h"

namespace usbtest {

using vkm470::os::Dword;
using vkm470::os::hosted::RequestKind;

// The fate of one request.
struct Reply {
  enum class Kind { Answer, Fail, Pending };
  Kind kind = Kind::Answer;
  long bytes = -1;          // bytes moved by an answer or a cancelled request; -1: all asked
  Dword error = 0;          // Fail: the completion status
  bool cancelAbort = true;  // Pending: a cancel ends it as aborted, else with success and bytes

  static Reply full() { return {}; }
  static Reply count(Dword n) { return {Kind::Answer, long(n), 0, true}; }
  static Reply fail(Dword error = vkm470::os::kErrorGenFailure) {
    return {Kind::Fail, 0, error, true};
  }
  // Completes only when cancelled, as aborted: its result cannot be collected.
  static Reply pending() { return {Kind::Pending, 0, 0, true}; }
  // Completes only when cancelled, successfully with n bytes (a transfer that
  // ended just as it was given up).
  static Reply pendingThenDone(Dword n) { return {Kind::Pending, long(n), 0, false}; }
};

// One request as the driver saw it.
struct Sent {
  RequestKind kind = RequestKind::IoControl;
  Dword code = 0;                  // I/O control code; 0 for bulk
  QUSB_REQUEST setup{};            // control requests only
  Dword length = 0;                // data-stage length (output size; input size for writes)
  std::vector<std::uint8_t> data;  // bytes to the module: direction-0 control data, bulk writes
  std::uint64_t submittedMs = 0;   // on the seam clock
  bool cancelled = false;
  Dword waitedMs = 0;  // submit to cancel on the seam clock: the time-out it was given
};

// "0B 1 0000 0000 16" (request, direction, value, index, length) for control
// requests, "info 80" for the information query, "read 16" / "write 16" for
// bulk transfers.
std::string describe(const Sent& sent);

using Log = std::vector<std::string>;

class FakeUsb : public vkm470::os::hosted::Driver, public std::enable_shared_from_this<FakeUsb> {
 public:
  std::unique_ptr<vkm470::os::hosted::Device> open(Dword access, Dword share,
                                                   Dword* error) override;

  // Configuration.
  Dword openError = 0;  // refuse every open with this error
  std::uint32_t moduleType = 41;
  std::string name = std::string("VKM470\0", 7);  // answered padded with zeros
  std::function<Reply(const Sent&)> script;       // none: every request answered in full

  // Answers reply to the control requests with this code, the others in full.
  void onRequest(std::uint16_t request, Reply reply);
  // Answers reply to bulk transfers of this kind, the others in full.
  void onBulk(RequestKind kind, Reply reply);

  // What happened.
  std::vector<Sent> sent;
  int opens = 0;
  int openHandles = 0;
  Dword lastAccess = 0;
  Dword lastShare = 0xFFFFFFFF;
  Log log() const;

  // The byte that reads answer at a position: a control read at the address
  // (index << 16 | value) + offset, a bulk read at its offset.
  static std::uint8_t pattern(std::uint32_t position) {
    return std::uint8_t(position ^ (position >> 8) ^ (position >> 16) ^ (position >> 24));
  }

  void serve(vkm470::os::hosted::Request& request);
  void cancel(vkm470::os::hosted::Request& request);

 private:
  void answer(vkm470::os::hosted::Request& request, const Sent& sent, Dword bytes);

  struct Parked {
    std::size_t index;
    Reply reply;
  };
  std::map<vkm470::os::hosted::Request*, Parked> parked_;
};

}  // namespace usbtest
