// The kernel's MTD table ("/proc/mtd"): one parser for every program that looks
// a partition up by name. It reads an open table and knows nothing of where the
// table lies, so that programs which link only the C library (qvdata) share it
// with the store.
#ifndef QV_MTD_PARSE_H
#define QV_MTD_PARSE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// One partition line of the table, e.g.
//   mtd2: 00010000 00010000 "Factory"
struct mtd_partition {
  char dev[9];              // first column with its colon, "mtd2:"
  char name[32];            // fourth column, quotes included, "\"Factory\""
  char size_text[16];       // second column, hexadecimal
  char erasesize_text[16];  // third column, hexadecimal
  int32_t index;            // device number from the first column
  int32_t size;
  int32_t erasesize;
  char dev_path[32];        // "/dev/mtd%d" with index (unresolved device path)
};
static_assert(sizeof(mtd_partition::dev) == 9 && sizeof(mtd_partition::name) == 32 &&
                  sizeof(mtd_partition::size_text) == 16 && sizeof(mtd_partition::erasesize_text) == 16 &&
                  sizeof(mtd_partition::dev_path) == 32,
              "field widths of the MTD table record");

// Size of the table's line buffer: a read takes at most 135 characters.
constexpr int kMtdLineMax = 136;

// Splits one table line into the four text columns of rec (rec is cleared first).
// Returns false when the line has fewer than four columns or a column is longer
// than its field: such a line never matches a name.
bool parse_mtd_columns(const char* line, mtd_partition* rec);

// Fills index, dev_path, size and erasesize of rec from the matched line and its
// columns. Returns false when the line yields no device number (index 0 and an
// empty dev_path are left then).
bool parse_mtd_numbers(const char* line, mtd_partition* rec);

enum class mtd_lookup { found, not_listed, no_device_number };

// Reads the open table from where it stands and fills rec from the first line
// whose name column equals quoted_name ("\"Factory\"": case and quotes count).
// A line longer than the line buffer is passed over whole, so that no piece of
// it passes for a line of its own. rec is cleared unless a line matched.
mtd_lookup mtd_table_find(FILE* table, const char* quoted_name, mtd_partition* rec);

#endif
