#include "link_platform.h"

#include <sys/socket.h>

#include <cstdio>

#include "device_path.h"

long link_sendto(int sock, const uint8_t* frame, std::size_t length, const sockaddr_ll& to) {
  return sendto(sock, frame, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int link_system(const char* command) {
  // The command's own output goes to the same standard output: flush ours first
  // so that the lines keep their order.
  std::fflush(stdout);
  return device_system(command);
}
