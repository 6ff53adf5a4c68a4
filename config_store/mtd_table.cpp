#include "mtd_table.h"

#include <cstdio>
#include <cstring>

#include "device_path.h"

int mtd_find_device(const char* name, char* dev, std::size_t size) {
  device_path_buf table;
  if (!name || !device_path(table, "/proc/mtd")) return -1;
  FILE* f = std::fopen(table.text, "r");
  if (!f) return -1;

  // Lines look like: mtd2: 00010000 00010000 "Factory"
  char line[256];
  int found = -1;
  const std::size_t name_len = std::strlen(name);
  while (found < 0 && std::fgets(line, sizeof line, f)) {
    int index = -1;
    int name_at = 0;
    if (std::sscanf(line, "mtd%d: %*x %*x %n", &index, &name_at) < 1 || name_at == 0) continue;
    const char* quoted = line + name_at;
    if (quoted[0] == '"' && std::strncmp(quoted + 1, name, name_len) == 0 && quoted[1 + name_len] == '"')
      found = index;
  }
  std::fclose(f);
  if (found < 0) return -1;

  char raw[32];
  std::snprintf(raw, sizeof raw, "/dev/mtd%d", found);
  return device_path(dev, size, raw) ? found : -1;
}
