// SPDX-License-Identifier: MIT
#include "ppdev.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

using vkm470::drivers::openPpdev;
using vkm470::drivers::PpdevSystem;
using vkm470::os::Dword;
using vkm470::os::hosted::Device;
using vkm470::os::hosted::Request;
using vkm470::os::hosted::RequestKind;

constexpr Dword kPortQuery = 0x00166A00u;
constexpr Dword kRegisterWrite = 0x0016AA08u;
constexpr Dword kBatch = 0x0016AA1Cu;
constexpr int kFd = 7;

// One system call as the port saw it; byte is what a data or control write
// carried.
struct Call {
  std::string name;
  int byte = -1;
  bool operator==(const Call& other) const { return name == other.name && byte == other.byte; }
};

std::ostream& operator<<(std::ostream& out, const Call& call) {
  return out << call.name << (call.byte >= 0 ? "(" + std::to_string(call.byte) + ")" : "");
}

// Stands in for a parallel port: records every call, answers status reads from
// a queue, and fails the calls it is told to fail.
class FakePort final : public PpdevSystem {
 public:
  std::vector<Call> calls;
  std::deque<unsigned char> statuses;
  std::map<std::string, int> failures;  // call name -> errno

  int open(const std::string& path) override {
    calls.push_back({"open " + path});
    return fail("open", kFd);
  }
  int ioctl(int fd, unsigned long request, void* argument) override {
    EXPECT_EQ(fd, kFd);
    const std::string name = nameOf(request);
    auto* byte = static_cast<unsigned char*>(argument);
    if (request == PPWDATA || request == PPWCONTROL) {
      calls.push_back({name, *byte});
    } else {
      calls.push_back({name});
    }
    if (request == PPRSTATUS && failures.count(name) == 0) {
      *byte = statuses.front();
      statuses.pop_front();
    }
    return fail(name, 0);
  }
  int close(int fd) override {
    EXPECT_EQ(fd, kFd);
    calls.push_back({"close"});
    return 0;
  }

 private:
  int fail(const std::string& name, int success) {
    auto it = failures.find(name);
    return it == failures.end() ? success : -it->second;
  }
  static std::string nameOf(unsigned long request) {
    switch (request) {
      case PPEXCL:
        return "PPEXCL";
      case PPCLAIM:
        return "PPCLAIM";
      case PPRELEASE:
        return "PPRELEASE";
      case PPWDATA:
        return "PPWDATA";
      case PPWCONTROL:
        return "PPWCONTROL";
      case PPRSTATUS:
        return "PPRSTATUS";
      default:
        return "ioctl " + std::to_string(request);
    }
  }
};

class PortRequest final : public Request {
 public:
  PortRequest(Dword code, std::vector<unsigned char> in, Dword outSize)
      : code_(code), in_(std::move(in)), out_(outSize, 0xEE) {}

  RequestKind kind() const override { return RequestKind::IoControl; }
  Dword code() const override { return code_; }
  const void* input() const override { return in_.data(); }
  Dword inputSize() const override { return static_cast<Dword>(in_.size()); }
  void* output() override { return out_.data(); }
  Dword outputSize() const override { return static_cast<Dword>(out_.size()); }
  void complete(Dword status, Dword bytes) override {
    ASSERT_FALSE(completed);
    completed = true;
    this->status = status;
    this->bytes = bytes;
  }

  std::vector<unsigned char>& out() { return out_; }

  bool completed = false;
  Dword status = 0xFFFFFFFFu;
  Dword bytes = 0xFFFFFFFFu;

 private:
  Dword code_;
  std::vector<unsigned char> in_;
  std::vector<unsigned char> out_;
};

std::vector<unsigned char> registerWrite(std::uint32_t reg, std::uint32_t value) {
  std::vector<unsigned char> in(8);
  std::memcpy(in.data(), &reg, 4);
  std::memcpy(in.data() + 4, &value, 4);
  return in;
}

// Batch entries {operation, value} as little-endian words.
std::vector<unsigned char> batch(
    std::initializer_list<std::pair<std::uint16_t, std::uint16_t>> entries) {
  std::vector<unsigned char> in;
  for (auto [op, value] : entries) {
    in.insert(in.end(),
              {static_cast<unsigned char>(op), static_cast<unsigned char>(op >> 8),
               static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8)});
  }
  return in;
}

constexpr std::uint16_t kWrite = 0x0A82;
constexpr std::uint16_t kRead = 0x0A81;

class PpdevTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dword error = 0xFFFFFFFFu;
    device = openPpdev("/dev/parport0", &error, port);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(error, 0u);
    port->calls.clear();
  }

  PortRequest submit(Dword code, std::vector<unsigned char> in, Dword outSize) {
    PortRequest request(code, std::move(in), outSize);
    device->submit(request);
    EXPECT_TRUE(request.completed);
    return request;
  }

  std::shared_ptr<FakePort> port = std::make_shared<FakePort>();
  std::unique_ptr<Device> device;
};

TEST(PpdevOpen, ClaimsThePortExclusivelyAndReleasesItOnClose) {
  auto port = std::make_shared<FakePort>();
  Dword error = 0xFFFFFFFFu;
  auto device = openPpdev("/dev/parport1", &error, port);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(port->calls, (std::vector<Call>{{"open /dev/parport1"}, {"PPEXCL"}, {"PPCLAIM"}}));
  port->calls.clear();
  device.reset();
  EXPECT_EQ(port->calls, (std::vector<Call>{{"PPRELEASE"}, {"close"}}));
}

TEST(PpdevOpen, FailureReportsWin32ErrorAndLeavesNoDescriptorOpen) {
  struct Case {
    const char* call;
    int errnoValue;
    Dword error;
    std::vector<Call> calls;
  };
  const std::vector<Call> afterExcl = {{"open /dev/parport0"}, {"PPEXCL"}, {"close"}};
  const std::vector<Call> afterClaim = {{"open /dev/parport0"}, {"PPEXCL"}, {"PPCLAIM"}, {"close"}};
  const Case cases[] = {
      {"open", ENOENT, 2, {{"open /dev/parport0"}}},
      {"open", EACCES, 5, {{"open /dev/parport0"}}},
      {"open", EBUSY, 32, {{"open /dev/parport0"}}},
      {"open", EIO, 31, {{"open /dev/parport0"}}},
      {"PPEXCL", EBUSY, 32, afterExcl},
      {"PPCLAIM", EBUSY, 32, afterClaim},  // another process holds the port
      {"PPCLAIM", ENXIO, 2, afterClaim},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " errno " + std::to_string(c.errnoValue));
    auto port = std::make_shared<FakePort>();
    port->failures[c.call] = c.errnoValue;
    Dword error = 0;
    EXPECT_EQ(openPpdev("/dev/parport0", &error, port), nullptr);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(port->calls, c.calls);
  }
}

TEST(PpdevOpen, RealCallsReportWhyNoPortOpens) {
  const std::pair<const char*, Dword> cases[] = {
      {"/nonexistent/parport0", 2}, {"/dev/null", 31},  // opens, but is no parallel port
  };
  for (auto [path, expected] : cases) {
    SCOPED_TRACE(path);
    Dword error = 0;
    EXPECT_EQ(openPpdev(path, &error), nullptr);
    EXPECT_EQ(error, expected);
  }
}

// The resolver serves only ALTLPTn, and only character devices among entries;
// /dev/null is one, but no parallel port, so the open it serves fails.
TEST(PpdevResolver, ServesParallelPortNamesAndCharacterDeviceEntries) {
  auto resolver = vkm470::drivers::ppdevResolver();
  struct Case {
    const char* name;
    const char* path;
    bool served;
  };
  const Case entries[] = {
      {"altlpt1", "/dev/null", true},
      {"QDev1", "/dev/null", false},
      {"ALTLPT2", "/dev", false},
      {"ALTLPT0", "/dev/null", false},
  };
  for (const Case& c : entries) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Device> device;
    Dword error = 0;
    EXPECT_EQ(resolver->openEntry(c.name, c.path, 0, 0, &device, &error), c.served);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(error, c.served ? 31u : 0u);
  }
  std::unique_ptr<Device> device;
  Dword error = 0;
  EXPECT_FALSE(resolver->openName("QDev0", 0, 0, &device, &error));
  EXPECT_FALSE(resolver->openName("ALTLPT9", 0, 0, &device, &error));  // no /dev/parport8 here
}

TEST_F(PpdevTest, PortQueryAnswersTwoInFourBytes) {
  PortRequest query = submit(kPortQuery, {}, 4);
  EXPECT_EQ(query.status, 0u);
  EXPECT_EQ(query.bytes, 4u);
  EXPECT_EQ(query.out(), (std::vector<unsigned char>{2, 0, 0, 0}));

  PortRequest shortQuery = submit(kPortQuery, {}, 2);
  EXPECT_EQ(shortQuery.status, 87u);
  EXPECT_EQ(shortQuery.bytes, 0u);
  EXPECT_TRUE(port->calls.empty());
}

TEST_F(PpdevTest, RegisterWritesGoToDataAndControl) {
  struct Case {
    std::vector<unsigned char> in;
    Dword status;
    std::vector<Call> calls;
  };
  const Case cases[] = {
      {registerWrite(0, 0x43), 0, {{"PPWDATA", 0x43}}},
      {registerWrite(2, 0x02), 0, {{"PPWCONTROL", 0x02}}},
      {registerWrite(1, 0x02), 87, {}},  // the status register cannot be written
      {registerWrite(3, 0x02), 87, {}},
      {{0, 0, 0, 0}, 87, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.in));
    port->calls.clear();
    PortRequest write = submit(kRegisterWrite, c.in, 0);
    EXPECT_EQ(write.status, c.status);
    EXPECT_EQ(write.bytes, 0u);
    EXPECT_EQ(port->calls, c.calls);
  }
}

TEST_F(PpdevTest, BatchRunsEntriesInOrderAndPlacesStatusBytes) {
  port->statuses = {0x7F, 0x80};
  const auto in = batch({{kWrite, 0x40}, {kWrite, 0x41}, {kRead, 0}, {kWrite, 0x00}, {kRead, 0}});
  PortRequest run = submit(kBatch, in, static_cast<Dword>(in.size()));
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.bytes, in.size());
  EXPECT_EQ(
      port->calls,
      (std::vector<Call>{
          {"PPWDATA", 0x40}, {"PPWDATA", 0x41}, {"PPRSTATUS"}, {"PPWDATA", 0x00}, {"PPRSTATUS"}}));
  EXPECT_EQ(run.out(),
            batch({{kWrite, 0x40}, {kWrite, 0x41}, {kRead, 0x7F}, {kWrite, 0x00}, {kRead, 0x80}}));
}

TEST_F(PpdevTest, MalformedBatchChangesNoLine) {
  const auto unknown = batch({{kWrite, 0x41}, {0x0A83, 0}});
  const auto good = batch({{kWrite, 0x41}});
  struct Case {
    const char* what;
    std::vector<unsigned char> in;
    Dword outSize;
  };
  const Case cases[] = {
      {"unknown entry", unknown, static_cast<Dword>(unknown.size())},
      {"output size differs", good, 8},
      {"partial entry", {0x82, 0x0A, 0x41, 0x00, 0x82, 0x0A}, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PortRequest run = submit(kBatch, c.in, c.outSize);
    EXPECT_EQ(run.status, 87u);
    EXPECT_EQ(run.bytes, 0u);
    EXPECT_TRUE(port->calls.empty());
  }
}

TEST_F(PpdevTest, EmptyBatchWithoutInputSucceedsAndMovesNoLine) {
  PortRequest run(kBatch, {}, 0);
  run.out().reserve(4);  // an output buffer, but no input
  device->submit(run);
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.bytes, 0u);
  EXPECT_TRUE(port->calls.empty());
}

TEST_F(PpdevTest, FailedPortCallFailsTheRequest) {
  port->failures["PPRSTATUS"] = EIO;
  const auto in = batch({{kWrite, 0x41}, {kRead, 0}, {kWrite, 0x40}});
  PortRequest run = submit(kBatch, in, static_cast<Dword>(in.size()));
  EXPECT_EQ(run.status, 31u);
  EXPECT_EQ(run.bytes, 0u);
  // The batch stops at the failed entry.
  EXPECT_EQ(port->calls, (std::vector<Call>{{"PPWDATA", 0x41}, {"PPRSTATUS"}}));

  port->failures["PPWCONTROL"] = EIO;
  PortRequest write = submit(kRegisterWrite, registerWrite(2, 0x02), 0);
  EXPECT_EQ(write.status, 31u);
}

TEST_F(PpdevTest, UnknownControlCodeIsRefused) {
  PortRequest other = submit(0x00166A04u, {}, 4);
  EXPECT_EQ(other.status, 1u);  // ERROR_INVALID_FUNCTION
  EXPECT_TRUE(port->calls.empty());
}

}  // namespace
