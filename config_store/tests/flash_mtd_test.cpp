// flash_write on a flash device: the MTD ioctls are wrapped at link time
// (-Wl,--wrap=ioctl,--wrap=pwrite) so that a plain image file behaves like NOR
// flash: MEMGETINFO reports erase blocks, MEMERASE sets a block to 0xFF, and
// programming can only clear bits. A write that skipped the erase, or lost the
// bytes around its range, shows up as changed neighbours.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "device_root.h"
#include "nvram.h"

namespace {
constexpr uint32_t kEraseSize = 4096;
constexpr uint32_t kSize = 65536;
std::vector<std::pair<uint32_t, uint32_t>> g_erases;
bool g_fake_mtd = true;
}  // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, ...);
extern "C" ssize_t __real_pwrite(int fd, const void* buf, size_t count, off_t offset);

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (g_fake_mtd && request == MEMGETINFO) {
    auto* info = static_cast<mtd_info_user*>(arg);
    *info = mtd_info_user{};
    info->type = MTD_NORFLASH;
    info->size = kSize;
    info->erasesize = kEraseSize;
    return 0;
  }
  if (g_fake_mtd && request == MEMERASE) {
    auto* e = static_cast<erase_info_user*>(arg);
    g_erases.emplace_back(e->start, e->length);
    if (e->start % kEraseSize || e->length % kEraseSize) return -1;
    std::string ff(e->length, '\xff');
    return __real_pwrite(fd, ff.data(), ff.size(), e->start) == static_cast<ssize_t>(ff.size()) ? 0 : -1;
  }
  return __real_ioctl(fd, request, arg);
}

// Programming flash clears bits only: the stored byte becomes old AND new.
extern "C" ssize_t __wrap_pwrite(int fd, const void* buf, size_t count, off_t offset) {
  if (!g_fake_mtd) return __real_pwrite(fd, buf, count, offset);
  std::string old(count, '\0');
  if (pread(fd, &old[0], count, offset) != static_cast<ssize_t>(count)) return -1;
  const auto* b = static_cast<const unsigned char*>(buf);
  for (size_t i = 0; i < count; ++i) old[i] = static_cast<char>(static_cast<unsigned char>(old[i]) & b[i]);
  return __real_pwrite(fd, old.data(), count, offset);
}

namespace {

TEST(FlashOnMtd, ErasesWholeBlocksAndKeepsTheirOtherBytes) {
  qvtest::DeviceRoot root;
  setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
  std::string image(kSize, '\0');
  for (uint32_t i = 0; i < kSize; ++i) image[i] = static_cast<char>(i * 7 + 3);
  root.poke("Factory", 0, image);

  struct Case {
    int offset;
    int count;
    std::vector<std::pair<uint32_t, uint32_t>> erases;
  } cases[] = {
      {0x28, 6, {{0, kEraseSize}}},
      {kEraseSize - 2, 4, {{0, kEraseSize}, {kEraseSize, kEraseSize}}},
      {3 * kEraseSize, static_cast<int>(kEraseSize), {{3 * kEraseSize, kEraseSize}}},
      {kSize - 1, 1, {{kSize - kEraseSize, kEraseSize}}},
      {100, 0, {}},
  };
  for (const auto& c : cases) {
    g_erases.clear();
    std::string data(static_cast<size_t>(c.count), '\x5a');
    EXPECT_EQ(flash_write("Factory", reinterpret_cast<const unsigned char*>(data.data()), c.offset, c.count), c.count);
    image.replace(static_cast<size_t>(c.offset), data.size(), data);
    EXPECT_EQ(root.peek("Factory", 0, kSize), image) << c.offset;
    EXPECT_EQ(g_erases, c.erases) << c.offset;
  }
  g_erases.clear();
  const unsigned char b[2] = {0, 0};
  EXPECT_LT(flash_write("Factory", b, kSize - 1, 2), 0);
  EXPECT_TRUE(g_erases.empty());
  unsetenv("QV_DEVICE_ROOT");
}

}  // namespace
