// store_writer BLOCK PREFIX COUNT [KEYS LENGTH]: makes COUNT nvram_set calls in
// block BLOCK of the store, as fast as the store takes them, and prints how many
// were not stored. Call i sets key PREFIX<i> to "v<i>"; with KEYS, it sets key
// PREFIX<i % KEYS> instead, to "v<i>" filled up with 'x' to LENGTH characters, so
// that the same few long values are rewritten until the block's log is full and
// compacted, again and again. Two of them at once on the lab's flash keep the
// store's lock busy, which the nvram command, a process per value, never does.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nvram.h"

namespace {
char g_value[1024];
}

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "Usage: store_writer BLOCK PREFIX COUNT [KEYS LENGTH]\n");
    return 2;
  }
  const int block = std::atoi(argv[1]);
  const int count = std::atoi(argv[3]);
  const int keys = argc == 6 ? std::atoi(argv[4]) : 0;
  const int length = argc == 6 ? std::atoi(argv[5]) : 0;
  if (argc == 6 && (keys <= 0 || length <= 0 || length >= static_cast<int>(sizeof g_value))) {
    std::fprintf(stderr, "store_writer: KEYS must be positive, LENGTH from 1 to %d\n",
                 static_cast<int>(sizeof g_value) - 1);
    return 2;
  }
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    char key[64];
    std::snprintf(key, sizeof key, "%s%d", argv[2], keys ? i % keys : i);
    int n = std::snprintf(g_value, sizeof g_value, "v%d", i);
    if (n < length) {
      std::memset(g_value + n, 'x', static_cast<size_t>(length - n));
      g_value[length] = '\0';
    }
    if (nvram_set(block, key, g_value) < 0) ++failed;
  }
  std::printf("%d\n", failed);
  return failed ? 1 : 0;
}
