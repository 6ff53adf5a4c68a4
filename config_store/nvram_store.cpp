// The configuration store and flash access, kept in the "Config" and other MTD
// partitions found through /proc/mtd.
//
// Persistent form: the Config partition holds NVRAM_BLOCK_COUNT blocks of
// NVRAM_BLOCK_BYTES each. A block is its entries as key=value\0 one after the
// other, then erased bytes (0xFF). So the entries of block 0 stand raw within the
// partition's first 65536 bytes, where the factory data publisher reads them.
//
// Every change rewrites one block in a single flash_write while holding an
// exclusive flock on the partition, so two writers never lose each other's
// update; readers take a shared lock and never see half a block.
#include "nvram.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_path.h"
#include "mtd_table.h"
#include "nvram_admin.h"

namespace {

constexpr char kConfigPartition[] = "Config";
constexpr int kAreaSize = NVRAM_BLOCK_BYTES;

struct Area {
  char bytes[kAreaSize];
};

bool valid_index(int index) { return index >= 0 && index < NVRAM_BLOCK_COUNT; }

bool read_full(int fd, void* buf, size_t len, off_t at) {
  char* p = static_cast<char*>(buf);
  while (len > 0) {
    ssize_t n = pread(fd, p, len, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    at += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool write_full(int fd, const void* buf, size_t len, off_t at) {
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = pwrite(fd, p, len, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    at += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// An opened Config partition, locked for as long as it lives.
struct LockedConfig {
  int fd = -1;
  LockedConfig(int flags, int lock) {
    fd = mtd_open(kConfigPartition, flags);
    if (fd >= 0 && flock(fd, lock) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~LockedConfig() {
    if (fd >= 0) close(fd);  // closing releases the lock
  }
  LockedConfig(const LockedConfig&) = delete;
  LockedConfig& operator=(const LockedConfig&) = delete;
};

bool read_area(int fd, int index, Area& area) {
  return read_full(fd, area.bytes, sizeof area.bytes, static_cast<off_t>(index) * kAreaSize);
}

// Walks the entries of an area: calls fn(entry, length) for each key=value text
// (length without the NUL). Stops at the first entry that starts with 0x00 or
// 0xFF, or that has no terminating NUL inside the area.
template <typename Fn>
void walk(const Area& area, Fn fn) {
  int at = 0;
  while (at < kAreaSize) {
    unsigned char first = static_cast<unsigned char>(area.bytes[at]);
    if (first == 0x00 || first == 0xFF) return;
    const void* nul = std::memchr(area.bytes + at, '\0', static_cast<size_t>(kAreaSize - at));
    if (!nul) return;
    int len = static_cast<int>(static_cast<const char*>(nul) - (area.bytes + at));
    if (!fn(area.bytes + at, len)) return;
    at += len + 1;
  }
}

// The value of key in area, or nullptr.
const char* find_value(const Area& area, const char* key) {
  size_t klen = std::strlen(key);
  const char* value = nullptr;
  walk(area, [&](const char* entry, int len) {
    if (static_cast<size_t>(len) > klen && entry[klen] == '=' && std::memcmp(entry, key, klen) == 0) {
      value = entry + klen + 1;
      return false;
    }
    return true;
  });
  return value;
}

// Builds into out the area with key set to value (in place of its old entry, or
// appended). False when the result does not fit.
bool with_entry(const Area& in, Area& out, const char* key, const char* value) {
  size_t klen = std::strlen(key);
  size_t need = klen + 1 + std::strlen(value) + 1;
  int at = 0;
  bool placed = false;
  bool fits = true;
  auto put = [&](const char* text, size_t len) {
    if (at + len > static_cast<size_t>(kAreaSize)) return fits = false;
    std::memcpy(out.bytes + at, text, len);
    at += static_cast<int>(len);
    return true;
  };
  auto put_new = [&]() {
    if (at + need > static_cast<size_t>(kAreaSize)) return fits = false;
    at += std::snprintf(out.bytes + at, need, "%s=%s", key, value) + 1;
    return placed = true;
  };
  walk(in, [&](const char* entry, int len) {
    bool same = static_cast<size_t>(len) > klen && entry[klen] == '=' && std::memcmp(entry, key, klen) == 0;
    if (same) return placed ? true : put_new();
    return put(entry, static_cast<size_t>(len) + 1);
  });
  if (fits && !placed) put_new();
  if (!fits) return false;
  std::memset(out.bytes + at, 0xFF, static_cast<size_t>(kAreaSize - at));
  return true;
}

int write_area(int index, const Area& area) {
  const int rc = flash_write(kConfigPartition, reinterpret_cast<const unsigned char*>(area.bytes),
                             index * kAreaSize, kAreaSize);
  return rc < 0 ? -1 : 0;
}

// nvram_get's result: valid until the next store call.
char g_value[kAreaSize];

// nvram_bufget's results live until the program ends: each is copied into an
// append-only arena that is never reused.
struct ArenaChunk {
  ArenaChunk* next;
  size_t used;
  char text[32768];
};
ArenaChunk* g_arena = nullptr;  // reachable for as long as the program runs

const char* keep(const char* value) {
  size_t len = std::strlen(value) + 1;
  if (len > sizeof g_arena->text) len = sizeof g_arena->text;
  if (!g_arena || g_arena->used + len > sizeof g_arena->text) {
    auto* chunk = static_cast<ArenaChunk*>(std::malloc(sizeof(ArenaChunk)));
    if (!chunk) return "";
    chunk->next = g_arena;
    chunk->used = 0;
    g_arena = chunk;
  }
  char* out = g_arena->text + g_arena->used;
  std::memcpy(out, value, len);
  out[len - 1] = '\0';
  g_arena->used += len;
  return out;
}

bool lookup(int index, const char* key, char* out, size_t size) {
  out[0] = '\0';
  if (!valid_index(index) || !key || !*key) return false;
  LockedConfig config(O_RDONLY, LOCK_SH);
  if (config.fd < 0) return false;
  static Area area;
  if (!read_area(config.fd, index, area)) return false;
  const char* value = find_value(area, key);
  if (!value) return false;
  std::snprintf(out, size, "%s", value);
  return true;
}

}  // namespace

extern "C" {

const char* nvram_get(int index, const char* key) {
  lookup(index, key, g_value, sizeof g_value);
  return g_value;
}

const char* nvram_bufget(int index, const char* key) {
  static char value[kAreaSize];
  if (!lookup(index, key, value, sizeof value)) return "";
  return keep(value);
}

int nvram_set(int index, const char* key, const char* value) {
  if (!valid_index(index) || !key || !*key || std::strchr(key, '=') || !value) return -1;
  LockedConfig config(O_RDWR, LOCK_EX);
  if (config.fd < 0) return -1;
  static Area current, next;
  if (!read_area(config.fd, index, current)) return -1;
  if (!with_entry(current, next, key, value)) return -1;  // the block is full
  return write_area(index, next);
}

int nvram_foreach(int index, void (*fn)(const char* key, const char* value, void* ctx), void* ctx) {
  if (!valid_index(index) || !fn) return -1;
  LockedConfig config(O_RDONLY, LOCK_SH);
  if (config.fd < 0) return -1;
  static Area area;
  if (!read_area(config.fd, index, area)) return -1;
  int count = 0;
  walk(area, [&](const char* entry, int len) {
    char text[kAreaSize];
    std::memcpy(text, entry, static_cast<size_t>(len) + 1);
    char* eq = std::strchr(text, '=');
    if (eq) {
      *eq = '\0';
      fn(text, eq + 1, ctx);
      ++count;
    }
    return true;
  });
  return count;
}

int nvram_load_block(int index, const char* path) {
  if (!valid_index(index)) return -1;
  LockedConfig config(O_RDWR, LOCK_EX);
  if (config.fd < 0) return -1;
  static Area area;
  std::memset(area.bytes, 0xFF, sizeof area.bytes);
  FILE* f = path ? std::fopen(path, "r") : nullptr;
  if (f) {
    int at = 0;
    char line[4096];
    while (std::fgets(line, sizeof line, f)) {
      line[std::strcspn(line, "\r\n")] = '\0';
      if (line[0] == '\0' || line[0] == '#' || line[0] == '=' || !std::strchr(line, '=')) continue;
      size_t len = std::strlen(line) + 1;
      if (at + len > sizeof area.bytes) {
        std::fclose(f);
        return -1;
      }
      std::memcpy(area.bytes + at, line, len);
      at += static_cast<int>(len);
    }
    std::fclose(f);
  }
  return write_area(index, area);
}

int mtd_open(const char* name, int flags) {
  char dev[kDevicePathMax];
  if (mtd_find_device(name, dev, sizeof dev) < 0) return -1;
  return open(dev, flags);
}

int flash_write(const char* name, const unsigned char* buf, int offset, int count) {
  if (!buf || offset < 0 || count < 0) return -1;
  int fd = mtd_open(name, O_RDWR);
  if (fd < 0) return -1;

  int rc = -1;
  mtd_info_user info{};
  if (ioctl(fd, MEMGETINFO, &info) == 0 && info.erasesize > 0) {
    // A real flash device: erase and rewrite every erase block that the range
    // touches, keeping the bytes around the range as they were.
    const uint32_t es = info.erasesize;
    if (static_cast<uint64_t>(offset) + static_cast<uint32_t>(count) <= info.size) {
      unsigned char* block = static_cast<unsigned char*>(std::malloc(es));
      rc = block ? 0 : -1;
      uint32_t at = static_cast<uint32_t>(offset);
      const uint32_t end = at + static_cast<uint32_t>(count);
      while (rc == 0 && at < end) {
        const uint32_t start = at - at % es;
        const uint32_t stop = start + es < end ? start + es : end;
        erase_info_user erase{start, es};
        if (!read_full(fd, block, es, start)) rc = -1;
        else {
          std::memcpy(block + (at - start), buf + (at - static_cast<uint32_t>(offset)), stop - at);
          if (ioctl(fd, MEMERASE, &erase) != 0 || !write_full(fd, block, es, start)) rc = -1;
        }
        at = stop;
      }
      std::free(block);
    }
  } else {
    // A plain image file: write in place, never beyond its end.
    struct stat st{};
    if (fstat(fd, &st) == 0 && static_cast<long long>(offset) + count <= st.st_size &&
        write_full(fd, buf, static_cast<size_t>(count), offset) && fsync(fd) == 0)
      rc = 0;
  }
  close(fd);
  return rc < 0 ? -1 : count;
}

}  // extern "C"
