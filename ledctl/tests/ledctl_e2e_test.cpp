// ledctl on a simulated device, where /dev/gpio is a plain file: a preloaded
// shim stands in for the driver and records what the ioctl receives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device_root.h"

namespace {

using Args = std::vector<std::string>;

constexpr const char* kUsage = "Usage:\nledctl l <gpio> <on> <off> <blinks> <rests> <times>\n";

// The line the shim logs for one request record.
std::string record_line(const std::vector<std::int32_t>& fields) {
  unsigned char bytes[24];
  std::memcpy(bytes, fields.data(), sizeof bytes);  // native byte order
  std::string line = "mode=r request=0x41 bytes=";
  char hex[3];
  for (unsigned char b : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    line += hex;
  }
  return line;
}

struct Outcome {
  qvtest::RunResult run;
  std::vector<std::string> ioctls;
};

Outcome run_ledctl(const qvtest::DeviceRoot& root, const Args& args, bool with_shim = true) {
  const std::string log = root.path("/tmp/ioctl.log");
  qvtest::RunOptions opts;
  if (with_shim)
    opts.env = {std::string("LD_PRELOAD=") + LEDCTL_IOCTL_SHIM, "LEDCTL_IOCTL_LOG=" + log,
                "ASAN_OPTIONS=verify_asan_link_order=0"};
  Args argv = {"ledctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  Outcome o{root.run(argv, opts), {}};
  if (qvtest::file_exists(log)) o.ioctls = qvtest::split_lines(qvtest::read_file(log));
  return o;
}

TEST(Ledctl, CommandLines) {
  struct Case {
    Args args;
    std::string out;
    int status;
    std::vector<std::int32_t> record;  // empty: nothing reaches the driver
  } const cases[] = {
      {{"l", "10", "100", "100", "3", "3", "1000"}, "", 0, {10, 100, 100, 3, 3, 1000}},
      {{"led", "51", "4000", "4000", "4000", "4000", "4000"}, "", 0, {51, 4000, 4000, 4000, 4000, 4000}},
      {{"lx", "0", "0", "0", "0", "0", "0"}, "", 0, {0, 0, 0, 0, 0, 0}},
      {{"l", "abc", "1", "2", "3", "4", "5"}, "", 0, {0, 1, 2, 3, 4, 5}},
      {{"l", "52", "1", "1", "1", "1", "1"}, "gpio number 52 out of range (should be 0 ~ 52)\n", 0, {}},
      {{"l", "-1", "1", "1", "1", "1", "1"}, "gpio number -1 out of range (should be 0 ~ 52)\n", 0, {}},
      {{"l", "1", "4001", "1", "1", "1", "1"}, "on interval 4001 out of range (should be 0 ~ 4000)\n", 0, {}},
      {{"l", "99", "1", "1", "1", "1", "9999"}, "gpio number 99 out of range (should be 0 ~ 52)\n", 0, {}},
      {{"l", "1", "1", "1", "1", "1", "-3"}, "times of blinking -3 out of range (should be 0 ~ 4000)\n", 0, {}},
      {{}, kUsage, 1, {}},
      {{"10", "100", "100", "3", "3", "1000"}, kUsage, 1, {}},
      {{"l", "10", "100", "100", "3", "3"}, kUsage, 1, {}},
      {{"l", "10", "100", "100", "3", "3", "1000", "1"}, kUsage, 1, {}},
      {{"x", "10", "100", "100", "3", "3", "1000"}, kUsage, 1, {}},
      {{"L", "10", "100", "100", "3", "3", "1000"}, kUsage, 1, {}},
      {{"", "10", "100", "100", "3", "3", "1000"}, kUsage, 1, {}},
  };
  for (const auto& c : cases) {
    std::string name;
    for (const auto& a : c.args) name += "'" + a + "' ";
    SCOPED_TRACE(name);
    qvtest::DeviceRoot root;
    root.write("/dev/gpio", "");
    const auto o = run_ledctl(root, c.args);
    EXPECT_EQ(o.run.out, c.out);
    EXPECT_EQ(o.run.err, "");
    EXPECT_EQ(o.run.status, c.status);
    if (c.record.empty()) {
      EXPECT_TRUE(o.ioctls.empty());
    } else {
      EXPECT_EQ(o.ioctls, std::vector<std::string>{record_line(c.record)});
    }
  }
}

TEST(Ledctl, MissingGpioNode) {
  qvtest::DeviceRoot root;
  const auto o = run_ledctl(root, {"l", "10", "100", "100", "3", "3", "1000"});
  EXPECT_EQ(o.run.status, 0);
  EXPECT_EQ(o.run.out, "");
  EXPECT_EQ(o.run.err, "/dev/gpio: No such file or directory\n");
  EXPECT_TRUE(o.ioctls.empty());
}

TEST(Ledctl, NodeWithoutTheDriver) {
  qvtest::DeviceRoot root;
  root.write("/dev/gpio", "");  // a plain file: the kernel refuses the request
  const auto o = run_ledctl(root, {"l", "10", "100", "100", "3", "3", "1000"}, false);
  EXPECT_EQ(o.run.status, 0);
  EXPECT_EQ(o.run.out, "");
  EXPECT_EQ(o.run.err, "ioctl: Inappropriate ioctl for device\n");
}

}  // namespace
