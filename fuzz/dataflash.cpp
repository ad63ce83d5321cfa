// SPDX-License-Identifier: MIT
// The virtual DataFlash, two ways and against a model: one chip takes each
// command as line changes (select, SCK and SI set one at a time, SO sampled as
// the cable samples it), the other takes the same command through its
// whole-command entry point. Both run on one clock. Beside them runs a model
// of the chip written here from the data sheet's rules alone (the array as one
// line of bytes, two buffers, what a busy chip takes), so that a fault the two
// chips share still shows. Every answer must agree, and so must the arrays,
// both buffers, the status and the page mode at the end. The line side also
// gets what only lines can carry: either clock idle level, commands cut short,
// a buffer write cut inside a byte, clock and data noise while deselected.
#include "dataflash.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "fuzz.h"

namespace {

using vkm470::fuzz::fail;
using vkm470::fuzz::Input;
using vkm470::sim::DataFlash;
using vkm470::sim::PageMode;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMaxData = 1100;  // past one page in either mode

// Drives a chip through its lines, one line change per call.
class Lines {
 public:
  explicit Lines(DataFlash& chip) : chip_(chip) {}

  // Opens a select window with the clock idling low (false) or high (true).
  void select(bool clockIdlesHigh) {
    idleHigh_ = clockIdlesHigh;
    set(true, idleHigh_, si_);
    set(false, idleHigh_, si_);
  }
  void deselect() { set(true, sck_, si_); }

  void out(std::uint8_t byte, int bits = 8) {
    for (int bit = 7; bit > 7 - bits; --bit) clock((byte >> bit) & 1);
  }
  void out(const Bytes& bytes) {
    for (std::uint8_t byte : bytes) out(byte);
  }
  // Clocks n bytes in with SI high; SO is sampled once the falling edge has
  // moved it, as the cable samples it after the rising edge.
  Bytes in(std::size_t n) {
    Bytes bytes(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
      for (int bit = 7; bit >= 0; --bit) {
        if (idleHigh_) {
          set(false, false, true);
          set(false, true, true);
          if (chip_.soHigh()) bytes[i] |= std::uint8_t(1u << bit);
        } else {
          set(false, false, true);
          if (chip_.soHigh()) bytes[i] |= std::uint8_t(1u << bit);
          set(false, true, true);
        }
      }
    }
    if (!idleHigh_) set(false, false, true);
    return bytes;
  }

  // SCK and SI changes with select high, which the chip must ignore.
  void noise(std::uint8_t pattern) {
    for (int bit = 0; bit < 8; ++bit) set(true, (pattern >> bit) & 1, (pattern >> (7 - bit)) & 1);
  }

  void command(const Bytes& bytes, bool clockIdlesHigh) {
    select(clockIdlesHigh);
    out(bytes);
    deselect();
  }
  Bytes query(const Bytes& bytes, std::size_t n, bool clockIdlesHigh) {
    select(clockIdlesHigh);
    out(bytes);
    Bytes answer = in(n);
    deselect();
    return answer;
  }

 private:
  // One bit in mode 3 (clock idles high: fall, then rise) or mode 0 (rise,
  // then fall); SI is set while the clock is low, or before the rise.
  void clock(bool bit) {
    if (idleHigh_) {
      set(false, false, bit);
      set(false, true, bit);
    } else {
      set(false, false, bit);
      set(false, true, bit);
      set(false, false, bit);
    }
  }
  void set(bool selectHigh, bool sckHigh, bool siHigh) {
    std::lock_guard<std::mutex> lock(chip_.mutex());
    chip_.setLines(selectHigh, sckHigh, siHigh);
    sck_ = sckHigh;
    si_ = siHigh;
  }

  DataFlash& chip_;
  bool idleHigh_ = true;
  bool sck_ = true;
  bool si_ = true;
};

// The chip as the data sheet tells it, for this target only. Addresses are
// 24 bits. In binary pages an address is page × 512 + offset; in standard
// pages page × 1024 + offset, and an offset past the page's 528 bytes runs on
// into the next page. A buffer write wraps inside the page's bytes. A copy
// or a program ties up its buffer (the other one may be written meanwhile);
// the page-size switch ties up the whole chip; a busy chip answers status
// reads only, and its output then idles high.
class Model {
 public:
  static constexpr std::uint32_t kPages = 4096;
  static constexpr std::uint32_t kPageBytes = 528;
  static constexpr std::uint32_t kArrayBytes = kPages * kPageBytes;

  explicit Model(const std::uint64_t& now) : now_(now) {
    for (auto& buffer : buffers) buffer.fill(0xFF);
  }

  bool binary = false;
  bool stuck = false;
  std::array<std::array<std::uint8_t, kPageBytes>, 2> buffers;
  std::map<std::uint32_t, std::array<std::uint8_t, kPageBytes>> pages;  // the rest erased

  std::uint8_t status() const { return (busy() ? 0x00 : 0x80) | 0x2C | (binary ? 0x01 : 0x00); }

  Bytes id(std::size_t n) const {
    static constexpr std::uint8_t kId[] = {0x1F, 0x26, 0x00, 0x00};
    Bytes out(n, 0xFF);
    if (!busy()) std::copy_n(kId, std::min<std::size_t>(n, 4), out.begin());
    return out;
  }

  Bytes read(std::uint32_t address, std::size_t n) const {
    Bytes out(n, 0xFF);
    if (busy()) return out;
    std::uint32_t at = cell(address);
    const std::uint32_t flipped = cell(flipAddress_);
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = byteAt(at) ^ (at == flipped ? flipMask_ : 0);
      ++at;
      if (binary && at % kPageBytes == 512) at += kPageBytes - 512;
      at %= kArrayBytes;
    }
    return out;
  }

  Bytes readRegister(std::uint8_t opcode, std::size_t n) const {
    const DataFlash::Registers registers = DataFlash::factoryRegisters();
    const std::uint8_t* bytes = registers.security.data();
    std::size_t size = registers.security.size();
    if (opcode == DataFlash::kProtectionRead) {
      bytes = registers.protection.data();
      size = registers.protection.size();
    } else if (opcode == DataFlash::kLockdownRead) {
      bytes = registers.lockdown.data();
      size = registers.lockdown.size();
    }
    Bytes out(n, 0xFF);
    if (!busy()) std::copy_n(bytes, std::min(n, size), out.begin());
    return out;
  }

  // buffer: 1 or 2.
  void pageToBuffer(std::uint32_t address, int buffer) {
    if (busy()) return;
    const std::uint32_t page = cell(address) / kPageBytes;
    for (std::uint32_t i = 0; i < kPageBytes; ++i)
      buffers[buffer - 1][i] = byteAt(page * kPageBytes + i);
    busyFor(DataFlash::kTransferMicroseconds, buffer);
  }
  void writeBuffer(std::uint32_t address, const Bytes& bytes, int buffer) {
    if (busy() && (stuck || busyBuffer_ == 0 || busyBuffer_ == buffer)) return;
    const std::uint32_t size = binary ? 512 : kPageBytes;
    std::uint32_t at = binary ? address % 512 : (address % 1024) % kPageBytes;
    for (std::uint8_t byte : bytes) {
      buffers[buffer - 1][at] = byte;
      at = (at + 1) % size;
    }
  }
  void bufferToPage(std::uint32_t address, int buffer) {
    if (busy()) return;
    pages[cell(address) / kPageBytes] = buffers[buffer - 1];
    busyFor(DataFlash::kProgramMicroseconds, buffer);
  }
  void configure() {
    if (busy()) return;
    binary = true;
    busyFor(DataFlash::kConfigureMicroseconds, 0);
  }
  void flip(std::uint32_t address, std::uint8_t mask) {
    flipAddress_ = address;
    flipMask_ = mask;
  }

  std::uint8_t byteAt(std::uint32_t at) const {
    const auto page = pages.find(at / kPageBytes);
    return page == pages.end() ? 0xFF : page->second[at % kPageBytes];
  }

 private:
  bool busy() const { return stuck || now_ < busyUntil_; }
  void busyFor(std::uint32_t microseconds, int buffer) {
    busyUntil_ = now_ + microseconds;
    busyBuffer_ = buffer;
  }
  // Where an address falls in the array seen as one line of bytes.
  std::uint32_t cell(std::uint32_t address) const {
    if (binary) return (address >> 9) % kPages * kPageBytes + address % 512;
    return ((address >> 10) % kPages * kPageBytes + address % 1024) % kArrayBytes;
  }

  const std::uint64_t& now_;
  std::uint64_t busyUntil_ = 0;
  int busyBuffer_ = 0;
  std::uint32_t flipAddress_ = 0;
  std::uint8_t flipMask_ = 0;
};

Bytes addressed(std::uint8_t opcode, std::uint32_t address) {
  return {opcode, std::uint8_t(address >> 16), std::uint8_t(address >> 8), std::uint8_t(address)};
}

std::uint32_t address24(Input& in) { return in.u32() & 0xFFFFFF; }

Bytes data(Input& in, std::size_t limit) {
  Bytes bytes(in.below(static_cast<std::uint32_t>(limit) + 1));
  const std::size_t got = in.take(bytes.data(), bytes.size());
  for (std::size_t i = got; i < bytes.size(); ++i) bytes[i] = std::uint8_t(i * 37 + 11);
  return bytes;
}

void same(const char* what, const Bytes& lines, const Bytes& whole) {
  if (lines == whole) return;
  std::size_t i = 0;
  while (i < lines.size() && i < whole.size() && lines[i] == whole[i]) ++i;
  fail("%s: %zu bytes on the lines, %zu whole; first difference at %zu: 0x%02X / 0x%02X", what,
       lines.size(), whole.size(), i, i < lines.size() ? lines[i] : 0,
       i < whole.size() ? whole[i] : 0);
}

bool ready(DataFlash& chip) { return chip.status() & 0x80; }

// Every page a program may have reached and both buffers, through a spare
// program each, and the state: compared once the input is used up, between
// the chips and with the model.
constexpr std::uint32_t kSpare[] = {DataFlash::kPages - 1, DataFlash::kPages - 2};

void compareEnd(DataFlash& lineChip, DataFlash& wholeChip, const Model& model, std::uint64_t& now,
                const std::vector<std::uint32_t>& pages) {
  FUZZ_CHECK(lineChip.status() == wholeChip.status(), "status 0x%02X on the lines, 0x%02X whole",
             lineChip.status(), wholeChip.status());
  FUZZ_CHECK(lineChip.status() == model.status(), "status 0x%02X on the lines, 0x%02X modelled",
             lineChip.status(), model.status());
  FUZZ_CHECK(lineChip.pageMode() == wholeChip.pageMode(), "page modes differ");
  FUZZ_CHECK((lineChip.pageMode() == PageMode::Binary) == model.binary,
             "page mode differs from the model's");
  for (DataFlash* chip : {&lineChip, &wholeChip}) {
    chip->setStuckBusy(false);
    chip->clearFlip();
    chip->forcePageMode(PageMode::Standard);
  }
  now += 1'000'000;
  Bytes a(DataFlash::kPageBytes), b(DataFlash::kPageBytes), want(DataFlash::kPageBytes);
  auto page = [&](const char* what, std::uint32_t number, const std::uint8_t* modelled) {
    FUZZ_CHECK(lineChip.read(number << 10, a.data(), a.size()) &&
                   wholeChip.read(number << 10, b.data(), b.size()),
               "page %u could not be read at the end", number);
    if (a != b) fail("%s: page %u differs between the chips", what, number);
    if (!std::equal(a.begin(), a.end(), modelled)) {
      const std::size_t at = std::mismatch(a.begin(), a.end(), modelled).first - a.begin();
      fail("%s: page %u differs from the model's at byte %zu: 0x%02X / 0x%02X", what, number, at,
           a[at], modelled[at]);
    }
  };
  for (std::uint32_t number : pages) {
    for (std::uint32_t i = 0; i < DataFlash::kPageBytes; ++i)
      want[i] = model.byteAt(number * DataFlash::kPageBytes + i);
    page("array", number, want.data());
  }
  // What is left in each buffer, programmed into a spare page of its own.
  for (std::uint8_t buffer : {1, 2}) {
    const std::uint32_t spare = kSpare[buffer - 1];
    FUZZ_CHECK(
        lineChip.bufferToPage(spare << 10, buffer) && wholeChip.bufferToPage(spare << 10, buffer),
        "buffer %u program refused", buffer);
    now += 1'000'000;
    page(buffer == 1 ? "buffer 1" : "buffer 2", spare, model.buffers[buffer - 1].data());
  }
}

// The pages a program at address reaches in either page mode.
void programmed(std::vector<std::uint32_t>& pages, std::uint32_t address) {
  for (std::uint32_t page : {address >> 9, address >> 10, (address >> 10) + 1})
    pages.push_back(page % DataFlash::kPages);
}

// Puts a chip back into its factory state: the pages an input programmed
// erased, standard pages, both buffers erased, ready, no faults.
void factoryState(DataFlash& chip, const std::vector<std::uint32_t>& pages, std::uint64_t& now) {
  chip.setStuckBusy(false);
  chip.clearFlip();
  chip.forcePageMode(PageMode::Standard);
  for (std::uint32_t page : pages)
    for (std::uint32_t offset = 0; offset < DataFlash::kPageBytes; ++offset)
      chip.poke(page, offset, 0xFF);
  for (std::uint8_t buffer : {1, 2}) {
    now += 1'000'000;
    chip.pageToBuffer(0, buffer);
  }
  now += 1'000'000;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  // One pair of chips for every input, put back into the factory state after
  // each: two 2-MiB arrays per input would cost more than the input.
  static std::uint64_t now = 0;
  static const DataFlash::Clock clock = [] { return now; };
  static DataFlash* const lineChip = new DataFlash(clock);
  static DataFlash* const wholeChip = new DataFlash(clock);
  Lines lines(*lineChip);
  DataFlash& whole = *wholeChip;
  Model model(now);
  std::vector<std::uint32_t> pages;

  // Opcodes of buffer 1 and of buffer 2.
  static constexpr std::uint8_t kToBuffer[] = {DataFlash::kPageToBuffer, DataFlash::kPageToBuffer2};
  static constexpr std::uint8_t kWrite[] = {DataFlash::kBufferWrite, DataFlash::kBuffer2Write};
  static constexpr std::uint8_t kToPage[] = {DataFlash::kBufferToPage, DataFlash::kBuffer2ToPage};

  Input in(bytes, size);
  while (in.more()) {
    const std::uint8_t op = in.byte();
    const bool idleHigh = op & 0x80;
    // Buffer commands: 3 to 6 on buffer 1, 17 to 20 the same on buffer 2.
    const std::uint8_t buffer = (op & 0x7F) >= 17 ? 2 : 1;
    switch (op & 0x7F) {
      case 0: {  // status, read once or more (it repeats)
        const std::size_t n = 1 + in.below(3);
        const Bytes got = lines.query({DataFlash::kStatusRead}, n, idleHigh);
        same("status", got, Bytes(n, whole.status()));
        same("status (model)", got, Bytes(n, model.status()));
        break;
      }
      case 1: {  // manufacturer and device ID, then high-Z
        const std::size_t n = 1 + in.below(6);
        const Bytes got = lines.query({DataFlash::kIdRead}, n, idleHigh);
        same("ID (model)", got, model.id(n));
        // The whole-command ID answers a busy chip too; the lines do not.
        if (!ready(whole)) break;
        const std::array<std::uint8_t, 4> id = whole.id();
        Bytes want(n, 0xFF);
        std::copy_n(id.begin(), std::min<std::size_t>(n, 4), want.begin());
        same("ID", got, want);
        break;
      }
      case 2: {  // continuous read, four don't-care bytes after the address
        const std::uint32_t address = address24(in);
        const std::size_t n = in.below(kMaxData + 1);
        Bytes header = addressed(DataFlash::kContinuousRead, address);
        for (int i = 0; i < 4; ++i) header.push_back(in.byte());
        const Bytes got = lines.query(header, n, idleHigh);
        Bytes want(n);
        if (!whole.read(address, want.data(), n)) want.assign(n, 0xFF);
        same("read", got, want);
        same("read (model)", got, model.read(address, n));
        break;
      }
      case 3:
      case 17: {  // main memory page to buffer
        const std::uint32_t address = address24(in);
        lines.command(addressed(kToBuffer[buffer - 1], address), idleHigh);
        whole.pageToBuffer(address, buffer);
        model.pageToBuffer(address, buffer);
        break;
      }
      case 4:
      case 18: {  // buffer write
        const std::uint32_t offset = address24(in);
        const Bytes payload = data(in, kMaxData);
        Bytes command = addressed(kWrite[buffer - 1], offset);
        command.insert(command.end(), payload.begin(), payload.end());
        lines.command(command, idleHigh);
        whole.writeBuffer(offset, payload.data(), payload.size(), buffer);
        model.writeBuffer(offset, payload, buffer);
        break;
      }
      case 5:
      case 19: {  // buffer to main memory page program with built-in erase
        const std::uint32_t address = address24(in);
        lines.command(addressed(kToPage[buffer - 1], address), idleHigh);
        whole.bufferToPage(address, buffer);
        model.bufferToPage(address, buffer);
        programmed(pages, address);
        break;
      }
      case 6:
      case 20: {  // program with erase: a buffer write and a program, no time between
        const std::uint32_t address = address24(in);
        const Bytes payload = data(in, kMaxData);
        Bytes command = addressed(kWrite[buffer - 1], address);
        command.insert(command.end(), payload.begin(), payload.end());
        lines.command(command, idleHigh);
        lines.command(addressed(kToPage[buffer - 1], address), idleHigh);
        // The whole-command program takes an idle chip only; a chip busy with
        // the other buffer takes the write alone, as on the lines.
        if (buffer != 1 || !whole.programPage(address, payload.data(), payload.size())) {
          whole.writeBuffer(address, payload.data(), payload.size(), buffer);
          whole.bufferToPage(address, buffer);
        }
        model.writeBuffer(address, payload, buffer);
        model.bufferToPage(address, buffer);
        programmed(pages, address);
        break;
      }
      case 7: {  // the page-size configuration, or a near miss that does nothing
        Bytes command{DataFlash::kConfigure, 0x2A, 0x80, 0xA6};
        const bool exact = in.flag();
        if (!exact) command[1 + in.below(3)] ^= std::uint8_t(1 + in.below(255));
        lines.command(command, idleHigh);
        if (exact) {
          whole.setBinaryPages();
          model.configure();
        }
        break;
      }
      case 8: {  // one of the three registers, past its end
        static constexpr std::uint8_t kRegisters[] = {
            DataFlash::kProtectionRead, DataFlash::kLockdownRead, DataFlash::kSecurityRead};
        const std::uint8_t opcode = kRegisters[in.below(3)];
        const std::size_t n = 1 + in.below(140);
        const Bytes got = lines.query({opcode, in.byte(), in.byte(), in.byte()}, n, idleHigh);
        Bytes want(n);
        if (!whole.readRegister(opcode, want.data(), n)) want.assign(n, 0xFF);
        same("register", got, want);
        same("register (model)", got, model.readRegister(opcode, n));
        break;
      }
      case 9:  // time passes: up to about 33 ms
        now += in.u16() / 2;
        break;
      case 10: {
        const bool stuck = in.flag();
        lineChip->setStuckBusy(stuck);
        whole.setStuckBusy(stuck);
        model.stuck = stuck;
        break;
      }
      case 11: {
        const std::uint32_t address = address24(in);
        const std::uint8_t mask = in.byte();
        lineChip->flipOnRead(address, mask);
        whole.flipOnRead(address, mask);
        model.flip(address, mask);
        break;
      }
      case 12:
        lineChip->clearFlip();
        whole.clearFlip();
        model.flip(0, 0);
        break;
      case 13: {  // a command cut off before its address is complete does nothing
        static constexpr std::uint8_t kOpcodes[] = {
            DataFlash::kPageToBuffer,  DataFlash::kBufferToPage,   DataFlash::kBufferWrite,
            DataFlash::kConfigure,     DataFlash::kContinuousRead, DataFlash::kPageToBuffer2,
            DataFlash::kBuffer2ToPage, DataFlash::kBuffer2Write};
        const Bytes command = addressed(kOpcodes[in.below(8)], address24(in));
        const std::uint32_t bits = in.below(32);
        lines.select(idleHigh);
        for (std::uint32_t sent = 0; sent < bits; sent += 8)
          lines.out(command[sent / 8], static_cast<int>(std::min<std::uint32_t>(8, bits - sent)));
        lines.deselect();
        break;
      }
      case 14:
      case 21: {  // a buffer write cut inside a data byte keeps the whole bytes
        const std::uint8_t into = (op & 0x7F) == 21 ? 2 : 1;
        const std::uint32_t offset = address24(in);
        const Bytes payload = data(in, kMaxData);
        const int bits = 1 + static_cast<int>(in.below(7));
        lines.select(idleHigh);
        lines.out(addressed(kWrite[into - 1], offset));
        lines.out(payload);
        lines.out(in.byte(), bits);
        lines.deselect();
        whole.writeBuffer(offset, payload.data(), payload.size(), into);
        model.writeBuffer(offset, payload, into);
        break;
      }
      case 15:
        lines.noise(in.byte());
        break;
      case 16: {
        const PageMode mode = in.flag() ? PageMode::Binary : PageMode::Standard;
        lineChip->forcePageMode(mode);
        whole.forcePageMode(mode);
        model.binary = mode == PageMode::Binary;
        break;
      }
      default:
        break;
    }
  }
  for (const auto& page : model.pages) pages.push_back(page.first);
  compareEnd(*lineChip, whole, model, now, pages);
  for (std::uint32_t spare : kSpare) pages.push_back(spare);
  factoryState(*lineChip, pages, now);
  factoryState(whole, pages, now);
  return 0;
}
