// nvram: the store from the command line, for people and tests.
//   nvram get BLOCK KEY          prints the value and a newline ("" when absent)
//   nvram set BLOCK KEY VALUE    stores the value; exit 1 when it was not stored
//   nvram show BLOCK             prints every entry as a key=value line
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nvram.h"
#include "nvram_admin.h"

namespace {

int usage(const char* prog) {
  std::fprintf(stderr,
               "Usage: %s get BLOCK KEY\n"
               "       %s set BLOCK KEY VALUE\n"
               "       %s show BLOCK\n",
               prog, prog, prog);
  return 2;
}

bool parse_block(const char* text, int* index) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || v < 0 || v >= NVRAM_BLOCK_COUNT) return false;
  *index = static_cast<int>(v);
  return true;
}

void print_entry(const char* key, const char* value, void*) { std::printf("%s=%s\n", key, value); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage(argv[0]);
  int index = 0;
  if (!parse_block(argv[2], &index)) {
    std::fprintf(stderr, "nvram: no block %s (0 to %d)\n", argv[2], NVRAM_BLOCK_COUNT - 1);
    return 2;
  }
  const char* cmd = argv[1];
  if (std::strcmp(cmd, "get") == 0 && argc == 4) {
    std::printf("%s\n", nvram_get(index, argv[3]));
    return 0;
  }
  if (std::strcmp(cmd, "set") == 0 && argc == 5) {
    if (nvram_set(index, argv[3], argv[4]) < 0) {
      std::fprintf(stderr, "nvram: %s was not stored in block %d\n", argv[3], index);
      return 1;
    }
    return 0;
  }
  if (std::strcmp(cmd, "show") == 0 && argc == 3) {
    if (nvram_foreach(index, print_entry, nullptr) < 0) {
      std::fprintf(stderr, "nvram: block %d cannot be read\n", index);
      return 1;
    }
    return 0;
  }
  return usage(argv[0]);
}
