// store_writer BLOCK PREFIX COUNT [KEYS LENGTH]: makes COUNT nvram_set calls in
// block BLOCK of the store, as fast as the store takes them, and prints how many
// were not stored and how many of those stored were lost: "F failed, L lost".
// Call i sets key PREFIX<i> to "v<i>"; with KEYS, it sets key PREFIX<i % KEYS>
// instead, to "v<i>" filled up with 'x' to LENGTH characters, so that the same
// few long values are rewritten until the block's log is full and compacted,
// again and again. Two of them at once on the lab's flash keep the store's lock
// busy, which the nvram command, a process per value, never does.
//
// A set that returned 0 claims its value is on the flash: the value is read
// back at once, and every key's last value again once all calls are made. A
// value that is not there then (another writer's compaction dropped it, say)
// is a lost update, counted once.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nvram.h"

namespace {

constexpr int kMaxCount = 4096;
char g_value[1024];
char g_expected[1024];
enum class Call : unsigned char { stored, failed, lost };
Call g_calls[kMaxCount];

// The value call i writes (LENGTH 0: no filling).
void value_of(int i, int length, char* out, size_t size) {
  int n = std::snprintf(out, size, "v%d", i);
  if (n < length) {
    std::memset(out + n, 'x', static_cast<size_t>(length - n));
    out[length] = '\0';
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "Usage: store_writer BLOCK PREFIX COUNT [KEYS LENGTH]\n");
    return 2;
  }
  const int block = std::atoi(argv[1]);
  const int count = std::atoi(argv[3]);
  const int keys = argc == 6 ? std::atoi(argv[4]) : 0;
  const int length = argc == 6 ? std::atoi(argv[5]) : 0;
  if (count < 0 || count > kMaxCount) {
    std::fprintf(stderr, "store_writer: COUNT from 0 to %d\n", kMaxCount);
    return 2;
  }
  if (argc == 6 && (keys <= 0 || length <= 0 || length >= static_cast<int>(sizeof g_value))) {
    std::fprintf(stderr, "store_writer: KEYS must be positive, LENGTH from 1 to %d\n",
                 static_cast<int>(sizeof g_value) - 1);
    return 2;
  }
  int failed = 0, lost = 0;
  char key[64];
  for (int i = 0; i < count; ++i) {
    std::snprintf(key, sizeof key, "%s%d", argv[2], keys ? i % keys : i);
    value_of(i, length, g_value, sizeof g_value);
    if (nvram_set(block, key, g_value) < 0) {
      g_calls[i] = Call::failed;
      ++failed;
    } else if (std::strcmp(nvram_get(block, key), g_value) != 0) {
      g_calls[i] = Call::lost;
      ++lost;
    }
  }
  // Each key holds the value of its last set that returned 0 (a failed set
  // leaves the block as it was), unless that one is already counted.
  const int step = keys ? keys : count;  // calls k, k + step, ... set key k
  for (int k = 0; k < step && k < count; ++k) {
    int last = k + (count - 1 - k) / step * step;
    while (last >= 0 && g_calls[last] == Call::failed) last -= step;
    if (last < 0 || g_calls[last] == Call::lost) continue;
    std::snprintf(key, sizeof key, "%s%d", argv[2], k);
    value_of(last, length, g_expected, sizeof g_expected);
    if (std::strcmp(nvram_get(block, key), g_expected) != 0) ++lost;
  }
  std::printf("%d failed, %d lost\n", failed, lost);
  return failed || lost ? 1 : 0;
}
