// The dissector over a capture of crafted frames: fields, names, the checksum
// verdict and the expert information, frame by frame.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "device_root.h"
#include "station_link.h"

namespace {

using Bytes = std::vector<uint8_t>;
using station_link::Mac;

const Mac kStation = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const Mac kDevice = {0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
const Mac kOther = {0x02, 0x66, 0x77, 0x88, 0x99, 0x00};  // a second station
const Mac kNamed = {0x02, 0x12, 0x34, 0x56, 0x78, 0x9A};  // named in kOther's connect
const Mac kNobody = {};                                     // before a connect, replies go here

Bytes request(uint8_t command, Bytes params, int checksum = -1, int length_field = -1, const Mac& from = kStation) {
  station_link::RequestSpec spec;
  spec.command = command;
  spec.params = std::move(params);
  spec.checksum = checksum;
  spec.length_field = length_field;
  return station_link::build_request(spec, from);
}

Bytes reply(Bytes data, const Mac& to = kStation) {
  station_link::RequestSpec spec;
  spec.command = 0;
  spec.params = std::move(data);
  spec.sequence = 1;
  spec.dest = to;
  return station_link::build_request(spec, kDevice);
}

// A frame given as its payload bytes, not padded: a reply from the device by default.
Bytes raw(const Bytes& payload, const Mac& from = kDevice, const Mac& to = kStation) {
  Bytes f(to.begin(), to.end());
  f.insert(f.end(), from.begin(), from.end());
  f.push_back(0x39);
  f.push_back(0x14);
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

void put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

// A classic little-endian pcap file of Ethernet frames.
std::string pcap(const std::vector<Bytes>& frames) {
  std::string s;
  put32(s, 0xA1B2C3D4);
  put32(s, 0x00040002);  // version 2.4
  put32(s, 0);
  put32(s, 0);
  put32(s, 65535);
  put32(s, 1);  // Ethernet
  uint32_t t = 1700000000;
  for (const Bytes& f : frames) {
    put32(s, t++);
    put32(s, 0);
    put32(s, static_cast<uint32_t>(f.size()));
    put32(s, static_cast<uint32_t>(f.size()));
    s.append(f.begin(), f.end());
  }
  return s;
}

Bytes store_failure() {
  Bytes d = {0x00, 0x01};
  const char text[] = "Fail to writ db";
  d.insert(d.end(), text, text + 15);
  d.resize(32, 0);
  return d;
}

struct Case {
  const char* name;
  Bytes frame;
  std::vector<std::string> present;
  std::vector<std::string> absent;
};

TEST(Dissector, CraftedFrames) {
  const std::vector<Case> cases = {
      {"connect request as on the wire",
       raw({0x00, 0x00, 0x00, 0xFE, 0xF8, 0x00, 0x07, 0x01, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, kStation,
           station_link::kBroadcast),
       {"Checksum: 0xfef8", "[Checksum status: Good]", "Length: 7", "Command: Create connection (1)",
        "Station address: ", "(00:11:22:33:44:55)"},
       {"Bad checksum"}},
      {"first reply of a run", raw({0x00, 0x00, 0x01, 0xFF, 0xFB, 0x00, 0x03, 0x00, 0x00, 0x01}),
       {"Sequence: 1", "Reply code: 0", "Status: Success (0)", "Command byte: Create connection (1)",
        "[Checksum status: Good]"},
       {"Bad checksum", "Status report"}},
      {"write serial number", request(2, {'S', 'N', '-', '9', 0}),
       {"Command: Write serial number (2)", "Serial number: SN-9", "[Checksum status: Good]"}, {}},
      {"firmware length", request(4, {0x00, 0x10, 0x00, 0x00}),
       {"Command: Firmware length (4)", "Firmware length: 1048576"}, {}},
      {"firmware chunk", request(5, Bytes(1514, 0xA5)),
       {"Command: Firmware chunk (5)", "Chunk bytes: 1514", "[Checksum status: Good]"}, {}},
      {"firmware checksum", request(6, {0xCB, 0xF4, 0x39, 0x26}),
       {"Command: Firmware checksum (6)", "Firmware CRC-32: 0xcbf43926"}, {}},
      {"upgrade ended", reply({0x00, 0x0B, 0x01}),
       {"Status: Success (0)", "Command byte: Upgrade normal code (11)", "Phase: Flashing ended (1)"}, {}},
      {"serial number read back", reply({0x00, 0x03, 'Q', 'V', '7'}), {"Serial number: QV7"}, {}},
      {"crc mismatch", reply({0x07, 0x05}),
       {"Status: Firmware CRC-32 mismatch (7)", "Command byte: Firmware chunk (5)", "Status report"}, {}},
      {"chunk failure", reply({0x08, 0x05}), {"Status: Firmware could not be stored (8)", "Status report"},
       {}},
      {"parameter error", reply({0x06}), {"Status: Command parameter error (6)"}, {"Command byte"}},
      {"store failure", reply(store_failure()),
       {"Failure text: Fail to writ db", "Serial number could not be stored"}, {"Status report"}},
      {"bad checksum", request(3, {}, 0x1234),
       {"Checksum: 0x1234", "[Checksum status: Bad]", "Bad checksum: 0x1234, computed 0x", "Read serial number"},
       {}},
      {"length field 0 covers three bytes", request(9, {}, -1, 0),
       {"Length: 0", "Command: Reboot (9)", "[Checksum status: Good]"}, {"Bad checksum"}},
      {"length beyond the frame",
       raw({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x05, 0x01, 0x02}, kStation, station_link::kBroadcast),
       {"Length field reaches beyond the frame", "[Checksum status: Unverified]"}, {"Bad checksum"}},
      {"unknown command", request(12, {}), {"Command: Unknown (12)"}, {}},
      // Replies matched to the requests in flight.
      {"checksum request", request(6, {0xCB, 0xF4, 0x39, 0x26}), {"Reply in frame: 18"}, {}},
      {"crc confirmed", reply({0x00, 0x05}),
       {"Request in frame: 17", "Answers: Firmware checksum (6)", "Meaning: CRC-32 confirmed"},
       {"no request in flight"}},
      {"a further reply", reply({0x07, 0x05}), {"Reply with no request in flight"}, {"CRC-32 confirmed"}},
      {"request with code 0", request(0, {}), {"Command: Unknown (0)"}, {"Reply code", "Status"}},
      {"reply to 00:00:00:00:00:00, no connect yet", reply({0x03, 0x00}, kNobody),
       {"Request in frame: 20", "Status: Unknown command (3)"}, {"no request in flight"}},
      {"code 0 to the broadcast address from a new station", request(0, {}, -1, -1, kOther),
       {"Command: Unknown (0)"}, {"Reply code"}},
      {"connect naming another address", request(1, {0x02, 0x12, 0x34, 0x56, 0x78, 0x9A}, -1, -1, kOther),
       {"Reply in frame: 24"}, {}},
      {"its reply goes to the named address", reply({0x00, 0x01}, kNamed),
       {"Request in frame: 23", "Answers: Create connection (1)"}, {"no request in flight"}},
      {"connect with a wrong checksum", request(1, {0x02, 0x66, 0x77, 0x88, 0x99, 0x00}, 0x1234, -1, kNamed),
       {"Reply in frame: 26"}, {}},
      {"its status report goes to the sender", reply({0x05, 0x01}, kNamed),
       {"Request in frame: 25", "Status: Wrong checksum (5)"}, {"no request in flight"}},
      {"a 19-byte request", raw({0x00, 0x00, 0x00, 0x00, 0x00}, kNamed, kDevice),
       {"Shorter than a payload header", "Reply in frame: 28"}, {}},
      {"its status report", reply({0x06}, kNamed),
       {"Request in frame: 27", "Meaning: Reply to a short frame"}, {"no request in flight"}},
  };
  std::vector<Bytes> frames;
  for (const Case& c : cases) frames.push_back(c.frame);
  const std::string path = "/tmp/qv_dissector_" + std::to_string(getpid()) + ".pcap";
  qvtest::write_file(path, pcap(frames));
  // As the README runs it: name resolution on, so addresses are shown as names.
  qvtest::RunResult r = qvtest::run(
      {"tshark", "-X", "lua_script:" + qvtest::source_dir() + "/tools/dissector/qv_factory_link.lua", "-2", "-r", path, "-V"});
  std::remove(path.c_str());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("Lua"), std::string::npos) << r.err;

  // One block of -V output per frame.
  std::vector<std::string> blocks;
  for (std::size_t at = r.out.find("Frame 1:"); at != std::string::npos;) {
    std::size_t next = r.out.find("\nFrame ", at + 1);
    blocks.push_back(r.out.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at = next == std::string::npos ? next : next + 1;
  }
  ASSERT_EQ(blocks.size(), cases.size()) << r.out;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_NE(blocks[i].find("QV Factory Link"), std::string::npos);
    for (const std::string& s : cases[i].present)
      EXPECT_NE(blocks[i].find(s), std::string::npos) << s << "\n" << blocks[i];
    for (const std::string& s : cases[i].absent)
      EXPECT_EQ(blocks[i].find(s), std::string::npos) << s << "\n" << blocks[i];
  }
}

}  // namespace
