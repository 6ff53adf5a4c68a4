#include "progress.h"

#include "text.h"

namespace mfgstation {

namespace {

double mib_per_second(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / 1048576.0 / seconds : 0.0;
}

int percent(uint64_t done, uint64_t total) {
  return total ? static_cast<int>(done * 100 / total) : 100;
}

}  // namespace

std::string progress_bar_line(uint64_t done, uint64_t total, double seconds) {
  constexpr int kWidth = 30;
  int filled = total ? static_cast<int>(done * kWidth / total) : kWidth;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), '.');
  return format("[%s] %llu/%llu bytes %3d%% %6.2f MiB/s", bar.c_str(), static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(total), percent(done, total), mib_per_second(done, seconds));
}

std::string progress_plain_line(uint64_t done, uint64_t total, double seconds) {
  return format("flash: %llu of %llu bytes sent (%d%%), %.2f MiB/s", static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(total), percent(done, total), mib_per_second(done, seconds));
}

}  // namespace mfgstation
