// SPDX-License-Identifier: MIT
// What a command wants the flash to hold, page by page, and the three ways of
// getting there: compare it (verify), write what differs (write, erase), or
// write all of it (write --force).
#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core.h"

namespace vkm470::tool {

class Target {
 public:
  void put(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length);
  void put(std::uint32_t address, const Bytes& bytes) {
    put(address, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  }
  void fill(std::uint32_t address, std::uint32_t length, std::uint8_t value);

  // A stretch of flash.
  struct Span {
    std::uint32_t address;
    std::uint32_t length;
  };
  // The pages that hold a wanted byte, as runs of consecutive pages.
  std::vector<Span> pageRuns() const;
  // The wanted bytes, as runs of consecutive addresses.
  std::vector<Span> byteRuns() const;
  std::uint32_t pageCount() const { return static_cast<std::uint32_t>(pages_.size()); }
  // The wanted bytes from address from up to to, as a target of their own;
  // split moves them out of this one.
  Target part(std::uint32_t from, std::uint32_t to) const;
  Target split(std::uint32_t from, std::uint32_t to);

  // The page at address (page-aligned) as the flash should hold it, given what
  // it holds now: current with the wanted bytes put in. True when it differs.
  bool compose(std::uint32_t page, const std::uint8_t* current, std::uint8_t* wanted) const;
  // The wanted byte at address, which must be wanted.
  std::uint8_t at(std::uint32_t address) const;
  bool wanted(std::uint32_t address) const;

 private:
  struct Page {
    std::uint8_t bytes[map::kPageBytes];
    std::bitset<map::kPageBytes> wanted;
  };
  Page& page(std::uint32_t address);
  std::map<std::uint32_t, Page> pages_;  // by page address
};

// Differences between the flash and a target: the first few addresses, and
// how many bytes differ.
struct Differences {
  static constexpr std::size_t kShown = 10;
  std::vector<std::uint32_t> first;
  std::uint64_t count = 0;
  std::uint64_t bytesRead = 0;
};

Differences compare(Module& module, const Target& target, Meter& meter);

struct WriteReport {
  std::uint32_t pagesProgrammed = 0;
  std::uint32_t pagesSkipped = 0;
  std::uint64_t bytesRead = 0;
  bool verified = false;
};

// Reads the target's pages, programs the ones that differ (whole pages) and,
// when verifying, reads back what it programmed. force: programs every wanted
// byte without reading first. Before reading or programming anything over the
// cable, fails if the chip is not in 512-byte pages.
WriteReport writeTarget(Module& module, const Target& target, bool force, bool verify,
                        Meter& meter);

// "0x020200, 0x020201 and 3 more" style list of differing addresses.
std::string describe(const Differences& differences);

}  // namespace vkm470::tool
