#include "link_protocol.h"

uint16_t chksum(const uint8_t* data, uint32_t count) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < count; ++i)
    sum += static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(data[i])));
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

namespace {

struct CrcTables {
  uint32_t t[16][256];
};

// Sixteen tables of the reflected polynomial 0xEDB88320, built at compile time:
// table 0 is the classic byte table, table k advances a byte by k more positions,
// so that the walk can take sixteen bytes per step with independent look-ups.
constexpr CrcTables make_crc_tables() {
  CrcTables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    tables.t[0][n] = c;
  }
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = tables.t[0][n];
    for (int k = 1; k < 16; ++k) {
      c = tables.t[0][c & 0xFF] ^ (c >> 8);
      tables.t[k][n] = c;
    }
  }
  return tables;
}

constexpr CrcTables kCrc = make_crc_tables();
static_assert(kCrc.t[0][1] == 0x77073096u, "CRC-32 table of the reflected polynomial");

inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

uint32_t crc32(uint32_t crc, const uint8_t* data, uint32_t count) {
  if (!data) return 0;
  uint32_t c = ~crc;
  const auto& t = kCrc.t;
  while (count >= 16) {
    const uint32_t a = load_le32(data) ^ c, b = load_le32(data + 4), d = load_le32(data + 8),
                   e = load_le32(data + 12);
    c = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
        t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
        t[7][d & 0xFF] ^ t[6][(d >> 8) & 0xFF] ^ t[5][(d >> 16) & 0xFF] ^ t[4][d >> 24] ^
        t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^ t[1][(e >> 16) & 0xFF] ^ t[0][e >> 24];
    data += 16;
    count -= 16;
  }
  while (count--) c = kCrc.t[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
  return ~c;
}
