// The configuration store and flash access, kept in the "Config" and other MTD
// partitions found through /proc/mtd.
//
// Persistent form: the Config partition's first 65536 bytes hold NVRAM_BLOCK_COUNT
// blocks of NVRAM_BLOCK_BYTES, block i at i * NVRAM_BLOCK_BYTES. Each block is a
// log of records (store_log.h): a set appends one record to the block's erased
// space, so the flash is erased only when a block is full. Then every block that
// shares the full block's erase blocks is compacted into memory, the erase blocks
// are erased, and the blocks are programmed again, the most precious first: the
// factory entries, the serial number, the user settings, block 2. When the
// partition has room past those erase blocks, a copy of the result goes there
// first, so that a cut in the middle is repaired at the next open.
//
// Writers hold an exclusive flock on the partition, readers a shared one. A
// process keeps the partition open and each block it has read in memory; before
// it uses a block again it reads the block's opening record (whose count every
// compaction raises) and the first erased byte (where the next append goes):
// when another process has appended or compacted since, one of them has changed.
#include "nvram.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_path.h"
#include "flash_mtd.h"
#include "mtd_table.h"
#include "nvram_admin.h"
#include "store_log.h"
#include "store_record.h"

namespace {

using store_log::Change;
using store_log::Scan;

constexpr char kConfigPartition[] = "Config";
constexpr int kBlockBytes = NVRAM_BLOCK_BYTES;
constexpr int kStoreBytes = NVRAM_BLOCK_COUNT * kBlockBytes;
static_assert(kStoreBytes == 65536, "every entry must stand within the partition's first 65536 bytes");

// After a compaction's erase the blocks are programmed in this order, so that a
// power cut in the middle costs the least precious entries.
constexpr int kRewriteOrder[] = {NVRAM_FACTORY_BLOCK, NVRAM_SERIAL_BLOCK, NVRAM_USER_BLOCK, 2};
static_assert(sizeof kRewriteOrder / sizeof kRewriteOrder[0] == NVRAM_BLOCK_COUNT, "every block once");

// Raw readers take the first entry of these keys in the image, so a new value of
// one of them is never appended behind the old one: the block is compacted.
constexpr const char* kFirstMatchKeys[] = {"qvbootver", "qvsig"};

struct Block {
  bool valid;
  unsigned char bytes[kBlockBytes];
  Scan scan;
};

// Zero-filled, as the loader leaves it in any case, until the library's
// initializer has run: pid 0 then marks a store never opened, whatever fd holds
// (0, not yet -1), so that nothing of the caller's is closed.
struct Store {
  int fd = -1;
  pid_t pid = 0;  // the process that opened fd; 0: never opened
  bool writable = false;
  bool exclusive = false;  // the lock is held exclusive: no copy is pending
  char table[kDevicePathMax] = "";  // the /proc/mtd that named the partition
  dev_t table_dev = 0;
  ino_t table_ino = 0;
  flash_dev flash;
  Block blocks[NVRAM_BLOCK_COUNT];
};
Store g_store;

bool valid_index(int index) { return index >= 0 && index < NVRAM_BLOCK_COUNT; }

void forget_blocks() {
  for (Block& b : g_store.blocks) b.valid = false;
}

uint32_t journal_span(uint32_t bytes);
bool journal_replay();
bool read_through_copy(int index, unsigned char* out);

// The Config partition, opened once per process (again after a fork, whose
// child must not share the parent's lock, and when the device root changes).
bool open_store() {
  device_path_buf table;
  struct stat st {};
  if (!device_path(table, "/proc/mtd") || stat(table.text, &st) != 0) return false;
  Store& s = g_store;
  if (s.fd >= 0 && s.pid == getpid() && std::strcmp(s.table, table.text) == 0 && s.table_dev == st.st_dev &&
      s.table_ino == st.st_ino)
    return true;
  if (s.pid != 0 && s.fd >= 0) close(s.fd);  // a forked child's copy: closing it leaves the parent's lock alone
  s.fd = -1;
  forget_blocks();
  int fd = mtd_open(kConfigPartition, O_RDWR);
  s.writable = fd >= 0;
  if (fd < 0) fd = mtd_open(kConfigPartition, O_RDONLY);
  if (fd < 0) return false;
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  if (flash_probe(fd, &s.flash) != 0 || s.flash.size < static_cast<uint32_t>(kStoreBytes)) {
    close(fd);
    return false;
  }
  s.fd = fd;
  s.pid = getpid();
  std::snprintf(s.table, sizeof s.table, "%s", table.text);
  s.table_dev = st.st_dev;
  s.table_ino = st.st_ino;
  if (s.writable && journal_span(0) > 0 && flock(fd, LOCK_EX) == 0) {
    journal_replay();
    flock(fd, LOCK_UN);
  }
  return true;
}

// Holds the store's flock for as long as it lives. A writer first repairs the
// store from a copy that a writer stopped by a cut left, whenever it opened the
// partition: what it writes must not be undone by a later repair.
struct Locked {
  bool ok;
  explicit Locked(int kind) {
    ok = open_store();
    while (ok && flock(g_store.fd, kind) != 0)
      if (errno != EINTR) ok = false;
    if (ok && kind == LOCK_EX && g_store.writable && journal_span(0) > 0 && journal_replay()) forget_blocks();
    g_store.exclusive = ok && kind == LOCK_EX;
  }
  ~Locked() {
    g_store.exclusive = false;
    if (ok) flock(g_store.fd, LOCK_UN);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

// Bytes at a block's start that hold its opening record (at most 15).
constexpr int kHeadBytes = 16;

// Brings the memory copy of block index up to date with the flash.
bool refresh(int index) {
  Block& b = g_store.blocks[index];
  const uint32_t base = static_cast<uint32_t>(index) * kBlockBytes;
  // Every compaction begins the block with an opening record of a new count,
  // which does not repeat within a process's life (a generation mark does, after
  // 127 compactions); an append fills the byte after the copy's end.
  if (b.valid) {
    unsigned char head[kHeadBytes], next = 0xFF;
    const bool appendable = b.scan.clean && b.scan.end < kBlockBytes;
    // A block with a stop can change behind it without a compaction (a torn
    // append voided in place): it is read again.
    if (b.scan.clean && flash_read(g_store.flash, base, head, kHeadBytes) == 0 &&
        (!appendable || flash_read(g_store.flash, base + b.scan.end, &next, 1) == 0) &&
        std::memcmp(head, b.bytes, kHeadBytes) == 0 && next == 0xFF)
      return true;
  }
  b.valid = (!g_store.exclusive && read_through_copy(index, b.bytes)) ||
            flash_read(g_store.flash, base, b.bytes, kBlockBytes) == 0;
  if (b.valid) b.scan = store_log::scan(b.bytes);
  return b.valid;
}

bool first_match_key(const char* key) {
  for (const char* k : kFirstMatchKeys)
    if (std::strcmp(k, key) == 0) return true;
  return false;
}

// Whether key=value would stand in the raw image with "qvbootver=" or "qvsig="
// inside it, where a raw reader could take it for the factory's entry. Only the
// factory block may hold such text.
bool reads_as_factory_entry(const char* key, const char* value) {
  const size_t key_len = std::strlen(key);
  for (const char* k : kFirstMatchKeys) {
    const size_t len = std::strlen(k);
    if (key_len >= len && std::strcmp(key + key_len - len, k) == 0) return true;  // the key's end and its '='
    for (const char* v = value; (v = std::strstr(v, k)) != nullptr; ++v)
      if (v[len] == '=') return true;
  }
  return false;
}

// A copy of a compaction's result in the erase blocks after the store's, when
// the partition has room for it: a cut while the store's erase blocks are erased
// and programmed again is repaired from the copy when the partition is next
// opened. The copy's first byte becomes 0x00 once all of it is on the flash; the
// copy is erased again as soon as the store's blocks are. Then come its head and
// the blocks' bytes, one after the other.
struct JournalHead {
  char magic[4];
  uint32_t lo, hi;                   // the store's range that is erased
  uint16_t used[NVRAM_BLOCK_COUNT];  // bytes of each block in the copy
  uint32_t sum;                      // of the head before it and of the blocks' bytes
};
static_assert(sizeof(JournalHead) == 24, "journal head layout");
constexpr char kJournalMagic[4] = {'Q', 'V', 'J', '1'};
constexpr uint32_t kJournalData = 1 + sizeof(JournalHead);

// The compacted blocks, at their offsets.
unsigned char g_staged[kStoreBytes];

uint32_t round_up(uint32_t n, uint32_t unit) { return (n + unit - 1) / unit * unit; }
uint32_t journal_at() { return round_up(kStoreBytes, g_store.flash.erase_size); }

// Erase blocks of the copy of bytes of blocks, or 0 when the partition has no room.
uint32_t journal_span(uint32_t bytes) {
  const uint32_t span = round_up(kJournalData + bytes, g_store.flash.erase_size);
  return journal_at() + span <= g_store.flash.size ? span : 0;
}

// Programs the blocks back after their erase blocks [lo, hi) are erased.
int program_blocks(uint32_t lo, uint32_t hi, const uint16_t* used) {
  int rc = flash_erase(g_store.flash, lo, hi - lo);
  for (int i : kRewriteOrder)
    if (rc == 0 && used[i] > 0)
      rc = flash_program(g_store.flash, static_cast<uint32_t>(i) * kBlockBytes, g_staged + i * kBlockBytes, used[i]);
  return rc;
}

int journal_write(const JournalHead& head, uint32_t span) {
  const flash_dev& f = g_store.flash;
  const uint32_t at = journal_at();
  const int erased = flash_is_erased(f, at, span);
  if (erased < 0 || (erased == 0 && flash_erase(f, at, span) != 0)) return -1;
  if (flash_program(f, at + 1, &head, sizeof head) != 0) return -1;
  uint32_t data = at + kJournalData;
  for (int i = 0; i < NVRAM_BLOCK_COUNT; ++i) {
    if (head.used[i] > 0 && flash_program(f, data, g_staged + i * kBlockBytes, head.used[i]) != 0) return -1;
    data += head.used[i];
  }
  const unsigned char complete = 0x00;
  return flash_program(f, at, &complete, 1);
}

uint32_t journal_sum(const JournalHead& head) {
  uint32_t sum = store_log::sum_bytes(&head, static_cast<int>(offsetof(JournalHead, sum)), store_log::kSumStart);
  for (int i = 0; i < NVRAM_BLOCK_COUNT; ++i) sum = store_log::sum_bytes(g_staged + i * kBlockBytes, head.used[i], sum);
  return sum;
}

// The copy a compaction left complete, read into g_staged: true when there is
// one and its sum holds. *broken: marked complete, but not a copy the store
// wrote whole (a cut while the copy was erased again).
bool pending_copy(JournalHead* head, uint32_t* bytes, bool* broken) {
  const flash_dev& f = g_store.flash;
  const uint32_t at = journal_at();
  unsigned char complete = 0xFF;
  *broken = false;  // a read that fails tells nothing: the copy stays
  if (flash_read(f, at, &complete, 1) != 0 || complete != 0x00 || flash_read(f, at + 1, head, sizeof *head) != 0)
    return false;
  *broken = std::memcmp(head->magic, kJournalMagic, 4) != 0 || head->lo >= head->hi ||
            head->hi > static_cast<uint32_t>(kStoreBytes) || head->lo % f.erase_size || head->hi % f.erase_size;
  uint32_t data = at + kJournalData;
  *bytes = 0;
  for (int i = 0; i < NVRAM_BLOCK_COUNT && !*broken; ++i) {
    *broken = head->used[i] > kBlockBytes;
    if (!*broken && flash_read(f, data + *bytes, g_staged + i * kBlockBytes, head->used[i]) != 0) return false;
    *bytes += head->used[i];
  }
  *broken = *broken || journal_sum(*head) != head->sum;
  return !*broken;
}

// After a cut in the middle of a compaction: programs the blocks again from a
// complete copy, and erases a broken one, once. Called with the exclusive lock
// held; true when it found a copy to program from.
bool journal_replay() {
  JournalHead head;
  uint32_t bytes = 0;
  bool broken = false;
  if (!pending_copy(&head, &bytes, &broken)) {
    if (broken) flash_erase(g_store.flash, journal_at(), g_store.flash.size - journal_at());
    return false;
  }
  if (program_blocks(head.lo, head.hi, head.used) == 0) flash_erase(g_store.flash, journal_at(), journal_span(bytes));
  return true;
}

// For a process that holds the lock shared: the bytes of block index from a
// complete copy that no writer has programmed back yet (a writer died in its
// compaction). True when it took them.
bool read_through_copy(int index, unsigned char* out) {
  JournalHead head;
  uint32_t bytes = 0;
  bool broken = false;
  const uint32_t start = static_cast<uint32_t>(index) * kBlockBytes;
  if (journal_span(0) == 0 || !pending_copy(&head, &bytes, &broken) || start < head.lo || start >= head.hi)
    return false;
  std::memset(out, 0xFF, kBlockBytes);
  std::memcpy(out, g_staged + start, head.used[index]);
  return true;
}

// Compacts block index with the changes applied (and its old entries dropped
// with clear), together with every block that shares its erase blocks.
int compact_and_write(int index, const Change* changes, int count, bool clear) {
  const flash_dev& f = g_store.flash;
  const uint32_t es = f.erase_size;
  const uint32_t lo = static_cast<uint32_t>(index) * kBlockBytes / es * es;
  const uint32_t hi = round_up((static_cast<uint32_t>(index) + 1) * kBlockBytes, es);
  if (hi > f.size) return -1;

  JournalHead head{};
  std::memcpy(head.magic, kJournalMagic, sizeof head.magic);
  head.lo = lo;
  head.hi = hi;
  uint32_t bytes = 0;
  for (int i = 0; i < NVRAM_BLOCK_COUNT; ++i) {
    const uint32_t start = static_cast<uint32_t>(i) * kBlockBytes;
    if (start >= hi || start + kBlockBytes <= lo) continue;  // not in the erased range
    if (!refresh(i)) return -1;
    const Block& b = g_store.blocks[i];
    const bool own = i == index;
    if (own && b.scan.unreadable && !clear) return -1;
    int used = b.scan.unreadable && !(own && clear) ? -1
                                 : store_log::compact(b.bytes, b.scan, own && clear, own ? changes : nullptr,
                                                      own ? count : 0, g_staged + start);
    if (used < 0 && own) return -1;  // does not fit: nothing has been written
    if (used < 0) {
      // Another block that this store does not rewrite (one it cannot read, or
      // an older writer's entry that leaves no room for the records' headers):
      // it goes back as it stands.
      std::memcpy(g_staged + start, b.bytes, kBlockBytes);
      used = kBlockBytes;
      while (used > 0 && b.bytes[used - 1] == 0xFF) --used;
    }
    head.used[i] = static_cast<uint16_t>(used);
    bytes += static_cast<uint32_t>(used);
  }
  head.sum = journal_sum(head);
  // Bytes of the erase blocks past the store's (when an erase block is larger).
  const uint32_t beyond = hi > static_cast<uint32_t>(kStoreBytes) ? hi - kStoreBytes : 0;
  unsigned char* rest = nullptr;
  if (beyond > 0) {
    rest = static_cast<unsigned char*>(std::malloc(beyond));
    if (!rest || flash_read(f, kStoreBytes, rest, beyond) != 0) {
      std::free(rest);
      return -1;
    }
  }

  const uint32_t span = beyond == 0 ? journal_span(bytes) : 0;
  // Without a copy, a cut erase could leave the raw entries of a plain block
  // (the platform's earlier store; no checks of their own) with risen bits that
  // still read as entries: they are sealed first, where the block has room.
  for (int i = 0; i < NVRAM_BLOCK_COUNT && span == 0; ++i) {
    const uint32_t start = static_cast<uint32_t>(i) * kBlockBytes;
    if (start >= hi || start + kBlockBytes <= lo || !g_store.blocks[i].scan.legacy) continue;
    const Block& b = g_store.blocks[i];
    unsigned char seal[store_record::kPlainSealMax];
    const int n = b.bytes[0] < 0x80 ? store_record::plain_seal(b.bytes, kBlockBytes,
                                                               store_record::plain_walk(b.bytes, kBlockBytes), seal)
                                    : 0;
    if (n > 0 && flash_program(f, start + kBlockBytes - static_cast<uint32_t>(n), seal, static_cast<uint32_t>(n)) != 0) {
      std::free(rest);
      forget_blocks();
      return -1;
    }
  }

  forget_blocks();  // from here on the flash may differ from every copy
  int rc = span > 0 ? journal_write(head, span) : 0;
  if (rc == 0) rc = program_blocks(lo, hi, head.used);
  if (rc == 0 && beyond > 0) rc = flash_program(f, kStoreBytes, rest, beyond);
  if (rc == 0 && span > 0) rc = flash_erase(f, journal_at(), span);
  std::free(rest);
  if (rc != 0) return -1;
  for (int i = 0; i < NVRAM_BLOCK_COUNT; ++i) {
    const uint32_t start = static_cast<uint32_t>(i) * kBlockBytes;
    if (start >= hi || start + kBlockBytes <= lo) continue;
    Block& b = g_store.blocks[i];
    std::memcpy(b.bytes, g_staged + start, kBlockBytes);
    b.scan = store_log::scan(b.bytes);
    b.valid = true;
  }
  return 0;
}

// Voids in place what a cut append left behind the block's records (no erase:
// NOR clears bits). Never in the factory block, whose entries a raw reader
// takes as it finds them. The caller holds the exclusive lock.
bool void_cut_append(int index) {
  Block& b = g_store.blocks[index];
  static int at[store_log::kVoidMax];
  const int n = index == NVRAM_FACTORY_BLOCK ? 0 : store_log::void_plan(b.bytes, b.scan, at);
  const uint32_t base = static_cast<uint32_t>(index) * kBlockBytes;
  for (int i = 0; i < n; ++i) {
    const unsigned char zero = 0x00;
    if (flash_program(g_store.flash, base + static_cast<uint32_t>(at[i]), &zero, 1) != 0) {
      b.valid = false;
      return false;
    }
    b.bytes[at[i]] = 0x00;
  }
  if (n > 0) b.scan = store_log::scan(b.bytes);
  return true;
}

// Applies the changes to block index (after dropping its entries, with clear):
// appended when they fit into the block's erased space, else by compaction. The
// caller holds the exclusive lock and has refreshed the block.
int apply(int index, const Change* changes, int count, bool clear) {
  Block& b = g_store.blocks[index];
  // Kept as it stands: nothing is written over it, but for a restore of the
  // defaults, which drops the block's entries whatever they are.
  if (b.scan.unreadable && !clear) return -1;
  if (!void_cut_append(index)) return -1;
  bool compact = !b.scan.clean || b.scan.legacy;
  for (int i = 0; i < count && !clear && !compact; ++i)
    compact = first_match_key(changes[i].key) && store_log::find(b.bytes, b.scan, changes[i].key);
  if (!compact) {
    static unsigned char records[kBlockBytes];
    const int room = kBlockBytes - b.scan.end;
    // A block without its opening record yet begins with one.
    const int head = b.scan.opened ? 0 : store_log::encode_opening(records, room, b.scan.mark, 0);
    const int body = head < 0 ? -1 : store_log::encode(records + head, room - head, b.scan.mark, changes, count,
                                                       clear ? b.scan.end : -1);
    const int n = body < 0 ? -1 : head + body;
    if (n >= 0) {
      const uint32_t at = static_cast<uint32_t>(index * kBlockBytes + b.scan.end);
      if (flash_program(g_store.flash, at, records, static_cast<uint32_t>(n)) != 0) {
        b.valid = false;
        return -1;
      }
      std::memcpy(b.bytes + b.scan.end, records, static_cast<size_t>(n));
      b.scan = store_log::scan(b.bytes);
      return 0;
    }
  }
  return compact_and_write(index, changes, count, clear);
}

// nvram_get's result: valid until the next store call.
char g_value[kBlockBytes];

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
  Locked lock(LOCK_SH);
  if (!lock.ok || !refresh(index)) return false;
  const Block& b = g_store.blocks[index];
  const char* value = store_log::find(b.bytes, b.scan, key);
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
  static char value[kBlockBytes];
  if (!lookup(index, key, value, sizeof value)) return "";
  return keep(value);
}

int nvram_set(int index, const char* key, const char* value) {
  if (!valid_index(index) || !store_log::valid_key(key) || !value ||
      std::strlen(key) + 1 + std::strlen(value) > static_cast<size_t>(NVRAM_ENTRY_MAX) ||
      (index != NVRAM_FACTORY_BLOCK && reads_as_factory_entry(key, value)))
    return -1;
  Locked lock(LOCK_EX);
  if (!lock.ok || !g_store.writable || !refresh(index)) return -1;
  const Block& b = g_store.blocks[index];
  const char* old = store_log::find(b.bytes, b.scan, key);
  if (old && std::strcmp(old, value) == 0) return 0;  // already on the flash
  const Change change{key, value};
  return apply(index, &change, 1, false);
}

int nvram_open(void) {
  Locked lock(LOCK_EX);
  return lock.ok ? 0 : -1;
}

int nvram_foreach(int index, void (*fn)(const char* key, const char* value, void* ctx), void* ctx) {
  if (!valid_index(index) || !fn) return -1;
  Locked lock(LOCK_SH);
  if (!lock.ok || !refresh(index)) return -1;
  struct Call {
    void (*fn)(const char*, const char*, void*);
    void* ctx;
  } call{fn, ctx};
  const Block& b = g_store.blocks[index];
  return store_log::for_each(b.bytes, b.scan, true, [](const store_log::Entry& e, void* c) {
    static char key[kBlockBytes];
    std::memcpy(key, e.key, static_cast<size_t>(e.key_len));
    key[e.key_len] = '\0';
    auto* call_ = static_cast<Call*>(c);
    call_->fn(key, e.value, call_->ctx);
  }, &call);
}

int nvram_load_block(int index, const char* path) {
  if (!valid_index(index) || !path) return -1;
  FILE* f = std::fopen(path, "r");
  if (!f) return -1;  // no defaults: the block stays as it is
  static char text[kBlockBytes];
  static Change changes[kBlockBytes / 4];
  int count = 0;
  size_t at = 0;
  char line[4096];
  bool fits = true;
  while (fits && std::fgets(line, sizeof line, f)) {
    line[std::strcspn(line, "\r\n")] = '\0';
    char* eq = std::strchr(line, '=');
    if (line[0] == '\0' || line[0] == '#' || !eq || eq == line) continue;
    *eq = '\0';
    const bool factory_text = index != NVRAM_FACTORY_BLOCK && reads_as_factory_entry(line, eq + 1);
    *eq = '=';
    if (factory_text) continue;  // never written through the store
    const size_t len = std::strlen(line) + 1;
    fits = at + len <= sizeof text && count < static_cast<int>(sizeof changes / sizeof changes[0]);
    if (!fits) break;
    std::memcpy(text + at, line, len);
    text[at + static_cast<size_t>(eq - line)] = '\0';
    changes[count++] = Change{text + at, text + at + (eq - line) + 1};
    at += len;
  }
  std::fclose(f);
  if (!fits) return -1;
  Locked lock(LOCK_EX);
  if (!lock.ok || !g_store.writable || !refresh(index)) return -1;
  // A Config written by the older layout keeps the factory entries in block 0:
  // they stay, with the value they have.
  const Block& b = g_store.blocks[index];
  for (const char* k : kFirstMatchKeys) {
    const char* old = store_log::find(b.bytes, b.scan, k);
    const size_t len = old ? std::strlen(old) + 1 : 0;
    if (!old || at + len > sizeof text || count >= static_cast<int>(sizeof changes / sizeof changes[0])) continue;
    std::memcpy(text + at, old, len);
    changes[count++] = Change{k, text + at};
    at += len;
  }
  return apply(index, changes, count, true);
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
  flash_dev dev;
  const int rc = flash_probe(fd, &dev) == 0 ? flash_rewrite(dev, static_cast<uint32_t>(offset), buf, static_cast<uint32_t>(count)) : -1;
  close(fd);
  return rc < 0 ? -1 : count;
}

}  // extern "C"
