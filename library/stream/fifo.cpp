// SPDX-License-Identifier: MIT
#include "stream/fifo.h"

#include <cstring>
#include <new>

namespace vkm470::stream {

namespace {

// Not the throwing new: a sanitizer's ends the program instead of throwing.
std::uint8_t* storage(std::uint32_t capacity) {
  auto* bytes = new (std::nothrow) std::uint8_t[capacity];
  if (bytes == nullptr) throw std::bad_alloc();
  return bytes;
}

}  // namespace

TFIFO_BASE_BYTE::TFIFO_BASE_BYTE(std::uint32_t capacity)
    : buffer(storage(capacity)), size(capacity), writePos(0), readPos(0) {}

TFIFO_BASE_BYTE::~TFIFO_BASE_BYTE() { delete[] buffer; }

bool TFIFO_BASE_BYTE::Write(const void* src, std::uint32_t len) {
  if (GetWriteFree() < len) return false;
  if (len == 0) return true;
  const auto* from = static_cast<const std::uint8_t*>(src);
  // Compared without forming writePos + len, which can pass 2^32.
  if (len < size - writePos) {
    std::memcpy(buffer + writePos, from, len);
    writePos += len;
  } else {
    // Reaches the end of the storage: the tail, then the rest from the start.
    const std::uint32_t first = size - writePos;
    std::memcpy(buffer + writePos, from, first);
    if (len != first) std::memcpy(buffer, from + first, len - first);
    writePos = len - first;
  }
  totalWritten.advance(len);
  return true;
}

bool TFIFO_BASE_BYTE::Read(void* dst, std::uint32_t len) {
  if (GetReadReady() < len) return false;
  if (len == 0) return true;
  auto* to = static_cast<std::uint8_t*>(dst);
  if (len < size - readPos) {
    std::memcpy(to, buffer + readPos, len);
    readPos += len;
  } else {
    const std::uint32_t first = size - readPos;
    std::memcpy(to, buffer + readPos, first);
    if (len != first) std::memcpy(to + first, buffer, len - first);
    readPos = len - first;
  }
  totalRead.advance(len);
  return true;
}

std::uint32_t TFIFO_BASE_BYTE::GetReadReady() {
  return totalWritten.low.load(std::memory_order_acquire) -
         totalRead.low.load(std::memory_order_acquire);
}

std::uint32_t TFIFO_BASE_BYTE::GetWriteFree() {
  return totalRead.low.load(std::memory_order_acquire) + size -
         totalWritten.low.load(std::memory_order_acquire);
}

std::uint32_t TFIFO_BASE_BYTE::GetSize() { return size; }

void TFIFO_BASE_BYTE::Clear() {
  totalWritten.reset();
  totalRead.reset();
  writePos = 0;
  readPos = 0;
}

}  // namespace vkm470::stream
