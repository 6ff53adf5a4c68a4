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
  uint32_t t[4][256];
};

// Four tables of the reflected polynomial 0xEDB88320, built at compile time:
// table 0 is the classic byte table, tables 1 to 3 advance a byte by one, two
// and three more positions so that the walk can take four bytes per step.
constexpr CrcTables make_crc_tables() {
  CrcTables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    tables.t[0][n] = c;
  }
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = tables.t[0][n];
    for (int k = 1; k < 4; ++k) {
      c = tables.t[0][c & 0xFF] ^ (c >> 8);
      tables.t[k][n] = c;
    }
  }
  return tables;
}

constexpr CrcTables kCrc = make_crc_tables();
static_assert(kCrc.t[0][1] == 0x77073096u, "CRC-32 table of the reflected polynomial");

}  // namespace

uint32_t crc32(uint32_t crc, const uint8_t* data, uint32_t count) {
  if (!data) return 0;
  uint32_t c = ~crc;
  while (count >= 4) {
    c ^= uint32_t{data[0]} | (uint32_t{data[1]} << 8) | (uint32_t{data[2]} << 16) | (uint32_t{data[3]} << 24);
    c = kCrc.t[3][c & 0xFF] ^ kCrc.t[2][(c >> 8) & 0xFF] ^ kCrc.t[1][(c >> 16) & 0xFF] ^ kCrc.t[0][c >> 24];
    data += 4;
    count -= 4;
  }
  while (count--) c = kCrc.t[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
  return ~c;
}
