// power_cut_campaign [--erase-size BYTES] [--config-size BYTES] [--parts N] [--no-loss]
//
// Runs a scripted sequence of store writes on a factory-fresh simulated device
// whose Config partition is NOR flash (nor_model.h), and cuts the power at every
// erase and program step in turn, at N points inside each. After each cut a
// fresh process opens the store and checks: every key holds its value from
// before or after the write that was cut, the serial number and the factory
// entries (as a raw reader sees them) are intact, no entry is garbage, and the
// next write works. Prints the figures; exits 1 when a key was lost outside a
// compaction (with --no-loss: anywhere), an entry is garbage or the next write
// failed.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device_root.h"
#include "nor_model.h"
#include "nvram.h"
#include "nvram_admin.h"
#include "store_log.h"

namespace {

struct State {
  std::map<std::string, std::string> block[NVRAM_BLOCK_COUNT];
  std::map<std::string, std::string>& operator[](int b) { return block[b]; }
  const std::map<std::string, std::string>& operator[](int b) const { return block[b]; }
};

struct Op {
  int block;
  std::string key, value;  // key "" restores the defaults of the block
};

// What a cut child and the checking child hand back to the campaign.
struct Shared {
  int op;
  bool in_window;
  bool erase;
  int lost, garbage, factory_lost, serial_lost;
  bool next_set_ok;
};
Shared* g_shared;

const char* kBootVersion = "1.0.2";
const char* kProduct = "QV AP 300";

void note_cut(bool erase) {
  g_shared->erase = erase;
  g_shared->in_window = erase || nor::erased_in_op();
}

int run_op(const Op& op, const std::string& defaults) {
  if (op.key.empty()) return nvram_load_block(op.block, defaults.c_str());
  return nvram_set(op.block, op.key.c_str(), op.value.c_str());
}

void read_state(State& s) {
  for (int b = 0; b < NVRAM_BLOCK_COUNT; ++b) {
    s[b].clear();
    nvram_foreach(b, [](const char* k, const char* v, void* ctx) { (*static_cast<std::map<std::string, std::string>*>(ctx))[k] = v; }, &s[b]);
  }
}

void apply(State& s, const Op& op, const std::string& defaults_text) {
  if (!op.key.empty()) {
    s[op.block][op.key] = op.value;
    return;
  }
  s[op.block].clear();
  size_t at = 0;
  while (at < defaults_text.size()) {
    size_t end = defaults_text.find('\n', at);
    if (end == std::string::npos) end = defaults_text.size();
    std::string line = defaults_text.substr(at, end - at);
    at = end + 1;
    size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos || eq == 0) continue;
    s[op.block][line.substr(0, eq)] = line.substr(eq + 1);
  }
}

std::string value_in(const std::map<std::string, std::string>& m, const std::string& key) {
  auto it = m.find(key);
  return it == m.end() ? "" : it->second;
}

std::string raw_first(const std::string& image, const std::string& key) {
  const size_t at = image.find(key + "=");
  return at == std::string::npos ? "" : std::string(image.c_str() + at + key.size() + 1);
}

// In the checking child: compares the store with the states before and after
// the write that was cut.
void check(const State& before, const State& after, const qvtest::DeviceRoot& root) {
  Shared& sh = *g_shared;
  State now;
  read_state(now);
  for (int b = 0; b < NVRAM_BLOCK_COUNT; ++b) {
    std::set<std::string> keys;
    for (const auto& kv : before[b]) keys.insert(kv.first);
    for (const auto& kv : after[b]) keys.insert(kv.first);
    for (const auto& kv : now[b])
      if (!keys.count(kv.first)) ++sh.garbage;
    for (const auto& k : keys) {
      const std::string v = value_in(now[b], k);
      if (v != value_in(before[b], k) && v != value_in(after[b], k)) {
        ++sh.lost;
        if (b == NVRAM_SERIAL_BLOCK && k == "SN") ++sh.serial_lost;
      }
    }
  }
  const std::string image = root.peek("Config", 0, 65536);
  if (raw_first(image, "qvbootver") != kBootVersion) ++sh.factory_lost;
  if (raw_first(image, "qvsig") != kProduct) ++sh.factory_lost;
  sh.next_set_ok = nvram_set(NVRAM_USER_BLOCK, "after_cut", "1") == 0 &&
                   std::strcmp(nvram_get(NVRAM_USER_BLOCK, "after_cut"), "1") == 0;
}

int wait_for(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t erase_size = 65536, config_size = 65536;
  int parts = 4;
  bool no_loss = false;
  for (int i = 1; i < argc; ++i) {
    const bool value = i + 1 < argc;
    if (std::strcmp(argv[i], "--no-loss") == 0) no_loss = true;
    else if (value && std::strcmp(argv[i], "--erase-size") == 0) erase_size = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    else if (value && std::strcmp(argv[i], "--config-size") == 0) config_size = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    else if (value && std::strcmp(argv[i], "--parts") == 0) parts = std::atoi(argv[++i]);
    else parts = 0;  // usage
  }
  if (erase_size == 0 || 65536 % erase_size || config_size < 65536 || config_size % erase_size || parts < 1) {
    std::fprintf(stderr, "usage: %s [--erase-size BYTES dividing 65536] [--config-size BYTES] [--parts N]\n", argv[0]);
    return 2;
  }
  g_shared = static_cast<Shared*>(mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  if (g_shared == MAP_FAILED) return 2;
  nor::on_cut(note_cut);

  qvtest::DeviceRoot root(
      {"--config-size", std::to_string(config_size), "--boot-version", kBootVersion, "--product", kProduct});
  setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
  nor::fake_mtd(true, config_size, erase_size);
  const std::string defaults = root.path("/etc/nvram_default");
  const std::string defaults_text = root.read("/etc/nvram_default");

  // A device in use: the defaults, typical settings, a log with old values in it.
  nvram_load_block(NVRAM_USER_BLOCK, defaults.c_str());
  for (int i = 0; i < 150; ++i)
    nvram_set(NVRAM_USER_BLOCK, ("setting_" + std::to_string(i)).c_str(), std::to_string(i * 37 % 1000).c_str());
  for (int i = 0; i < 120; ++i) nvram_set(NVRAM_USER_BLOCK, "uptime_minutes", std::to_string(i).c_str());
  nvram_set(2, "note", "one");
  nvram_set(NVRAM_SERIAL_BLOCK, "SN", "QV2026-000123");
  const std::string image = root.peek("Config", 0, config_size);
  const int free_bytes = NVRAM_BLOCK_BYTES - store_log::scan(reinterpret_cast<const unsigned char*>(image.data())).end;

  const std::vector<Op> ops = {
      {NVRAM_SERIAL_BLOCK, "SN", "QV2026-000124"},
      {NVRAM_USER_BLOCK, "TZ", "GMT_1"},
      {NVRAM_USER_BLOCK, "wlan_essid", "Office"},
      {2, "note", "two"},
      {NVRAM_USER_BLOCK, "banner", std::string(static_cast<size_t>(free_bytes), 'b')},  // no room: compaction
      {NVRAM_USER_BLOCK, "TZ", "GMT_2"},
      {NVRAM_SERIAL_BLOCK, "SN", "QV2026-000125"},
      {NVRAM_USER_BLOCK, "", ""},  // restore the defaults
      {NVRAM_USER_BLOCK, "wlan_channel", "11"},
  };
  std::vector<State> states(ops.size() + 1);
  read_state(states[0]);
  for (size_t i = 0; i < ops.size(); ++i) {
    for (int b = 0; b < NVRAM_BLOCK_COUNT; ++b) states[i + 1][b] = states[i][b];
    apply(states[i + 1], ops[i], defaults_text);
  }

  // The sequence without a cut: how many steps it takes, and that it works.
  long total = 0;
  if (pid_t pid = fork(); pid == 0) {
    nor::cut_at(0, 0, 1, 0);
    for (const Op& op : ops)
      if (run_op(op, defaults) != 0) _exit(1);
    g_shared->op = static_cast<int>(nor::steps());
    State end;
    read_state(end);
    for (int b = 0; b < NVRAM_BLOCK_COUNT; ++b)
      if (end[b] != states.back()[b]) _exit(1);
    _exit(0);
  } else if (wait_for(pid) != 0) {
    std::fprintf(stderr, "power_cut_campaign: the sequence fails without a cut\n");
    return 1;
  }
  total = g_shared->op;

  long tried = 0, in_window = 0, erase_cuts = 0, lost_outside = 0, lost_inside = 0, cuts_losing = 0, garbage = 0,
       factory_lost = 0, serial_lost = 0, next_failed = 0;
  for (long step = 1; step <= total; ++step)
    for (int part = 0; part < parts; ++part) {
      root.poke("Config", 0, image);
      std::memset(g_shared, 0, sizeof *g_shared);
      pid_t pid = fork();
      if (pid == 0) {
        nor::cut_at(step, part, parts, static_cast<unsigned>(step * 131 + part));
        for (size_t i = 0; i < ops.size(); ++i) {
          g_shared->op = static_cast<int>(i);
          nor::op_begin();
          run_op(ops[i], defaults);
        }
        _exit(0);
      }
      if (wait_for(pid) != nor::kCutExit) {
        std::fprintf(stderr, "power_cut_campaign: step %ld was not reached\n", step);
        return 1;
      }
      const int op = g_shared->op;
      const bool window = g_shared->in_window;
      if (g_shared->erase) ++erase_cuts;
      pid = fork();
      if (pid == 0) {
        nor::cut_at(0, 0, 1, 0);
        check(states[static_cast<size_t>(op)], states[static_cast<size_t>(op) + 1], root);
        _exit(0);
      }
      if (wait_for(pid) != 0) {
        std::fprintf(stderr, "power_cut_campaign: the check after step %ld died\n", step);
        return 1;
      }
      const Shared& r = *g_shared;
      ++tried;
      if (window) ++in_window;
      (window ? lost_inside : lost_outside) += r.lost;
      if (window && (r.lost || r.factory_lost)) ++cuts_losing;
      garbage += r.garbage;
      factory_lost += r.factory_lost;
      serial_lost += r.serial_lost;
      if (!r.next_set_ok) ++next_failed;
      if (!window && (r.lost || r.factory_lost))
        std::fprintf(stderr, "power_cut_campaign: step %ld part %d (write %d) lost %d keys outside a compaction\n",
                     step, part, op, r.lost + r.factory_lost);
    }

  std::printf("Config %u bytes, erase block %u bytes, %zu writes, %ld steps, %d cut points in each\n", config_size,
              erase_size, ops.size(), total, parts);
  std::printf("cut points tried:                  %ld (%ld in erases)\n", tried, erase_cuts);
  std::printf("cut points in the compaction window: %ld\n", in_window);
  std::printf("keys lost outside the window:      %ld\n", lost_outside);
  std::printf("keys lost inside the window:       %ld (at %ld cut points; serial number %ld times, factory entries %ld)\n",
              lost_inside, cuts_losing, serial_lost, factory_lost);
  std::printf("garbage entries:                   %ld\n", garbage);
  std::printf("next write failed:                 %ld\n", next_failed);
  const bool lost = lost_outside > 0 || (no_loss && (lost_inside > 0 || factory_lost > 0));
  return !lost && garbage == 0 && next_failed == 0 ? 0 : 1;
}
