#include "platform_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "device_path.h"

void platform_log(int argc, char** argv) {
  device_path_buf path;
  if (!device_path(path, "/var/log/platform.log")) return;
  const char* slash = std::strrchr(argv[0], '/');
  char line[4096];
  int n = std::snprintf(line, sizeof line, "%s", slash ? slash + 1 : argv[0]);
  for (int i = 1; i < argc && n < static_cast<int>(sizeof line); ++i)
    n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %s", argv[i]);
  if (n >= static_cast<int>(sizeof line) - 1) n = static_cast<int>(sizeof line) - 2;
  line[n++] = '\n';
  // One write of the whole line in append mode, so lines of concurrent callers
  // never interleave.
  int fd = open(path.text, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, line, static_cast<size_t>(n));
  (void)ignored;
  close(fd);
}
