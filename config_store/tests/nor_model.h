// NOR flash for tests, linked with -Wl,--wrap=ioctl,--wrap=pwrite,--wrap=pread:
// with fake_mtd on, every file answers MEMGETINFO as a NOR partition of the given
// geometry, MEMERASE sets whole erase blocks to 0xFF, and a write programs (the
// stored byte becomes old AND new). A power cut can be set at any erase or
// program step: that step does part of its work, then the process ends.
#ifndef QV_CONFIG_STORE_TESTS_NOR_MODEL_H
#define QV_CONFIG_STORE_TESTS_NOR_MODEL_H

#include <cstdint>
#include <utility>
#include <vector>

namespace nor {

constexpr int kCutExit = 86;  // exit status of a process whose power was cut

void fake_mtd(bool on, uint32_t size = 65536, uint32_t erase_size = 4096);

// Faults of worn flash, until the next fake_mtd: a program that covers offset
// reports success and changes nothing; the bits of mask at offset never clear.
void lost_program_at(uint32_t offset);
void stuck_bits_at(uint32_t offset, uint8_t mask);

struct Counts {
  long erases = 0;  // erase blocks erased
  long programs = 0;
  long bytes_read = 0;
  std::vector<std::pair<uint32_t, uint32_t>> erase_calls;  // start, length of each MEMERASE
};
Counts& counts();

// What a cut erase leaves, at progress part / parts:
//   raise:       each bit that is 0 has risen with that chance;
//   barely:      the erase had barely started: part + 1 bits somewhere in the
//                erase blocks have risen, nothing else;
//   zeros_first: the chip programs every byte to 0x00 before it erases: in the
//                first half, the bytes up to that point are 0x00 (the last one
//                partly); in the second, every byte was 0x00 and each bit has
//                risen with the chance of the progress made in that half.
enum class EraseCut { raise, barely, zeros_first };
constexpr const char* kEraseCutNames[] = {"raise", "barely", "zeros_first"};

// Cuts the power in the step-th erase or program from now (1 = the next). How
// much of it gets done: a program keeps the first part * count / parts bytes and
// leaves the next one half-programmed; an erase as model says. seed varies the
// half-done bits.
void cut_at(long step, int part, int parts, unsigned seed, EraseCut model = EraseCut::raise);
// Steps done since the last cut_at (or since start).
long steps();
// True once an erase has happened since the last op_begin: a cut from then on
// lies inside a compaction.
void op_begin();
bool erased_in_op();
// Called just before the process ends at a cut, with whether it was an erase and
// the offset where the cut met it (an erase's start, a program's first byte not
// done).
void on_cut(void (*fn)(bool erase, uint32_t offset));

}  // namespace nor

#endif
