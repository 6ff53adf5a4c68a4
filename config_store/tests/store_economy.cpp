// store_economy KEYS SETS: on the simulated device in $QV_DEVICE_ROOT, whose
// Config partition is NOR flash with one 64 KiB erase block (nor_model.h),
// stores a typical value for each key of the file KEYS (one a line), then makes
// SETS changes of typical values, and prints how many erases and programs they
// took, and the erases per set of the last half alone (the steady state: the
// first fill of the log costs no erase). bench/store-economy.sh runs it.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nor_model.h"
#include "nvram.h"

int main(int argc, char** argv) {
  if (argc != 3 || !std::getenv("QV_DEVICE_ROOT")) {
    std::fprintf(stderr, "usage: QV_DEVICE_ROOT=DIR %s KEYS SETS\n", argv[0]);
    return 2;
  }
  std::vector<std::string> keys;
  if (FILE* f = std::fopen(argv[1], "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      std::string k(line);
      while (!k.empty() && (k.back() == '\n' || k.back() == '\r')) k.pop_back();
      if (!k.empty()) keys.push_back(k);
    }
    std::fclose(f);
  }
  const long sets = std::atol(argv[2]);
  if (keys.empty() || sets <= 0) return 2;
  nor::fake_mtd(true, 65536, 65536);

  // Values such as a settings page stores: numbers, switches, addresses, names.
  const char* typical[] = {"1", "0", "6", "GMT_-8", "192.168.1.1", "255.255.255.0", "QV-AP-Office", "psk",
                           "WPA2PSK", "1500", "8.8.8.8", "admin", "00:11:22:aa:bb:cc", "86400"};
  const int n_typical = sizeof typical / sizeof typical[0];
  for (size_t i = 0; i < keys.size(); ++i)
    if (nvram_set(NVRAM_USER_BLOCK, keys[i].c_str(), typical[i % n_typical]) != 0) return 1;

  nor::counts() = nor::Counts{};
  long stored = 0, erases_at_half = 0;
  for (long i = 0; i < sets; ++i) {
    if (i == sets / 2) erases_at_half = nor::counts().erases;
    const std::string& key = keys[static_cast<size_t>(i * 7) % keys.size()];
    long pick = i * 5;
    while (std::string(nvram_get(NVRAM_USER_BLOCK, key.c_str())) == typical[pick % n_typical]) ++pick;  // a change
    const std::string value = typical[pick % n_typical];
    if (nvram_set(NVRAM_USER_BLOCK, key.c_str(), value.c_str()) == 0) ++stored;
  }
  const nor::Counts& c = nor::counts();
  std::printf("sets:             %ld of %ld stored, %zu keys in block 0\n", stored, sets, keys.size());
  std::printf("erases:           %ld (64 KiB erase blocks)\n", c.erases);
  std::printf("programs:         %ld\n", c.programs);
  std::printf("flash bytes read: %ld, %.0f per set\n", c.bytes_read, static_cast<double>(c.bytes_read) / static_cast<double>(sets));
  std::printf("erases per set:   %.4f (1 in %.0f)\n", static_cast<double>(c.erases) / static_cast<double>(sets),
              c.erases ? static_cast<double>(sets) / static_cast<double>(c.erases) : 0.0);
  const long steady = c.erases - erases_at_half, half = sets - sets / 2;
  std::printf("steady state:     %ld erases in the last %ld sets (1 in %.0f)\n", steady, half,
              steady ? static_cast<double>(half) / static_cast<double>(steady) : 0.0);
  return stored == sets ? 0 : 1;
}
