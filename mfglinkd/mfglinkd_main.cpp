// mfglinkd: the production-line service on the LAN bridge. No arguments.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "link_service.h"

#ifndef QV_RUN_IN_BACKGROUND
#define QV_RUN_IN_BACKGROUND 1
#endif

// Detach from the starter by forking; fixed at build time.
constexpr bool run_in_background = QV_RUN_IN_BACKGROUND;

namespace {

// The service keeps its starter's output after the fork. When that is a pipe
// whose reader has gone, a write raises SIGPIPE, which would end the service in
// the middle of a transfer. Caught, the write fails with EPIPE instead, and the
// output that has gone is replaced by /dev/null: the trace is lost, the work
// goes on, and the shell commands started later (which get the default action
// back at exec) do not die of the same signal.
void drop_vanished_outputs(int) {
  const int saved = errno;
  for (int fd = 1; fd <= 2; ++fd) {
    pollfd p;
    p.fd = fd;
    p.events = POLLOUT;
    p.revents = 0;
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP))) {
      const int null = open("/dev/null", O_WRONLY);
      if (null >= 0 && null != fd) {
        dup2(null, fd);
        close(null);
      }
    }
  }
  errno = saved;
}

// The service's lines and progress dots, held until the replies of their
// request have gone out (the service loop writes them out then, and when it
// idles): on the device standard output may be a slow serial console, and a
// console's own line buffering would write a line before its reply. 8 KiB
// hold the dots of an 8 MiB image.
char output_buffer[8192];

void survive_vanished_output() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = drop_vanished_outputs;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
}

}  // namespace

int main(int, char**) {
  if (run_in_background) {
    pid_t pid = fork();
    if (pid < 0) {
      perror("fork/getpid");
      return -1;
    }
    if (pid > 0) return 0;
  }
  survive_vanished_output();
  std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
  link_context ctx;
  std::memset(&ctx, 0, sizeof ctx);
  if (open_link(ctx, "br0") == 0) serve(ctx);
  if (ctx.sock >= 0) close(ctx.sock);
  return 0;
}
