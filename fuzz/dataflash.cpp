// The virtual DataFlash, two ways: one chip takes each command as line changes
// (select, SCK and SI set one at a time, SO sampled as the cable samples it),
// the other takes the same command through its whole-command entry point. Both
// run on one clock. Every answer must agree, and so must the arrays, the
// buffer, the status and the page mode at the end. The line side also gets
// what only lines can carry: either clock idle level, commands cut short, a
// buffer write cut inside a byte, clock and data noise while deselected.
#include "dataflash.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
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

// Every page a program may have reached, the buffer through a spare program,
// and the state: compared once the input is used up.
void compareEnd(DataFlash& lineChip, DataFlash& wholeChip, std::uint64_t& now,
                std::vector<std::uint32_t> pages) {
  FUZZ_CHECK(lineChip.status() == wholeChip.status(), "status 0x%02X on the lines, 0x%02X whole",
             lineChip.status(), wholeChip.status());
  FUZZ_CHECK(lineChip.pageMode() == wholeChip.pageMode(), "page modes differ");
  for (DataFlash* chip : {&lineChip, &wholeChip}) {
    chip->setStuckBusy(false);
    chip->clearFlip();
    chip->forcePageMode(PageMode::Standard);
  }
  now += 1'000'000;
  Bytes a(DataFlash::kPageBytes), b(DataFlash::kPageBytes);
  auto page = [&](const char* what, std::uint32_t number) {
    FUZZ_CHECK(lineChip.read(number << 10, a.data(), a.size()) &&
                   wholeChip.read(number << 10, b.data(), b.size()),
               "page %u could not be read at the end", number);
    if (a != b) fail("%s: page %u differs", what, number);
  };
  for (std::uint32_t number : pages) page("array", number);
  // What is left in buffer 1, programmed into the last page of each.
  constexpr std::uint32_t kSpare = DataFlash::kPages - 1;
  FUZZ_CHECK(lineChip.bufferToPage(kSpare << 10) && wholeChip.bufferToPage(kSpare << 10),
             "buffer program refused");
  now += 1'000'000;
  page("buffer 1", kSpare);
}

// The pages a program at address reaches in either page mode.
void programmed(std::vector<std::uint32_t>& pages, std::uint32_t address) {
  for (std::uint32_t page : {address >> 9, address >> 10, (address >> 10) + 1})
    pages.push_back(page % DataFlash::kPages);
}

// Puts a chip back into its factory state: the pages an input programmed
// erased, standard pages, buffer 1 erased, ready, no faults.
void factoryState(DataFlash& chip, const std::vector<std::uint32_t>& pages, std::uint64_t& now) {
  chip.setStuckBusy(false);
  chip.clearFlip();
  chip.forcePageMode(PageMode::Standard);
  for (std::uint32_t page : pages)
    for (std::uint32_t offset = 0; offset < DataFlash::kPageBytes; ++offset)
      chip.poke(page, offset, 0xFF);
  now += 1'000'000;
  chip.pageToBuffer(0);
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
  std::vector<std::uint32_t> pages;

  Input in(bytes, size);
  while (in.more()) {
    const std::uint8_t op = in.byte();
    const bool idleHigh = op & 0x80;
    switch (op & 0x7F) {
      case 0: {  // status, read once or more (it repeats)
        const std::size_t n = 1 + in.below(3);
        const Bytes got = lines.query({DataFlash::kStatusRead}, n, idleHigh);
        same("status", got, Bytes(n, whole.status()));
        break;
      }
      case 1: {  // manufacturer and device ID, then high-Z
        const std::size_t n = 1 + in.below(6);
        const Bytes got = lines.query({DataFlash::kIdRead}, n, idleHigh);
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
        break;
      }
      case 3: {
        const std::uint32_t address = address24(in);
        lines.command(addressed(DataFlash::kPageToBuffer, address), idleHigh);
        whole.pageToBuffer(address);
        break;
      }
      case 4: {
        const std::uint32_t offset = address24(in);
        const Bytes payload = data(in, kMaxData);
        Bytes command = addressed(DataFlash::kBufferWrite, offset);
        command.insert(command.end(), payload.begin(), payload.end());
        lines.command(command, idleHigh);
        whole.writeBuffer(offset, payload.data(), payload.size());
        break;
      }
      case 5: {
        const std::uint32_t address = address24(in);
        lines.command(addressed(DataFlash::kBufferToPage, address), idleHigh);
        whole.bufferToPage(address);
        programmed(pages, address);
        break;
      }
      case 6: {  // program with erase: a buffer write and a program, no time between
        const std::uint32_t address = address24(in);
        const Bytes payload = data(in, kMaxData);
        Bytes command = addressed(DataFlash::kBufferWrite, address);
        command.insert(command.end(), payload.begin(), payload.end());
        lines.command(command, idleHigh);
        lines.command(addressed(DataFlash::kBufferToPage, address), idleHigh);
        whole.programPage(address, payload.data(), payload.size());
        programmed(pages, address);
        break;
      }
      case 7: {  // the page-size configuration, or a near miss that does nothing
        Bytes command{DataFlash::kConfigure, 0x2A, 0x80, 0xA6};
        const bool exact = in.flag();
        if (!exact) command[1 + in.below(3)] ^= std::uint8_t(1 + in.below(255));
        lines.command(command, idleHigh);
        if (exact) whole.setBinaryPages();
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
        break;
      }
      case 9:  // time passes: up to about 33 ms
        now += in.u16() / 2;
        break;
      case 10: {
        const bool stuck = in.flag();
        lineChip->setStuckBusy(stuck);
        whole.setStuckBusy(stuck);
        break;
      }
      case 11: {
        const std::uint32_t address = address24(in);
        const std::uint8_t mask = in.byte();
        lineChip->flipOnRead(address, mask);
        whole.flipOnRead(address, mask);
        break;
      }
      case 12:
        lineChip->clearFlip();
        whole.clearFlip();
        break;
      case 13: {  // a command cut off before its address is complete does nothing
        static constexpr std::uint8_t kOpcodes[] = {
            DataFlash::kPageToBuffer, DataFlash::kBufferToPage, DataFlash::kBufferWrite,
            DataFlash::kConfigure, DataFlash::kContinuousRead};
        const Bytes command = addressed(kOpcodes[in.below(5)], address24(in));
        const std::uint32_t bits = in.below(32);
        lines.select(idleHigh);
        for (std::uint32_t sent = 0; sent < bits; sent += 8)
          lines.out(command[sent / 8], static_cast<int>(std::min<std::uint32_t>(8, bits - sent)));
        lines.deselect();
        break;
      }
      case 14: {  // a buffer write cut inside a data byte keeps the whole bytes
        const std::uint32_t offset = address24(in);
        const Bytes payload = data(in, kMaxData);
        const int bits = 1 + static_cast<int>(in.below(7));
        lines.select(idleHigh);
        lines.out(addressed(DataFlash::kBufferWrite, offset));
        lines.out(payload);
        lines.out(in.byte(), bits);
        lines.deselect();
        whole.writeBuffer(offset, payload.data(), payload.size());
        break;
      }
      case 15:
        lines.noise(in.byte());
        break;
      case 16: {
        const PageMode mode = in.flag() ? PageMode::Binary : PageMode::Standard;
        lineChip->forcePageMode(mode);
        whole.forcePageMode(mode);
        break;
      }
      default:
        break;
    }
  }
  compareEnd(*lineChip, whole, now, pages);
  pages.push_back(DataFlash::kPages - 1);
  factoryState(*lineChip, pages, now);
  factoryState(whole, pages, now);
  return 0;
}
