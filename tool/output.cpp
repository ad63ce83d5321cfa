// SPDX-License-Identifier: MIT
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vkm470::tool {

namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& path, const char* what) {
  throw Failure(kFailed, "cannot " + std::string(what) + " " + path + ": " + std::strerror(errno));
}

#ifndef _WIN32

constexpr char kImageMagic[] = "VKM470MI";

struct Descriptor {
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int fd;
};

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The file a chain of links ends at: the file that a link names (a device
// directory entry, say) is replaced, not the link.
fs::path linkTarget(fs::path path) {
  std::error_code ec;
  for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(path, ec)); ++hops) {
    const fs::path next = fs::read_symlink(path, ec);
    if (ec) break;
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return path;
}

bool isModuleImage(int fd) {
  char magic[sizeof kImageMagic - 1];
  return ::pread(fd, magic, sizeof magic, 0) == static_cast<ssize_t>(sizeof magic) &&
         std::memcmp(magic, kImageMagic, sizeof magic) == 0;
}

// Takes read locks on the two bytes that a module's open sides lock for
// writing, on an open file description of this process's own: while they are
// held no side of the module opens. False when a side is open now.
bool holdImage(int fd) {
  struct flock record {};
  record.l_type = F_RDLCK;
  record.l_whence = SEEK_SET;
  record.l_start = 0;
  record.l_len = 2;
  if (::fcntl(fd, F_OFD_SETLK, &record) == 0) return true;
  if (errno == EAGAIN || errno == EACCES) return false;
  // A file system without these locks holds no module in use.
  return true;
}

#endif

}  // namespace

void replaceFile(const std::string& path, const Bytes& data) {
#ifdef _WIN32
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!file) fail(path, "open");
  if (std::fwrite(data.data(), 1, data.size(), file.get()) != data.size() ||
      std::fflush(file.get()) != 0)
    fail(path, "write");
#else
  const fs::path target = linkTarget(path);
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (!exists && errno != ENOENT) fail(path, "examine");
  if (exists && S_ISDIR(old.st_mode)) {
    errno = EISDIR;
    fail(path, "write");
  }
  if (exists && !S_ISREG(old.st_mode)) {
    // A device or a pipe: there is no file to replace.
    Descriptor fd(::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (fd.fd < 0) fail(path, "open");
    if (!writeAll(fd.fd, data.data(), data.size())) fail(path, "write");
    const int closed = ::close(fd.fd);
    fd.fd = -1;
    if (closed != 0) fail(path, "write");
    return;
  }
  // Held (when it is a module image) until the new file has taken its name.
  Descriptor held(exists ? ::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                         : -1);
  if (held.fd >= 0 && isModuleImage(held.fd) && !holdImage(held.fd))
    throw Failure(kFailed, path + ": a module image in use by a program; left as it is");

  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string temporary = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  Descriptor fd(::mkstemp(temporary.data()));
  if (fd.fd < 0) fail(path, "create");
  // mkstemp makes the file private: it gets the old file's mode, or the usual one.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const bool written = ::fchmod(fd.fd, exists ? old.st_mode & 07777 : 0666 & ~mask) == 0 &&
                       writeAll(fd.fd, data.data(), data.size()) && ::fsync(fd.fd) == 0;
  const int closed = ::close(fd.fd);
  fd.fd = -1;
  if (!written || closed != 0 || ::rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    fail(path, "write");
  }
#endif
}

}  // namespace vkm470::tool
