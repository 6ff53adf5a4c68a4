// ledctl: hands an LED blink pattern to the board's GPIO driver (/dev/gpio).
#ifndef QV_LEDCTL_LEDCTL_H
#define QV_LEDCTL_LEDCTL_H

#include <cstddef>
#include <cstdint>

// The record the GPIO driver reads for its LED request: six native-order signed
// 32-bit integers and nothing else.
struct led_blink_request {
  std::int32_t gpio;    // GPIO line of the LED
  std::int32_t on;      // on interval
  std::int32_t off;     // off interval
  std::int32_t blinks;  // number of blinking cycles
  std::int32_t rests;   // number of resting cycles
  std::int32_t times;   // times of blinking
};
static_assert(sizeof(led_blink_request) == 24, "the driver reads exactly 24 bytes");
static_assert(offsetof(led_blink_request, gpio) == 0 && offsetof(led_blink_request, on) == 4 &&
                  offsetof(led_blink_request, off) == 8 && offsetof(led_blink_request, blinks) == 12 &&
                  offsetof(led_blink_request, rests) == 16 && offsetof(led_blink_request, times) == 20,
              "fields in the driver's order");

// The driver's request code: a plain number, no size or direction bits.
constexpr unsigned long kGpioLedSet = 0x41;
// GPIO lines of the SoC: 0 .. kGpioLines - 1.
constexpr std::uint32_t kGpioLines = 52;
// Largest interval or count the driver takes.
constexpr std::uint32_t kLedMaxValue = 4000;
// Number of values after the mode letter.
constexpr int kLedValueCount = 6;

// Prints the usage text with the program's name.
void usage(const char* prog);

// Converts and checks the six values in field order (gpio, on, off, blinks,
// rests, times). The first value out of range prints its message on standard
// output and ends the check (later values are not looked at): -1. Else 0.
int parse_led_request(const char* const values[kLedValueCount], led_blink_request* request);

// Opens node read-only and issues the LED request; failures are reported with
// perror, the open failure with the prefix label. Returns 0 when sent, else -1.
int send_led_request(const char* node, const char* label, const led_blink_request& request);

// The work of "ledctl l gpio on off blinks rests times": argv as main gets it,
// with the shape already checked. Parses, checks and sends to /dev/gpio.
int gpio_set_led(char** argv);

#endif
