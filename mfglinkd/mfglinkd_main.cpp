// mfglinkd: the production-line service on the LAN bridge. No arguments.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "link_service.h"

#ifndef QV_RUN_IN_BACKGROUND
#define QV_RUN_IN_BACKGROUND 1
#endif

// Detach from the starter by forking; fixed at build time.
constexpr bool run_in_background = QV_RUN_IN_BACKGROUND;

int main(int, char**) {
  if (run_in_background) {
    pid_t pid = fork();
    if (pid < 0) {
      perror("fork/getpid");
      return -1;
    }
    if (pid > 0) return 0;
  }
  link_context ctx;
  std::memset(&ctx, 0, sizeof ctx);
  if (open_link(ctx, "br0") == 0) serve(ctx);
  if (ctx.sock >= 0) close(ctx.sock);
  return 0;
}
