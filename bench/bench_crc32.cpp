// bench_crc32: the firmware CRC-32 against zlib's over an 8 MiB image, and the
// ratio of their throughputs (ours / zlib; 1.0 or more is the target). Also the
// service's own use: a running CRC over the image in 1514-byte chunks.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "link_protocol.h"

uint32_t zlib_crc32(uint32_t crc, const uint8_t* data, uint32_t count);

namespace {

constexpr uint32_t kImageSize = 8u << 20;

const std::vector<uint8_t>& image() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> b(kImageSize);
    uint32_t x = 2463534242u;
    for (auto& v : b) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      v = static_cast<uint8_t>(x);
    }
    return b;
  }();
  return bytes;
}

void BM_crc32(benchmark::State& state) {
  const auto& img = image();
  for (auto _ : state) benchmark::DoNotOptimize(crc32(0, img.data(), kImageSize));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}

void BM_zlib_crc32(benchmark::State& state) {
  const auto& img = image();
  for (auto _ : state) benchmark::DoNotOptimize(zlib_crc32(0, img.data(), kImageSize));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}

constexpr uint32_t kChunk = 1514;

template <uint32_t (*Crc)(uint32_t, const uint8_t*, uint32_t)>
void chunked(benchmark::State& state) {
  const auto& img = image();
  for (auto _ : state) {
    uint32_t c = 0;
    for (uint32_t off = 0; off < kImageSize; off += kChunk)
      c = Crc(c, img.data() + off, off + kChunk <= kImageSize ? kChunk : kImageSize - off);
    benchmark::DoNotOptimize(c);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageSize);
}
void BM_crc32_chunks(benchmark::State& state) { chunked<crc32>(state); }
void BM_zlib_crc32_chunks(benchmark::State& state) { chunked<zlib_crc32>(state); }

// Repetitions, interleaved at random (see main), even out the noise of a
// shared machine.
BENCHMARK(BM_crc32)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_zlib_crc32)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_crc32_chunks)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_zlib_crc32_chunks)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Keeps the median MiB/s of each benchmark for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, so that the figures read cleanly from a pipe or file.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      const double seconds = run.GetAdjustedCPUTime() / 1000.0;  // CPU milliseconds per iteration
      mib_per_s[run.run_name.function_name] = seconds > 0 ? (kImageSize / 1048576.0) / seconds : 0;
    }
  }
  std::map<std::string, double> mib_per_s;
};

}  // namespace

int main(int argc, char** argv) {
  // Random interleaving unless the command line says otherwise: the two
  // implementations then share the same moments of a noisy machine.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);  // a later flag on the command line wins
  int args_count = static_cast<int>(args.size());
  benchmark::Initialize(&args_count, args.data());
  if (crc32(0, image().data(), kImageSize) != zlib_crc32(0, image().data(), kImageSize)) {
    std::fprintf(stderr, "bench_crc32: the two CRC-32 values differ\n");
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours_chunks = reporter.mib_per_s["BM_crc32_chunks"],
               zlib_chunks = reporter.mib_per_s["BM_zlib_crc32_chunks"];
  if (ours_chunks > 0 && zlib_chunks > 0)
    std::printf("crc32 in %u-byte chunks %.0f MiB/s, zlib crc32 %.0f MiB/s, ratio %.2f\n", kChunk, ours_chunks,
                zlib_chunks, ours_chunks / zlib_chunks);
  const double ours = reporter.mib_per_s["BM_crc32"], zlib = reporter.mib_per_s["BM_zlib_crc32"];
  if (ours > 0 && zlib > 0)
    std::printf("crc32 %.0f MiB/s, zlib crc32 %.0f MiB/s, ratio %.2f (target >= 1.0)\n", ours, zlib, ours / zlib);
  benchmark::Shutdown();
  return 0;
}
