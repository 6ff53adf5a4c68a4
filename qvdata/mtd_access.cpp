// The MTD table, raw partition reads and the shell.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_path.h"
#include "qvdata.h"

namespace {

constexpr char kSourceUnit[] = "qvdata_rt3052";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Copies the next blank-separated word at *at into field (size bytes) and moves
// *at past it. False when there is no word or it does not fit the field.
bool next_word(const char** at, char* field, std::size_t size) {
  const char* p = *at;
  while (*p && is_blank(*p)) ++p;
  const char* start = p;
  while (*p && !is_blank(*p)) ++p;
  const std::size_t len = static_cast<std::size_t>(p - start);
  *at = p;
  if (len == 0 || len >= size) return false;
  std::memcpy(field, start, len);
  field[len] = '\0';
  return true;
}

int32_t hex_field(const char* text) {
  return static_cast<int32_t>(static_cast<uint32_t>(std::strtoul(text, nullptr, 16)));
}

}  // namespace

bool parse_mtd_columns(const char* line, mtd_partition* rec) {
  std::memset(rec, 0, sizeof *rec);
  const char* at = line;
  if (next_word(&at, rec->dev, sizeof rec->dev) && next_word(&at, rec->size_text, sizeof rec->size_text) &&
      next_word(&at, rec->erasesize_text, sizeof rec->erasesize_text) &&
      next_word(&at, rec->name, sizeof rec->name))
    return true;
  std::memset(rec, 0, sizeof *rec);
  return false;
}

bool parse_mtd_numbers(const char* line, mtd_partition* rec) {
  rec->index = 0;
  rec->dev_path[0] = '\0';
  rec->size = hex_field(rec->size_text);
  rec->erasesize = hex_field(rec->erasesize_text);

  // The first token between the characters "mtd: " is the device number. Only a
  // plain decimal number counts: anything else would name some other device.
  const char* p = line;
  while (*p && std::strchr("mtd: ", *p)) ++p;
  const char* start = p;
  long long value = 0;
  while (*p >= '0' && *p <= '9' && value <= INT_MAX) value = value * 10 + (*p++ - '0');
  if (p == start || value > INT_MAX || (*p && !std::strchr("mtd: ", *p) && !is_blank(*p))) return false;
  rec->index = static_cast<int32_t>(value);
  std::snprintf(rec->dev_path, sizeof rec->dev_path, "/dev/mtd%d", rec->index);
  return true;
}

mtd_partition* find_mtd_partition(const char* quoted_name, mtd_partition* rec) {
  if (!rec) return nullptr;
  device_path_buf table_path;
  device_path(table_path, "/proc/mtd");
  FILE* table = std::fopen(table_path.text, "r");
  if (!table) {
    std::fprintf(stderr, " * ERROR: cannot open /proc/mtd %s\n", std::strerror(errno));
    return nullptr;
  }

  char line[kMtdLineMax];
  bool found = false;
  bool continued = false;  // the previous read ended inside a line
  while (!found) {
    std::memset(line, 0, sizeof line);
    if (!std::fgets(line, sizeof line, table)) break;
    const bool whole = std::strchr(line, '\n') || std::feof(table);
    // A line longer than the buffer is passed over, its rest included: a piece
    // of it is no line of the table.
    const bool skip = continued || !whole;
    continued = !whole;
    if (skip) continue;
    found = parse_mtd_columns(line, rec) && quoted_name && std::strcmp(rec->name, quoted_name) == 0;
  }
  std::fclose(table);
  if (!found) {
    std::memset(rec, 0, sizeof *rec);
    return nullptr;
  }
  if (!parse_mtd_numbers(line, rec)) std::fprintf(stderr, " * ERROR: invalid MTD table format in /proc/mtd\n");
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
