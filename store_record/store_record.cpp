#include "store_record.h"

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
constexpr unsigned char kCheckText[] = "123456789";
static_assert(crc_step(kCrc7, 0, kCheckText, 9) >> 1 == 0x75, "CRC-7 table");
static_assert(kCrc8.v[1] == 0x07 && kCrc8.v[0x80] == 0x89, "CRC-8 table");

// The text of the record with its header at pos: its length without the NUL,
// or -1 when it has no NUL before end.
int text_len(const unsigned char* p, int pos, int end) {
  const int at = pos + kHeaderBytes;
  if (at >= end) return -1;
  const void* nul = std::memchr(p + at, '\0', static_cast<size_t>(end - at));
  return nul ? static_cast<int>(static_cast<const unsigned char*>(nul) - (p + at)) : -1;
}

}  // namespace

unsigned char check_of(unsigned char mark, const unsigned char* text, int len_with_nul, bool former) {
  if (former) return static_cast<unsigned char>(0x80 | (crc_step(kCrc8, kCrc8.v[mark], text, len_with_nul) & 0x7F));
  return static_cast<unsigned char>(0x80 | (crc_step(kCrc7, kCrc7.v[mark], text, len_with_nul) >> 1));
}

bool opening_text(const char* text, int len, uint32_t* count) {
  if (len < 3 || text[0] != '=' || text[1] != '#') return false;
  uint32_t n = 0;
  for (int i = 2; i < len; ++i) {
    if (text[i] < '0' || text[i] > '9' || n > 429496728u) return false;
    n = n * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  *count = n;
  return true;
}

bool opens_present_form(const unsigned char* block, int size, uint32_t* count) {
  if (size < kHeaderBytes || !is_mark(block[0])) return false;
  const int len = text_len(block, 0, size);
  return len >= 0 && block[1] == check_of(block[0], block + kHeaderBytes, len + 1, false) &&
         opening_text(reinterpret_cast<const char*>(block + kHeaderBytes), len, count);
}

bool record_holds(const unsigned char* image, int size, int pos) {
  if (pos < 0 || pos + kHeaderBytes > size || !is_mark(image[pos])) return false;
  const int start = pos / kBlockBytes * kBlockBytes;
  const int end = start + kBlockBytes < size ? start + kBlockBytes : size;
  const int len = text_len(image, pos, end);
  if (len < 0) return false;
  uint32_t count = 0;
  const bool present = opens_present_form(image + start, end - start, &count);
  if (present && image[pos] != image[start]) return false;
  return image[pos + 1] == check_of(image[pos], image + pos + kHeaderBytes, len + 1, !present);
}

}  // namespace store_record
