#include "device_path.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef QV_HOST_BUILD

const char* device_root() { return nullptr; }

char* device_path(char* out, std::size_t size, const char* path) {
  int n = std::snprintf(out, size, "%s", path);
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    if (size > 0) out[0] = '\0';
    return nullptr;
  }
  return out;
}

int device_system(const char* command) { return std::system(command); }

#else

const char* device_root() {
  const char* root = std::getenv("QV_DEVICE_ROOT");
  return (root && *root) ? root : nullptr;
}

char* device_path(char* out, std::size_t size, const char* path) {
  const char* root = device_root();
  int n = root ? std::snprintf(out, size, "%s%s", root, path) : std::snprintf(out, size, "%s", path);
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    if (size > 0) out[0] = '\0';
    return nullptr;
  }
  return out;
}

int device_system(const char* command) {
  if (!device_root()) {
    std::fprintf(stderr, "host build: QV_DEVICE_ROOT is not set, not running \"%s\"\n", command);
    return -1;
  }
#ifdef QV_PLATFORM_BIN_DIR
  static bool path_set = false;
  if (!path_set) {
    static char path[4096];
    const char* old = std::getenv("PATH");
    std::snprintf(path, sizeof path, "%s:%s", QV_PLATFORM_BIN_DIR, old ? old : "/usr/bin:/bin");
    setenv("PATH", path, 1);
    path_set = true;
  }
#endif
  return std::system(command);
}

#endif
