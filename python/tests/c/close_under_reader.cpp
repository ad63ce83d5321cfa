// SPDX-License-Identifier: MIT
// The Python package's rule for a close under a reader, done in C++ on the
// exports: a reader and a writer work in short slices and pass a gate; a
// close (of the module, of the stream, or a new stream in its place) tells
// them to leave, waits until no call is in flight, and only then stops,
// disposes of and frees. Under ThreadSanitizer this shows that the protocol
// leaves no call of the library overlapping a close.
//
// Usage: close_under_reader VKM470SIM FOLDER
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vkm470fapi.h"

namespace {

constexpr std::uint32_t kSliceMs = 25;

// Shared passage for the reads and writes, exclusive for the close.
class Gate {
 public:
  // False once a close has begun: the caller leaves.
  bool enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closing_) return false;
    ++active_;
    return true;
  }
  void leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--active_ == 0) idle_.notify_all();
  }
  // Stops new calls and waits for the calls in flight to return.
  void close() {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    idle_.wait(lock, [this] { return active_ == 0; });
  }
  int active() {
    std::lock_guard<std::mutex> lock(mutex_);
    return active_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  int active_ = 0;
  bool closing_ = false;
};

int failures = 0;

void expect(bool ok, const std::string& what) {
  if (!ok) {
    std::fprintf(stderr, "FAILED: %s\n", what.c_str());
    ++failures;
  }
}

// Reads (or writes) slice by slice until the gate turns it away; counts words.
void worker(VKM470F_DEVICE* dev, Gate* gate, bool reading, std::atomic<std::uint64_t>* moved) {
  std::vector<std::uint16_t> words(4096);
  for (std::uint16_t i = 0; i < words.size(); ++i) words[i] = i;
  for (;;) {
    if (!gate->enter()) return;
    std::uint32_t count = 0;
    const std::int32_t status =
        reading ? VKM470F_ReadBulkFIFO(dev, words.data(), 4096, &count, kSliceMs)
                : VKM470F_WriteBulkFIFO(dev, words.data(), 4096, &count, kSliceMs);
    gate->leave();
    *moved += count;
    if (status != VKM470F_SUCCESS && status != VKM470F_ERR_READER_STOPPED &&
        status != VKM470F_ERR_WRITER_STOPPED) {
      expect(false, "a slice returned " + std::to_string(status));
      return;
    }
  }
}

enum class Closer { kModule, kStream, kNewStream };

void closeUnderWorkers(Closer closer, const char* name) {
  VKM470F_DEVICE dev{};
  dev.interfaceType = VKM470F_INTERFACE_USB;
  if (VKM470F_OpenDevice(&dev, 0) != 0) {
    expect(false, std::string(name) + ": open");
    return;
  }
  expect(VKM470F_CreateBulkFIFO(&dev, 1 << 20, 1 << 20, 4, 4, 65536, 65536) == 0,
         std::string(name) + ": create");
  expect(VKM470F_StartBulkFIFO(&dev) == 0, std::string(name) + ": start");

  Gate gate;
  std::atomic<std::uint64_t> read{0}, written{0};
  std::thread reader(worker, &dev, &gate, true, &read);
  std::thread writer(worker, &dev, &gate, false, &written);
  // Close once words flow both ways, with the workers inside their calls.
  while (read.load() < 65536) std::this_thread::yield();

  gate.close();
  switch (closer) {
    case Closer::kModule:
      expect(VKM470F_CloseFullDevice(&dev) == 0, std::string(name) + ": close");
      break;
    case Closer::kStream:
      VKM470F_StopBulkFIFO(&dev);
      expect(VKM470F_DisposeBulkFIFO(&dev) == 0, std::string(name) + ": dispose");
      break;
    case Closer::kNewStream:
      expect(VKM470F_CreateBulkFIFO(&dev, 1 << 20, 1 << 20, 4, 4, 65536, 65536) == 0,
             std::string(name) + ": second create");
      break;
  }
  reader.join();
  writer.join();
  expect(gate.active() == 0, std::string(name) + ": no call in flight");
  if (closer != Closer::kModule) VKM470F_CloseFullDevice(&dev);
  expect(dev.channel == nullptr && dev.bulkFifo == nullptr, std::string(name) + ": freed");
}

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status != 0) std::fprintf(stderr, "FAILED: %s\n", command.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: close_under_reader VKM470SIM FOLDER\n");
    return 2;
  }
  const std::string sim = argv[1], folder = argv[2];
  const std::string image = folder + "/module.img";
  setenv("VKM470_DEVICES", (folder + "/devices").c_str(), 1);
  if (run("rm -rf '" + folder + "' && mkdir -p '" + folder + "'") != 0 ||
      run("'" + sim + "' create '" + image + "' >/dev/null") != 0 ||
      run("'" + sim + "' attach '" + image + "' >/dev/null") != 0)
    return 1;
  closeUnderWorkers(Closer::kModule, "module closed");
  closeUnderWorkers(Closer::kStream, "stream closed");
  closeUnderWorkers(Closer::kNewStream, "new stream");
  if (failures == 0) std::printf("every close waited for the calls in flight\n");
  return failures == 0 ? 0 : 1;
}
