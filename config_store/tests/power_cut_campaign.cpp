// power_cut_campaign [--erase-size BYTES] [--config-size BYTES] [--parts N] [--no-loss]
//                    [--erase-cut raise|barely|zeros_first|all] [--seeds N] [--second-cuts] [--plain-start]
//
// Runs a scripted sequence of store writes on a factory-fresh simulated device
// whose Config partition is NOR flash (nor_model.h) (with --plain-start, one
// whose entries the platform's earlier store wrote raw), and cuts the power at every
// erase and program step in turn, at N points inside each; an erase at each
// point in every erase cut model (all, the default) or in the one named, with N
// (1) different sets of risen bits. After
// each cut a fresh process opens the store and checks: every key holds its value
// from before or after the write that was cut (else it is lost, holds an older
// value, or a wrong one: a value never written to it), the serial number and the
// factory entries (as qvdata reads them raw) are intact or absent, never wrong,
// and the next write works. With --second-cuts, that next write is cut in turn
// at each of its steps, and what it loses of the store as the first cut left it
// is counted, inside its own window and outside, with the values read that
// were never written. Prints the figures; exits 1 when a key was lost outside a
// compaction (with --no-loss: anywhere), a wrong value was read or published, or
// the next write failed.
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
#include "qvdata.h"
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
  uint32_t cut_offset;
  int lost, older, wrong, factory_lost, factory_wrong, serial_lost;
  bool next_set_ok;
  long next_steps;      // steps of the next write
  int second_lost;      // keys that a cut next write lost
  int second_wrong;     // values never written that were read after it
};
Shared* g_shared;

const char* kBootVersion = "1.0.2";
const char* kProduct = "QV AP 300";

void note_cut(bool erase, uint32_t offset) {
  g_shared->erase = erase;
  g_shared->cut_offset = offset;
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

// Every value each key of each block was ever given.
using History = std::set<std::pair<std::string, std::string>>[NVRAM_BLOCK_COUNT];
History g_history;

void remember(const State& s) {
  for (int b = 0; b < NVRAM_BLOCK_COUNT; ++b)
    for (const auto& kv : s[b]) g_history[b].insert(kv);
}

// What qvdata publishes for key from the raw image: its value, or "" when absent.
std::string published(const std::string& image, const char* key) {
  char value[kValueSize];
  return find_key_value(reinterpret_cast<const unsigned char*>(image.data()), static_cast<int>(image.size()), key,
                        value, sizeof value)
             ? value
             : "";
}

void check_factory(const qvtest::DeviceRoot& root) {
  Shared& sh = *g_shared;
  const std::string image = root.peek("Config", 0, 65536);
  for (const auto& kv : {std::make_pair("qvbootver", kBootVersion), std::make_pair("qvsig", kProduct)}) {
    const std::string v = published(image, kv.first);
    if (v != kv.second) ++(v.empty() ? sh.factory_lost : sh.factory_wrong);
  }
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
      if (!keys.count(kv.first)) ++(g_history[b].count(kv) ? sh.older : sh.wrong);  // a voided entry back, or garbage
    for (const auto& k : keys) {
      const std::string v = value_in(now[b], k);
      if (v == value_in(before[b], k) || v == value_in(after[b], k)) continue;
      if (v.empty()) ++sh.lost;
      else ++(g_history[b].count({k, v}) ? sh.older : sh.wrong);
      if (b == NVRAM_SERIAL_BLOCK && k == "SN") ++sh.serial_lost;
    }
  }
  check_factory(root);
}

// The write after a cut, in a fresh process: whether it works; with cut_step,
// cut there, and then what it lost of the store as it found it.
void next_write(const qvtest::DeviceRoot& root, long cut_step, int parts) {
  Shared& sh = *g_shared;
  State found;
  read_state(found);
  if (cut_step == 0) {
    nor::cut_at(0, 0, 1, 0);
    sh.next_set_ok = nvram_set(NVRAM_USER_BLOCK, "after_cut", "1") == 0 &&
                     std::strcmp(nvram_get(NVRAM_USER_BLOCK, "after_cut"), "1") == 0;
    sh.next_steps = nor::steps();
    return;
  }
  if (pid_t pid = fork(); pid == 0) {
    nor::cut_at(cut_step, parts / 2, parts, static_cast<unsigned>(cut_step * 977));
    nor::op_begin();
    nvram_set(NVRAM_USER_BLOCK, "after_cut", "1");
    _exit(0);
  } else {
    int status = 0;
    waitpid(pid, &status, 0);
  }
  if (pid_t pid = fork(); pid == 0) {  // a fresh process, which repairs from a copy as it opens
    State now;
    read_state(now);
    for (int b = 0; b < NVRAM_BLOCK_COUNT; ++b) {
      for (const auto& kv : found[b]) {
        const std::string v = value_in(now[b], kv.first);
        if (v == kv.second) continue;
        if (v.empty()) ++sh.second_lost;
        else if (!g_history[b].count({kv.first, v})) ++sh.second_wrong;
      }
      for (const auto& kv : now[b])
        if (!found[b].count(kv.first) && !g_history[b].count(kv) &&
            !(b == NVRAM_USER_BLOCK && kv.first == "after_cut" && kv.second == "1"))
          ++sh.second_wrong;
    }
    check_factory(root);  // what qvdata publishes: counted with the first cut's figures
    _exit(0);
  } else {
    int status = 0;
    waitpid(pid, &status, 0);
  }
}

int wait_for(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// Runs fn in a child; its exit status.
template <typename Fn>
int in_child(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) {
    fn();
    _exit(0);
  }
  return wait_for(pid);
}

int main(int argc, char** argv) {
  uint32_t erase_size = 65536, config_size = 65536;
  int parts = 4;
  bool no_loss = false, second_cuts = false, plain_start = false;
  int first_model = 0, last_model = 2, seeds = 1;
  for (int i = 1; i < argc; ++i) {
    const bool value = i + 1 < argc;
    if (std::strcmp(argv[i], "--no-loss") == 0) no_loss = true;
    else if (std::strcmp(argv[i], "--plain-start") == 0) plain_start = true;
    else if (std::strcmp(argv[i], "--second-cuts") == 0) second_cuts = true;
    else if (value && std::strcmp(argv[i], "--seeds") == 0) seeds = std::atoi(argv[++i]);
    else if (value && std::strcmp(argv[i], "--erase-cut") == 0) {
      const char* m = argv[++i];
      first_model = last_model = -1;
      for (int k = 0; k < 3; ++k)
        if (std::strcmp(m, nor::kEraseCutNames[k]) == 0) first_model = last_model = k;
      if (std::strcmp(m, "all") == 0) first_model = 0, last_model = 2;
      if (first_model < 0) parts = 0;
    }
    else if (value && std::strcmp(argv[i], "--erase-size") == 0) erase_size = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    else if (value && std::strcmp(argv[i], "--config-size") == 0) config_size = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
    else if (value && std::strcmp(argv[i], "--parts") == 0) parts = std::atoi(argv[++i]);
    else parts = 0;  // usage
  }
  if (erase_size == 0 || 65536 % erase_size || config_size < 65536 || config_size % erase_size || parts < 1 || seeds < 1) {
    std::fprintf(stderr,
                 "usage: %s [--erase-size BYTES dividing 65536] [--config-size BYTES] [--parts N] [--no-loss]\n"
                 "       [--erase-cut raise|barely|zeros_first|all] [--seeds N] [--second-cuts] [--plain-start]\n",
                 argv[0]);
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
  const int free_bytes =
      NVRAM_BLOCK_BYTES -
      store_log::scan(reinterpret_cast<const unsigned char*>(root.peek("Config", 0, NVRAM_BLOCK_BYTES).data())).end;
  if (plain_start) {
    // The same entries as the platform's earlier store kept them: raw, no record
    // headers, the rest of each block erased. The first write compacts them all.
    State found;
    read_state(found);
    std::string raw;
    for (int b = 0; b < NVRAM_BLOCK_COUNT; ++b) {
      std::string block;
      for (const auto& kv : found[b]) block += kv.first + "=" + kv.second + '\0';
      raw += block + std::string(NVRAM_BLOCK_BYTES - block.size(), '\xff');
    }
    root.poke("Config", 0, raw);
  }
  const std::string image = root.peek("Config", 0, config_size);

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
  for (const State& st : states) remember(st);
  {  // the values the device was given before the sequence
    State old;
    for (int i = 0; i < 150; ++i) old[NVRAM_USER_BLOCK]["setting_" + std::to_string(i)] = std::to_string(i * 37 % 1000);
    for (int i = 0; i < 120; ++i) old[NVRAM_USER_BLOCK]["uptime_minutes"] = std::to_string(i), remember(old);
    old[2]["note"] = "one";
    old[NVRAM_SERIAL_BLOCK]["SN"] = "QV2026-000123";
    remember(old);
    State defaults_state;
    apply(defaults_state, Op{NVRAM_USER_BLOCK, "", ""}, defaults_text);
    remember(defaults_state);
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

  struct Figures {
    long tried = 0, in_window = 0, erase_cuts = 0, lost_outside = 0, lost_inside = 0, cuts_losing = 0, older = 0,
         wrong = 0, factory_lost = 0, factory_wrong = 0, serial_lost = 0, next_failed = 0, second_tried = 0,
         second_in_window = 0, second_lost_outside = 0, second_lost_inside = 0, second_wrong = 0,
         second_factory_wrong = 0, second_cuts_losing = 0, out_of_turn = 0;
  } all[3];
  for (long step = 1; step <= total; ++step)
    for (int part = 0; part < parts; ++part)
      for (int run = 0; run < (last_model - first_model + 1) * seeds; ++run) {
        const int model = first_model + run / seeds, seed = run % seeds;
        root.poke("Config", 0, image);
        std::memset(g_shared, 0, sizeof *g_shared);
        const int cut = in_child([&] {
          nor::cut_at(step, part, parts, static_cast<unsigned>(step * 131 + part + seed * 7919),
                      static_cast<nor::EraseCut>(model));
          for (size_t i = 0; i < ops.size(); ++i) {
            g_shared->op = static_cast<int>(i);
            nor::op_begin();
            run_op(ops[i], defaults);
          }
        });
        if (cut != nor::kCutExit) {
          std::fprintf(stderr, "power_cut_campaign: step %ld was not reached\n", step);
          return 1;
        }
        const bool erase = g_shared->erase;
        if (!erase && run > 0) break;  // a program is cut alike in every model and seed
        // Program steps count under the first model's figures.
        Figures& f = all[erase ? model : first_model];
        const int op = g_shared->op;
        const bool window = g_shared->in_window;
        const std::string after_cut = root.peek("Config", 0, config_size);
        if (in_child([&] {
              nor::cut_at(0, 0, 1, 0);
              check(states[static_cast<size_t>(op)], states[static_cast<size_t>(op) + 1], root);
            }) != 0 ||
            in_child([&] { next_write(root, 0, parts); }) != 0) {
          std::fprintf(stderr, "power_cut_campaign: the check after step %ld died\n", step);
          return 1;
        }
        const Shared r = *g_shared;
        ++f.tried;
        if (erase) ++f.erase_cuts;
        if (window) ++f.in_window;
        (window ? f.lost_inside : f.lost_outside) += r.lost;
        if (window && (r.lost || r.older || r.factory_lost)) ++f.cuts_losing;
        f.older += r.older;
        f.wrong += r.wrong;
        f.factory_lost += r.factory_lost;
        f.factory_wrong += r.factory_wrong;
        f.serial_lost += r.serial_lost;
        if (!r.next_set_ok) ++f.next_failed;
        if (!window && (r.lost || r.older || r.factory_lost))
          std::fprintf(stderr, "power_cut_campaign: step %ld part %d (write %d) lost %d keys outside a compaction\n",
                       step, part, op, r.lost + r.older + r.factory_lost);
        // After an erase the blocks are programmed back factory block first, then
        // the serial number's: a cut while the others are programmed costs neither.
        const uint32_t cut_block = r.cut_offset / NVRAM_BLOCK_BYTES;
        if (window && !erase && (cut_block == NVRAM_USER_BLOCK || cut_block == 2) && (r.serial_lost || r.factory_lost)) {
          ++f.out_of_turn;
          std::fprintf(stderr, "power_cut_campaign: step %ld part %d (write %d): a cut in block %u lost the serial "
                       "number or the factory entries\n", step, part, op, cut_block);
        }
        if (r.wrong || r.factory_wrong)
          std::fprintf(stderr, "power_cut_campaign: step %ld part %d (write %d, %s) read %d wrong values\n", step,
                       part, op, erase ? nor::kEraseCutNames[model] : "program", r.wrong + r.factory_wrong);
        if (!second_cuts) continue;
        for (long s2 = 1; s2 <= r.next_steps; ++s2) {
          root.poke("Config", 0, after_cut);
          g_shared->second_lost = g_shared->second_wrong = g_shared->factory_wrong = 0;
          g_shared->in_window = false;
          if (in_child([&] { next_write(root, s2, parts); }) != 0) return 1;
          const Shared r2 = *g_shared;
          ++f.second_tried;
          if (r2.in_window) ++f.second_in_window;
          (r2.in_window ? f.second_lost_inside : f.second_lost_outside) += r2.second_lost;
          f.second_wrong += r2.second_wrong;
          f.second_factory_wrong += r2.factory_wrong;
          if (r2.second_lost) ++f.second_cuts_losing;
          if (r2.second_wrong || r2.factory_wrong || (!r2.in_window && r2.second_lost))
            std::fprintf(stderr, "power_cut_campaign: step %ld part %d (write %d), then step %ld of the next write: "
                         "%d wrong values read, %d published, %d keys lost%s\n", step, part, op, s2, r2.second_wrong,
                         r2.factory_wrong, r2.second_lost, r2.in_window ? "" : " outside the window");
        }
      }

  std::printf("Config %u bytes, erase block %u bytes, %zu writes, %ld steps, %d cut points in each\n", config_size,
              erase_size, ops.size(), total, parts);
  bool failed = false;
  for (int model = first_model; model <= last_model; ++model) {
    const Figures& f = all[model];
    std::printf("-- %s%s\n", model == first_model ? "program cuts and erase cuts: " : "erase cuts: ",
                nor::kEraseCutNames[model]);
    std::printf("cut points tried:                    %ld (%ld in erases)\n", f.tried, f.erase_cuts);
    std::printf("cut points in the compaction window: %ld\n", f.in_window);
    std::printf("wrong values read:                   %ld (published by qvdata: %ld)\n", f.wrong, f.factory_wrong);
    std::printf("keys lost outside the window:        %ld\n", f.lost_outside);
    std::printf("keys lost inside the window:         %ld, older values %ld (at %ld cut points; serial number %ld "
                "times, factory entries %ld)\n",
                f.lost_inside, f.older, f.cuts_losing, f.serial_lost, f.factory_lost);
    std::printf("next write failed:                   %ld\n", f.next_failed);
    if (second_cuts) {
      std::printf("second cuts:                         %ld (%ld in the window of the next write)\n", f.second_tried,
                  f.second_in_window);
      std::printf("second cuts, wrong values read:      %ld (published by qvdata: %ld)\n", f.second_wrong,
                  f.second_factory_wrong);
      std::printf("second cuts, keys lost:              %ld outside the window, %ld inside it (at %ld cut points)\n",
                  f.second_lost_outside, f.second_lost_inside, f.second_cuts_losing);
    }
    const bool lost = f.lost_outside > 0 || f.second_lost_outside > 0 ||
                      (no_loss && (f.lost_inside > 0 || f.older > 0 || f.factory_lost > 0 || f.second_lost_inside > 0));
    if (f.out_of_turn)
      std::printf("serial number or factory entries lost at a cut in block 0 or 2: %ld\n", f.out_of_turn);
    failed = failed || lost || f.out_of_turn > 0 || f.wrong > 0 || f.factory_wrong > 0 || f.next_failed > 0 ||
             f.second_wrong > 0 || f.second_factory_wrong > 0;
  }
  return failed ? 1 : 0;
}
