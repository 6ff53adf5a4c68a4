#include "ledctl.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "device_path.h"

namespace {

constexpr const char* kGpioNode = "/dev/gpio";

struct led_field {
  std::int32_t led_blink_request::*field;
  std::uint32_t limit;    // values up to limit are taken (the gpio limit is exclusive)
  bool limit_exclusive;
  const char* name;       // how the range message names the value
};

constexpr led_field kLedFields[kLedValueCount] = {
    {&led_blink_request::gpio, kGpioLines, true, "gpio number"},
    {&led_blink_request::on, kLedMaxValue, false, "on interval"},
    {&led_blink_request::off, kLedMaxValue, false, "off interval"},
    {&led_blink_request::blinks, kLedMaxValue, false, "number of blinking cycles"},
    {&led_blink_request::rests, kLedMaxValue, false, "number of resting cycles"},
    {&led_blink_request::times, kLedMaxValue, false, "times of blinking"},
};

// atoi's conversion, with values beyond int clamped rather than undefined.
std::int32_t decimal_value(const char* text) {
  long v = std::strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<std::int32_t>(v);
}

}  // namespace

void usage(const char* prog) { std::printf("Usage:\n%s l <gpio> <on> <off> <blinks> <rests> <times>\n", prog); }

int parse_led_request(const char* const values[kLedValueCount], led_blink_request* request) {
  for (int i = 0; i < kLedValueCount; ++i) {
    const led_field& f = kLedFields[i];
    const std::int32_t value = decimal_value(values[i]);
    // Compared unsigned, so every negative value is out of range.
    const std::uint32_t u = static_cast<std::uint32_t>(value);
    if (f.limit_exclusive ? u >= f.limit : u > f.limit) {
      std::printf("%s %d out of range (should be 0 ~ %d)\n", f.name, value, static_cast<int>(f.limit));
      return -1;
    }
    request->*f.field = value;
  }
  return 0;
}

int send_led_request(const char* node, const char* label, const led_blink_request& request) {
  int fd = open(node, O_RDONLY);
  if (fd < 0) {
    std::fflush(stdout);
    std::perror(label);
    return -1;
  }
  led_blink_request copy = request;
  int result = ioctl(fd, kGpioLedSet, &copy);
  if (result < 0) {
    std::fflush(stdout);
    std::perror("ioctl");
  }
  close(fd);
  return result < 0 ? -1 : 0;
}

int gpio_set_led(char** argv) {
  led_blink_request request{};
  if (parse_led_request(argv + 2, &request) < 0) return 0;
  device_path_buf node;
  if (!device_path(node, kGpioNode)) {
    std::fprintf(stderr, "%s: path too long\n", kGpioNode);
    return 0;
  }
  send_led_request(node.text, kGpioNode, request);
  return 0;
}
