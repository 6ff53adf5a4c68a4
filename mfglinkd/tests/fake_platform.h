// In-memory stand-ins of what the service meets outside itself, for the unit
// tests and the fuzz target: the wait and the receive, the frame send, the
// shell, the configuration store and the device-path seam (resolved under a
// private temporary folder).
#ifndef QV_MFGLINKD_TESTS_FAKE_PLATFORM_H
#define QV_MFGLINKD_TESTS_FAKE_PLATFORM_H

#include <linux/if_packet.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fake {

struct SentFrame {
  std::vector<uint8_t> frame;
  sockaddr_ll to;
  // How many bytes the error output held when the frame went out (-1 unless
  // the error output is a file, as while a test captures it): tells whether a
  // message came before or after the reply.
  long error_output_bytes;
};

struct Platform {
  std::vector<SentFrame> sent;
  std::vector<std::string> commands;             // shell commands, in order
  std::map<std::string, std::string> store;      // "block/key" -> value
  int store_writes = 0;
  bool fail_store_write = false;
  bool fail_send = false;
  // Events in order: "send" for a frame, "system <command>" for a command.
  std::vector<std::string> events;
  // What each pass of a wait meets, one letter a pass: 'T' a time-out, 'F' the
  // frame `incoming`, 'X' the same frame with another type, 'L' that one 64
  // bytes longer (0xEE), 'Z' a receive that yields nothing, 'E' a wait that
  // fails (as is the end of the script).
  std::string passes;
  std::size_t pass = 0;  // passes taken so far
  std::vector<uint8_t> incoming;
};

Platform& platform();
void reset();
// The private folder under which device paths resolve ("/tmp/firmware" lies
// at root() + "/tmp/firmware").
const std::string& root();

}  // namespace fake

#endif
