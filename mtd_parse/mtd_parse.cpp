// The MTD table parser shared by the store and qvdata.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "mtd_parse.h"

namespace {

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

mtd_lookup mtd_table_find(FILE* table, const char* quoted_name, mtd_partition* rec) {
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
  if (!found) {
    std::memset(rec, 0, sizeof *rec);
    return mtd_lookup::not_listed;
  }
  return parse_mtd_numbers(line, rec) ? mtd_lookup::found : mtd_lookup::no_device_number;
}
