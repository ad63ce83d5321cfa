// SPDX-License-Identifier: MIT
#include "record.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: bcrypt.h takes its types from it.
#include <bcrypt.h>
#else
#include <fcntl.h>
#include <nettle/sha2.h>
#include <unistd.h>
#endif

namespace vkm470::tool {

namespace {

std::string hexDigits(const std::uint8_t* bytes, std::size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

// Lines hold whatever bytes file names and serials hold; invalid UTF-8 is
// replaced, so that every line stays JSON.
std::string dumpLine(const Json& object) {
  return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string sha256Hex(const std::uint8_t* bytes, std::size_t length) {
  std::uint8_t digest[32];
#ifdef _WIN32
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok =
      BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
  ok = ok && BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  // BCryptHashData takes a ULONG length: large inputs go in pieces.
  for (std::size_t done = 0; ok && done < length;) {
    const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(length - done, 1u << 30));
    ok = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(bytes + done), piece, 0));
    done += piece;
  }
  ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0));
  if (hash != nullptr) BCryptDestroyHash(hash);
  if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!ok) throw Failure(kFailed, "SHA-256 is not available from the system (BCrypt)");
#else
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, length, bytes);
  sha256_digest(&context, sizeof digest, digest);
#endif
  return hexDigits(digest, sizeof digest);
}

Json imageRecord(const char* area, const std::string& file, std::uint32_t address,
                 const Bytes& bytes) {
  return Json{{"area", area},
              {"file", file},
              {"address", address},
              {"bytes", bytes.size()},
              {"sha256", sha256Hex(bytes.data(), bytes.size())}};
}

std::string utcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis));
  return text;
}

std::string hostName() {
#ifdef _WIN32
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = sizeof name;
  if (!GetComputerNameA(name, &length)) return "";
  return std::string(name, length);
#else
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
#endif
}

LogFile::LogFile(const std::string& path) : path_(path) {
#ifdef _WIN32
  // FILE_APPEND_DATA alone: every write goes to the end of the file, as
  // O_APPEND does, also with other processes writing.
  handle_ = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE)
    throw Failure(kFailed, "cannot open the log " + path + " (system error " +
                               std::to_string(GetLastError()) + ")");
#else
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) throw Failure(kFailed, "cannot open the log " + path + ": " + std::strerror(errno));
#endif
}

LogFile::~LogFile() {
#ifdef _WIN32
  CloseHandle(handle_);
#else
  ::close(fd_);
#endif
}

bool LogFile::append(const Json& object, std::string& why) {
  const std::string text = dumpLine(object);
  std::lock_guard<std::mutex> lock(mutex_);
#ifdef _WIN32
  DWORD put = 0;
  if (!WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) ||
      put != text.size() || !FlushFileBuffers(handle_)) {
    why = "writing the log " + path_ + " failed (system error " + std::to_string(GetLastError()) +
          ")";
    return false;
  }
#else
  ssize_t put;
  while ((put = ::write(fd_, text.data(), text.size())) < 0 && errno == EINTR) {
  }
  if (put != static_cast<ssize_t>(text.size()) || flushData(fd_) != 0) {
    why = "writing the log " + path_ + " failed: " +
          (put >= 0 && put != static_cast<ssize_t>(text.size()) ? std::string("short write")
                                                                : std::strerror(errno));
    return false;
  }
#endif
  return true;
}

Record::Record(std::string command, Json images, const std::string& logPath)
    : command_(std::move(command)), images_(std::move(images)), host_(hostName()) {
  if (!logPath.empty()) log_ = std::make_unique<LogFile>(logPath);
}

ModuleNote& Record::begin(const DeviceId& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  ModuleNote& note = notes_[id.name()];
  note = ModuleNote{};
  return note;
}

Json Record::line(const DeviceId& id, const ModuleNote& note, const Result& result,
                  double seconds) {
  const Json& r = result.json;
  auto field = [&](const char* name) { return r.contains(name) ? r[name] : Json(nullptr); };
  Json verified = note.verified;
  if (r.contains("differences")) verified = r["differences"] == 0;
  if (verified.is_null() && result.exit == kDone && r.contains("verified"))
    verified = r["verified"].get<bool>() ? Json(true) : Json(nullptr);
  Json object{{"time", utcNow()},
              {"host", host_},
              {"tool", VKM470_VERSION},
              {"command", command_},
              {"module", id.name()},
              {"serial", note.serial},
              {"serial_number", note.serialNumber},
              {"void", note.voided},
              {"images", images_},
              {"pages_programmed", field("pages_programmed")},
              {"pages_skipped", field("pages_skipped")},
              {"verified", verified},
              {"seconds", static_cast<double>(static_cast<long long>(seconds * 1000 + 0.5)) / 1000},
              {"status", result.exit},
              {"error", result.error.empty() ? Json(nullptr) : Json(result.error)}};
  return object;
}

void Record::finish(const DeviceId& id, Result& result, double seconds) {
  ModuleNote note;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    note = notes_[id.name()];
  }
  // A failure after the serial was written leaves it written; a failure
  // between taking the number and writing it voids the number.
  Json object = line(id, note, result, seconds);
  std::string why;
  if (log_ && !log_->append(object, why)) {
    result.exit = std::max(result.exit, static_cast<int>(kFailed));
    result.error = result.error.empty() ? id.name() + ": " + why : result.error + "; " + why;
    result.summary = result.error;
    object["status"] = result.exit;
    object["error"] = result.error;
  }
  object.erase("time");
  object.erase("host");
  object.erase("tool");
  object.erase("command");
  for (auto& [key, value] : object.items()) result.json[key] = value;
}

void Record::abandon(const DeviceId& id, double seconds) {
  Result result;
  result.exit = kFailed;
  result.error = id.name() + ": aborted, left partly written";
  ModuleNote note;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    note = notes_[id.name()];
  }
  std::string why;
  if (log_) log_->append(line(id, note, result, seconds), why);
}

std::string Record::digestLines() const {
  std::string text;
  for (const Json& image : images_) {
    char line[256];
    std::snprintf(line, sizeof line, "%-12s %10llu bytes  sha256 %.16s  ",
                  image["area"].get<std::string>().c_str(),
                  static_cast<unsigned long long>(image["bytes"].get<std::uint64_t>()),
                  image["sha256"].get<std::string>().c_str());
    text += line + image["file"].get<std::string>() + "\n";
  }
  return text;
}

Json readSerial(Module& module) {
  std::uint8_t field[map::kSerialFieldBytes];
  NoMeter quiet;
  module.read(map::kSerialAddress, field, sizeof field, quiet);
  const auto serial = map::decodeSerial(field);
  if (!serial) return nullptr;
  return serialText(serial);
}

}  // namespace vkm470::tool
