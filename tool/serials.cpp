// SPDX-License-Identifier: MIT
#include "serials.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "core.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace vkm470::tool {

namespace {

constexpr std::size_t kLongest = map::kSerialFieldBytes - 1;
// More than any counter holds: 19 digits fit a 64-bit number.
constexpr std::size_t kCounterBytes = 64;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The counter's text as a number; empty text is nullopt with ok set.
std::optional<std::uint64_t> parseCounter(const std::string& text, bool& ok) {
  std::size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == ' ')) --end;
  ok = true;
  if (end == 0) return std::nullopt;
  ok = end <= 18;
  std::uint64_t value = 0;
  for (std::size_t i = 0; ok && i < end; ++i) {
    ok = isDigit(text[i]);
    value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (!ok) return std::nullopt;
  return value;
}

[[noreturn]] void counterFailed(const std::string& path, const std::string& what) {
  throw Failure(kFailed, "serial counter " + path + ": " + what);
}

std::string systemError() {
#ifdef _WIN32
  return "system error " + std::to_string(GetLastError());
#else
  return std::strerror(errno);
#endif
}

// Runs change on the counter's text under an exclusive lock on the file;
// what it returns, when not empty, is written in its place and flushed to the
// disk before the lock is let go.
void withLockedCounter(const std::string& path,
                       const std::function<std::string(const std::string&)>& change) {
#ifdef _WIN32
  HANDLE file =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) counterFailed(path, "cannot open: " + systemError());
  OVERLAPPED whole{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    const std::string error = systemError();
    CloseHandle(file);
    counterFailed(path, "cannot lock: " + error);
  }
  std::string error;
  std::string next;
  try {
    char text[kCounterBytes];
    DWORD got = 0;
    if (!ReadFile(file, text, sizeof text, &got, nullptr)) {
      error = "cannot read: " + systemError();
    } else {
      next = change(std::string(text, got));
      DWORD put = 0;
      if (!next.empty() &&
          (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
           !WriteFile(file, next.data(), static_cast<DWORD>(next.size()), &put, nullptr) ||
           put != next.size() || !SetEndOfFile(file) || !FlushFileBuffers(file)))
        error = "cannot write: " + systemError();
    }
  } catch (...) {
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file);
    throw;
  }
  UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(file);
  if (!error.empty()) counterFailed(path, error);
#else
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) counterFailed(path, std::string("cannot open: ") + systemError());
  // Closing the file lets the lock go, whatever way this ends.
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  int locked;
  while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked != 0) counterFailed(path, "cannot lock: " + systemError());
  char text[kCounterBytes];
  const ssize_t got = ::pread(fd, text, sizeof text, 0);
  if (got < 0) counterFailed(path, "cannot read: " + systemError());
  const std::string next = change(std::string(text, static_cast<std::size_t>(got)));
  if (next.empty()) return;
  // The text only grows as the number does, so writing over the old text
  // never leaves a moment where the file holds less than a whole number.
  if (::pwrite(fd, next.data(), next.size(), 0) != static_cast<ssize_t>(next.size()) ||
      (static_cast<std::size_t>(got) > next.size() &&
       ::ftruncate(fd, static_cast<off_t>(next.size())) != 0) ||
      flushData(fd) != 0)
    counterFailed(path, "cannot write: " + systemError());
#endif
}

}  // namespace

std::optional<SerialFormat> SerialFormat::parse(const std::string& text, std::string& why) {
  SerialFormat format;
  format.text_ = text;
  bool field = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::string& literal = field ? format.suffix_ : format.prefix_;
    if (text[i] != '%') {
      literal += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '%') {
      literal += '%';
      ++i;
      continue;
    }
    if (field) {
      why = "holds more than one %-field";
      return std::nullopt;
    }
    std::size_t j = i + 1;
    if (j < text.size() && text[j] == '0') {
      format.zeros_ = true;
      ++j;
    }
    std::string width;
    while (j < text.size() && isDigit(text[j])) width += text[j++];
    if (j >= text.size() || text[j] != 'd' || width.size() > 2) {
      why = "takes one integer field: %d, %Nd or %0Nd";
      return std::nullopt;
    }
    format.width_ = width.empty() ? 0 : static_cast<unsigned>(std::stoul(width));
    field = true;
    i = j;
  }
  if (!field) {
    why = "holds no %d field for the number";
    return std::nullopt;
  }
  if (format.prefix_.size() + format.suffix_.size() + std::max(format.width_, 1u) > kLongest) {
    why = "makes serials longer than 15 characters";
    return std::nullopt;
  }
  return format;
}

std::optional<std::string> SerialFormat::format(std::uint64_t number) const {
  std::string digits = std::to_string(number);
  if (digits.size() < width_) digits.insert(0, width_ - digits.size(), zeros_ ? '0' : ' ');
  std::string serial = prefix_ + digits + suffix_;
  if (serial.size() > kLongest) return std::nullopt;
  return serial;
}

std::uint64_t SerialCounter::take(const SerialFormat& format, std::string& serial) {
  std::uint64_t taken = 0;
  withLockedCounter(path_, [&](const std::string& text) {
    bool ok = false;
    taken = parseCounter(text, ok).value_or(start_);
    if (!ok) counterFailed(path_, "holds no number (decimal digits, the next one to hand out)");
    const auto made = format.format(taken);
    if (!made)
      counterFailed(path_, "number " + std::to_string(taken) + " makes a serial longer than " +
                               "15 characters with " + format.text());
    serial = *made;
    return std::to_string(taken + 1) + "\n";
  });
  return taken;
}

std::uint64_t SerialCounter::peek() {
  // A dry run writes nothing, not even a new counter file.
  if (std::FILE* exists = std::fopen(path_.c_str(), "rb")) {
    std::fclose(exists);
  } else {
    return start_;
  }
  std::uint64_t next = 0;
  withLockedCounter(path_, [&](const std::string& text) {
    bool ok = false;
    next = parseCounter(text, ok).value_or(start_);
    if (!ok) counterFailed(path_, "holds no number (decimal digits, the next one to hand out)");
    return std::string();
  });
  return next;
}

}  // namespace vkm470::tool
