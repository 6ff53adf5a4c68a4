#include "conf_export.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nvram.h"
#include "ui_variables.h"

namespace {

constexpr const char kPartSuffix[] = ".part";

// Makes the rename itself durable: the directory entry goes to storage too.
// Best effort; the file's contents were flushed before the rename.
void sync_parent_directory(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (!slash) {
    int fd = open(".", O_RDONLY);
    if (fd >= 0) {
      fsync(fd);
      close(fd);
    }
    return;
  }
  const std::size_t len = slash == path ? 1 : static_cast<std::size_t>(slash - path);
  char* dir = static_cast<char*>(std::malloc(len + 1));
  if (!dir) return;
  std::memcpy(dir, path, len);
  dir[len] = '\0';
  int fd = open(dir, O_RDONLY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  std::free(dir);
}

}  // namespace

int create_config_file(const char* path) {
  std::FILE* file = std::fopen(path, "w");
  if (!file) return -1;
  bool ok = std::fputs(kConfigHeader, file) >= 0;
  for (const char* const* key = ui_variables; ok && *key; ++key)
    ok = std::fprintf(file, "%s=%s\n", *key, nvram_get(NVRAM_USER_BLOCK, *key)) >= 0;
  ok = ok && std::fflush(file) == 0 && fsync(fileno(file)) == 0;
  int saved = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  errno = saved;
  return ok ? 0 : -1;
}

int export_settings(const char* path) {
  const std::size_t size = std::strlen(path) + sizeof kPartSuffix;
  char* part = static_cast<char*>(std::malloc(size));
  if (!part) return 0;  // nothing printed, removed or written
  std::snprintf(part, size, "%s%s", path, kPartSuffix);

  // Only a leftover temporary file goes; the earlier settings file stays until
  // the new one is complete and replaces it in one rename.
  unlink(part);
  int status = 0;
  if (create_config_file(part) < 0) {
    std::printf("Cannot write %s: %s\n", part, std::strerror(errno));
    unlink(part);
    status = 255;
  } else {
    std::printf("create %s\n", part);
    if (std::rename(part, path) != 0) {
      std::printf("Cannot rename %s to %s: %s\n", part, path, std::strerror(errno));
      unlink(part);
      status = 255;
    } else {
      sync_parent_directory(path);
      std::printf("rename %s to %s\n", part, path);
    }
  }
  std::free(part);
  return status;
}
