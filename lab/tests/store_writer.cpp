// store_writer BLOCK PREFIX COUNT: stores the keys PREFIX0 ... PREFIX<COUNT-1>
// in block BLOCK of the store (values "v0", "v1", ...), one nvram_set each, as
// fast as the store takes them, and prints how many were not stored. Two of
// them at once on the lab's flash keep the store's lock busy, which the nvram
// command, a process per value, never does.
#include <cstdio>
#include <cstdlib>

#include "nvram.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "Usage: store_writer BLOCK PREFIX COUNT\n");
    return 2;
  }
  const int block = std::atoi(argv[1]);
  const int count = std::atoi(argv[3]);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    char key[64], value[16];
    std::snprintf(key, sizeof key, "%s%d", argv[2], i);
    std::snprintf(value, sizeof value, "v%d", i);
    if (nvram_set(block, key, value) < 0) ++failed;
  }
  std::printf("%d\n", failed);
  return failed ? 1 : 0;
}
