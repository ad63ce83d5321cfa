// SPDX-License-Identifier: MIT
#include "dataflash.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace vkm470::sim {

namespace {

constexpr std::uint8_t kReady = 0x80;
constexpr std::uint8_t kDensity = 0x2C;  // bits 5..2 = 1011: 16 Mbit
constexpr std::uint8_t kBinaryPagesBit = 0x01;
constexpr std::uint32_t kConfigureTail = 0x2A80A6;
constexpr std::uint32_t kSecurityUserBytes = 64;
constexpr std::uint8_t kHighZ = 0xFF;

// The buffer a buffer command works on: 1 or 2; 0 for other commands.
std::uint8_t bufferOf(std::uint8_t opcode) {
  switch (opcode) {
    case DataFlash::kPageToBuffer:
    case DataFlash::kBufferWrite:
    case DataFlash::kBufferToPage:
      return 1;
    case DataFlash::kPageToBuffer2:
    case DataFlash::kBuffer2Write:
    case DataFlash::kBuffer2ToPage:
      return 2;
    default:
      return 0;
  }
}

}  // namespace

const std::array<std::uint8_t, 64> DataFlash::kFactoryId = {
    0x1F, 0x26, 0x4B, 0x37, 0x30, 0x00, 0x5A, 0xA5, 0x13, 0x07, 0x19, 0x62, 0xC4, 0x8E, 0x01, 0xF0,
    0x9D, 0x3B, 0x76, 0xEC, 0xD9, 0xB3, 0x67, 0xCE, 0x9C, 0x39, 0x72, 0xE4, 0xC9, 0x93, 0x27, 0x4E,
    0x9A, 0x35, 0x6A, 0xD4, 0xA9, 0x53, 0xA6, 0x4D, 0x98, 0x31, 0x62, 0xC5, 0x8B, 0x17, 0x2E, 0x5C,
    0xB8, 0x71, 0xE2, 0xC5, 0x8A, 0x15, 0x2A, 0x54, 0xA8, 0x51, 0xA2, 0x45, 0x8A, 0x14, 0x28, 0x50};

DataFlash::Registers DataFlash::factoryRegisters() {
  Registers registers{};
  std::fill_n(registers.security.begin(), kSecurityUserBytes, 0xFF);
  std::copy(kFactoryId.begin(), kFactoryId.end(), registers.security.begin() + kSecurityUserBytes);
  return registers;
}

DataFlash::DataFlash(Clock clock)
    : clock_(std::move(clock)), ownCells_(kArrayBytes + 1, 0xFF), registers_(factoryRegisters()) {
  array_ = ownCells_.data();
  binaryPages_ = array_ + kArrayBytes;
  *binaryPages_ = 0;
  for (auto& buffer : buffers_) buffer.fill(0xFF);
}

DataFlash::DataFlash(Cells cells, const Registers& registers, Clock clock)
    : clock_(std::move(clock)),
      array_(cells.array),
      binaryPages_(cells.binaryPages),
      registers_(registers) {
  for (auto& buffer : buffers_) buffer.fill(0xFF);
}

// ---- line interface

void DataFlash::beginWindow() {
  shift_ = 0;
  bitCount_ = 0;
  out_ = kHighZ;
  soHigh_ = true;
  ignoring_ = false;
  received_ = 0;
  header_ = 0;
}

void DataFlash::endWindow() {
  soHigh_ = true;
  // A command cut off inside a byte, or short of its address, does nothing.
  if (ignoring_ || bitCount_ != 0 || received_ != 4) return;
  switch (opcode_) {
    case kPageToBuffer:
    case kPageToBuffer2:
      transfer(header_, bufferOf(opcode_));
      break;
    case kBufferToPage:
    case kBuffer2ToPage:
      program(header_, bufferOf(opcode_));
      break;
    case kConfigure:
      if (header_ == kConfigureTail) configure();
      break;
    default:
      break;
  }
}

void DataFlash::byteIn(std::uint8_t byte) {
  if (ignoring_) return;
  ++received_;
  if (received_ == 1) {
    opcode_ = byte;
    ignoring_ = refuses(opcode_);
    return;
  }
  if (received_ <= 4) header_ = header_ << 8 | byte;
  switch (opcode_) {
    case kBufferWrite:
    case kBuffer2Write:
      if (received_ == 4)
        bufferPos_ = bufferOffset(header_);
      else if (received_ > 4)
        bufferPut(bufferOf(opcode_), byte);
      break;
    case kContinuousRead:
      // Four don't-care bytes follow the address.
      if (received_ == 8) startRead(header_);
      break;
    default:
      break;
  }
}

std::uint8_t DataFlash::nextOut() {
  if (ignoring_ || received_ == 0) return kHighZ;
  switch (opcode_) {
    case kStatusRead:
      return statusByte();
    case kIdRead: {
      const std::uint32_t index = received_ - 1;
      return index < 4 ? id()[index] : kHighZ;
    }
    case kProtectionRead:
    case kLockdownRead:
    case kSecurityRead:
      // Register bytes follow the opcode and three don't-care bytes.
      return received_ >= 4 ? registerByte(opcode_, received_ - 4) : kHighZ;
    case kContinuousRead:
      return received_ >= 8 ? readNext() : kHighZ;
    default:
      return kHighZ;
  }
}

// ---- array and buffer

bool DataFlash::busy() const { return stuckBusy_ || clock_() < busyUntil_; }

bool DataFlash::refuses(std::uint8_t opcode) const {
  if (opcode == kStatusRead || !busy()) return false;
  // A program or a copy ties up its own buffer only: the other one can be
  // written meanwhile. Nothing else reaches a busy chip.
  const std::uint8_t buffer =
      opcode == kBufferWrite || opcode == kBuffer2Write ? bufferOf(opcode) : 0;
  return stuckBusy_ || buffer == 0 || busyBuffer_ == 0 || buffer == busyBuffer_;
}

void DataFlash::startBusy(std::uint32_t microseconds, std::uint8_t buffer) {
  busyUntil_ = clock_() + microseconds;
  busyBuffer_ = buffer;
}

std::uint8_t DataFlash::statusByte() const {
  return static_cast<std::uint8_t>((busy() ? 0 : kReady) | kDensity |
                                   (binary() ? kBinaryPagesBit : 0));
}

std::uint8_t DataFlash::registerByte(std::uint8_t opcode, std::uint32_t index) const {
  const auto byteOf = [index](const auto& bytes) {
    return index < bytes.size() ? bytes[index] : kHighZ;
  };
  switch (opcode) {
    case kProtectionRead:
      return byteOf(registers_.protection);
    case kLockdownRead:
      return byteOf(registers_.lockdown);
    default:
      return byteOf(registers_.security);
  }
}

std::uint32_t DataFlash::pageBytes() const { return binary() ? kBinaryPageBytes : kPageBytes; }

DataFlash::Position DataFlash::decode(std::uint32_t address) const {
  if (binary()) return {(address >> 9) % kPages, address & 0x1FF};
  Position at{(address >> 10) % kPages, address & 0x3FF};
  if (at.offset >= kPageBytes) {
    at.offset -= kPageBytes;
    at.page = (at.page + 1) % kPages;
  }
  return at;
}

std::uint32_t DataFlash::bufferOffset(std::uint32_t address) const {
  if (binary()) return address & 0x1FF;
  const std::uint32_t offset = address & 0x3FF;
  return offset >= kPageBytes ? offset - kPageBytes : offset;
}

void DataFlash::startRead(std::uint32_t address) {
  readPos_ = decode(address);
  readPageBytes_ = pageBytes();
  const Position flip = decode(flipAddress_);
  flipIndex_ = flip.page * kPageBytes + flip.offset;
}

std::uint8_t DataFlash::readNext() {
  const std::uint32_t index = readPos_.page * kPageBytes + readPos_.offset;
  const std::uint8_t byte = array_[index] ^ (index == flipIndex_ ? flipMask_ : 0);
  if (++readPos_.offset == readPageBytes_) {
    readPos_.offset = 0;
    readPos_.page = (readPos_.page + 1) % kPages;
  }
  return byte;
}

void DataFlash::transfer(std::uint32_t address, std::uint8_t buffer) {
  const std::uint32_t page = decode(address).page;
  std::copy_n(array_ + page * kPageBytes, kPageBytes, buffers_[buffer - 1].begin());
  startBusy(kTransferMicroseconds, buffer);
}

void DataFlash::program(std::uint32_t address, std::uint8_t buffer) {
  const std::uint32_t page = decode(address).page;
  const auto& from = buffers_[buffer - 1];
  std::copy(from.begin(), from.end(), array_ + page * kPageBytes);
  startBusy(programTime_ ? programTime_() : kProgramMicroseconds, buffer);
}

void DataFlash::bufferPut(std::uint8_t buffer, std::uint8_t byte) {
  buffers_[buffer - 1][bufferPos_] = byte;
  if (++bufferPos_ == pageBytes()) bufferPos_ = 0;
}

void DataFlash::configure() {
  *binaryPages_ = 1;
  startBusy(kConfigureMicroseconds, 0);
}

// ---- whole commands

std::uint8_t DataFlash::status() {
  std::lock_guard<std::mutex> lock(mutex_);
  return statusByte();
}

std::array<std::uint8_t, 4> DataFlash::id() const { return {0x1F, 0x26, 0x00, 0x00}; }

bool DataFlash::read(std::uint32_t address, std::uint8_t* out, std::size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy()) return false;
  startRead(address);
  for (std::size_t i = 0; i < n; ++i) out[i] = readNext();
  return true;
}

bool DataFlash::pageToBuffer(std::uint32_t address, std::uint8_t buffer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (refuses(buffer == 2 ? kPageToBuffer2 : kPageToBuffer)) return false;
  transfer(address, buffer == 2 ? 2 : 1);
  return true;
}

bool DataFlash::writeBuffer(std::uint32_t offset, const std::uint8_t* data, std::size_t n,
                            std::uint8_t buffer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (refuses(buffer == 2 ? kBuffer2Write : kBufferWrite)) return false;
  bufferPos_ = bufferOffset(offset);
  for (std::size_t i = 0; i < n; ++i) bufferPut(buffer == 2 ? 2 : 1, data[i]);
  return true;
}

bool DataFlash::bufferToPage(std::uint32_t address, std::uint8_t buffer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (refuses(buffer == 2 ? kBuffer2ToPage : kBufferToPage)) return false;
  program(address, buffer == 2 ? 2 : 1);
  return true;
}

bool DataFlash::programPage(std::uint32_t address, const std::uint8_t* data, std::size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy()) return false;
  bufferPos_ = bufferOffset(address);
  for (std::size_t i = 0; i < n; ++i) bufferPut(1, data[i]);
  program(address, 1);
  return true;
}

bool DataFlash::setBinaryPages() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy()) return false;
  configure();
  return true;
}

bool DataFlash::readRegister(std::uint8_t opcode, std::uint8_t* out, std::size_t n) {
  if (opcode != kProtectionRead && opcode != kLockdownRead && opcode != kSecurityRead) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy()) return false;
  for (std::size_t i = 0; i < n; ++i) out[i] = registerByte(opcode, static_cast<std::uint32_t>(i));
  return true;
}

// ---- direct access and faults

std::uint32_t DataFlash::cellIndex(std::uint32_t page, std::uint32_t offset) {
  const std::uint64_t index = std::uint64_t{page} * kPageBytes + offset;
  if (index >= kArrayBytes) throw std::out_of_range("DataFlash cell");
  return static_cast<std::uint32_t>(index);
}

std::uint8_t DataFlash::peek(std::uint32_t page, std::uint32_t offset) {
  std::lock_guard<std::mutex> lock(mutex_);
  return array_[cellIndex(page, offset)];
}

void DataFlash::poke(std::uint32_t page, std::uint32_t offset, std::uint8_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  array_[cellIndex(page, offset)] = value;
}

PageMode DataFlash::pageMode() {
  std::lock_guard<std::mutex> lock(mutex_);
  return binary() ? PageMode::Binary : PageMode::Standard;
}

void DataFlash::forcePageMode(PageMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  *binaryPages_ = mode == PageMode::Binary ? 1 : 0;
}

void DataFlash::setProgramTime(std::function<std::uint32_t()> microseconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  programTime_ = std::move(microseconds);
}

void DataFlash::setStuckBusy(bool stuck) {
  std::lock_guard<std::mutex> lock(mutex_);
  stuckBusy_ = stuck;
}

void DataFlash::flipOnRead(std::uint32_t address, std::uint8_t mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  flipAddress_ = address;
  flipMask_ = mask;
}

void DataFlash::clearFlip() {
  std::lock_guard<std::mutex> lock(mutex_);
  flipMask_ = 0;
}

}  // namespace vkm470::sim
