// SPDX-License-Identifier: MIT
// The nine bulk FIFO exports' USB bodies, and the bulk FIFO's part in the USB
// close. Each takes a record whose interfaceType is USB (the dispatcher has
// tested it); word counts and buffers are the caller's, in 16-bit words.
//
// The module is told of streaming by the stream request, sent before the
// workers start and after they have ended, and at no other time.
#pragma once

#include <cstdint>

#include "vkm470fapi.h"

namespace vkm470::stream {

// Sizes in bytes. Refuses with -2001, leaving an existing bulk FIFO as it was,
// block counts below 1 (or above 0x7FFFFFFF), block sizes below 512 and memory
// that cannot be obtained.
std::int32_t createBulkFifo(VKM470F_DEVICE* dev, std::uint32_t readFifoSize,
                            std::uint32_t writeFifoSize, std::uint32_t readBlockCount,
                            std::uint32_t writeBlockCount, std::uint32_t readBlockSize,
                            std::uint32_t writeBlockSize);
std::int32_t disposeBulkFifo(VKM470F_DEVICE* dev);
std::int32_t startBulkFifo(VKM470F_DEVICE* dev);
std::int32_t stopBulkFifo(VKM470F_DEVICE* dev);
std::int32_t flushBulkFifo(VKM470F_DEVICE* dev);
// Word counts above 0x7FFFFFFF (whose byte count would wrap) give -2001.
std::int32_t readBulkFifo(VKM470F_DEVICE* dev, std::uint16_t* buffer, std::uint32_t words,
                          std::uint32_t* wordsRead, std::uint32_t timeout);
std::int32_t writeBulkFifo(VKM470F_DEVICE* dev, const std::uint16_t* buffer, std::uint32_t words,
                           std::uint32_t* wordsWritten, std::uint32_t timeout);
std::int32_t getReadReady(VKM470F_DEVICE* dev, std::uint32_t* words);
std::int32_t getWriteFree(VKM470F_DEVICE* dev, std::uint32_t* words);

// The USB close's step: destroys the record's bulk FIFO, if any, once both
// workers have ended. No request goes to the module.
void destroyBulkFifo(VKM470F_DEVICE* dev);

}  // namespace vkm470::stream
