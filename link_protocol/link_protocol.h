// The factory link protocol on the wire: Ethernet type 0x3914, one payload header
// for requests and replies, command and status bytes, limits, the payload
// encoder, the 16-bit payload checksum and the CRC-32 of the firmware images.
// The one description of the wire for the service, the station tools, the
// bench and the tests. Device code: no heap, no exceptions.
#ifndef QV_LINK_PROTOCOL_H
#define QV_LINK_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qvlink {

constexpr uint16_t kEtherType = 0x3914;
constexpr std::size_t kEthHeaderLength = 14;
constexpr std::size_t kFrameMax = 1536;         // bytes of a frame taken, header included
constexpr std::size_t kFrameMinProcessed = 20;  // shorter frames get status 6

// Frame offsets.
constexpr std::size_t kEthDest = 0;
constexpr std::size_t kEthSource = 6;
constexpr std::size_t kEthType = 12;

// Payload offsets (from frame offset 14). Multi-byte fields are big-endian.
constexpr std::size_t kProtocol = 0;
constexpr std::size_t kSequence = 2;
constexpr std::size_t kChecksum = 3;
constexpr std::size_t kLength = 5;
constexpr std::size_t kCode = 7;
constexpr std::size_t kParams = 8;
constexpr std::size_t kPayloadHeaderLength = 8;

// Largest parameter or data count one frame carries.
constexpr std::size_t kDataMax = kFrameMax - kEthHeaderLength - kPayloadHeaderLength;
static_assert(kDataMax == 1514, "a full frame carries 1514 data bytes");

// Most firmware bytes one chunk request carries: a full frame's data.
constexpr std::size_t kChunkMax = kDataMax;
// Characters of a serial number the device keeps and reads back.
constexpr std::size_t kSerialMax = 32;

enum class Command : uint8_t {
  CreateConnection = 1,
  WriteSerialNumber = 2,
  ReadSerialNumber = 3,
  FirmwareLength = 4,
  FirmwareChunk = 5,
  FirmwareChecksum = 6,
  CloseConnection = 7,
  Quit = 8,
  Reboot = 9,
  DefaultReset = 10,
  UpgradeNormalCode = 11,
};
constexpr int kCommandCount = 12;  // table entries 0..11

// First data byte of a reply.
enum class Status : uint8_t {
  Ok = 0,
  UnknownProtocol = 2,
  UnknownCommand = 3,
  WrongChecksum = 5,
  ParameterError = 6,
  CrcMismatch = 7,
  ChunkWriteFailed = 8,  // a firmware chunk could not be stored; the transfer is abandoned
};
constexpr uint8_t status_byte(Status s) { return static_cast<uint8_t>(s); }
constexpr uint8_t command_byte(Command c) { return static_cast<uint8_t>(c); }

// Third data byte of the upgrade's two replies: flashing starts, the flash tool
// has returned.
enum class UpgradePhase : uint8_t { Starts = 0, Ended = 1 };

// The store's failure reply to the serial-number write: 32 data bytes, 0x00,
// 0x01, the text "Fail to writ db" and zeros. Its status byte reads as success
// (of the connect command), so stations know it by its form; it is kept byte
// for byte.
constexpr char kStoreFailureText[] = "Fail to writ db";
constexpr std::size_t kStoreFailureLength = 32;

inline void make_store_failure_reply(uint8_t (&data)[kStoreFailureLength]) {
  std::memset(data, 0, sizeof data);
  data[1] = static_cast<uint8_t>(Command::CreateConnection);
  std::memcpy(data + 2, kStoreFailureText, sizeof kStoreFailureText - 1);
}

inline bool is_store_failure_reply(const uint8_t* data, std::size_t count) {
  return count == kStoreFailureLength && data[0] == 0x00 &&
         data[1] == static_cast<uint8_t>(Command::CreateConnection) &&
         std::memcmp(data + 2, kStoreFailureText, sizeof kStoreFailureText - 1) == 0;
}

inline uint16_t get_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t get_be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void put_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Little-endian by construction, so the result is the same on any host; the
// compilers turn it into one (unaligned) word load, also where a memcpy of
// four bytes would stay a call (the device's size-optimised build).
inline __attribute__((always_inline)) uint32_t load_le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Copies count bytes, a word at a time, without a call into the C library:
// on the device's per-chunk path every library page touched costs.
inline void copy_bytes(uint8_t* to, const uint8_t* from, std::size_t count) {
  for (; count >= 4; count -= 4, to += 4, from += 4) {
    const uint32_t w = load_le32(from);
    to[0] = static_cast<uint8_t>(w);
    to[1] = static_cast<uint8_t>(w >> 8);
    to[2] = static_cast<uint8_t>(w >> 16);
    to[3] = static_cast<uint8_t>(w >> 24);
  }
  for (; count; --count) *to++ = *from++;
}

}  // namespace qvlink

// 16-bit payload checksum: a sum of the bytes taken as signed 8-bit values,
// folded with one's-complement carry, complemented.
uint16_t chksum(const uint8_t* data, uint32_t count);

// Standard CRC-32 (IEEE 802.3, zlib) in running form: pass 0 to start, then the
// value returned for the previous piece. A null data pointer returns 0.
uint32_t crc32(uint32_t crc, const uint8_t* data, uint32_t count);

namespace qvlink {

// The payload checksum covers the length field, the code and as many data bytes
// as the length field claims (data_count); bytes 0 to 2 lie outside it.
inline uint16_t payload_chksum(const uint8_t* payload, std::size_t data_count) {
  return chksum(payload + kLength, static_cast<uint32_t>(data_count + 3));
}

// Writes a whole payload at payload: protocol 0, byte 1 zero, the sequence
// byte, a length field of count + 1, the code, count data bytes (which may
// overlap the destination) and the checksum. count is cut to kDataMax. Returns
// the payload length, header included.
std::size_t encode_payload(uint8_t* payload, uint8_t sequence, uint8_t code, const uint8_t* data, std::size_t count);

}  // namespace qvlink

#endif
