// SPDX-License-Identifier: MIT
// Serial numbers for a production run: a format with one number in it, and a
// counter file that hands each number out once, whatever crashes and however
// many stations share it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vkm470::tool {

// A printf-style format with exactly one integer field: "VKM-%06d". Parsed by
// this class, never handed to printf. Accepted: literal text (%% for a percent
// sign) and one field %d, %Nd or %0Nd (N up to 15); the serial it makes is at
// most 15 characters.
class SerialFormat {
 public:
  // The format, or nullopt with why set to the reason it is refused.
  static std::optional<SerialFormat> parse(const std::string& text, std::string& why);

  // The serial for number, or nullopt when it would be longer than 15
  // characters.
  std::optional<std::string> format(std::uint64_t number) const;

  const std::string& text() const { return text_; }

 private:
  std::string text_;
  std::string prefix_;
  std::string suffix_;
  unsigned width_ = 0;
  bool zeros_ = false;
};

// A file holding the next number as decimal text. take() locks it (flock;
// LockFileEx on Windows), reads it, writes the number after and flushes it to
// the disk before unlocking, so a number taken is never handed out again:
// not after a crash, not to another process or station on a shared folder.
// A file that does not exist, or is empty, starts at start.
class SerialCounter {
 public:
  SerialCounter(std::string path, std::uint64_t start) : path_(std::move(path)), start_(start) {}

  // Takes the next number and gives the serial the format makes of it. Fails
  // with kFailed naming the file when it cannot be locked, read or written,
  // holds no number, or when the number no longer fits the format; then no
  // number is taken.
  std::uint64_t take(const SerialFormat& format, std::string& serial);

  // The number the next take() would give, without taking it (a dry run).
  std::uint64_t peek();

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::uint64_t start_;
};

}  // namespace vkm470::tool
