// SPDX-License-Identifier: MIT
// The record of a production run: what went into which module, with which
// serial, how it ended. One JSON object per module, in the --json results and
// as one line of the log file (--log), whose fields vkm470(1) lists.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "commands.h"

namespace vkm470::tool {

// SHA-256 of bytes as 64 lower-case hex digits, from the system's library
// (nettle; BCrypt on Windows).
std::string sha256Hex(const std::uint8_t* bytes, std::size_t length);

// One image of the record: area, file, address, bytes, sha256.
Json imageRecord(const char* area, const std::string& file, std::uint32_t address,
                 const Bytes& bytes);

// "2026-03-01T09:15:02.125Z".
std::string utcNow();
std::string hostName();

// A log file of JSON Lines, shared with other processes and stations: each
// line goes in one write to the file opened for appending, then to the disk,
// so writers interleave whole lines and a crash cuts at most the last one.
class LogFile {
 public:
  // Opens (creates) the file, or fails with kFailed naming it.
  explicit LogFile(const std::string& path);
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Appends the object as one line; false with why when it did not reach the
  // disk whole.
  bool append(const Json& object, std::string& why);

 private:
  std::string path_;
  std::mutex mutex_;
#ifdef _WIN32
  void* handle_;
#else
  int fd_;
#endif
};

// What a module's job learnt on the way that its result cannot carry when it
// fails: the serial found or written, the number taken, and whether that
// number was written.
struct ModuleNote {
  Json serial = nullptr;        // text, or null (erased, or not known)
  Json serialNumber = nullptr;  // the number taken, or null
  bool voided = false;          // a number was taken and is not (yet) written
  Json verified = nullptr;      // set when the result cannot tell
};

// The record of one command on its modules.
class Record {
 public:
  // images: imageRecord()s. logPath empty: no log file.
  Record(std::string command, Json images, const std::string& logPath);

  // The module's note, fresh for each module run (a station's module plugged
  // again gets a new one). Each module's thread touches only its own.
  ModuleNote& begin(const DeviceId& id);

  // Completes a module's result with the record's fields and appends its log
  // line. A line that cannot be written fails the module: a module without
  // its record is not done.
  void finish(const DeviceId& id, Result& result, double seconds);

  // The record of a module that was left partly written (a station aborted).
  void abandon(const DeviceId& id, double seconds);

  // Each image's name, length and the first 16 digits of its SHA-256, one
  // line each, for the text output.
  std::string digestLines() const;

  const Json& images() const { return images_; }

 private:
  Json line(const DeviceId& id, const ModuleNote& note, const Result& result, double seconds);

  std::string command_;
  Json images_;
  std::string host_;
  std::unique_ptr<LogFile> log_;
  std::mutex mutex_;
  std::map<std::string, ModuleNote> notes_;
};

// Reads the module's serial field: its text, or null when erased.
Json readSerial(Module& module);

}  // namespace vkm470::tool
