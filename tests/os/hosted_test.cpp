// SPDX-License-Identifier: MIT
// The hosted seam's own services: the device namespace, the driver's view of
// requests and cancels, and the virtual clock.
#include "hosted.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "os.h"

namespace vkm470::os::hosted {
namespace {

// A driver whose handles pass each request to the test's handler. It counts
// its open handles and records the requests it saw cancelled.
struct Script {
  std::function<void(Request&)> onSubmit = [](Request& r) { r.complete(kErrorSuccess, 0); };
  bool exclusive = false;
  bool completesCancels = false;  // cancel only records; the test completes
  std::atomic<int> openHandles{0};
  std::mutex lock;
  std::vector<Request*> cancelled;
};

class ScriptedDevice : public Device {
 public:
  explicit ScriptedDevice(std::shared_ptr<Script> script) : script_(std::move(script)) {
    ++script_->openHandles;
  }
  ~ScriptedDevice() override { --script_->openHandles; }
  void submit(Request& request) override { script_->onSubmit(request); }
  void cancel(Request& request) override {
    {
      std::lock_guard<std::mutex> lk(script_->lock);
      script_->cancelled.push_back(&request);
    }
    if (!script_->completesCancels) Device::cancel(request);
  }
  bool completesCancelledRequests() const override { return script_->completesCancels; }

 private:
  std::shared_ptr<Script> script_;
};

class ScriptedDriver : public Driver {
 public:
  explicit ScriptedDriver(std::shared_ptr<Script> script) : script_(std::move(script)) {}
  std::unique_ptr<Device> open(Dword, Dword, Dword* error) override {
    if (script_->exclusive && script_->openHandles > 0) {
      *error = kErrorSharingViolation;
      return nullptr;
    }
    return std::make_unique<ScriptedDevice>(script_);
  }

 private:
  std::shared_ptr<Script> script_;
};

Handle openPath(const std::string& path, Dword flags = kFileFlagOverlapped) {
  return CreateFile(path.c_str(), kGenericRead | kGenericWrite, 0, kOpenExisting, flags);
}

class Namespace : public ::testing::Test {
 protected:
  void SetUp() override { registerDevice("QDev9", std::make_shared<ScriptedDriver>(script_)); }
  void TearDown() override { unregisterDevice("QDev9"); }
  std::shared_ptr<Script> script_ = std::make_shared<Script>();
};

TEST_F(Namespace, ResolvesRegisteredNamesCaseInsensitively) {
  struct Case {
    const char* path;
    Dword error;  // 0: opens
  };
  const Case cases[] = {
      {"\\\\.\\QDev9", 0},           {"\\\\.\\qdev9", 0},
      {"\\\\.\\QDEV9", 0},           {"\\\\.\\QDev8", kErrorFileNotFound},
      {"QDev9", kErrorFileNotFound}, {"\\\\.\\", kErrorFileNotFound},
      {"", kErrorFileNotFound},
  };
  std::set<Handle> open;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    SetLastError(0);
    Handle h = openPath(c.path);
    if (c.error == 0) {
      ASSERT_NE(h, invalidHandle());
      EXPECT_NE(h, nullptr);
      EXPECT_TRUE(open.insert(h).second) << "handle handed out twice";
    } else {
      EXPECT_EQ(h, invalidHandle());
      EXPECT_EQ(GetLastError(), c.error);
    }
  }
  EXPECT_EQ(script_->openHandles, 3);
  for (Handle h : open) EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(script_->openHandles, 0);
}

TEST_F(Namespace, DriverRefusesASecondOpenAndUnregisteredNamesVanish) {
  script_->exclusive = true;
  Handle first = openPath("\\\\.\\QDev9");
  ASSERT_NE(first, invalidHandle());
  EXPECT_EQ(openPath("\\\\.\\QDev9"), invalidHandle());
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  CloseHandle(first);
  Handle second = openPath("\\\\.\\QDev9");
  EXPECT_NE(second, invalidHandle());
  CloseHandle(second);

  unregisterDevice("qdev9");
  EXPECT_EQ(openPath("\\\\.\\QDev9"), invalidHandle());
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(Namespace, ClosedHandleIsRefused) {
  Handle h = openPath("\\\\.\\QDev9");
  ASSERT_TRUE(CloseHandle(h));
  char byte;
  Dword n;
  EXPECT_FALSE(ReadFile(h, &byte, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_FALSE(CloseHandle(h));
}

// --- requests as the driver sees them ---

TEST_F(Namespace, DriverSeesEachRequestAndItsCompletionReachesTheCaller) {
  RequestKind kind{};
  Dword code = 0;
  std::string input;
  Dword outputSize = 0;
  Dword status = kErrorSuccess;
  Dword bytes = 0;
  script_->onSubmit = [&](Request& r) {
    kind = r.kind();
    code = r.code();
    input.assign(static_cast<const char*>(r.input()), r.inputSize());
    outputSize = r.outputSize();
    if (r.output() != nullptr) std::memset(r.output(), 'x', r.outputSize());
    r.complete(status, bytes);
  };
  Handle h = openPath("\\\\.\\QDev9", kFileAttributeNormal);
  char out[8] = {};
  Dword n = 0;

  bytes = 5;
  ASSERT_TRUE(DeviceIoControl(h, 0x22003E, "request!", 8, out, 6, &n, nullptr));
  EXPECT_EQ(kind, RequestKind::IoControl);
  EXPECT_EQ(code, 0x22003Eu);
  EXPECT_EQ(input, "request!");
  EXPECT_EQ(outputSize, 6u);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(std::string(out, 7), std::string("xxxxxx") + '\0');

  bytes = 2;
  ASSERT_TRUE(WriteFile(h, "abcd", 4, &n, nullptr));
  EXPECT_EQ(kind, RequestKind::Write);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(input, "abcd");
  EXPECT_EQ(n, 2u);

  // A driver that claims more than the buffer holds is held to the buffer.
  bytes = 1000;
  ASSERT_TRUE(ReadFile(h, out, 3, &n, nullptr));
  EXPECT_EQ(kind, RequestKind::Read);
  EXPECT_EQ(input, "");
  EXPECT_EQ(n, 3u);

  status = kErrorGenFailure;
  bytes = 1;
  EXPECT_FALSE(ReadFile(h, out, 3, &n, nullptr));
  EXPECT_EQ(GetLastError(), kErrorGenFailure);
  EXPECT_EQ(n, 1u);
  CloseHandle(h);
}

TEST_F(Namespace, CancelReachesTheDriverAndALateCompletionIsIgnored) {
  Request* parked = nullptr;
  script_->onSubmit = [&](Request& r) { parked = &r; };
  Handle h = openPath("\\\\.\\QDev9");
  Overlapped ov{};
  ov.hEvent = CreateEvent(true, false);
  char buffer[4] = {};
  Dword n = 0;
  ASSERT_FALSE(ReadFile(h, buffer, 4, &n, &ov));
  ASSERT_EQ(GetLastError(), kErrorIoPending);

  ASSERT_TRUE(CancelIo(h));
  ASSERT_EQ(script_->cancelled, std::vector<Request*>{parked});
  parked->complete(kErrorSuccess, 4);  // loses against the cancel
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, false));
  EXPECT_EQ(GetLastError(), kErrorOperationAborted);
  EXPECT_EQ(n, 0u);
  CloseHandle(h);
  CloseHandle(ov.hEvent);
}

TEST_F(Namespace, DriverThatCompletesItsCancelsEndsThemWhenItSays) {
  script_->completesCancels = true;
  std::vector<Request*> parked;
  script_->onSubmit = [&](Request& r) { parked.push_back(&r); };
  Handle h = openPath("\\\\.\\QDev9");
  Overlapped first{}, second{};
  first.hEvent = CreateEvent(false, false);
  second.hEvent = CreateEvent(false, false);
  char a[4], b[4];
  Dword n = 0;
  EXPECT_FALSE(ReadFile(h, a, 4, &n, &first));
  EXPECT_FALSE(ReadFile(h, b, 4, &n, &second));
  ASSERT_TRUE(CancelIo(h));
  ASSERT_EQ(script_->cancelled, parked);
  // Cancelled, but not over: the buffers still belong to the driver.
  EXPECT_FALSE(GetOverlappedResult(h, &first, &n, false));
  EXPECT_EQ(GetLastError(), kErrorIoIncomplete);

  parked[0]->complete(kErrorOperationAborted, 0);
  std::memcpy(b, "late", 4);
  parked[1]->complete(kErrorSuccess, 4);  // it had finished before the cancel took
  EXPECT_FALSE(GetOverlappedResult(h, &first, &n, true));
  EXPECT_EQ(GetLastError(), kErrorOperationAborted);
  ASSERT_TRUE(GetOverlappedResult(h, &second, &n, true));
  EXPECT_EQ(n, 4u);
  CloseHandle(h);
  CloseHandle(first.hEvent);
  CloseHandle(second.hEvent);
}

TEST(FaultInjection, CreationsFailAsOftenAsAskedThenSucceedAgain) {
  failCreations(Creation::Thread, 2);
  for (int i = 0; i < 2; ++i) {
    SetLastError(0);
    EXPECT_EQ(CreateThread([](void*) -> Dword { return 0; }, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), kErrorNotEnoughMemory);
  }
  Handle thread = CreateThread([](void*) -> Dword { return 0; }, nullptr, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, kInfinite), kWaitObject0);
  CloseHandle(thread);

  failCreations(Creation::Event, 1);
  EXPECT_EQ(CreateEvent(false, false), nullptr);
  Handle event = CreateEvent(false, false);
  EXPECT_NE(event, nullptr);
  CloseHandle(event);
}

TEST_F(Namespace, ClosingCancelsPendingRequestsOfEveryThreadAndReleasesTheDevice) {
  std::vector<Request*> parked;
  script_->onSubmit = [&](Request& r) { parked.push_back(&r); };
  Handle h = openPath("\\\\.\\QDev9");
  Overlapped mine{}, theirs{};
  mine.hEvent = CreateEvent(true, false);
  theirs.hEvent = CreateEvent(true, false);
  char a[4], b[4];
  Dword n;
  EXPECT_FALSE(ReadFile(h, a, 4, &n, &mine));
  std::thread([&] { EXPECT_FALSE(WriteFile(h, b, 4, &n, &theirs)); }).join();

  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(script_->cancelled.size(), 2u);
  EXPECT_EQ(script_->openHandles, 0);
  for (Overlapped* ov : {&mine, &theirs}) {
    EXPECT_EQ(WaitForSingleObject(ov->hEvent, 0), kWaitObject0);
    EXPECT_FALSE(GetOverlappedResult(h, ov, &n, false));
    EXPECT_EQ(GetLastError(), kErrorOperationAborted);
    CloseHandle(ov->hEvent);
  }
}

TEST_F(Namespace, DriverCompletesFromItsOwnThread) {
  std::thread completer;
  script_->onSubmit = [&](Request& r) {
    completer = std::thread([&r] {
      std::memcpy(r.output(), "done", 4);
      r.complete(kErrorSuccess, 4);
    });
  };
  Handle h = openPath("\\\\.\\QDev9", kFileAttributeNormal);
  char buffer[4];
  Dword n = 0;
  // A plain handle waits for the completion from the driver's thread.
  ASSERT_TRUE(ReadFile(h, buffer, 4, &n, nullptr));
  completer.join();
  EXPECT_EQ(std::string(buffer, n), "done");
  CloseHandle(h);
}

// A driver thread that completes each request as soon as it is queued, often
// while the caller is still inside its call. A request that the call reports
// done must have set its event already: the caller's next request on the same
// event clears it first, and a signal that came later would end that
// request's wait before it has completed.
TEST_F(Namespace, RequestDoneAtOnceLeavesNoSignalForTheNextOnItsEvent) {
  std::mutex lock;
  std::condition_variable queued;
  std::deque<Request*> queue;
  bool stop = false;
  script_->onSubmit = [&](Request& r) {
    {
      std::lock_guard<std::mutex> lk(lock);
      queue.push_back(&r);
    }
    queued.notify_one();
  };
  std::thread driver([&] {
    std::unique_lock<std::mutex> lk(lock);
    while (true) {
      queued.wait(lk, [&] { return stop || !queue.empty(); });
      if (stop) return;
      Request* r = queue.front();
      queue.pop_front();
      r->complete(kErrorSuccess, r->outputSize());
    }
  });
  Handle h = openPath("\\\\.\\QDev9");
  ASSERT_NE(h, invalidHandle());
  Overlapped overlapped{};
  overlapped.hEvent = CreateEvent(false, false);
  char buffer[8];
  int wrong = 0;
  for (int i = 0; i < 20000; ++i) {
    Dword n = 0;
    if (!ReadFile(h, buffer, sizeof buffer, &n, &overlapped)) {
      ASSERT_EQ(GetLastError(), kErrorIoPending);
      ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, kInfinite), kWaitObject0);
      wrong += !GetOverlappedResult(h, &overlapped, &n, false);
    }
  }
  EXPECT_EQ(wrong, 0);
  {
    std::lock_guard<std::mutex> lk(lock);
    stop = true;
  }
  queued.notify_one();
  driver.join();
  CloseHandle(overlapped.hEvent);
  CloseHandle(h);
}

// --- the device directory ---

void setDeviceDirectory(const std::string& dir) {
#if defined(_WIN32)
  _putenv_s("VKM470_DEVICES", dir.c_str());
#else
  setenv("VKM470_DEVICES", dir.c_str(), 1);
#endif
}

// Serves the entries whose file holds its word, and names that begin with it.
class WordResolver final : public Resolver {
 public:
  WordResolver(std::string word, std::shared_ptr<Script> script, std::vector<std::string>* opened)
      : word_(std::move(word)), script_(std::move(script)), opened_(opened) {}

  bool openEntry(const std::string& name, const std::string& path, Dword, Dword,
                 std::unique_ptr<Device>* device, Dword*) override {
    std::string content;
    std::ifstream(path) >> content;
    if (content != word_) return false;
    opened_->push_back(word_ + " " + name + " " + std::filesystem::path(path).filename().string());
    *device = std::make_unique<ScriptedDevice>(script_);
    return true;
  }

  bool openName(const std::string& name, Dword, Dword, std::unique_ptr<Device>* device,
                Dword* error) override {
    if (name.compare(0, word_.size(), word_) != 0) return false;
    opened_->push_back(word_ + " " + name);
    *error = kErrorSharingViolation;
    device->reset();
    return true;
  }

 private:
  std::string word_;
  std::shared_ptr<Script> script_;
  std::vector<std::string>* opened_;
};

class DeviceDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    // A random name: this fixture's address is the same in every process
    // under ThreadSanitizer, and tests run as processes side by side.
    dir_ = std::filesystem::temp_directory_path() /
           ("vkm470-devices-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(dir_);
    setDeviceDirectory(dir_.string());
    for (const char* word : {"image", "other"}) {
      resolvers_.push_back(std::make_shared<WordResolver>(word, script_, &opened_));
      registerResolver(resolvers_.back());
    }
  }
  void TearDown() override {
    for (const auto& resolver : resolvers_) unregisterResolver(resolver);
    setDeviceDirectory("");
    std::filesystem::remove_all(dir_);
  }

  std::filesystem::path dir_;
  std::shared_ptr<Script> script_ = std::make_shared<Script>();
  std::vector<std::shared_ptr<Resolver>> resolvers_;
  std::vector<std::string> opened_;
};

TEST_F(DeviceDirectory, EntryOpensThroughTheResolverOfItsKindByAnyCase) {
  std::ofstream(dir_ / "QDev4") << "other";
  Handle h = openPath("\\\\.\\qdev4");
  ASSERT_NE(h, invalidHandle());
  EXPECT_EQ(opened_, std::vector<std::string>{"other qdev4 QDev4"});
  CloseHandle(h);

  // An entry that no resolver serves is not found, and names the resolvers
  // serve without an entry are theirs.
  std::ofstream(dir_ / "QDev5") << "unknown";
  EXPECT_EQ(openPath("\\\\.\\QDev5"), invalidHandle());
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(openPath("\\\\.\\imageless"), invalidHandle());
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  EXPECT_EQ(opened_, (std::vector<std::string>{"other qdev4 QDev4", "image imageless"}));
}

TEST_F(DeviceDirectory, RegisteredDriversComeFirstAndBrokenLinksReachNoResolver) {
  std::ofstream(dir_ / "QDev7") << "image";
  registerDevice("QDev7", std::make_shared<ScriptedDriver>(script_));
  Handle h = openPath("\\\\.\\QDev7");
  EXPECT_NE(h, invalidHandle());
  CloseHandle(h);
  unregisterDevice("QDev7");
  EXPECT_TRUE(opened_.empty());

#if !defined(_WIN32)
  std::filesystem::create_symlink(dir_ / "missing", dir_ / "imageQDev6");
  EXPECT_EQ(openPath("\\\\.\\imageQDev6"), invalidHandle());
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_TRUE(opened_.empty());
#endif
}

// Both directions of the one errno map: what a driver reports for a failed
// system call, and the errno an export's caller then reads.
TEST(SystemErrors, MapBothWays) {
  struct Case {
    int errnoValue;
    Dword error;
    int back;
  };
  const Case cases[] = {
      {ENOENT, kErrorFileNotFound, ENOENT},   {ENODEV, kErrorFileNotFound, ENOENT},
      {EPERM, kErrorAccessDenied, EACCES},    {EACCES, kErrorAccessDenied, EACCES},
      {EBUSY, kErrorSharingViolation, EBUSY}, {EIO, kErrorGenFailure, EIO},
      {EINVAL, kErrorGenFailure, EIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::strerror(c.errnoValue));
    EXPECT_EQ(errorFromErrno(c.errnoValue), c.error);
    EXPECT_EQ(errnoFromError(c.error), c.back);
  }
}

#if !defined(_WIN32)
// Sets or (nullptr) unsets a variable for the test's length.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedVariable() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(DeviceDirectoryRule, VariablesSetUnsetAndEmpty) {
  struct Case {
    const char* devices;  // VKM470_DEVICES; nullptr: not set
    const char* home;
    const char* expected;  // nullptr: no directory
    const char* why;
  };
  const Case cases[] = {
      {"/d", "/h", "/d", ""},
      {"/d", nullptr, "/d", ""},
      {"/d", "", "/d", ""},
      {nullptr, "/h", "/h/.vkm470/devices", ""},
      {"", "/h", "/h/.vkm470/devices", ""},
      {nullptr, "", nullptr, "VKM470_DEVICES is not set and HOME is empty"},
      {"", "", nullptr, "VKM470_DEVICES is not set and HOME is empty"},
      {nullptr, nullptr, nullptr, "neither VKM470_DEVICES nor HOME is set"},
      {"", nullptr, nullptr, "neither VKM470_DEVICES nor HOME is set"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("VKM470_DEVICES=") + (c.devices ? c.devices : "(unset)") +
                 " HOME=" + (c.home ? c.home : "(unset)"));
    ScopedVariable devices("VKM470_DEVICES", c.devices), home("HOME", c.home);
    std::string dir = "unchanged", why;
    EXPECT_EQ(deviceDirectory(&dir, &why), c.expected != nullptr);
    EXPECT_EQ(dir, c.expected != nullptr ? c.expected : "");
    EXPECT_EQ(why, c.why);
  }
}

// With HOME empty, a device directory under the working directory is not
// one: a module must not be found or not depending on where a program runs.
TEST_F(DeviceDirectory, EmptyHomeNeverMeansTheWorkingDirectory) {
  std::filesystem::create_directories(dir_ / ".vkm470" / "devices");
  std::ofstream(dir_ / ".vkm470" / "devices" / "QDev3") << "image";
  const auto before = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  {
    ScopedVariable devices("VKM470_DEVICES", nullptr), home("HOME", "");
    EXPECT_EQ(openPath("\\\\.\\QDev3"), invalidHandle());
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  }
  std::filesystem::current_path(before);
  EXPECT_TRUE(opened_.empty());
}
#endif

// --- the virtual clock ---

class VirtualClock : public ::testing::Test {
 protected:
  void SetUp() override { setVirtualClock(true); }
  void TearDown() override { setVirtualClock(false); }
};

TEST_F(VirtualClock, SleepsAndTimedWaitsAdvanceTheTickAtOnce) {
  ASSERT_TRUE(virtualClock());
  Dword start = GetTickCount();
  std::uint64_t startUs = nowMicroseconds();
  Sleep(5000);
  EXPECT_EQ(GetTickCount() - start, 5000u);
  Handle event = CreateEvent(false, false);
  EXPECT_EQ(WaitForSingleObject(event, 1000), kWaitTimeout);
  EXPECT_EQ(GetTickCount() - start, 6000u);
  // A wait that need not block leaves the clock alone.
  SetEvent(event);
  EXPECT_EQ(WaitForSingleObject(event, 1000), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(event, 0), kWaitTimeout);
  EXPECT_EQ(nowMicroseconds() - startUs, 6000000u);
  CloseHandle(event);
}

TEST_F(VirtualClock, TickWrapsAt32BitsWhileMicrosecondsGoOn) {
  setVirtualTick(0xFFFFFFF0u);
  EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
  std::uint64_t before = nowMicroseconds();
  Sleep(0x20);
  EXPECT_EQ(GetTickCount(), 0x10u);
  EXPECT_EQ(nowMicroseconds() - before, 0x20u * 1000u);
  // Setting an earlier tick moves forwards to the next time it comes round.
  setVirtualTick(0x8u);
  EXPECT_GT(nowMicroseconds(), before);
  EXPECT_EQ(GetTickCount(), 0x8u);
}

TEST(RealClock, IsMonotonicAndShared) {
  ASSERT_FALSE(virtualClock());
  std::uint64_t us = nowMicroseconds();
  Dword tick = GetTickCount();
  EXPECT_LE(us, nowMicroseconds());
  EXPECT_LT(static_cast<Dword>(tick - static_cast<Dword>(us / 1000)), 1000u);
}

}  // namespace
}  // namespace vkm470::os::hosted
