// The MTD table, raw partition reads and the shell.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_path.h"
#include "qvdata.h"

namespace {

constexpr char kSourceUnit[] = "qvdata_rt3052";

}  // namespace

mtd_partition* find_mtd_partition(const char* quoted_name, mtd_partition* rec) {
  if (!rec) return nullptr;
  device_path_buf table_path;
  device_path(table_path, "/proc/mtd");
  FILE* table = std::fopen(table_path.text, "r");
  if (!table) {
    std::fprintf(stderr, " * ERROR: cannot open /proc/mtd %s\n", std::strerror(errno));
    return nullptr;
  }

  const mtd_lookup found = mtd_table_find(table, quoted_name, rec);
  std::fclose(table);
  if (found == mtd_lookup::not_listed) return nullptr;
  if (found == mtd_lookup::no_device_number) std::fprintf(stderr, " * ERROR: invalid MTD table format in /proc/mtd\n");
  return rec;
}

int load_file(const char* path, unsigned char* buf, int length) {
  if (!path || !buf || length <= 0) return 0;
  FILE* f = std::fopen(path, "r");
  if (!f) {
    std::fprintf(stderr, " * ERROR: cannot open file %s %s\n", path, std::strerror(errno));
    return 0;
  }
  std::memset(buf, 0, static_cast<std::size_t>(length));
  errno = 0;
  const std::size_t got = std::fread(buf, 1, static_cast<std::size_t>(length), f);
  const int err = errno;
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (got < static_cast<std::size_t>(length)) {
    // A file that simply ends early has no error of its own to report.
    std::fprintf(stderr, " * ERROR: cannot read file %s: %s\n", path,
                 failed && err ? std::strerror(err) : "end of file");
    return 0;
  }
  return 1;
}

int run_command(const char* format, ...) {
  char command[kCommandMax + 1];
  std::memset(command, 0, sizeof command);
  va_list args;
  va_start(args, format);
  std::vsnprintf(command, sizeof command, format, args);
  va_end(args);
  std::fprintf(stderr, "%s: run \"%s\"", kSourceUnit, command);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  return device_system(command);
}
