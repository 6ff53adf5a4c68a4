#include "mtd_table.h"

#include <cstdio>

#include "device_path.h"

int mtd_find_device(const char* name, char* dev, std::size_t size) {
  // The table prints names in quotes; a name that does not fit a name column
  // with its quotes names no partition.
  char quoted[sizeof mtd_partition::name];
  device_path_buf table_path;
  if (!name || !device_path(table_path, "/proc/mtd")) return -1;
  const int n = std::snprintf(quoted, sizeof quoted, "\"%s\"", name);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof quoted) return -1;
  FILE* table = std::fopen(table_path.text, "r");
  if (!table) return -1;
  mtd_partition rec;
  const mtd_lookup found = mtd_table_find(table, quoted, &rec);
  std::fclose(table);
  if (found != mtd_lookup::found) return -1;
  return device_path(dev, size, rec.dev_path) ? rec.index : -1;
}
