#include "link_platform.h"

#include <sys/select.h>
#include <sys/socket.h>

#include <cstdio>

#include "device_path.h"

int link_wait_readable(int sock) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(sock, &readable);
  timeval tv{1, 0};
  return select(sock + 1, &readable, nullptr, nullptr, &tv);
}

long link_recv(int sock, uint8_t* buf, std::size_t size) { return recv(sock, buf, size, 0); }

long link_sendto(int sock, const uint8_t* frame, std::size_t length, const sockaddr_ll& to) {
  return sendto(sock, frame, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int link_system(const char* command) {
  // The command's own output goes to the same standard output: flush ours first
  // so that the lines keep their order.
  std::fflush(stdout);
  return device_system(command);
}
