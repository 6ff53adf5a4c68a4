#include "link_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#ifdef QV_HAVE_ZLIB
uint32_t zlib_crc32(uint32_t crc, const uint8_t* data, uint32_t count);
#endif

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> v) {
  std::vector<uint8_t> out;
  for (int b : v) out.push_back(static_cast<uint8_t>(b));
  return out;
}

TEST(Chksum, KnownValues) {
  struct {
    const char* name;
    std::vector<uint8_t> data;
    uint16_t want;
  } cases[] = {
      {"abc", bytes({'a', 'b', 'c'}), 0xFED9},
      {"no bytes", {}, 0xFFFF},
      {"0xFF counts as -1", bytes({0xFF}), 0x0000},
      {"0x80 counts as -128", bytes({0x80}), 0x007F},
      {"connect request from 00:11:22:33:44:55", bytes({0x00, 0x07, 0x01, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}), 0xFEF8},
      {"reply: status 0 to the connect", bytes({0x00, 0x03, 0x00, 0x00, 0x01}), 0xFFFB},
      {"length field 0 and code 9", bytes({0x00, 0x00, 0x09}), 0xFFF6},
      // Sums beyond 16 bits are folded with their carry.
      {"1514 bytes of 0x7F", std::vector<uint8_t>(1514, 0x7F), static_cast<uint16_t>(~((1514 * 127 >> 16) + (1514 * 127 & 0xFFFF)))},
      // A negative sum wraps modulo 2^32 before the fold: 2 * -128 = 0xFFFFFF00.
      {"two 0x80", bytes({0x80, 0x80}), static_cast<uint16_t>(~(0xFFFFu + 0xFF00u + 1u))},
  };
  for (const auto& c : cases)
    EXPECT_EQ(chksum(c.data.data(), static_cast<uint32_t>(c.data.size())), c.want) << c.name;
}

// The checksum as its definition reads: a plain sum of signed bytes.
uint16_t reference_chksum(const uint8_t* data, uint32_t count) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) sum += static_cast<uint32_t>(static_cast<int8_t>(data[i]));
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

TEST(Chksum, MatchesThePlainSumAtEveryLengthAndAlignment) {
  std::mt19937 rng(11);
  std::vector<uint8_t> buf(1536 + 8);
  // Random bytes, and the extremes that fill the word lanes fastest.
  for (int fill : {-1, 0x00, 0x7F, 0x80, 0xFF}) {
    for (auto& b : buf) b = static_cast<uint8_t>(fill < 0 ? rng() : fill);
    for (uint32_t offset = 0; offset < 4; ++offset)
      for (uint32_t n = 0; n <= 1536; n += (n < 80 || n > 1500 || n % 128 < 8) ? 1 : 37)
        ASSERT_EQ(chksum(buf.data() + offset, n), reference_chksum(buf.data() + offset, n))
            << "fill " << fill << " offset " << offset << " length " << n;
  }
}

TEST(Crc32, KnownValues) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc32(0u, digits, 9), 0xCBF43926u);
  EXPECT_EQ(crc32(0u, digits, 0), 0u);
  EXPECT_EQ(crc32(0xDEADBEEFu, digits, 0), 0xDEADBEEFu) << "zero bytes keep the running value";
  EXPECT_EQ(crc32(0xDEADBEEFu, nullptr, 5), 0u) << "a null pointer returns 0";
  EXPECT_EQ(crc32(0u, nullptr, 0), 0u);
  const uint8_t a[] = {'a'};
  EXPECT_EQ(crc32(0u, a, 1), 0xE8B7BE43u);
  std::vector<uint8_t> zeros(32, 0);
  EXPECT_EQ(crc32(0u, zeros.data(), 32), 0x190A55ADu);
  std::vector<uint8_t> ones(32, 0xFF);
  EXPECT_EQ(crc32(0u, ones.data(), 32), 0xFF6CAB0Bu);
}

TEST(Crc32, PiecewiseEqualsWhole) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data(5000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  const uint32_t whole = crc32(0u, data.data(), static_cast<uint32_t>(data.size()));
  // Piece sizes that cross the four-byte steps at every alignment.
  for (int piece : {1, 2, 3, 4, 5, 7, 8, 13, 1514, 4999}) {
    uint32_t c = 0;
    for (std::size_t off = 0; off < data.size(); off += piece) {
      std::size_t n = std::min<std::size_t>(piece, data.size() - off);
      c = crc32(c, data.data() + off, static_cast<uint32_t>(n));
    }
    EXPECT_EQ(c, whole) << "pieces of " << piece;
  }
  // Random splits.
  for (int round = 0; round < 50; ++round) {
    uint32_t c = 0;
    std::size_t off = 0;
    while (off < data.size()) {
      std::size_t n = std::min<std::size_t>(rng() % 40, data.size() - off);
      c = crc32(c, data.data() + off, static_cast<uint32_t>(n));
      off += n;
    }
    EXPECT_EQ(c, whole) << "round " << round;
  }
}

TEST(Crc32, MisalignedStartGivesTheSameValue) {
  std::vector<uint8_t> buf(64 + 8);
  for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<uint8_t>(i * 37 + 1);
  std::vector<uint8_t> copy(buf.begin() + 3, buf.begin() + 3 + 61);
  EXPECT_EQ(crc32(0u, buf.data() + 3, 61), crc32(0u, copy.data(), 61));
}

// Bit at a time, straight from the definition: the reference for the lanes.
uint32_t crc32_bitwise(uint32_t crc, const uint8_t* data, std::size_t count) {
  uint32_t c = ~crc;
  for (std::size_t i = 0; i < count; ++i) {
    c ^= data[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

std::vector<uint8_t> random_bytes(std::size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

TEST(Crc32, PublishedCheckValues) {
  struct {
    const char* text;
    uint32_t want;
  } cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"abc", 0x352441C2u},
      {"123456789", 0xCBF43926u},
      {"message digest", 0x20159D7Fu},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const auto& c : cases) {
    const auto* p = reinterpret_cast<const uint8_t*>(c.text);
    EXPECT_EQ(crc32(0u, p, static_cast<uint32_t>(std::strlen(c.text))), c.want) << c.text;
  }
}

// Every length up to past the fourth 32-byte round (the lanes start at 64
// bytes), at every start alignment of an 8-byte word, from several running
// values: the short path, the lanes, the finish and the byte tail all meet.
TEST(Crc32, EveryLengthAndAlignmentMatchesTheBitwiseReference) {
  const auto data = random_bytes(200 + 8, 99);
  for (uint32_t start : {0u, 0xFFFFFFFFu, 0x12345678u})
    for (std::size_t offset = 0; offset < 8; ++offset)
      for (std::size_t len = 0; len <= 200; ++len)
        ASSERT_EQ(crc32(start, data.data() + offset, static_cast<uint32_t>(len)),
                  crc32_bitwise(start, data.data() + offset, len))
            << "start " << start << " offset " << offset << " length " << len;
}

// A single changed byte at every position of a buffer long enough for several
// rounds: each byte position of a round goes through its own lane and table.
TEST(Crc32, OneNonZeroByteAtEveryPosition) {
  constexpr std::size_t kLen = 32 * 5 + 7;
  for (uint8_t value : {0x01, 0x80, 0xFF, 0x5A})
    for (std::size_t pos = 0; pos < kLen; ++pos) {
      std::vector<uint8_t> buf(kLen, 0);
      buf[pos] = value;
      ASSERT_EQ(crc32(0u, buf.data(), kLen), crc32_bitwise(0u, buf.data(), kLen))
          << "value " << int(value) << " at " << pos;
    }
}

// The running form split at every point, for lengths on both sides of where
// the lanes begin and of a round boundary.
TEST(Crc32, RunningValueSplitAtEveryPoint) {
  const auto data = random_bytes(1514, 5);
  for (std::size_t len : {63, 64, 65, 95, 96, 97, 160, 1514}) {
    const uint32_t whole = crc32_bitwise(0u, data.data(), len);
    for (std::size_t cut = 0; cut <= len; ++cut) {
      const uint32_t head = crc32(0u, data.data(), static_cast<uint32_t>(cut));
      ASSERT_EQ(crc32(head, data.data() + cut, static_cast<uint32_t>(len - cut)), whole)
          << "length " << len << " cut at " << cut;
    }
  }
}

// The service's use: a running CRC over consecutive firmware chunks of up to
// 1514 bytes, the last one short, the image at an odd address.
TEST(Crc32, ConsecutiveFirmwareChunks) {
  const auto image = random_bytes(10 * 1514 + 1000 + 1, 21);
  const uint8_t* start = image.data() + 1;
  const std::size_t size = image.size() - 1;
  const uint32_t whole = crc32_bitwise(0u, start, size);
  for (std::size_t chunk : {1514, 1500, 1024, 777}) {
    uint32_t c = 0;
    for (std::size_t off = 0; off < size; off += chunk)
      c = crc32(c, start + off, static_cast<uint32_t>(std::min(chunk, size - off)));
    EXPECT_EQ(c, whole) << "chunks of " << chunk;
  }
}

#ifdef QV_HAVE_ZLIB
TEST(Crc32, RandomBuffersAgreeWithZlib) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 300; ++round) {
    std::size_t len = rng() % 3000;
    std::vector<uint8_t> data(len);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    uint32_t start = (round % 3 == 0) ? 0 : static_cast<uint32_t>(rng());
    uint32_t want = zlib_crc32(start, data.data(), static_cast<uint32_t>(len));
    EXPECT_EQ(crc32(start, data.data(), static_cast<uint32_t>(len)), want)
        << "length " << len << " start " << start;
  }
}
#endif

TEST(WireHelpers, BigEndianRoundTrip) {
  uint8_t b[4];
  qvlink::put_be32(b, 0x00100000u);
  EXPECT_EQ(b[0], 0x00);
  EXPECT_EQ(b[1], 0x10);
  EXPECT_EQ(qvlink::get_be32(b), 0x00100000u);
  qvlink::put_be16(b, 0xFEF8);
  EXPECT_EQ(b[0], 0xFE);
  EXPECT_EQ(b[1], 0xF8);
  EXPECT_EQ(qvlink::get_be16(b), 0xFEF8);
}

}  // namespace
