// ledctl l <gpio> <on> <off> <blinks> <rests> <times>: sets an LED blink pattern.
#include "ledctl.h"

int main(int argc, char** argv) {
  // Only the first letter of the mode is looked at: l, led and lx all select it.
  if (argc != kLedValueCount + 2 || argv[1][0] != 'l') {
    usage(argc > 0 ? argv[0] : "ledctl");
    return 1;
  }
  return gpio_set_led(argv);
}
