#include "station_link.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using station_link::Mac;

const Mac kStation = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

std::vector<uint8_t> payload_of(const std::vector<uint8_t>& frame, std::size_t count) {
  return std::vector<uint8_t>(frame.begin() + 14, frame.begin() + 14 + count);
}

TEST(StationLinkBuild, ConnectRequestFromStation001122334455) {
  station_link::RequestSpec req;
  req.command = 1;
  req.params.assign(kStation.begin(), kStation.end());
  auto f = station_link::build_request(req, kStation);
  ASSERT_EQ(f.size(), 60u);  // padded to the Ethernet minimum
  EXPECT_EQ(station_link::hex(payload_of(f, 14)), "00 00 00 FE F8 00 07 01 00 11 22 33 44 55");
  EXPECT_EQ(station_link::hex(f.data(), 14), "FF FF FF FF FF FF 00 11 22 33 44 55 39 14");
  for (std::size_t i = 28; i < f.size(); ++i) EXPECT_EQ(f[i], 0) << i;
}

struct BuildCase {
  const char* name;
  station_link::RequestSpec spec;
  std::size_t size;
  const char* payload_hex;  // first bytes of the payload
};

station_link::RequestSpec spec(uint8_t cmd, std::vector<uint8_t> params) {
  station_link::RequestSpec s;
  s.command = cmd;
  s.params = std::move(params);
  return s;
}

TEST(StationLinkBuild, Variants) {
  std::vector<BuildCase> cases;
  {
    auto s = spec(9, {});
    s.protocol = 7;
    s.reserved = 0xAA;
    s.sequence = 0x42;
    cases.push_back({"header bytes as given", s, 60, "07 AA 42 FF F5 00 01 09"});
  }
  {
    auto s = spec(9, {});
    s.length_field = 0;  // length 0 covers the same 3 bytes as length 1, code 9
    cases.push_back({"length field 0", s, 60, "00 00 00 FF F6 00 00 09"});
  }
  {
    auto s = spec(9, {});
    s.wrong_checksum = true;
    cases.push_back({"wrong checksum flips the right one", s, 60, "00 00 00 00 0A 00 01 09"});
  }
  {
    auto s = spec(9, {});
    s.checksum = 0x1234;
    cases.push_back({"checksum as given", s, 60, "00 00 00 12 34 00 01 09"});
  }
  {
    auto s = spec(3, {});
    s.frame_length = 19;
    cases.push_back({"cut to an exact length", s, 19, "00 00 00 FF"});
  }
  {
    auto s = spec(2, {'A', 'B', 'C', 'D', 'E'});
    s.length_field = 6;  // claims one zero byte of padding beyond the text
    cases.push_back({"padding counted in the checksum", s, 60, "00 00 00 FE A8 00 06 02 41 42 43 44 45"});
  }
  {
    auto s = spec(5, std::vector<uint8_t>(1514, 0x01));
    cases.push_back({"full chunk is not padded further", s, 1536, "00 00 00"});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto f = station_link::build_request(c.spec, kStation);
    EXPECT_EQ(f.size(), c.size);
    std::string want = c.payload_hex;
    std::size_t n = (want.size() + 1) / 3;
    EXPECT_EQ(station_link::hex(payload_of(f, n)), want);
  }
}

TEST(StationLinkParse, ConnectReplyToStation001122334455AndDamagedForms) {
  // 14-byte header to 00:11:22:33:44:55 from 02:00:00:00:00:01, then the payload.
  std::vector<uint8_t> f = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02, 0, 0, 0, 0, 0x01, 0x39, 0x14,
                            0x00, 0x00, 0x01, 0xFF, 0xFB, 0x00, 0x03, 0x00, 0x00, 0x01};
  station_link::Reply r;
  ASSERT_TRUE(station_link::parse_reply(f, r));
  EXPECT_EQ(r.sequence, 1);
  EXPECT_EQ(r.length_field, 3);
  EXPECT_EQ(station_link::hex(r.data), "00 01");
  EXPECT_TRUE(r.length_ok);
  EXPECT_TRUE(r.checksum_ok);
  EXPECT_TRUE(station_link::is_success(r, 1));
  EXPECT_FALSE(station_link::is_success(r, 2));
  EXPECT_EQ(station_link::mac_text(r.dest), "00:11:22:33:44:55");

  auto padded = f;
  padded.resize(60, 0);  // link padding does not change the data
  ASSERT_TRUE(station_link::parse_reply(padded, r));
  EXPECT_EQ(r.data.size(), 2u);
  EXPECT_TRUE(r.checksum_ok);

  auto bad = f;
  bad.back() = 0x02;
  ASSERT_TRUE(station_link::parse_reply(bad, r));
  EXPECT_FALSE(r.checksum_ok);
  EXPECT_FALSE(station_link::is_success(r, 1));

  auto cut = f;
  cut.pop_back();
  ASSERT_TRUE(station_link::parse_reply(cut, r));
  EXPECT_FALSE(r.length_ok);
  EXPECT_FALSE(r.checksum_ok);

  auto other = f;
  other[13] = 0x00;
  EXPECT_FALSE(station_link::parse_reply(other, r));
  EXPECT_FALSE(station_link::parse_reply(std::vector<uint8_t>(f.begin(), f.begin() + 21), r));
}

TEST(StationLinkParse, StoreFailureReplyIsNoSuccess) {
  std::vector<uint8_t> data = {0x00, 0x01};
  const char* text = "Fail to writ db";
  data.insert(data.end(), text, text + 15);
  data.resize(32, 0);
  station_link::RequestSpec s;  // a request frame has the same layout as a reply
  s.command = 0;
  s.params = data;
  auto f = station_link::build_request(s, kStation);
  station_link::Reply r;
  ASSERT_TRUE(station_link::parse_reply(f, r));
  EXPECT_TRUE(r.checksum_ok);
  EXPECT_TRUE(station_link::is_store_failure_reply(r));
  EXPECT_FALSE(station_link::is_success(r, 1));
  EXPECT_FALSE(station_link::is_success(r, 2));
}

TEST(StationLinkMac, Parse) {
  struct {
    const char* text;
    bool ok;
  } cases[] = {{"00:11:22:33:44:55", true}, {"aa-BB-cc-DD-ee-FF", true}, {"00:11:22:33:44", false},
               {"00:11:22:33:44:5g", false}, {"00;11:22:33:44:55", false}, {"", false}};
  for (const auto& c : cases) {
    Mac m{};
    EXPECT_EQ(station_link::parse_mac(c.text, m), c.ok) << c.text;
  }
  Mac m{};
  ASSERT_TRUE(station_link::parse_mac("aa-BB-cc-DD-ee-FF", m));
  EXPECT_EQ(station_link::mac_text(m), "aa:bb:cc:dd:ee:ff");
}

}  // namespace
