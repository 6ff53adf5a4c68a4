// dispatch, the reply path and every handler, on the in-memory platform: frames
// go in through rx_frame as the receive leaves them, replies come out of the
// send seam byte for byte.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "link_service.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kOwnMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kStation[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

std::string hex(const Bytes& b, std::size_t from = 0, std::size_t count = SIZE_MAX) {
  std::string out;
  char t[4];
  for (std::size_t i = from; i < b.size() && i - from < count; ++i) {
    std::snprintf(t, sizeof t, i > from ? " %02X" : "%02X", b[i]);
    out += t;
  }
  return out;
}

Bytes text_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct RequestOptions {
  uint8_t protocol = 0;
  int length_field = -1;     // -1: params + 1
  bool wrong_checksum = false;
  int frame_length = -1;     // -1: header + params, padded to 60; else exact
  const uint8_t* source = kStation;
  uint8_t sequence = 0;
};

uint16_t sum_of(const Bytes& frame, std::size_t covered) {
  Bytes c(covered, 0);
  for (std::size_t i = 0; i < covered && 19 + i < frame.size(); ++i) c[i] = frame[19 + i];
  return chksum(c.data(), static_cast<uint32_t>(c.size()));
}

Bytes request(uint8_t command, const Bytes& params, const RequestOptions& o = {}) {
  Bytes f(22 + params.size(), 0);
  std::memset(f.data(), 0xFF, 6);
  std::memcpy(f.data() + 6, o.source, 6);
  f[12] = 0x39;
  f[13] = 0x14;
  f[14] = o.protocol;
  f[16] = o.sequence;
  uint16_t len = o.length_field >= 0 ? static_cast<uint16_t>(o.length_field) : static_cast<uint16_t>(params.size() + 1);
  qvlink::put_be16(&f[19], len);
  f[21] = command;
  std::copy(params.begin(), params.end(), f.begin() + 22);
  if (o.frame_length >= 0)
    f.resize(static_cast<std::size_t>(o.frame_length), 0);
  else if (f.size() < 60)
    f.resize(60, 0);
  std::size_t n = len ? len - 1u : 0u;
  uint16_t s = sum_of(f, n + 3);
  if (o.wrong_checksum) s = static_cast<uint16_t>(s ^ 0x0101);
  if (f.size() >= 19) qvlink::put_be16(&f[17], s);
  return f;
}

// A reply frame as the station must see it: Ethernet header to the peer from
// the bridge, type 0x3914, a consistent length field and checksum.
void expect_well_formed(const fake::SentFrame& s, const uint8_t* peer) {
  const Bytes& f = s.frame;
  ASSERT_GE(f.size(), 22u);
  ASSERT_LE(f.size(), 1536u);
  EXPECT_EQ(0, std::memcmp(f.data(), peer, 6));
  EXPECT_EQ(0, std::memcmp(f.data() + 6, kOwnMac, 6));
  EXPECT_EQ(f[12], 0x39);
  EXPECT_EQ(f[13], 0x14);
  EXPECT_EQ(f[14], 0);
  EXPECT_EQ(f[15], 0);
  EXPECT_EQ(f[21], 0);
  std::size_t n = qvlink::get_be16(&f[19]) - 1u;
  EXPECT_EQ(f.size(), 22 + n);
  EXPECT_EQ(qvlink::get_be16(&f[17]), chksum(&f[19], static_cast<uint32_t>(n + 3)));
  EXPECT_EQ(s.to.sll_family, AF_PACKET);
  EXPECT_EQ(s.to.sll_protocol, htons(0x3914));
  EXPECT_EQ(s.to.sll_ifindex, 7);
  EXPECT_EQ(s.to.sll_hatype, 1);
  EXPECT_EQ(s.to.sll_pkttype, 3);
  EXPECT_EQ(s.to.sll_halen, 6);
  EXPECT_EQ(0, std::memcmp(s.to.sll_addr, peer, 6));
  EXPECT_EQ(s.to.sll_addr[6], 0);
  EXPECT_EQ(s.to.sll_addr[7], 0);
}

Bytes data_of(const fake::SentFrame& s) { return Bytes(s.frame.begin() + 22, s.frame.end()); }

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    ctx_ = std::make_unique<link_context>();
    std::memset(ctx_.get(), 0, sizeof *ctx_);
    ctx_->sock = 3;
    ctx_->ifindex = 7;
    std::memcpy(ctx_->own_mac, kOwnMac, 6);
    ctx_->tx_payload = ctx_->tx_frame + 14;
    firmware_ = fake::root() + "/tmp/firmware";
    unlink(firmware_.c_str());
  }
  void TearDown() override {
    if (ctx_->fw_file) std::fclose(ctx_->fw_file);
  }

  // Puts a frame into rx_frame as the receive does, with `behind` filling the
  // rest of the buffer (the receive clears it; handlers must not depend on that).
  void deliver(const Bytes& frame, uint8_t behind = 0) {
    std::size_t n = std::min<std::size_t>(frame.size(), sizeof ctx_->rx_frame);
    std::memset(ctx_->rx_frame, behind, sizeof ctx_->rx_frame);
    std::memcpy(ctx_->rx_frame, frame.data(), n);
    ctx_->rx_length = static_cast<int32_t>(n);
    dispatch(*ctx_);
  }

  // Delivers and returns what the service printed.
  std::string deliver_out(const Bytes& frame, uint8_t behind = 0) {
    ::testing::internal::CaptureStdout();
    deliver(frame, behind);
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  const fake::SentFrame& last() {
    EXPECT_FALSE(fake::platform().sent.empty());
    return fake::platform().sent.back();
  }

  std::unique_ptr<link_context> ctx_;
  std::string firmware_;
};

// The idle limit of a wait, pass by pass: time-outs count within one wait only
// and only in a row of passes; frames that are not taken do not count (nor
// leave bytes behind the one taken); a frame that arrives in the pass after
// the thirtieth time-out ends the run unserved.
TEST_F(Service, WaitCountsTimeOutsPerWaitAndEndsAfterThirty) {
  const std::string t29(29, 'T'), t30(30, 'T'), t20(20, 'T');
  const struct {
    const char* what;
    std::string passes;
    std::vector<int> results;  // of the waits made one after the other
    std::size_t passes_taken;
    int8_t state;
  } cases[] = {
      {"31 time-outs", t30 + "TF", {-1}, 31, kStateQuit},
      {"a frame after 30 time-outs is not served", t30 + "F", {-1}, 31, kStateQuit},
      {"a frame after 29 time-outs is served", t29 + "F", {0}, 30, kStateIdle},
      {"every wait counts anew", t20 + "F" + t20 + "F" + t29 + "F", {0, 0, 0}, 72, kStateIdle},
      {"frames not taken do not count", t29 + "XZXZ" + "F", {0}, 34, kStateIdle},
      {"a longer frame not taken leaves nothing behind the next", "FLF", {0, 0}, 3, kStateIdle},
      {"a failed select ends the run", "TE", {-1}, 2, kStateIdle},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    auto& p = fake::platform();
    p.passes = c.passes;
    p.incoming = request(7, {});
    const int sock = open("/dev/null", O_RDONLY);  // the wait closes it when the run ends
    ctx_->sock = sock;
    ::testing::internal::CaptureStderr();
    for (int expected : c.results) EXPECT_EQ(waitfor_peer_action(*ctx_), expected);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(p.pass, c.passes_taken);
    EXPECT_EQ(ctx_->state, c.state);
    if (c.results.back() == 0) {
      EXPECT_EQ(ctx_->rx_length, static_cast<int32_t>(p.incoming.size()));
      const uint8_t* frame = ctx_->rx_frame;
      EXPECT_TRUE(std::all_of(frame + ctx_->rx_length, frame + sizeof ctx_->rx_frame, [](uint8_t b) { return b == 0; }))
          << "bytes of an earlier frame behind the one taken";
      EXPECT_EQ(ctx_->sock, sock);
      close(sock);
    } else {
      EXPECT_EQ(ctx_->sock, -1) << "closed";
    }
    EXPECT_EQ(err, c.passes.back() == 'E' ? "fail to select: Bad file descriptor\n" : "");
  }
}

TEST_F(Service, ConnectFromStation001122334455) {
  std::string out = deliver_out(request(1, Bytes(kStation, kStation + 6)));
  ASSERT_EQ(fake::platform().sent.size(), 1u);
  const auto& s = last();
  expect_well_formed(s, kStation);
  EXPECT_EQ(hex(s.frame, 14), "00 00 01 FF FB 00 03 00 00 01");
  EXPECT_EQ(out, "create_connection()\n");
  EXPECT_EQ(ctx_->state, kStateConnected);
  EXPECT_EQ(0, std::memcmp(ctx_->peer_mac, kStation, 6));
}

TEST_F(Service, StatusReports) {
  struct Case {
    const char* name;
    Bytes frame;
    const char* data;
    const char* out;
  };
  RequestOptions proto;
  proto.protocol = 1;
  RequestOptions proto_short = proto;
  proto_short.frame_length = 15;
  RequestOptions short19;
  short19.frame_length = 19;
  RequestOptions bare_header;
  bare_header.frame_length = 14;
  RequestOptions claims_more;
  claims_more.length_field = 40;  // 39 parameter bytes in a 60-byte frame that holds 38
  RequestOptions claims_exact;
  claims_exact.length_field = 39;
  RequestOptions bad_sum;
  bad_sum.wrong_checksum = true;
  std::vector<Case> cases = {
      {"unknown protocol", request(9, {}, proto), "02 00", "QVREPORTSTATUS_ERROR_UNKNOWN_PROTOCOL\n"},
      {"unknown protocol in a short frame", request(9, {}, proto_short), "02 00",
       "QVREPORTSTATUS_ERROR_UNKNOWN_PROTOCOL\n"},
      {"frame of 19 bytes", request(9, {}, short19), "06", "QVREPORTSTATUS_ERROR_COMMAND_PARAMETER\n"},
      {"frame of 20 bytes ends inside the header",
       [] { RequestOptions o; o.frame_length = 20; return request(7, {}, o); }(), "06",
       "QVREPORTSTATUS_ERROR_COMMAND_PARAMETER\n"},
      {"frame of 21 bytes lacks the code byte",
       [] { RequestOptions o; o.frame_length = 21; return request(7, {}, o); }(), "06",
       "QVREPORTSTATUS_ERROR_COMMAND_PARAMETER\n"},
      {"frame of 22 bytes holds a whole request",
       [] { RequestOptions o; o.frame_length = 22; return request(7, {}, o); }(), "00 07", "close_conn\n"},
      {"frame of only its Ethernet header", request(9, {}, bare_header), "06",
       "QVREPORTSTATUS_ERROR_COMMAND_PARAMETER\n"},
      {"length field beyond the frame", request(2, {}, claims_more), "06",
       "QVREPORTSTATUS_ERROR_COMMAND_PARAMETER\n"},
      {"length field 0xFFFF", [] { RequestOptions o; o.length_field = 0xFFFF; return request(3, {}, o); }(), "06",
       "QVREPORTSTATUS_ERROR_COMMAND_PARAMETER\n"},
      {"wrong checksum", request(9, {}, bad_sum), "05 09",
       "QVREPORTSTATUS_ERROR_WRONG_CHKSUM:fef4,fff5\nlength:01\nparameter length:00\n"},
      {"code 0", request(0, {}), "03 00", "QVREPORTSTATUS_ERROR_UNKNOWN_COMMAND\n"},
      {"code 12", request(12, {}), "03 0C", "QVREPORTSTATUS_ERROR_UNKNOWN_COMMAND\n"},
      {"code 255", request(255, {'x'}), "03 FF", "QVREPORTSTATUS_ERROR_UNKNOWN_COMMAND\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    std::string out = deliver_out(c.frame);
    ASSERT_EQ(fake::platform().sent.size(), 1u);
    expect_well_formed(last(), ctx_->peer_mac);
    EXPECT_EQ(hex(data_of(last())), c.data);
    EXPECT_EQ(out, c.out);
    EXPECT_TRUE(fake::platform().commands.empty());
  }
  // A length field that exactly fits the frame is served (read_serial_number ignores its bytes).
  SetUp();
  std::string out = deliver_out(request(3, {}, claims_exact));
  EXPECT_EQ(out, "read_seq_number\n");
}

TEST_F(Service, LengthZeroCoversThreeBytesLikeLengthOne) {
  RequestOptions zero;
  zero.length_field = 0;
  deliver(request(7, {}, zero));
  EXPECT_EQ(hex(data_of(last())), "00 07");
}

TEST_F(Service, SequenceByteCountsRepliesAndWraps) {
  for (int i = 1; i <= 257; ++i) {
    RequestOptions o;
    o.sequence = 0x77;  // the request's own sequence plays no part
    deliver(request(7, {}, o));
    uint8_t seq = last().frame[16];
    if (i == 1) EXPECT_EQ(seq, 1);
    if (i == 255) EXPECT_EQ(seq, 255);
    if (i == 256) EXPECT_EQ(seq, 0);
    if (i == 257) EXPECT_EQ(seq, 1);
  }
  EXPECT_EQ(ctx_->tx_sequence, 257u);
}

TEST_F(Service, ConnectTakesOnlyBytesOfTheReceivedFrame) {
  // Three parameter bytes in a frame that ends right after them; what lies
  // behind in the buffer must not become part of the address.
  RequestOptions o;
  o.frame_length = 25;
  deliver(request(1, {0x00, 0x11, 0x22}, o), 0xA5);
  const uint8_t want[6] = {0x00, 0x11, 0x22, 0x00, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(ctx_->peer_mac, want, 6));
  expect_well_formed(last(), want);
  // Bytes that the frame does hold beyond the parameters are taken.
  SetUp();
  deliver(request(1, {0x00, 0x11, 0x22}), 0xA5);  // padded to 60 with zeros
  EXPECT_EQ(0, std::memcmp(ctx_->peer_mac, want, 6));
  SetUp();
  Bytes f = request(1, {0x00, 0x11, 0x22});
  f[25] = 0x33;  // frame content beyond the parameters (not covered by the checksum)
  deliver(f);
  const uint8_t taken[6] = {0x00, 0x11, 0x22, 0x33, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(ctx_->peer_mac, taken, 6));
}

TEST_F(Service, SecondConnectReplacesPeer) {
  deliver(request(1, Bytes(kStation, kStation + 6)));
  const uint8_t other[6] = {0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
  deliver(request(1, Bytes(other, other + 6)));
  EXPECT_EQ(0, std::memcmp(ctx_->peer_mac, other, 6));
  expect_well_formed(last(), other);
}

struct SerialCase {
  const char* name;
  std::string stored;    // "" = nothing stored
  Bytes params;
  int frame_length;      // -1: padded to 60
  uint8_t behind;        // what fills rx_frame past the received bytes
  const char* out;
  std::string want_stored;
  int want_writes;
};

TEST_F(Service, WriteSerialNumber) {
  std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
  std::vector<SerialCase> cases = {
      {"new value with its zero", "", text_bytes(std::string("SN0001") + '\0'), -1, 0, "Seq Number:SN0001\n", "SN0001", 1},
      {"same value again: no store write", "SN0001", text_bytes(std::string("SN0001") + '\0'), -1, 0,
       "Seq Number:SN0001\n", "SN0001", 0},
      {"longer stored value differs", "SN00012", text_bytes(std::string("SN0001") + '\0'), -1, 0,
       "Seq Number:SN0001\n", "SN0001", 1},
      {"five characters in a minimum-size frame", "", text_bytes("ABCDE"), -1, 0, "Seq Number:ABCDE\n", "ABCDE", 1},
      {"five characters ending the frame: nothing behind it is taken", "", text_bytes("ABCDE"), 27, 0xA5,
       "Seq Number:ABCDE\n", "ABCDE", 1},
      {"40 characters: 32 stored, 33 printed", "", text_bytes(forty), -1, 0,
       "Seq Number:ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456\n", forty.substr(0, 32), 1},
      {"40 characters, first 32 already stored", forty.substr(0, 32), text_bytes(forty), -1, 0,
       "Seq Number:ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456\n", forty.substr(0, 32), 0},
      {"empty text", "OLD", Bytes{}, -1, 0, "Seq Number:\n", "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (!c.stored.empty()) fake::platform().store["3/SN"] = c.stored;
    RequestOptions o;
    o.frame_length = c.frame_length;
    std::string out = deliver_out(request(2, c.params, o), c.behind);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(fake::platform().store["3/SN"], c.want_stored);
    EXPECT_EQ(fake::platform().store_writes, c.want_writes);
    ASSERT_EQ(fake::platform().sent.size(), 1u);
    EXPECT_EQ(hex(data_of(last())), "00 02");
  }
}

TEST_F(Service, StoreFailureKeepsTheThirtyTwoByteReply) {
  fake::platform().fail_store_write = true;
  std::string out = deliver_out(request(2, text_bytes(std::string("SN9") + '\0')));
  EXPECT_EQ(out, "Seq Number:SN9\nFail to writ db\n");
  ASSERT_EQ(fake::platform().sent.size(), 1u);
  expect_well_formed(last(), ctx_->peer_mac);
  EXPECT_EQ(hex(data_of(last())),
            "00 01 46 61 69 6C 20 74 6F 20 77 72 69 74 20 64 62 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  // The service goes on.
  deliver(request(3, {}));
  EXPECT_EQ(hex(data_of(last())), "00 03");
}

TEST_F(Service, ReadSerialNumber) {
  struct {
    const char* name;
    std::string stored;
    const char* data;
  } cases[] = {
      {"nothing stored", "", "00 03"},
      {"short", "SN1", "00 03 53 4E 31"},
      {"cut to 32", std::string(40, 'Z'), nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (!c.stored.empty()) fake::platform().store["3/SN"] = c.stored;
    std::string out = deliver_out(request(3, {'i', 'g', 'n'}));
    EXPECT_EQ(out, "read_seq_number\n");
    Bytes d = data_of(last());
    if (c.data) {
      EXPECT_EQ(hex(d), c.data);
    } else {
      ASSERT_EQ(d.size(), 34u);
      EXPECT_EQ(std::string(d.begin() + 2, d.end()), std::string(32, 'Z'));
    }
  }
}

TEST_F(Service, ControlCommands) {
  struct {
    uint8_t code;
    const char* out;
    const char* data;
    const char* command;  // nullptr: none
    int8_t state;
  } cases[] = {
      {7, "close_conn\n", "00 07", nullptr, kStateIdle},
      {8, "peer_quit\n", "00 08", nullptr, kStateQuit},
      {9, "peer_reboot()\n", "00 09", "reboot", kStateConnected},
      {10, "peer_default_reset()\n", "00 0A", "killall -SIGUSR2 nvram_daemon", kStateConnected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    SetUp();
    deliver(request(1, Bytes(kStation, kStation + 6)));
    fake::platform() = fake::Platform{};
    std::string out = deliver_out(request(c.code, {1, 2, 3}));
    EXPECT_EQ(out, c.out);
    ASSERT_EQ(fake::platform().sent.size(), 1u);
    expect_well_formed(last(), kStation);
    EXPECT_EQ(hex(data_of(last())), c.data);
    EXPECT_EQ(ctx_->state, c.state);
    EXPECT_EQ(0, std::memcmp(ctx_->peer_mac, kStation, 6)) << "the peer stays recorded";
    std::vector<std::string> events = {"send"};
    if (c.command) events.push_back(std::string("system ") + c.command);
    EXPECT_EQ(fake::platform().events, events) << "the reply goes out before the command";
  }
}

TEST_F(Service, FailedSendIsReportedOnceAndTheEffectStays) {
  fake::platform().fail_send = true;
  ::testing::internal::CaptureStderr();
  deliver(request(1, Bytes(kStation, kStation + 6)));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "fail to sendto: Network is down\n");
  EXPECT_EQ(fake::platform().events, std::vector<std::string>{"send"});
  EXPECT_EQ(ctx_->state, kStateConnected);
  EXPECT_EQ(0, std::memcmp(ctx_->peer_mac, kStation, 6));
}

// Firmware transfer.

Bytes be32(uint32_t v) {
  Bytes b(4);
  qvlink::put_be32(b.data(), v);
  return b;
}

Bytes pattern(std::size_t n, uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

uint32_t crc_of(const Bytes& b) { return crc32(0, b.data(), static_cast<uint32_t>(b.size())); }

TEST_F(Service, LengthAnnouncement) {
  struct {
    const char* name;
    Bytes params;
    uint32_t want;
    const char* out;
  } cases[] = {
      {"1 MiB", {0x00, 0x10, 0x00, 0x00}, 1048576, "firmware length:    ->1048576\n"},
      {"two bytes", {0x00, 0x10}, 0, "firmware length:  ->0\n"},
      {"none", {}, 0, "firmware length:->0\n"},
      {"five bytes", {0x00, 0x00, 0x00, 0x10, 0x00}, 0, "firmware length:     ->0\n"},
      {"16 MiB shows its text", {0x01, 0x00, 0x00, 0x00}, 16777216, "firmware length:   \x01->16777216\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    std::string out = deliver_out(request(4, c.params));
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(ctx_->fw_length, c.want);
    EXPECT_EQ(ctx_->fw_remaining, c.want);
    EXPECT_EQ(ctx_->fw_file, nullptr);
    EXPECT_EQ(hex(data_of(last())), "00 04");
  }
}

TEST_F(Service, TenBytesAnnouncedSixAndSixSent) {
  deliver(request(4, be32(10)));
  Bytes a = pattern(6, 1), b = pattern(6, 50);
  std::string out = deliver_out(request(5, a));
  EXPECT_EQ(out, ".");
  EXPECT_NE(ctx_->fw_file, nullptr);
  EXPECT_EQ(ctx_->fw_remaining, 4u);
  deliver(request(5, b));
  EXPECT_EQ(ctx_->fw_file, nullptr) << "closed once the announced length is reached";
  EXPECT_EQ(ctx_->fw_remaining, 0u);
  Bytes all = a;
  all.insert(all.end(), b.begin(), b.end());
  EXPECT_EQ(ctx_->fw_crc, crc_of(all));
  EXPECT_EQ(file_text(firmware_), std::string(all.begin(), all.end()));
  EXPECT_EQ(hex(data_of(last())), "00 05");

  out = deliver_out(request(6, be32(crc_of(all))));
  EXPECT_EQ(out, "chksum is correct\nwrite_firmware_chunk:4\n");
  EXPECT_EQ(hex(data_of(last())), "00 05");
  char line[80];
  std::snprintf(line, sizeof line, "chksum mismatch:%.4x,%.4x\nwrite_firmware_chunk:4\n", 0x12345678u, crc_of(all));
  out = deliver_out(request(6, be32(0x12345678u)));
  EXPECT_EQ(out, line);
  EXPECT_EQ(hex(data_of(last())), "07 05");
  EXPECT_EQ(ctx_->fw_crc, crc_of(all)) << "a check changes nothing";
}

TEST_F(Service, ChunksWithoutAnnouncementEachTruncate) {
  deliver(request(5, pattern(100, 3)));
  EXPECT_EQ(ctx_->fw_file, nullptr);
  Bytes last_chunk = pattern(40, 9);
  deliver(request(5, last_chunk));
  EXPECT_EQ(file_text(firmware_), std::string(last_chunk.begin(), last_chunk.end()));
  // The CRC covers what the file holds.
  deliver(request(6, be32(crc_of(last_chunk))));
  EXPECT_EQ(hex(data_of(last())), "00 05");
}

TEST_F(Service, ShortAnnouncementThenChunk) {
  deliver(request(4, {0x00, 0x10}));
  Bytes c = pattern(20, 5);
  deliver(request(5, c));
  EXPECT_EQ(ctx_->fw_file, nullptr);
  EXPECT_EQ(file_text(firmware_), std::string(c.begin(), c.end()));
}

TEST_F(Service, EmptyChunk) {
  // While idle it creates the file, left empty, and closes it at once.
  deliver(request(5, {}));
  EXPECT_EQ(hex(data_of(last())), "00 05");
  EXPECT_EQ(ctx_->fw_file, nullptr);
  struct stat st{};
  ASSERT_EQ(stat(firmware_.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(ctx_->fw_crc, 0u);
  // Within a transfer it adds nothing and keeps it open while bytes are due.
  deliver(request(4, be32(8)));
  deliver(request(5, pattern(3, 1)));
  deliver(request(5, {}));
  EXPECT_NE(ctx_->fw_file, nullptr);
  EXPECT_EQ(ctx_->fw_remaining, 5u);
}

TEST_F(Service, OvershootingChunkIsWrittenWhole) {
  deliver(request(4, be32(5)));
  Bytes c = pattern(9, 2);
  deliver(request(5, c));
  EXPECT_EQ(ctx_->fw_file, nullptr);
  EXPECT_EQ(file_text(firmware_).size(), 9u);
  EXPECT_EQ(ctx_->fw_crc, crc_of(c));
}

TEST_F(Service, ChecksumBeforeAnyChunk) {
  std::string out = deliver_out(request(6, {}));
  EXPECT_EQ(out, "chksum is correct\nwrite_firmware_chunk:0\n");
  EXPECT_EQ(hex(data_of(last())), "00 05");
  deliver(request(6, be32(1)));
  EXPECT_EQ(hex(data_of(last())), "07 05");
}

TEST_F(Service, SecondImageVerifiesAgainstItsOwnCrc) {
  for (int image = 0; image < 2; ++image) {
    SCOPED_TRACE(image);
    Bytes img = pattern(3000 + image * 517, static_cast<uint8_t>(image * 11));
    deliver(request(4, be32(static_cast<uint32_t>(img.size()))));
    for (std::size_t off = 0; off < img.size(); off += 1514)
      deliver(request(5, Bytes(img.begin() + off, img.begin() + std::min(img.size(), off + 1514))));
    EXPECT_EQ(ctx_->fw_file, nullptr);
    deliver(request(6, be32(crc_of(img))));
    EXPECT_EQ(hex(data_of(last())), "00 05");
    EXPECT_EQ(file_text(firmware_), std::string(img.begin(), img.end()));
  }
}

TEST_F(Service, UpgradeFlashesTheStagedFileBetweenItsTwoReplies) {
  std::string out = deliver_out(request(11, {9, 9}));
  EXPECT_EQ(out, "peer_upgrade_normalcode()\n");
  ASSERT_EQ(fake::platform().sent.size(), 2u);
  EXPECT_EQ(hex(data_of(fake::platform().sent[0])), "00 0B 00");
  EXPECT_EQ(hex(data_of(fake::platform().sent[1])), "00 0B 01");
  EXPECT_EQ(fake::platform().sent[1].frame[16], 2) << "each reply counts";
  std::vector<std::string> events = {"send", "system mtd_write write " + firmware_ + " Kernel", "send"};
  EXPECT_EQ(fake::platform().events, events);
}

TEST_F(Service, UpgradeFlushesAnOpenTransfer) {
  deliver(request(4, be32(100000)));
  Bytes c = pattern(700, 4);
  deliver(request(5, c));
  ASSERT_NE(ctx_->fw_file, nullptr);
  // The stream still buffers the chunk; the upgrade must put it on the file first.
  deliver(request(11, {}));
  EXPECT_EQ(file_text(firmware_), std::string(c.begin(), c.end()));
  EXPECT_NE(ctx_->fw_file, nullptr) << "the transfer itself stays open";
}

TEST_F(Service, StagingFileThatCannotBeOpenedGetsNoReply) {
  std::string tmp = fake::root() + "/tmp";
  ASSERT_EQ(rmdir(tmp.c_str()), 0);
  ::testing::internal::CaptureStderr();
  deliver(request(4, be32(10)));
  std::size_t before = fake::platform().sent.size();
  deliver(request(5, pattern(6, 1)));
  std::string err = ::testing::internal::GetCapturedStderr();
  mkdir(tmp.c_str(), 0755);
  EXPECT_EQ(err, "fail to fopen: No such file or directory\n");
  EXPECT_EQ(fake::platform().sent.size(), before);
  EXPECT_EQ(ctx_->fw_crc, 0u);
  EXPECT_EQ(ctx_->fw_remaining, 10u);
  // The next chunk tries again.
  deliver(request(5, pattern(6, 1)));
  EXPECT_EQ(hex(data_of(last())), "00 05");
  EXPECT_EQ(ctx_->fw_remaining, 4u);
}

// A file size limit makes the staging file refuse bytes as a full /tmp does.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_ = signal(SIGXFSZ, SIG_IGN);
    rlimit r = saved_;
    r.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_);
  }

 private:
  rlimit saved_{};
  sighandler_t old_;
};

TEST_F(Service, ChunkThatCannotBeWrittenAbandonsTheTransfer) {
  Bytes img = pattern(100000, 1);  // more than the stream's buffer holds
  int failures = 0;
  std::string out, err;
  {
    FileSizeLimit limit(10000);
    deliver(request(4, be32(static_cast<uint32_t>(img.size()))));
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    for (std::size_t off = 0; off < img.size() && failures == 0; off += 1000) {
      deliver(request(5, Bytes(img.begin() + off, img.begin() + off + 1000)));
      Bytes d = data_of(last());
      if (d[0] == 0x08) ++failures;
      else EXPECT_EQ(hex(d), "00 05");
    }
    std::fflush(stdout);
    out = ::testing::internal::GetCapturedStdout();
    err = ::testing::internal::GetCapturedStderr();
  }
  ASSERT_EQ(failures, 1);
  EXPECT_EQ(hex(data_of(last())), "08 05");
  EXPECT_EQ(fake::platform().sent.back().error_output_bytes, 0) << "the reply goes out before the messages";
  EXPECT_EQ(ctx_->fw_file, nullptr);
  EXPECT_EQ(ctx_->fw_remaining, 0u);
  EXPECT_NE(out.find("firmware transfer abandoned\n"), std::string::npos) << out;
  EXPECT_EQ(err, "fail to fwrite: File too large\n");
  // The service goes on, and a new transfer starts afresh (file and CRC).
  Bytes small = pattern(3000, 8);
  deliver(request(4, be32(3000)));
  deliver(request(5, Bytes(small.begin(), small.begin() + 1500)));
  deliver(request(5, Bytes(small.begin() + 1500, small.end())));
  EXPECT_EQ(hex(data_of(last())), "00 05");
  deliver(request(6, be32(crc_of(small))));
  EXPECT_EQ(hex(data_of(last())), "00 05");
  EXPECT_EQ(file_text(firmware_), std::string(small.begin(), small.end()));
}

TEST_F(Service, UpgradeWhoseFlushFailsDoesNotFlash) {
  // The chunk stays in the stream's buffer until the upgrade writes it out.
  FileSizeLimit limit(100);
  ::testing::internal::CaptureStderr();  // flushes every stream: before the file is open
  deliver(request(4, be32(100000)));
  deliver(request(5, pattern(700, 4)));
  fake::platform().events.clear();
  deliver(request(11, {}));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "fail to fflush: File too large\n");
  EXPECT_EQ(hex(data_of(last())), "08 0B");
  EXPECT_EQ(fake::platform().sent.back().error_output_bytes, 0) << "the reply goes out before the messages";
  std::vector<std::string> events = {"send"};
  EXPECT_EQ(fake::platform().events, events) << "no flash tool, one reply";
  EXPECT_EQ(ctx_->fw_file, nullptr);
}

TEST_F(Service, FailureWhenClosingTheLastChunkIsReported) {
  // The whole image fits the stream's buffer, so only the close writes it out.
  FileSizeLimit limit(100);
  ::testing::internal::CaptureStderr();
  deliver(request(4, be32(600)));
  deliver(request(5, pattern(600, 2)));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(hex(data_of(last())), "08 05");
  EXPECT_EQ(ctx_->fw_file, nullptr);
  EXPECT_EQ(err, "fail to fclose: File too large\n");
}

}  // namespace
