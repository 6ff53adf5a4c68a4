// zlib's CRC-32 as the reference, in its own unit: its crc32 and ours share a name.
#include <zlib.h>

#include <cstdint>

uint32_t zlib_crc32(uint32_t crc, const uint8_t* data, uint32_t count) {
  return static_cast<uint32_t>(::crc32(crc, data, count));
}
