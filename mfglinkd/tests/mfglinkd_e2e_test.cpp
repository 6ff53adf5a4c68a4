// The real service in the foreground on a simulated device root, in a network
// namespace of its own, driven from the station's end of a veth pair.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "link_e2e.h"

namespace {

using e2e::Bytes;
using station_link::Mac;

const Mac kStation = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const Mac kZero = {0, 0, 0, 0, 0, 0};

class LinkE2E : public e2e::ServiceTest {
 protected:
  void SetUp() override { Start(); }

  // Ends the run with the quit command; the service's standard output.
  std::string Quit(const Mac* source = nullptr) {
    auto q = station_->spec(8);
    if (source) {
      q.use_source = true;
      q.source = *source;
    }
    EXPECT_EQ(station_->ask(q), "00 08");
    EXPECT_EQ(service_->wait(5000), 0);
    return service_->out();
  }

  station_link::RequestSpec From(const Mac& source, uint8_t command, Bytes params = {}) {
    auto s = station_->spec(command, std::move(params));
    s.use_source = true;
    s.source = source;
    return s;
  }

  std::string Nvram(const std::string& key) {
    auto r = root_->run({"nvram", "get", "3", key});
    return r.out;
  }
};

TEST_F(LinkE2E, ConnectFromStation001122334455AsFirstRequest) {
  auto got = station_->exchange(station_->spec(1, Bytes(kStation.begin(), kStation.end())));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].dest, kStation);
  EXPECT_EQ(got[0].source, e2e::kBridgeMac);
  Bytes payload = {got[0].protocol, got[0].reserved, got[0].sequence,
                   static_cast<uint8_t>(got[0].checksum >> 8), static_cast<uint8_t>(got[0].checksum),
                   static_cast<uint8_t>(got[0].length_field >> 8), static_cast<uint8_t>(got[0].length_field),
                   got[0].code};
  payload.insert(payload.end(), got[0].data.begin(), got[0].data.end());
  EXPECT_EQ(station_link::hex(payload), "00 00 01 FF FB 00 03 00 00 01");
  EXPECT_EQ(got[0].frame_size, 24u) << "nothing is appended to a reply";
  EXPECT_EQ(Quit(&kStation), "create_connection()\npeer_quit\nQuit\n");
}

TEST_F(LinkE2E, StatusReportsAndTheirLines) {
  struct Case {
    const char* name;
    station_link::RequestSpec spec;
    const char* data;
    const char* line;
  };
  auto with = [&](uint8_t code, auto change) {
    auto s = station_->spec(code);
    change(s);
    return s;
  };
  std::vector<Case> cases = {
      {"protocol 1", with(9, [](auto& s) { s.protocol = 1; }), "02 00", "QVREPORTSTATUS_ERROR_UNKNOWN_PROTOCOL\n"},
      {"protocol 1, wrong checksum, short",
       with(9, [](auto& s) { s.protocol = 1; s.wrong_checksum = true; s.frame_length = 16; }), "02 00",
       "QVREPORTSTATUS_ERROR_UNKNOWN_PROTOCOL\n"},
      {"19-byte frame", with(9, [](auto& s) { s.frame_length = 19; }), "06",
       "QVREPORTSTATUS_ERROR_COMMAND_PARAMETER\n"},
      {"length field past the frame", with(2, [](auto& s) { s.length_field = 100; }), "06",
       "QVREPORTSTATUS_ERROR_COMMAND_PARAMETER\n"},
      {"wrong checksum", with(9, [](auto& s) { s.checksum = 0x1234; }), "05 09",
       "QVREPORTSTATUS_ERROR_WRONG_CHKSUM:1234,fff5\nlength:01\nparameter length:00\n"},
      {"code 0", station_->spec(0), "03 00", "QVREPORTSTATUS_ERROR_UNKNOWN_COMMAND\n"},
      {"code 12", station_->spec(12), "03 0C", "QVREPORTSTATUS_ERROR_UNKNOWN_COMMAND\n"},
      {"code 200", station_->spec(200, {1, 2}), "03 C8", "QVREPORTSTATUS_ERROR_UNKNOWN_COMMAND\n"},
  };
  std::string want_out;
  uint8_t seq = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = station_->exchange(c.spec);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(station_link::hex(got[0].data), c.data);
    EXPECT_TRUE(got[0].checksum_ok);
    EXPECT_EQ(got[0].dest, kZero) << "before connect replies go to the zero address";
    EXPECT_EQ(got[0].sequence, ++seq);
    want_out += c.line;
  }
  EXPECT_EQ(Quit(), want_out + "peer_quit\nQuit\n");
}

TEST_F(LinkE2E, PeerFilterBeforeAfterConnectAndAfterClose) {
  const Mac other = {0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
  // Before connect any station is served.
  EXPECT_EQ(station_->ask(From(other, 3)), "00 03");
  Mac own = station_->ifc().mac;
  EXPECT_EQ(station_->ask(station_->spec(1, Bytes(own.begin(), own.end()))), "00 01");
  // After connect only the recorded station.
  EXPECT_EQ(station_->ask(From(other, 3), 400), "");
  EXPECT_EQ(station_->ask(station_->spec(3)), "00 03");
  EXPECT_EQ(station_->ask(station_->spec(7)), "00 07");
  // After close the peer stays recorded.
  EXPECT_EQ(station_->ask(From(other, 3), 400), "");
  EXPECT_EQ(station_->ask(From(other, 1, Bytes(other.begin(), other.end())), 400), "");
  auto got = station_->exchange(station_->spec(3));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].dest, own);
  EXPECT_EQ(got[0].sequence, 5) << "ignored requests get no reply and count none";
  EXPECT_EQ(Quit(), "read_seq_number\ncreate_connection()\nread_seq_number\nclose_conn\nread_seq_number\npeer_quit\nQuit\n");
}

TEST_F(LinkE2E, SerialNumber) {
  std::string config = root_->partition("Config");
  EXPECT_EQ(station_->ask(station_->spec(3)), "00 03") << "nothing stored";

  EXPECT_EQ(station_->ask(station_->spec(2, e2e::text(std::string("QV2026") + '\0'))), "00 02");
  EXPECT_EQ(Nvram("SN"), "QV2026\n");
  EXPECT_EQ(station_->ask(station_->spec(3)), "00 03 51 56 32 30 32 36");

  long long before = e2e::mtime_ns(config);
  usleep(20000);
  EXPECT_EQ(station_->ask(station_->spec(2, e2e::text(std::string("QV2026") + '\0'))), "00 02");
  EXPECT_EQ(e2e::mtime_ns(config), before) << "the same value again makes no store write";

  std::string forty = "0123456789ABCDEFGHIJ0123456789abcdefghij";
  EXPECT_EQ(station_->ask(station_->spec(2, e2e::text(forty))), "00 02");
  EXPECT_EQ(Nvram("SN"), forty.substr(0, 32) + "\n");
  auto got = station_->exchange(station_->spec(3));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(std::string(got[0].data.begin() + 2, got[0].data.end()), forty.substr(0, 32));

  // Five characters without their zero in a minimum-size frame: the padding ends the text.
  EXPECT_EQ(station_->ask(station_->spec(2, e2e::text("ABCDE"))), "00 02");
  EXPECT_EQ(Nvram("SN"), "ABCDE\n");

  EXPECT_EQ(Quit(), "read_seq_number\nSeq Number:QV2026\nread_seq_number\nSeq Number:QV2026\nSeq Number:" +
                        forty.substr(0, 33) + "\nread_seq_number\nSeq Number:ABCDE\npeer_quit\nQuit\n");
}

TEST_F(LinkE2E, FailingStoreWriteKeepsTheThirtyTwoByteReply) {
  // A block with no room left refuses the write: the largest entry the store
  // takes, and one that leaves less room than SN=SN1 needs.
  ASSERT_EQ(root_->run({"nvram", "set", "3", "FILL", std::string(16346, 'x')}).status, 0);
  ASSERT_EQ(root_->run({"nvram", "set", "3", "G", "0123456789A"}).status, 0);
  auto got = station_->exchange(station_->spec(2, e2e::text(std::string("SN1") + '\0')));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(station_link::hex(got[0].data),
            "00 01 46 61 69 6C 20 74 6F 20 77 72 69 74 20 64 62 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  EXPECT_TRUE(station_link::is_store_failure_reply(got[0]));
  EXPECT_FALSE(station_link::is_success(got[0], 2));
  EXPECT_EQ(Nvram("SN"), "\n");
  EXPECT_EQ(station_->ask(station_->spec(3)), "00 03") << "the service goes on";
  EXPECT_EQ(Quit(), "Seq Number:SN1\nFail to writ db\nread_seq_number\npeer_quit\nQuit\n");
}

TEST_F(LinkE2E, RebootAndDefaultResetReplyBeforeTheirCommand) {
  root_->start_nvram_daemon();
  ASSERT_EQ(root_->run({"nvram", "set", "0", "wlan_essid", "Changed"}).status, 0);
  ASSERT_EQ(root_->run({"nvram", "set", "3", "SN", "KEEP1"}).status, 0);
  std::string log = root_->path("/var/log/platform.log");
  struct {
    uint8_t code;
    const char* data;
    const char* line;
  } cases[] = {{9, "00 09", "reboot"}, {10, "00 0A", "killall -SIGUSR2 nvram_daemon"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::size_t lines = root_->platform_log().size();
    auto got = station_->exchange(station_->spec(c.code));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(station_link::hex(got[0].data), c.data);
    long long replied = station_->last_receive_ns();
    for (int i = 0; i < 300 && root_->platform_log().size() == lines; ++i) usleep(10000);
    auto entries = root_->platform_log();
    ASSERT_EQ(entries.size(), lines + 1);
    EXPECT_EQ(entries.back(), c.line);
    EXPECT_LT(replied, e2e::mtime_ns(log)) << "the reply precedes the command";
  }
  for (int i = 0; i < 300 && !qvtest::file_exists(root_->path("/var/run/nvram_daemon.restored")); ++i) usleep(10000);
  EXPECT_EQ(root_->run({"nvram", "get", "0", "wlan_essid"}).out, "QV-AP\n");
  EXPECT_EQ(Nvram("SN"), "KEEP1\n");
  // The service kept waiting; the quit reply precedes the end.
  EXPECT_EQ(Quit(), "peer_reboot()\npeer_default_reset()\npeer_quit\nQuit\n");
}

TEST_F(LinkE2E, SequenceByteWrapsAfter256Replies) {
  for (int i = 1; i <= 257; ++i) {
    auto got = station_->exchange(station_->spec(7));
    ASSERT_EQ(got.size(), 1u) << "reply " << i;
    if (i == 1) EXPECT_EQ(got[0].sequence, 1);
    if (i == 256) EXPECT_EQ(got[0].sequence, 0);
    if (i == 257) EXPECT_EQ(got[0].sequence, 1);
  }
  Quit();
}

TEST_F(LinkE2E, LongFrameIsTakenAsItsFirst1536BytesAndLeavesNothingBehind) {
  TearDown();
  Start(1600);
  // A full chunk whose frame goes on for 64 more bytes: those are cut off.
  Bytes chunk = e2e::random_bytes(1514, 3);
  Bytes params = chunk;
  params.resize(1514 + 64, 0xEE);
  auto s = station_->spec(5, params);
  s.length_field = 1515;
  ASSERT_EQ(station_link::build_request(s, station_->ifc().mac).size(), 1600u);
  EXPECT_EQ(station_->ask(s), "00 05");
  EXPECT_TRUE(root_->read("/tmp/firmware") == std::string(chunk.begin(), chunk.end()));
  // A length field that counts bytes beyond the first 1536 is a parameter error.
  auto t = station_->spec(5, params);
  t.length_field = 1516;
  EXPECT_EQ(station_->ask(t), "06");
  // A short serial-number frame right after: the byte after its text lies beyond
  // the frame and reads as zero, not as what the long frame left there.
  Bytes big(1578, 'Z');
  auto w = station_->spec(2, big);
  w.length_field = 6;
  w.frame_length = 1600;
  EXPECT_EQ(station_->ask(w), "00 02");
  EXPECT_EQ(Nvram("SN"), "ZZZZZZ\n") << "inside a frame, the byte after the parameters is taken";
  auto e = station_->spec(2, e2e::text("ABCDE"));
  e.frame_length = 27;
  EXPECT_EQ(station_->ask(e), "00 02");
  EXPECT_EQ(Nvram("SN"), "ABCDE\n");
  Quit();
}

// About 31 seconds: CTest runs it beside the others.
TEST_F(LinkE2E, IdleLimitEndsTheRun) {
  timespec start{}, end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  EXPECT_EQ(service_->wait(45000), 0);
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  EXPECT_GE(seconds, 30.5);
  EXPECT_LE(seconds, 34.0);
  EXPECT_EQ(service_->out(), "fail to waitfor_peer_action()\n");
  EXPECT_EQ(service_->err(), "");
  EXPECT_EQ(station_->ask(station_->spec(3), 300), "") << "nobody answers any more";
}

}  // namespace
