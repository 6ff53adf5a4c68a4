// The form of one store block on flash, worked on as bytes in memory. Internal to
// libnvram (and its tests and fuzz target); no file or flash access here.
//
// A block is a log. Each write appends records to the erased (0xFF) space after
// the last one; the newest entry of a key wins. A record is
//
//     mark, check, text, NUL
//
// mark:  0x80 + generation (0 to 126), the same for every record written since
//        the block was last compacted: a record with another mark is a stop;
// check: 0x80 | CRC-7 of mark, text and NUL, so a record cut short by a power
//        cut, or scrambled by a cut erase, is recognised and ignored;
// text:  "key=value" for an entry, "=N" for a reset: entries that start before
//        offset N of the block are void; "=#N" for the opening record; "=" opens
//        a group that its reset record closes (a restore of the defaults): until
//        the reset is on the flash, nothing from the "=" on is read.
//
// The opening record is the first record of every block this store writes; N
// counts the block's compactions. A compaction seals the records it writes with
// a CRC-32 in the opening record ("=#N,L,C", see store_record.h): a block whose
// seal fails was scrambled by a cut erase, and nothing of it is read. A block
// that does not begin with an opening record was written by an older writer:
// this store before opening records (the former form: records checked with the
// low seven bits of CRC-8, keys of printable text; it counts only as its writers
// left it, a stop at its last record at most), or the platform's earlier store (the plain form: raw
// key=value\0 entries, then erased or zero-padded bytes). Such a block is read
// whole, takes no appends, and its next write compacts it into the present
// form. A plain block with bytes behind its entries that no writer leaves is
// not read, and never rewritten: a write to it fails.
//
// Both header bytes are above 0x7F, so the raw image still holds each entry as
// key=value\0 with nothing ASCII glued to its key, which is what a raw reader
// that searches for "key=" relies on. In a block of the present form, a byte
// 0x01 to 0x7F where a record would start begins a plain key=value\0 entry
// without header (what a factory tool that writes raw leaves); it is read as it
// stands. The scan ends at an erased byte (0xFF), and stops at a 0x00 byte or at
// a record that fails its check: nothing after such a stop is read, and the
// block takes no more appends until the stop is voided in place or the block is
// compacted.
#ifndef QV_CONFIG_STORE_STORE_LOG_H
#define QV_CONFIG_STORE_STORE_LOG_H

#include <cstddef>
#include <cstdint>

#include "nvram_admin.h"
#include "store_record.h"

namespace store_log {

constexpr int kBlockBytes = NVRAM_BLOCK_BYTES;
constexpr int kHeaderBytes = store_record::kHeaderBytes;
constexpr unsigned char kFirstMark = store_record::kFirstMark;
constexpr unsigned char kLastMark = store_record::kLastMark;

// What a scan of a block image found.
struct Scan {
  int end = 0;               // offset just after the last good record
  int voided = 0;            // entries that start before this offset are void
  bool clean = true;         // every byte from end on is erased: appends go there
  unsigned char mark = kFirstMark;  // mark for records appended to this block
  bool legacy = false;       // of an older writer's form: read, never appended to
  bool opened = false;       // has its opening record (an append to a block without writes one first)
  bool damaged = false;      // its seal fails: nothing of it is read
  bool unreadable = false;   // a plain block that no writer left so: nothing read, never rewritten
  uint32_t opening = 0;      // the opening record's count (compactions of the block)
  int stop = 0;              // where the walk of its records stopped (past end behind an unfinished group)
  int group = -1;            // where an unfinished group begins
};

// block: kBlockBytes bytes.
Scan scan(const unsigned char* block);

// One entry of a block: the text "key=value" at pos (the record's first byte).
struct Entry {
  int pos;
  const char* key;
  int key_len;
  const char* value;  // NUL-terminated, inside the block image
};

// Calls fn(entry, ctx) for every entry that is not void, in stored order, and
// returns their count. With live_only, only the newest entry of each key. s must
// be the scan of these very bytes (as for find and compact): the records it
// passed are not checked again.
int for_each(const unsigned char* block, const Scan& s, bool live_only, void (*fn)(const Entry& e, void* ctx),
             void* ctx);

// The newest value of key, or nullptr.
const char* find(const unsigned char* block, const Scan& s, const char* key);

// A change to a block: set key to value.
struct Change {
  const char* key;
  const char* value;
};

// Bytes that the records of the changes take.
int records_size(const Change* changes, int count);

// Writes the records of the changes into out, marked with mark; with
// reset_from >= 0 as a group: "=" before them and the reset record "=N" after. Returns the bytes written, or -1 when
// they do not fit into room bytes.
int encode(unsigned char* out, int room, unsigned char mark, const Change* changes, int count, int reset_from);

// Builds into out (kBlockBytes, erased first) the compacted block: the live
// entries of block (none with clear), then the changes, all marked with the next
// generation's mark. Returns the bytes used, or -1 when they do not fit.
int compact(const unsigned char* block, const Scan& s, bool clear, const Change* changes, int count,
            unsigned char* out);

// What a cut append left behind a block's records, voided in place without an
// erase: a record cut short (a mark, then no NUL before the erased rest: its
// check byte programmed to 0x00, which no check is, then a NUL behind it), and
// the records of a group that never got its reset record (their check bytes,
// the last first and the group's opening last, so that at every cut the group
// still counts as never written). Fills at[] with the offsets to program to
// 0x00, in that order, and returns their count; 0 when the block holds anything
// else behind its records (it is compacted), or nothing to void.
constexpr int kVoidMax = kBlockBytes / 3;
int void_plan(const unsigned char* block, const Scan& s, int* at);

// Writes the opening record "=#count" into out (room bytes), marked with mark;
// with sealed, "=#count,len,crc" over the len bytes that follow it. Returns the
// bytes written, or -1. Every block written by this store begins with one;
// compact writes it sealed, with the old count + 1.
int encode_opening(unsigned char* out, int room, unsigned char mark, uint32_t count, bool sealed = false,
                   int len = 0, uint32_t crc = 0);

// The mark that follows mark (generations wrap around).
unsigned char next_mark(unsigned char mark);

// A key the store accepts: not empty, no '='.
bool valid_key(const char* key);

// FNV-1a over bytes, continuing from sum (start with kSumStart).
constexpr uint32_t kSumStart = 2166136261u;
uint32_t sum_bytes(const void* p, int len, uint32_t sum);

}  // namespace store_log

#endif
