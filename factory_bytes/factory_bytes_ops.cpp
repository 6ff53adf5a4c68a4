// Reading, showing and writing ranges of the "Factory" partition, through the
// store library's mtd_open and flash_write only.
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "factory_bytes.h"
#include "nvram.h"

namespace {

constexpr char kPartition[] = "Factory";

}  // namespace

int32_t parse_hex32(const char* text) {
  // Read as the device's 32-bit strtoul reads it, also where unsigned long is
  // wider: a magnitude beyond 32 bits saturates at 0xFFFFFFFF, and a negative
  // number wraps modulo 2^32 ("-2" is 0xFFFFFFFE, not the 64-bit wrap saturated).
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 16);
  if (errno == ERANGE) return -1;
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = end != text && *p == '-';
  const unsigned long magnitude = negative ? 0ul - value : value;
  if (magnitude > 0xFFFFFFFFul) return -1;
  const uint32_t narrow = static_cast<uint32_t>(magnitude);
  return static_cast<int32_t>(negative ? 0u - narrow : narrow);
}

void print_dump(FILE* out, int32_t offset, const unsigned char* buf, int32_t size, int32_t valid) {
  for (int32_t i = 0; i < size; ++i) {
    const long long at = static_cast<long long>(offset) + i;
    const int column = static_cast<int>(at % 16);
    if (i == 0 || column == 0) std::fprintf(out, "%04llx ", at / 16);
    if (i == 0)
      for (int c = 0; c < column; ++c) std::fputs("-- ", out);
    if (i < valid)
      std::fprintf(out, "%02x", buf[i]);
    else
      std::fputs("--", out);
    std::fputc(column == 15 ? '\n' : ' ', out);
  }
  std::fputc('\n', out);
}

int read_bytes(int32_t offset, unsigned char* buf, int32_t size) {
  const int fd = mtd_open(kPartition, 0);
  if (fd < 0) {
    std::printf("Cannot open Factory\n");
    return -1;
  }
  // An offset that cannot be reached (a negative one: lseek's -1 would pass for
  // the offset -1) fails like a read, rather than showing bytes from wherever
  // the descriptor stands.
  bool failed = offset < 0 || lseek(fd, offset, SEEK_SET) < 0;
  int32_t got = 0;
  while (!failed && got < size) {
    const ssize_t n = read(fd, buf + got, static_cast<size_t>(size - got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed = true;
    if (n <= 0) break;
    got += static_cast<int32_t>(n);
  }
  close(fd);
  if (failed) {
    std::printf("Cannot read Factory %d,%d\n", static_cast<int>(offset), static_cast<int>(size));
    return -1;
  }
  std::printf("EEPROM:\n");
  print_dump(stdout, offset, buf, size, got);
  return got;
}

int write_bytes(int32_t offset, const unsigned char* data, int32_t size) {
  std::printf("Update...\n");
  const int rc = flash_write(kPartition, data, offset, size);
  if (rc < 0) {
    std::printf("Cannot write Factory\n");
    return -1;
  }
  return rc;
}

namespace {

// A range buffer, cleared, so that no byte of it is ever shown unread. Null
// for a size that is negative or longer than any range the tool handles.
unsigned char* range_buffer(int32_t size) {
  if (size < 0 || size > kMaxRange) return nullptr;
  return static_cast<unsigned char*>(std::calloc(size > 0 ? static_cast<size_t>(size) : 1, 1));
}

}  // namespace

void usage(const char* program) {
  std::printf("Usage:\n %s g <offset> <size>\n %s s <offset> <byte0 byte1 ...>\n", program, program);
}

int handle_get(int argc, char** argv) {
  if (argc < 4) {
    usage(argv[0]);
    return -1;
  }
  const int32_t offset = parse_hex32(argv[2]);
  const int32_t size = parse_hex32(argv[3]);
  unsigned char* buf = range_buffer(size);
  if (!buf) return -1;
  read_bytes(offset, buf, size);
  std::free(buf);
  return 0;
}

int handle_set(int argc, char** argv) {
  if (argc < 4) {
    usage(argv[0]);
    return -1;
  }
  const int32_t offset = parse_hex32(argv[2]);
  const int32_t count = argc - 3;
  unsigned char* next = range_buffer(count);
  if (!next) return -1;
  for (int32_t i = 0; i < count; ++i) {
    const char* arg = argv[3 + i];
    const unsigned long value = std::strtoul(arg, nullptr, 16);
    if (value >= 256) {
      std::printf("byte%d %s is out of range (0~255)\n", static_cast<int>(i), arg);
      std::free(next);
      return -1;
    }
    next[i] = static_cast<unsigned char>(value);
  }
  unsigned char* current = range_buffer(count);
  if (!current) {
    std::free(next);
    return -1;
  }
  // Only a range read whole can be compared: after a failed or short read the
  // stored bytes are unknown (or past the partition's end), so nothing is written.
  // A failed read has said so; a short one says it here.
  const int got = read_bytes(offset, current, count);
  if (got >= 0 && got < count) {
    std::printf("Nothing written: only %d of the %d bytes lie within Factory\n", got, static_cast<int>(count));
  } else if (got == count && std::memcmp(current, next, static_cast<size_t>(count)) != 0) {
    write_bytes(offset, next, count);
    std::memset(current, 0, static_cast<size_t>(count));
    read_bytes(offset, current, count);
  }
  std::free(current);
  std::free(next);
  return 0;
}
