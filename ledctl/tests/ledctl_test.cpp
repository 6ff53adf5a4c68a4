// The LED request, checked at the ioctl itself: the linker's --wrap=ioctl sends
// ledctl's call here, where the descriptor, the request code and the 24 bytes
// of the record are kept.
#include "ledctl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct IoctlCall {
  int calls = 0;
  int fd = -1;
  int access_mode = -1;
  unsigned long request = 0;
  unsigned char bytes[sizeof(led_blink_request)] = {};
  int result = 0;  // what the driver answers
  int error = 0;
};
IoctlCall g_ioctl;

}  // namespace

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  ++g_ioctl.calls;
  g_ioctl.fd = fd;
  g_ioctl.access_mode = fcntl(fd, F_GETFL) & O_ACCMODE;
  g_ioctl.request = request;
  std::memcpy(g_ioctl.bytes, arg, sizeof g_ioctl.bytes);
  errno = g_ioctl.error;
  return g_ioctl.result;
}

namespace {

class Ledctl : public ::testing::Test {
 protected:
  void SetUp() override {
    g_ioctl = IoctlCall{};
    char name[] = "/tmp/ledctl-gpio-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    node_ = name;
  }
  void TearDown() override { unlink(node_.c_str()); }
  std::string node_;
};

struct RangeCase {
  const char* values[kLedValueCount];
  const char* message;  // nullptr: accepted
  led_blink_request request;
};

TEST_F(Ledctl, RangeChecksInFieldOrder) {
  const RangeCase cases[] = {
      {{"10", "100", "100", "3", "3", "1000"}, nullptr, {10, 100, 100, 3, 3, 1000}},
      {{"0", "0", "0", "0", "0", "0"}, nullptr, {0, 0, 0, 0, 0, 0}},
      {{"51", "4000", "4000", "4000", "4000", "4000"}, nullptr, {51, 4000, 4000, 4000, 4000, 4000}},
      {{"abc", " 7", "+8", "12x", "", "-0"}, nullptr, {0, 7, 8, 12, 0, 0}},
      {{"52", "0", "0", "0", "0", "0"}, "gpio number 52 out of range (should be 0 ~ 52)\n", {}},
      {{"-1", "0", "0", "0", "0", "0"}, "gpio number -1 out of range (should be 0 ~ 52)\n", {}},
      {{"60", "0", "0", "0", "0", "5000"}, "gpio number 60 out of range (should be 0 ~ 52)\n", {}},
      {{"1", "4001", "0", "0", "0", "0"}, "on interval 4001 out of range (should be 0 ~ 4000)\n", {}},
      {{"1", "0", "-5", "0", "0", "0"}, "off interval -5 out of range (should be 0 ~ 4000)\n", {}},
      {{"1", "0", "0", "4001", "0", "0"}, "number of blinking cycles 4001 out of range (should be 0 ~ 4000)\n", {}},
      {{"1", "0", "0", "0", "99999", "0"}, "number of resting cycles 99999 out of range (should be 0 ~ 4000)\n", {}},
      {{"1", "0", "0", "0", "0", "4001"}, "times of blinking 4001 out of range (should be 0 ~ 4000)\n", {}},
      // Beyond 32 bits: clamped, so still out of range on every word size.
      {{"1", "0", "0", "0", "0", "4294967297"},
       "times of blinking 2147483647 out of range (should be 0 ~ 4000)\n", {}},
      {{"-4294967296", "0", "0", "0", "0", "0"}, "gpio number -2147483648 out of range (should be 0 ~ 52)\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.values[0]) + " .. " + c.values[5]);
    led_blink_request request{};
    testing::internal::CaptureStdout();
    const int r = parse_led_request(c.values, &request);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    if (c.message) {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(out, c.message);
    } else {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(out, "");
      EXPECT_EQ(std::memcmp(&request, &c.request, sizeof request), 0);
    }
  }
}

TEST_F(Ledctl, TheRecordReachesTheDriver) {
  const led_blink_request request{10, 100, 100, 3, 3, 1000};
  testing::internal::CaptureStderr();
  EXPECT_EQ(send_led_request(node_.c_str(), "/dev/gpio", request), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(g_ioctl.calls, 1);
  EXPECT_EQ(g_ioctl.request, 0x41ul);
  EXPECT_EQ(g_ioctl.access_mode, O_RDONLY);
  // Six native-order 32-bit integers, nothing else.
  const std::int32_t expected[6] = {10, 100, 100, 3, 3, 1000};
  static_assert(sizeof expected == 24, "six 32-bit fields");
  EXPECT_EQ(std::memcmp(g_ioctl.bytes, expected, sizeof expected), 0);
  EXPECT_EQ(fcntl(g_ioctl.fd, F_GETFD), -1) << "descriptor left open";
}

TEST_F(Ledctl, ReportsTheDriversRefusal) {
  g_ioctl.result = -1;
  g_ioctl.error = ENOTTY;
  testing::internal::CaptureStderr();
  EXPECT_EQ(send_led_request(node_.c_str(), "/dev/gpio", led_blink_request{1, 2, 3, 4, 5, 6}), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("ioctl: ") + std::strerror(ENOTTY) + "\n");
  EXPECT_EQ(g_ioctl.calls, 1);
  EXPECT_EQ(fcntl(g_ioctl.fd, F_GETFD), -1) << "descriptor left open";
}

TEST_F(Ledctl, ReportsAMissingNodeUnderItsDeviceName) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(send_led_request("/nonexistent/gpio", "/dev/gpio", led_blink_request{}), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("/dev/gpio: ") + std::strerror(ENOENT) + "\n");
  EXPECT_EQ(g_ioctl.calls, 0);
}

TEST_F(Ledctl, UsageText) {
  testing::internal::CaptureStdout();
  usage("/bin/ledctl");
  std::fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Usage:\n/bin/ledctl l <gpio> <on> <off> <blinks> <rests> <times>\n");
}

}  // namespace
