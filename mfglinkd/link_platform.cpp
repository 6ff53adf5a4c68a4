#include "link_platform.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "device_path.h"

long link_receive_pass(int sock, uint8_t* buf, std::size_t size) {
  long n = recv(sock, buf, size, 0);
  if (n >= 0) return n;
  switch (errno) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return kPassTimedOut;
    case EBADF:
    case ENOTSOCK:
    case EFAULT:
    case EINVAL:
      return kPassFailed;
    default:  // ENETDOWN once when br0 goes down, EINTR: the wait goes on
      return kPassNothing;
  }
}

long link_sendto(int sock, const uint8_t* frame, std::size_t length, const sockaddr_ll& to) {
  return sendto(sock, frame, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int link_system(const char* command) {
  // The command's own output goes to the same standard output: flush ours first
  // so that the lines keep their order.
  std::fflush(stdout);
  return device_system(command);
}
