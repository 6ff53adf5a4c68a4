// Any line of the MTD table: no field is ever overrun and every text field
// stays terminated.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qvdata.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char line[kMtdLineMax];
  const size_t n = size < sizeof line - 1 ? size : sizeof line - 1;
  std::memcpy(line, data, n);
  line[n] = '\0';
  mtd_partition rec;
  if (parse_mtd_columns(line, &rec)) {
    parse_mtd_numbers(line, &rec);
    if (std::strlen(rec.dev_path) >= sizeof rec.dev_path || rec.index < 0) std::abort();
  }
  if (std::strlen(rec.dev) >= sizeof rec.dev || std::strlen(rec.name) >= sizeof rec.name ||
      std::strlen(rec.size_text) >= sizeof rec.size_text ||
      std::strlen(rec.erasesize_text) >= sizeof rec.erasesize_text)
    std::abort();
  return 0;
}
