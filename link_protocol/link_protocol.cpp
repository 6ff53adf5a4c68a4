#include "link_protocol.h"

using qvlink::load_le32;

uint16_t chksum(const uint8_t* data, uint32_t count) {
  // Each byte counts as a signed value v. With its top bit flipped it reads as
  // the unsigned v + 128, so the sum is that of the flipped bytes less 128 per
  // byte. The flipped bytes are added four at a time in two 16-bit lanes of a
  // word (two bytes a lane, at most 510), which take 128 words before they
  // could overflow; the byte order of the loads does not change a sum.
  uint32_t sum = 0u - 128u * count;  // modulo 2^32, as the signed sum wraps
  while (count >= 4) {
    uint32_t words = count / 4 < 128 ? count / 4 : 128;
    count -= words * 4;
    uint32_t lanes = 0;
    for (; words; --words, data += 4) {
      uint32_t w = load_le32(data) ^ 0x80808080u;
      lanes += (w & 0x00FF00FFu) + ((w >> 8) & 0x00FF00FFu);
    }
    sum += (lanes & 0xFFFF) + (lanes >> 16);
  }
  while (count--) sum += *data++ ^ 0x80u;
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

namespace qvlink {

std::size_t encode_payload(uint8_t* payload, uint8_t sequence, uint8_t code, const uint8_t* data, std::size_t count) {
  if (count > kDataMax) count = kDataMax;
  payload[kProtocol] = 0;
  payload[1] = 0;
  payload[kSequence] = sequence;
  put_be16(payload + kLength, static_cast<uint16_t>(count + 1));
  payload[kCode] = code;
  // The data may overlap the destination: copied in the direction that reads
  // each byte before it is overwritten (a loop, not memmove: see copy_bytes).
  uint8_t* to = payload + kParams;
  if (to <= data) {
    for (std::size_t i = 0; i < count; ++i) to[i] = data[i];
  } else {
    for (std::size_t i = count; i > 0; --i) to[i - 1] = data[i - 1];
  }
  put_be16(payload + kChecksum, payload_chksum(payload, count));
  return kPayloadHeaderLength + count;
}

}  // namespace qvlink

namespace {

// CRC-32 of the reflected polynomial 0xEDB88320 (zlib's crc32), four lanes wide.
//
// The walk keeps four running remainders ("lanes") over interleaved 8-byte
// words: lane k takes words k, k+4, k+8, ... Folding a word of a lane yields a
// remainder that is due three words later, where the lane's next word begins,
// so the lanes never wait for each other and the processor overlaps their
// table look-ups. At the end the lanes are folded into the last four words and
// those are walked in order, four bytes per step.
//
// Tables, 12 KiB in all:
//   step[k][n]  = remainder of byte n followed by k zero bytes, k = 0..3: the
//                 four-byte step for the head-less short path and the finish;
//   braid[k][n] = remainder of byte n followed by 24 + k zero bytes: byte j of a
//                 lane word uses braid[7 - j], aligning it with the start of the
//                 word 32 bytes on.
// The braid tables are the hot ones (every byte of a long buffer); the step
// tables only see the last 32..63 bytes of a long call, which keeps the data-cache
// footprint per firmware chunk near 8 KiB on a 16 KiB cache.
//
// The device walks in steps only. Its processor issues one instruction at a
// time, so the lanes save it nothing (a step takes about as many instructions
// a byte as a lane word), and its TLB holds 16 page pairs, shared with the
// kernel's modules: the braid tables' two more pages, touched by every chunk,
// would push other pages of the transfer out.
#ifdef QV_HOST_BUILD
constexpr bool kLanesWalk = true;
#else
constexpr bool kLanesWalk = false;
#endif
constexpr uint32_t kPoly = 0xEDB88320u;
constexpr uint32_t kLaneWord = 8;                    // bytes per lane word
constexpr uint32_t kLanes = 4;
constexpr uint32_t kRound = kLanes * kLaneWord;      // bytes per round of all lanes
constexpr uint32_t kBraidShift = kRound - kLaneWord;  // zero bytes behind the word's last byte

using CrcTable = uint32_t[256];
struct StepTables {
  CrcTable t[4];
};
struct BraidTables {
  CrcTable t[8];
};
static_assert(sizeof(StepTables) == 4 * 1024 && sizeof(BraidTables) == 8 * 1024, "4 step and 8 braid tables");

struct CrcTables {
  StepTables step;
  BraidTables braid;
};

constexpr CrcTables make_crc_tables() {
  CrcTables tables{};
  auto& step = tables.step.t;
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? kPoly ^ (c >> 1) : c >> 1;
    step[0][n] = c;
  }
  // Each further zero byte is one more byte step of the remainder.
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = step[0][n];
    for (uint32_t k = 1; k < kBraidShift + 8; ++k) {
      c = step[0][c & 0xFF] ^ (c >> 8);
      if (k < 4) step[k][n] = c;
      if (k >= kBraidShift) tables.braid.t[k - kBraidShift][n] = c;
    }
  }
  return tables;
}

// Computed once, kept as two objects, so that a build that walks in steps
// only holds no braid tables; the step tables in one page of their own.
constexpr CrcTables kCrc = make_crc_tables();
alignas(4096) constexpr StepTables kStep = kCrc.step;
constexpr BraidTables kBraid = kCrc.braid;
static_assert(kStep.t[0][1] == 0x77073096u, "CRC-32 table of the reflected polynomial");
static_assert(kStep.t[0][0x80] == 0xEDB88320u, "byte 0x80 leaves the polynomial itself");

// Four bytes with the running remainder c: the remainder after them.
inline uint32_t step4(uint32_t c, const uint8_t* p) {
  const auto& t = kStep.t;
  const uint32_t x = load_le32(p) ^ c;
  return t[3][x & 0xFF] ^ t[2][(x >> 8) & 0xFF] ^ t[1][(x >> 16) & 0xFF] ^ t[0][x >> 24];
}

// One lane word: the lane's remainder r enters the first four bytes; the other
// four are looked up straight from memory (one load each, no shifting), which
// is where this beats a plain sliced walk. Returns the remainder due at the
// lane's next word.
inline uint32_t braid_word(uint32_t r, const uint8_t* p) {
  const auto& t = kBraid.t;
  const uint32_t x = load_le32(p) ^ r;
  return (t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]) ^
         (t[7][x & 0xFF] ^ t[6][(x >> 8) & 0xFF] ^ t[5][(x >> 16) & 0xFF] ^ t[4][x >> 24]);
}

}  // namespace

uint32_t crc32(uint32_t crc, const uint8_t* data, uint32_t count) {
  if (!data) return 0;
  uint32_t c = ~crc;
  if (kLanesWalk && count >= 2 * kRound) {
    // All but the last round in the lanes; the running value enters lane 0.
    uint32_t lane[kLanes] = {c, 0, 0, 0};
    for (uint32_t rounds = count / kRound - 1; rounds; --rounds) {
      // Unrolled so that the lanes stay in registers and the word fold is
      // inlined rather than called per word.
#pragma GCC unroll 4
      for (uint32_t k = 0; k < kLanes; ++k) lane[k] = braid_word(lane[k], data + k * kLaneWord);
      data += kRound;
      count -= kRound;
    }
    // Each lane's remainder is due at its word of the last round: walk those
    // four words in order with the lanes folded in.
    c = 0;
    for (uint32_t k = 0; k < kLanes; ++k) {
      c = step4(step4(c ^ lane[k], data), data + 4);
      data += kLaneWord;
      count -= kLaneWord;
    }
  }
  for (; count >= 4; count -= 4, data += 4) c = step4(c, data);
  while (count--) c = kStep.t[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
  return ~c;
}
