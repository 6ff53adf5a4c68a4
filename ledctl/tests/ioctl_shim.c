/* Preloaded into ledctl by its end-to-end tests: an ioctl on the simulated
 * device's /dev/gpio (a plain file, on which the kernel would answer ENOTTY) is
 * recorded in the file named by LEDCTL_IOCTL_LOG and succeeds; the line gives
 * the open mode, the request code and the 24 bytes of the request record in
 * hex. Every other ioctl goes to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int is_gpio_node(int fd) {
  const char* root = getenv("QV_DEVICE_ROOT");
  char link[64], target[PATH_MAX], node[PATH_MAX], resolved[PATH_MAX];
  if (!root) return 0;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0) return 0;
  target[n] = '\0';
  snprintf(node, sizeof node, "%s/dev/gpio", root);
  if (!realpath(node, resolved)) return 0;
  return strcmp(target, resolved) == 0;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  const char* log = getenv("LEDCTL_IOCTL_LOG");
  if (log && is_gpio_node(fd)) {
    FILE* f = fopen(log, "a");
    if (f) {
      int mode = fcntl(fd, F_GETFL) & O_ACCMODE;
      fprintf(f, "mode=%s request=0x%lx bytes=", mode == O_RDONLY ? "r" : mode == O_WRONLY ? "w" : "rw", request);
      const unsigned char* p = (const unsigned char*)arg;
      for (int i = 0; i < 24; ++i) fprintf(f, "%02x", p[i]);
      fputc('\n', f);
      fclose(f);
    }
    return 0;
  }
  int (*real)(int, unsigned long, ...) = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
  return real ? real(fd, request, arg) : -1;
}
