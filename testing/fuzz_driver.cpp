// Standalone driver for fuzz targets where libFuzzer is not available (gcc, the
// device build under qemu): feeds the target a fixed number of pseudo-random
// inputs of varied length, so that the same target runs in every build.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  long runs = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
  uint32_t state = 0x12345678u;
  auto next = [&state]() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  std::vector<uint8_t> buf;
  for (long i = 0; i < runs; ++i) {
    size_t len = next() % 2048;
    if (i % 4 == 0) len %= 64;
    buf.resize(len);
    for (auto& b : buf) b = static_cast<uint8_t>(next());
    // Keep some inputs mostly zero: many parsers only reach deep code on such bytes.
    if (i % 3 == 0)
      for (size_t k = 0; k < len; ++k)
        if (next() % 4) buf[k] = 0;
    LLVMFuzzerTestOneInput(buf.data(), buf.size());
  }
  std::printf("fuzz driver: %ld inputs, no failure\n", runs);
  return 0;
}
