#include "nor_model.h"

#include <mtd/mtd-user.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" ssize_t __real_pwrite(int fd, const void* buf, size_t count, off_t offset);
extern "C" ssize_t __real_pread(int fd, void* buf, size_t count, off_t offset);

namespace nor {
namespace {

bool g_fake = false;
uint32_t g_size = 65536, g_erase = 4096;
Counts g_counts;
long g_steps = 0, g_cut = 0;
int g_part = 0, g_parts = 1;
uint32_t g_rand = 1;
EraseCut g_model = EraseCut::raise;
bool g_erased = false;
void (*g_on_cut)(bool, uint32_t) = nullptr;
constexpr uint32_t kNoFault = 0xffffffffu;
uint32_t g_lost_program = kNoFault, g_stuck_at = kNoFault;
uint8_t g_stuck_mask = 0;

uint32_t rnd() {
  g_rand ^= g_rand << 13;
  g_rand ^= g_rand >> 17;
  g_rand ^= g_rand << 5;
  return g_rand;
}

// Counts a step; true when it is the one to be cut.
bool cut_now() { return ++g_steps == g_cut; }

[[noreturn]] void power_off(bool erase, uint32_t offset) {
  if (g_on_cut) g_on_cut(erase, offset);
  _exit(kCutExit);
}

}  // namespace

void fake_mtd(bool on, uint32_t size, uint32_t erase_size) {
  g_fake = on;
  g_size = size;
  g_erase = erase_size;
  g_lost_program = g_stuck_at = kNoFault;
  g_stuck_mask = 0;
}
void lost_program_at(uint32_t offset) { g_lost_program = offset; }
void stuck_bits_at(uint32_t offset, uint8_t mask) {
  g_stuck_at = offset;
  g_stuck_mask = mask;
}
Counts& counts() { return g_counts; }
void cut_at(long step, int part, int parts, unsigned seed, EraseCut model) {
  g_model = model;
  g_steps = 0;
  g_cut = step;
  g_part = part;
  g_parts = parts;
  g_rand = seed * 2654435761u + 1;
}
long steps() { return g_steps; }
void op_begin() { g_erased = false; }
bool erased_in_op() { return g_erased; }
void on_cut(void (*fn)(bool, uint32_t)) { g_on_cut = fn; }

}  // namespace nor

using namespace nor;

namespace {

// Each bit of cells that is 0 rises with the chance part / parts.
void raise_bits(std::string& cells, int part, int parts) {
  for (char& c : cells)
    for (int bit = 0; bit < 8; ++bit)
      if (static_cast<int>(rnd() % static_cast<uint32_t>(parts)) < part) c = static_cast<char>(c | (1 << bit));
}

// The cells of an erase cut at part / parts of its way, from their old bytes.
void cut_erase(std::string& cells) {
  switch (g_model) {
    case EraseCut::raise:
      raise_bits(cells, g_part, g_parts);
      break;
    case EraseCut::barely:
      for (int i = 0; i <= g_part; ++i)  // bits that were 0
        for (int tries = 0; tries < 1000000; ++tries) {
          const uint32_t at = rnd() % static_cast<uint32_t>(cells.size());
          const int bit = 1 << (rnd() % 8);
          if (cells[at] & bit) continue;
          cells[at] = static_cast<char>(cells[at] | bit);
          break;
        }
      break;
    case EraseCut::zeros_first: {
      const size_t half = static_cast<size_t>(g_parts + 1) / 2;  // parts of the pre-programming
      if (static_cast<size_t>(g_part) < half) {
        const size_t done = cells.size() * static_cast<size_t>(g_part) / half;
        for (size_t i = 0; i < done; ++i) cells[i] = '\0';
        if (done < cells.size()) cells[done] = static_cast<char>(cells[done] & rnd());
      } else {
        cells.assign(cells.size(), '\0');
        raise_bits(cells, g_part - static_cast<int>(half) + 1, g_parts - static_cast<int>(half) + 1);
      }
      break;
    }
  }
}

}  // namespace

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (g_fake && request == MEMGETINFO) {
    auto* info = static_cast<mtd_info_user*>(arg);
    *info = mtd_info_user{};
    info->type = MTD_NORFLASH;
    info->size = g_size;
    info->erasesize = g_erase;
    info->writesize = 1;
    return 0;
  }
  if (g_fake && request == MEMERASE) {
    auto* e = static_cast<erase_info_user*>(arg);
    g_counts.erase_calls.emplace_back(e->start, e->length);
    if (e->start % g_erase || e->length % g_erase || e->start + e->length > g_size) return -1;
    g_counts.erases += e->length / g_erase;
    g_erased = true;
    std::string cells(e->length, '\xff');
    if (cut_now()) {
      if (__real_pread(fd, &cells[0], cells.size(), e->start) != static_cast<ssize_t>(cells.size())) return -1;
      cut_erase(cells);
      __real_pwrite(fd, cells.data(), cells.size(), e->start);
      power_off(true, e->start);
    }
    return __real_pwrite(fd, cells.data(), cells.size(), e->start) == static_cast<ssize_t>(cells.size()) ? 0 : -1;
  }
  return __real_ioctl(fd, request, arg);
}

// Programming clears bits only: the stored byte becomes old AND new.
extern "C" ssize_t __wrap_pwrite(int fd, const void* buf, size_t count, off_t offset) {
  if (!g_fake) return __real_pwrite(fd, buf, count, offset);
  ++g_counts.programs;
  std::string cells(count, '\0');
  if (__real_pread(fd, &cells[0], count, offset) != static_cast<ssize_t>(count)) return -1;
  const auto* b = static_cast<const unsigned char*>(buf);
  size_t done = count;
  const bool cut = cut_now();
  if (cut) done = count * static_cast<size_t>(g_part) / static_cast<size_t>(g_parts);
  const auto covers = [&](uint32_t at) {
    return at != kNoFault && static_cast<off_t>(at) >= offset && static_cast<size_t>(static_cast<off_t>(at) - offset) < count;
  };
  if (covers(g_lost_program)) return static_cast<ssize_t>(count);
  for (size_t i = 0; i < done; ++i) cells[i] = static_cast<char>(static_cast<unsigned char>(cells[i]) & b[i]);
  if (covers(g_stuck_at)) cells[g_stuck_at - offset] = static_cast<char>(cells[g_stuck_at - offset] | g_stuck_mask);
  if (cut && done < count)  // the byte being programmed: some of its bits
    cells[done] = static_cast<char>(static_cast<unsigned char>(cells[done]) & (b[done] | static_cast<unsigned char>(rnd())));
  ssize_t n = __real_pwrite(fd, cells.data(), count, offset);
  if (cut) power_off(false, static_cast<uint32_t>(offset + static_cast<off_t>(done)));
  return n;
}

extern "C" ssize_t __wrap_pread(int fd, void* buf, size_t count, off_t offset) {
  ssize_t n = __real_pread(fd, buf, count, offset);
  if (n > 0) g_counts.bytes_read += n;
  return n;
}
