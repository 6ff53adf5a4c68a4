// mtd_write write FILE PARTITION
//
// The flash tool that mfglinkd runs to put a received image into "Kernel":
// writes FILE from the first byte of the flash partition PARTITION (as
// /proc/mtd names it), through the store's own flash_write, which erases every
// erase block it writes. Every byte is read back from the partition and
// compared. A file larger than the partition is refused before anything is
// erased. Exit status 0 when the partition holds the file, 1 otherwise, with
// the reason on standard error.
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "nvram.h"

// The ioctl numbers encode these sizes: a header of another layout would ask
// the driver for something else.
static_assert(sizeof(mtd_info_user) == 32, "MEMGETINFO record");
static_assert(sizeof(erase_info_user) == 8, "MEMERASE record");

namespace {

// How much of the image is in memory at once; flash_write takes any count at
// any offset, so this need not match the erase block.
constexpr int kChunk = 65536;
unsigned char g_image[kChunk];
unsigned char g_flash[kChunk];

int usage() {
  std::fprintf(stderr, "Usage: mtd_write write FILE PARTITION\n");
  return 1;
}

int write_partition(const char* file, const char* part) {
  std::FILE* in = std::fopen(file, "rb");
  struct stat st {};
  if (!in || fstat(fileno(in), &st) != 0) {
    std::fprintf(stderr, "mtd_write: %s: %s\n", file, std::strerror(errno));
    if (in) std::fclose(in);
    return 1;
  }
  // Read back without a buffer of its own, so that every read after a write
  // comes from the flash.
  const int fd = mtd_open(part, O_RDONLY);
  std::FILE* flash = fd < 0 ? nullptr : fdopen(fd, "rb");
  if (!flash) {
    std::fprintf(stderr, "mtd_write: no partition \"%s\"\n", part);
    if (fd >= 0) close(fd);
    std::fclose(in);
    return 1;
  }
  setvbuf(flash, nullptr, _IONBF, 0);
  int status = 1;
  mtd_info_user info {};
  if (ioctl(fd, MEMGETINFO, &info) != 0) {
    std::fprintf(stderr, "mtd_write: \"%s\" is not a flash device: %s\n", part, std::strerror(errno));
  } else if (st.st_size > static_cast<off_t>(info.size)) {
    std::fprintf(stderr, "mtd_write: %s (%lld bytes) does not fit into \"%s\" (%u bytes)\n", file,
                 static_cast<long long>(st.st_size), part, info.size);
  } else {
    const int size = static_cast<int>(st.st_size);
    int at = 0;
    status = 0;
    while (status == 0 && at < size) {
      const int n = size - at < kChunk ? size - at : kChunk;
      const size_t len = static_cast<size_t>(n);
      if (std::fread(g_image, 1, len, in) != len) {
        std::fprintf(stderr, "mtd_write: cannot read %s at offset %d\n", file, at);
        status = 1;
      } else if (flash_write(part, g_image, at, n) < 0) {
        std::fprintf(stderr, "mtd_write: cannot write \"%s\" at offset %d\n", part, at);
        status = 1;
      } else if (std::fseek(flash, at, SEEK_SET) != 0 || std::fread(g_flash, 1, len, flash) != len) {
        std::fprintf(stderr, "mtd_write: cannot read \"%s\" back at offset %d\n", part, at);
        status = 1;
      } else if (std::memcmp(g_image, g_flash, len) != 0) {
        int i = 0;
        while (g_image[i] == g_flash[i]) ++i;
        std::fprintf(stderr, "mtd_write: \"%s\" holds 0x%02x at offset %d where %s has 0x%02x\n", part,
                     g_flash[i], at + i, file, g_image[i]);
        status = 1;
      }
      at += n;
    }
    if (status == 0) std::printf("mtd_write: wrote %d bytes to \"%s\"\n", size, part);
  }
  std::fclose(flash);
  std::fclose(in);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[1], "write") != 0) return usage();
  return write_partition(argv[2], argv[3]);
}
