// The header of one store record on flash: what the store's block parser and a
// raw reader of the Config partition (qvdata) both check. Only the C library.
//
// A record is mark, check, text, NUL. The mark is 0x80 + the block's generation,
// the same for every record of the block; the check is 0x80 | CRC-7 of mark,
// text and NUL. A block of the present form begins with its opening record (text
// "=#N"); a block that does not was written before the opening record existed,
// and its checks are the low seven bits of CRC-8.
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
// NUL included); with former, the check of blocks without an opening record.
unsigned char check_of(unsigned char mark, const unsigned char* text, int len_with_nul, bool former);

// Whether text (len bytes, no NUL) is an opening record's "=#N"; N in *count.
bool opening_text(const char* text, int len, uint32_t* count);

// Whether block (size bytes) begins with an opening record whose check holds:
// a block of the present form. Its count in *count.
bool opens_present_form(const unsigned char* block, int size, uint32_t* count);

// For a raw reader of the partition image (size bytes from the partition's
// start): whether the record whose header stands at pos (a mark, then a check
// byte) holds: its text ends with a NUL inside its block, its check is right
// for its block's form, and in a block of the present form its mark is the
// opening record's.
bool record_holds(const unsigned char* image, int size, int pos);

}  // namespace store_record

#endif
