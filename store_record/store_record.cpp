#include "store_record.h"

#include <cstdio>
#include <cstring>

namespace store_record {
namespace {

// CRC-7 (x^7 + x^3 + 1), kept in the top seven bits of a byte: it catches every
// single-bit error in a record of any length.
struct CrcTable {
  unsigned char v[256];
};
constexpr CrcTable make_crc_table(unsigned char poly) {
  CrcTable t{};
  for (int i = 0; i < 256; ++i) {
    unsigned c = static_cast<unsigned>(i);
    for (int k = 0; k < 8; ++k) c = (c & 0x80) ? ((c << 1) ^ poly) : (c << 1);
    t.v[i] = static_cast<unsigned char>(c);
  }
  return t;
}
constexpr CrcTable kCrc7 = make_crc_table(0x09 << 1);
// The former check: the low seven bits of CRC-8 (x^8 + x^2 + x + 1). It misses a
// raised bit at certain distances from a record's end, so only blocks written
// before the opening record existed are read with it.
constexpr CrcTable kCrc8 = make_crc_table(0x07);

constexpr unsigned char crc_step(const CrcTable& t, unsigned char crc, const unsigned char* p, int len) {
  for (int i = 0; i < len; ++i) crc = t.v[crc ^ p[i]];
  return crc;
}
// CRC-32 of the reflected polynomial 0xEDB88320 (zlib's), four bits a step on a
// table of 16 words: the store checks at most a block at a time, and neither a
// device program nor the store's library carries a larger table for it.
struct Crc32Table {
  uint32_t v[16];
};
constexpr Crc32Table make_crc32_table() {
  Crc32Table t{};
  for (uint32_t i = 0; i < 16; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 4; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t.v[i] = c;
  }
  return t;
}
constexpr Crc32Table kCrc32 = make_crc32_table();
constexpr uint32_t crc32_step(uint32_t c, const unsigned char* p, int len) {
  for (int i = 0; i < len; ++i) {
    c ^= p[i];
    c = (c >> 4) ^ kCrc32.v[c & 15];
    c = (c >> 4) ^ kCrc32.v[c & 15];
  }
  return c;
}
constexpr unsigned char kCheckText[] = "123456789";
static_assert(~crc32_step(0xFFFFFFFFu, kCheckText, 9) == 0xCBF43926u, "CRC-32 table");
static_assert(crc_step(kCrc7, 0, kCheckText, 9) >> 1 == 0x75, "CRC-7 table");
static_assert(kCrc8.v[1] == 0x07 && kCrc8.v[0x80] == 0x89, "CRC-8 table");

// Every byte of [from, to) is value.
bool all_are(const unsigned char* p, int from, int to, unsigned char value) {
  for (int i = from; i < to; ++i)
    if (p[i] != value) return false;
  return true;
}

// A decimal number of one to nine digits at text[*at] (of len bytes); *at moves past it.
bool decimal(const char* text, int len, int* at, uint32_t* n) {
  const int from = *at;
  uint32_t v = 0;
  while (*at < len && *at - from < 10 && text[*at] >= '0' && text[*at] <= '9')
    v = v * 10 + static_cast<uint32_t>(text[(*at)++] - '0');
  *n = v;
  return *at > from && *at - from <= 9;
}

// Where the record at pos ends (past its NUL), or -1 when it is no whole record
// with this header check (former: the former form's; a voided one passes).
int record_end(const unsigned char* block, int pos, int size, bool former) {
  if (pos + kHeaderBytes > size || !is_mark(block[pos])) return -1;
  const int len = text_len(block, pos, size);
  if (len < 0) return -1;
  const unsigned char check = block[pos + 1];
  if (check != 0x00 && check != check_of(block[pos], block + pos + kHeaderBytes, len + 1, former)) return -1;
  return pos + kHeaderBytes + len + 1;
}

// A record whose NUL is missing up to the block's erased rest: an append cut short.
bool torn_at(const unsigned char* block, int pos, int size) {
  return block[size - 1] == 0xFF && !std::memchr(block + pos, '\0', static_cast<size_t>(size - pos));
}

}  // namespace

uint32_t seal_crc(const unsigned char* p, int len) { return ~crc32_step(0xFFFFFFFFu, p, len); }

unsigned char check_of(unsigned char mark, const unsigned char* text, int len_with_nul, bool former) {
  if (former) return static_cast<unsigned char>(0x80 | (crc_step(kCrc8, kCrc8.v[mark], text, len_with_nul) & 0x7F));
  return static_cast<unsigned char>(0x80 | (crc_step(kCrc7, kCrc7.v[mark], text, len_with_nul) >> 1));
}

int text_len(const unsigned char* p, int pos, int end) {
  const int at = pos + kHeaderBytes;
  if (at >= end) return -1;
  const void* nul = std::memchr(p + at, '\0', static_cast<size_t>(end - at));
  return nul ? static_cast<int>(static_cast<const unsigned char*>(nul) - (p + at)) : -1;
}

bool opening_text(const char* text, int len, Opening* o) {
  if (len < 3 || text[0] != '=' || text[1] != '#') return false;
  int at = 2;
  uint32_t count = 0, sealed_len = 0, crc = 0;
  if (!decimal(text, len, &at, &count)) return false;
  o->count = count;
  o->sealed = at < len;
  if (!o->sealed) return true;
  if (text[at++] != ',' || !decimal(text, len, &at, &sealed_len) || sealed_len > kBlockBytes || at >= len ||
      text[at++] != ',' || len - at != 8)
    return false;
  for (; at < len; ++at) {
    const char c = text[at];
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return false;
    crc = crc << 4 | static_cast<uint32_t>(digit);
  }
  o->sealed_len = static_cast<int>(sealed_len);
  o->crc = crc;
  return true;
}

Form block_form(const unsigned char* block, int size, Opening* o) {
  *o = Opening{};
  if (size < kHeaderBytes || block[0] == 0xFF) return Form::erased;
  if (!is_mark(block[0])) return Form::plain;
  // Records voided in place before the opening record: the block's first append,
  // cut short and voided by the next write.
  int pos = 0;
  while (pos + kHeaderBytes <= size && is_mark(block[pos]) && block[pos + 1] == 0x00) {
    const int len = text_len(block, pos, size);
    if (len < 0) break;
    pos += kHeaderBytes + len + 1;
  }
  if (pos >= size || block[pos] == 0xFF || torn_at(block, pos, size)) {
    // No opening record yet: only voided records, then the erased rest or a
    // record cut short. Anything else in front of an opening record is not ours.
    if (pos < size && block[pos] != 0xFF && !is_mark(block[pos])) return Form::former;
    if (pos < size && block[pos] == 0xFF && !all_are(block, pos, size, 0xFF)) return Form::former;
    o->end = pos;
    return Form::present;
  }
  const int end = record_end(block, pos, size, false);
  if (end < 0 || block[pos + 1] == 0x00 ||
      !opening_text(reinterpret_cast<const char*>(block + pos + kHeaderBytes), end - pos - kHeaderBytes - 1, o)) {
    *o = Opening{};
    return Form::former;
  }
  o->at = pos;
  o->end = end;
  if (o->sealed && (o->sealed_len > size - end ||
                    seal_crc(block + end, o->sealed_len) != o->crc))
    return Form::damaged;
  return Form::present;
}

namespace {

// Where the entry at pos of a block of the plain form ends (past its NUL), or
// -1: a key=value\0 entry with a printable key, or a record of the former form.
int plain_next(const unsigned char* block, int pos, int size) {
  if (is_mark(block[pos])) return pos + 1 >= size || block[pos + 1] == 0x00 ? -1 : record_end(block, pos, size, true);
  int at = pos;
  while (at < size && block[at] >= 0x20 && block[at] <= 0x7E && block[at] != '=') ++at;
  if (at == pos || at >= size || block[at] != '=') return -1;
  const void* nul = std::memchr(block + at, '\0', static_cast<size_t>(size - at));
  return nul ? static_cast<int>(static_cast<const unsigned char*>(nul) - block) + 1 : -1;
}

// The text of a plain block's seal over its first len bytes.
int seal_text(char* out, int size, int len, uint32_t crc) {
  const int n = std::snprintf(out, static_cast<size_t>(size), "=$%d,%08lX", len, static_cast<unsigned long>(crc));
  return n > 0 && n < size ? n : -1;
}

enum class SealState { sealed, torn, broken };

// The seal whose record begins at q (the first programmed byte behind the
// entries, which end at end), right-aligned at the block's end.
SealState read_seal(const unsigned char* block, int size, int end, int q) {
  char want[24];
  const int n = seal_text(want, sizeof want, end, seal_crc(block, end));
  const int at = size - (kHeaderBytes + n + 1);
  if (block[size - 1] == 0x00) {  // a whole record: it holds, or a cut erase scrambled it
    const bool holds = q == at && n > 0 && std::memcmp(block + q + kHeaderBytes, want, static_cast<size_t>(n)) == 0 &&
                       block[q + 1] == check_of(block[q], block + q + kHeaderBytes, n + 1, false);
    return holds ? SealState::sealed : SealState::broken;
  }
  // Cut short as it was programmed: its first bytes as they were meant, the
  // last one perhaps half done, then erased bytes.
  int last = size - 1;
  while (last > q && block[last] == 0xFF) --last;
  if (q != at || n < 0 || !is_mark(block[q])) return SealState::broken;
  for (int i = q + kHeaderBytes; i < last; ++i)
    if (block[i] != static_cast<unsigned char>(want[i - q - kHeaderBytes])) return SealState::broken;
  return SealState::torn;
}

}  // namespace

int plain_seal(const unsigned char* block, int size, const Plain& p, unsigned char* out) {
  char text[24];
  // A seal cut short as it was programmed is programmed again whole: NOR keeps
  // the bytes already there, which are the same.
  const int n = (p.clean || p.torn_seal) && !p.sealed && p.entries > 0
                    ? seal_text(text, sizeof text, p.end, seal_crc(block, p.end))
                    : -1;
  const int len = kHeaderBytes + n + 1;
  if (n < 0 || p.end >= size - len) return 0;  // an erased byte stays between the entries and the seal
  out[0] = kFirstMark;
  std::memcpy(out + kHeaderBytes, text, static_cast<size_t>(n) + 1);
  out[1] = check_of(out[0], out + kHeaderBytes, n + 1, false);
  return len;
}

Plain plain_walk(const unsigned char* block, int size) {
  Plain p;
  int pos = 0;
  while (pos < size) {
    const unsigned char b = block[pos];
    if (b == 0xFF) {  // the erased rest
      int q = pos;
      while (q < size && block[q] == 0xFF) ++q;
      p.clean = q == size;
      p.complete = p.clean;
      break;
    }
    if (b == 0x00) {  // zero padding (which may end in erased bytes)
      int at = pos;
      while (at < size && block[at] == 0x00) ++at;
      p.complete = all_are(block, at, size, 0xFF);
      break;
    }
    const int next = plain_next(block, pos, size);
    if (next < 0) {
      p.complete = torn_at(block, pos, size);  // the last entry, cut short as it was written
      break;
    }
    ++p.entries;
    pos = next;
  }
  p.end = pos;
  if (pos >= size) p.complete = true;
  // A record header behind an erased byte where the store's seal goes: the block
  // was sealed, and then holds its entries, its erased rest and the seal as it
  // was written (or a seal cut short before anything was erased); anything else
  // is what a cut erase left of it, whatever its entries look like now.
  bool seal_there = false;
  for (int q = size - kPlainSealMax; q <= size - kHeaderBytes - 13 && !seal_there; ++q)
    seal_there = q > 0 && block[q - 1] == 0xFF && is_mark(block[q]);
  if (seal_there) {
    int q = pos;
    while (q < size && block[q] == 0xFF) ++q;
    const SealState seal = pos < size && block[pos] == 0xFF && q >= size - kPlainSealMax
                               ? read_seal(block, size, pos, q)
                               : SealState::broken;
    p.sealed = seal == SealState::sealed;
    p.torn_seal = seal == SealState::torn;
    p.damaged = seal == SealState::broken;
    p.complete = !p.damaged;
    p.clean = false;
  }
  return p;
}

namespace {

// Whether a record of the block (present form) starts at pos: the block walked
// as the store scans it, up to pos.
bool starts_record(const unsigned char* block, int size, const Opening& o, int pos) {
  for (int at = 0; at < size && at <= pos;) {
    const unsigned char b = block[at];
    if (at == pos) return is_mark(b);
    int next;
    if (is_mark(b)) {
      next = record_end(block, at, size, false);
      if (next > 0 && block[at + 1] != 0x00 && (o.at < 0 || b != block[o.at])) next = -1;
    } else {
      const void* nul = b == 0xFF || b == 0x00 ? nullptr : std::memchr(block + at, '\0', static_cast<size_t>(size - at));
      next = nul ? static_cast<int>(static_cast<const unsigned char*>(nul) - block) + 1 : -1;
    }
    if (next < 0) return false;
    at = next;
  }
  return false;
}

}  // namespace

bool entry_holds(const unsigned char* image, int size, int key_at) {
  if (key_at < 0 || key_at >= size) return false;
  const int start = key_at / kBlockBytes * kBlockBytes;
  const int end = (start + kBlockBytes < size ? start + kBlockBytes : size) - start;
  const unsigned char* block = image + start;
  const int at = key_at - start;
  Opening o;
  const Form form = block_form(block, end, &o);
  // (A plain block is judged whole: a part of one at the image's end stands as it is.)
  if (form == Form::plain && end == kBlockBytes) {
    const Plain p = plain_walk(block, end);
    if (!p.complete || p.damaged || at >= p.end) return false;  // at p.end: a last entry cut short
  }
  if (form == Form::damaged) return false;
  if (at < kHeaderBytes || !is_mark(block[at - 2])) return true;
  // Behind a record header: its check, in its block's form.
  if (block[at - 1] >= 0x80) {
    if (form != Form::present) return record_end(block, at - 2, end, true) > 0;
    return o.at >= 0 && block[at - 2] == block[o.at] && record_end(block, at - 2, end, false) > 0;
  }
  // Behind the header of a record voided in place.
  return !(form == Form::present && block[at - 1] == 0x00 && starts_record(block, end, o, at - 2));
}

}  // namespace store_record
