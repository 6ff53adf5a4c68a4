// The form of the store's blocks on flash as far as a reader needs it: what the
// store's block parser and a raw reader of the Config partition (qvdata) both
// check. Only the C library.
//
// A record is mark, check, text, NUL. The mark is 0x80 + the block's generation,
// the same for every record of the block; the check is 0x80 | CRC-7 of mark,
// text and NUL (0x00: a record voided in place, never read). A block of the
// present form begins with its opening record (text "=#N", after records voided
// in place when its first append was cut). A compaction seals what it writes:
// its opening record reads "=#N,L,C", where the L bytes after it (the records
// the compaction wrote) have the CRC-32 C (eight upper-case hex digits).
//
// Blocks of two older forms are still read:
// - former: records with the low seven bits of CRC-8 as their check and no
//   opening record (this store before opening records existed);
// - plain: the platform's earlier store, every entry raw key=value\0 from the
//   block's start, the rest of the block erased (0xFF) or padded with 0x00.
#ifndef QV_CONFIG_STORE_STORE_RECORD_H
#define QV_CONFIG_STORE_STORE_RECORD_H

#include <cstdint>

namespace store_record {

constexpr int kBlockBytes = 16384;  // NVRAM_BLOCK_BYTES
constexpr int kHeaderBytes = 2;     // mark and check
constexpr unsigned char kFirstMark = 0x80;
constexpr unsigned char kLastMark = 0xFE;

inline bool is_mark(unsigned char b) { return b >= kFirstMark && b <= kLastMark; }

// The check byte of a record with this mark and text (len_with_nul bytes, the
// NUL included); with former, the check of blocks of the former form.
unsigned char check_of(unsigned char mark, const unsigned char* text, int len_with_nul, bool former);

// The text of the record whose header stands at pos: its length without the
// NUL, or -1 when it has no NUL before end.
int text_len(const unsigned char* block, int pos, int end);

// What a block's opening record says.
struct Opening {
  int at = -1;          // its offset; -1: none yet (a cut left the block's first append torn)
  int end = 0;          // offset past it: where the block's first entry goes
  int sealed_len = 0;   // L: bytes after it that a compaction sealed
  bool sealed = false;  // "=#N,L,C"
  uint32_t count = 0;   // N: the block's compactions
  uint32_t crc = 0;     // C
};

// The CRC-32 of a seal (zlib's, the same as the factory link's crc32).
uint32_t seal_crc(const unsigned char* p, int len);

// Whether text (len bytes, no NUL) is an opening record's, "=#N" or "=#N,L,C".
bool opening_text(const char* text, int len, Opening* o);

enum class Form {
  erased,   // begins with an erased byte
  present,  // an opening record (or none yet, behind voided records) whose checks hold
  damaged,  // a sealed opening record whose CRC-32 fails: what a cut erase left
  former,   // begins with a record header, but no opening record holds
  plain,    // begins with a byte below 0x80: the platform's earlier store
};
Form block_form(const unsigned char* block, int size, Opening* o);

// A block of the plain form, walked as its writer left it: entries
// key=value\0 (the key printable ASCII without '='; the value any bytes) or
// records of the former form, then an erased or zero-padded rest, or a last
// entry cut short (no NUL up to an erased rest).
//
// Before the store first erases a plain block (to rewrite it in the present
// form), it seals the entries where it can: a record with text "=$L,C" at the
// block's very end, the L bytes of entries from the block's start having the
// CRC-32 C. A cut erase then leaves a seal that fails, and nothing of the block
// is read; a seal cut short while it was programmed (nothing erased yet) leaves
// the entries as they were.
struct Plain {
  int end = 0;           // past the last whole entry
  int entries = 0;       // whole entries before end
  bool clean = false;    // every byte from end on is erased
  bool complete = false; // the block is all of the above; else something follows that no writer left
  bool sealed = false;   // a seal that holds stands at the block's end
  bool torn_seal = false; // a seal cut short as it was programmed (nothing erased since)
  bool damaged = false;  // a seal that fails: what a cut erase left
};
Plain plain_walk(const unsigned char* block, int size);

// The seal of a plain block's entries (p: its walk) as it goes at the block's
// end: written into out (kPlainSealMax bytes), its length returned; 0 when the
// block takes none (sealed already, entries not followed by erased bytes, or no
// room for the seal behind at least one erased byte). A seal cut short is
// given again whole.
constexpr int kPlainSealMax = kHeaderBytes + 17;  // "=$16384,CCCCCCCC" and NUL
int plain_seal(const unsigned char* block, int size, const Plain& p, unsigned char* out);

// For a raw reader of the partition image (size bytes from the partition's
// start), about the key it found at key_at (anywhere: it need not begin an
// entry): whether the store could have left it there. Not in a block whose seal
// fails, nor in a plain block with bytes behind its entries that no writer
// leaves; behind a record header, the header must hold for its block's form (its
// NUL inside the block, its check, in the present form its block's mark), and
// must not be one voided in place.
bool entry_holds(const unsigned char* image, int size, int key_at);

}  // namespace store_record

#endif
