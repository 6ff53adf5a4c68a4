#include "flash_mtd.h"

#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool in_range(const flash_dev& dev, uint32_t offset, uint32_t count) {
  return offset <= dev.size && count <= dev.size - offset;
}

int fail(int err) {
  errno = err;
  return -1;
}

// The whole count at the offset, or -1: a short transfer goes on where it
// stopped, and an end of the device is an error rather than a silent zero.
template <typename Byte, typename Io>
int transfer_full(Io io, int fd, Byte* p, uint32_t len, uint32_t at) {
  while (len > 0) {
    ssize_t n = io(fd, p, len, at);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return fail(EIO);
    if (n < 0) return -1;
    p += n;
    at += static_cast<uint32_t>(n);
    len -= static_cast<uint32_t>(n);
  }
  return 0;
}

int read_full(int fd, void* buf, uint32_t len, uint32_t at) {
  return transfer_full(pread, fd, static_cast<char*>(buf), len, at);
}

int write_full(int fd, const void* buf, uint32_t len, uint32_t at) {
  return transfer_full(pwrite, fd, static_cast<const char*>(buf), len, at);
}

constexpr uint32_t kChunk = 4096;

}  // namespace

int flash_probe(int fd, flash_dev* dev) {
  dev->fd = fd;
  mtd_info_user info{};
  if (ioctl(fd, MEMGETINFO, &info) == 0 && info.erasesize > 0) {
    dev->size = info.size;
    dev->erase_size = info.erasesize;
    dev->mtd = true;
    return 0;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > 0x7fffffff) return fail(ENODEV);
  dev->size = static_cast<uint32_t>(st.st_size);
  dev->erase_size = dev->size % kImageEraseBytes == 0 ? kImageEraseBytes : dev->size;
  dev->mtd = false;
  return 0;
}

int flash_read(const flash_dev& dev, uint32_t offset, void* buf, uint32_t count) {
  if (!in_range(dev, offset, count)) return fail(EINVAL);
  return read_full(dev.fd, buf, count, offset);
}

int flash_erase(const flash_dev& dev, uint32_t offset, uint32_t count) {
  if (!in_range(dev, offset, count) || offset % dev.erase_size || count % dev.erase_size) return fail(EINVAL);
  static unsigned char ff[kChunk];
  std::memset(ff, 0xFF, sizeof ff);
  for (uint32_t at = offset; at < offset + count; at += dev.erase_size) {
    if (dev.mtd) {
      erase_info_user erase{at, dev.erase_size};
      if (ioctl(dev.fd, MEMERASE, &erase) != 0) return -1;
      continue;
    }
    for (uint32_t i = 0; i < dev.erase_size; i += kChunk) {
      const uint32_t n = dev.erase_size - i < kChunk ? dev.erase_size - i : kChunk;
      if (write_full(dev.fd, ff, n, at + i) != 0) return -1;
    }
  }
  return dev.mtd || fsync(dev.fd) == 0 ? 0 : -1;
}

int flash_program(const flash_dev& dev, uint32_t offset, const void* buf, uint32_t count) {
  if (!in_range(dev, offset, count)) return fail(EINVAL);
  if (dev.mtd) return write_full(dev.fd, buf, count, offset);
  const auto* in = static_cast<const unsigned char*>(buf);
  unsigned char cells[kChunk];
  for (uint32_t i = 0; i < count; i += kChunk) {
    const uint32_t n = count - i < kChunk ? count - i : kChunk;
    if (read_full(dev.fd, cells, n, offset + i) != 0) return -1;
    for (uint32_t k = 0; k < n; ++k) cells[k] &= in[i + k];
    if (write_full(dev.fd, cells, n, offset + i) != 0) return -1;
  }
  return fsync(dev.fd) == 0 ? 0 : -1;
}

int flash_is_erased(const flash_dev& dev, uint32_t offset, uint32_t count) {
  unsigned char cells[kChunk];
  for (uint32_t i = 0; i < count; i += kChunk) {
    const uint32_t n = count - i < kChunk ? count - i : kChunk;
    if (flash_read(dev, offset + i, cells, n) != 0) return -1;
    for (uint32_t k = 0; k < n; ++k)
      if (cells[k] != 0xFF) return 0;
  }
  return 1;
}

int flash_rewrite(const flash_dev& dev, uint32_t offset, const void* buf, uint32_t count) {
  if (!in_range(dev, offset, count)) return fail(EINVAL);
  if (count == 0) return 0;
  const uint32_t es = dev.erase_size;
  auto* block = static_cast<unsigned char*>(std::malloc(es));
  if (!block) return -1;
  int rc = 0;
  const auto* in = static_cast<const unsigned char*>(buf);
  const uint32_t end = offset + count;
  for (uint32_t at = offset; rc == 0 && at < end;) {
    const uint32_t start = at - at % es;
    const uint32_t stop = end - start < es ? end : start + es;
    rc = read_full(dev.fd, block, es, start);
    // New bytes that only clear bits are programmed over the old ones: no erase,
    // so no moment in which the erase block holds only what is in memory.
    bool clears_only = true;
    for (uint32_t i = at; rc == 0 && clears_only && i < stop; ++i)
      clears_only = (block[i - start] & in[i - offset]) == in[i - offset];
    if (rc == 0 && clears_only) {
      rc = flash_program(dev, at, in + (at - offset), stop - at);
      at = stop;
      continue;
    }
    if (rc == 0) {
      std::memcpy(block + (at - start), in + (at - offset), stop - at);
      rc = flash_erase(dev, start, es);
    }
    if (rc == 0) rc = flash_program(dev, start, block, es);
    at = stop;
  }
  std::free(block);
  return rc;
}
