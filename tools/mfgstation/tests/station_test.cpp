#include "station.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "device_model.h"
#include "link_protocol.h"
#include "steps.h"

namespace mfgstation {
namespace {

using Bytes = std::vector<uint8_t>;

// ---- command line ----------------------------------------------------------

struct ParseCase {
  std::vector<const char*> args;
  int status;
  std::string error;  // the whole message; "" when accepted
  std::size_t steps;
};

TEST(ParseCommandLine, AcceptsAndRejects) {
  const std::string sn32(32, 'A');
  const std::string sn33(33, 'A');
  const std::string long_address(600, 'f');  // the reason comes after it, however long it is
  const std::string counter_in_ledger =
      "the counter lives in the line's ledger: give --db LEDGER (an SQLite file such as /var/lib/line/line.db, "
      "created when missing); --sn-state FILE beside it carries that state file's counter and open numbers in";
  const ParseCase cases[] = {
      {{"-i", "eth1", "connect"}, 0, "", 1},
      {{"-i", "eth1", "connect", "write-sn", "SN1", "flash", "img", "reboot"}, 0, "", 4},
      {{"--interface", "eth1", "-t", "500", "-r", "0", "read-sn"}, 0, "", 1},
      {{"-i", "eth1", "write-sn", sn32.c_str()}, 0, "", 1},
      {{"-i", "eth1", "write-sn", "-dash-text"}, 0, "", 1},
      {{"-i", "eth1", "write-sn", sn33.c_str()}, kExitUsage,
       "serial number \"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\" is longer than 32 characters", 0},
      {{"-i", "eth1", "write-sn", ""}, kExitUsage, "write-sn needs a serial number, not an empty text", 0},
      {{"connect", "-i", "eth1", "read-sn", "-t", "9"}, 0, "", 2},
      {{"-i", "eth1", "--", "-t"}, kExitUsage, "unknown command \"-t\"", 0},
      {{"-i", "eth1", "--max-size", "0", "connect"}, kExitUsage,
       "bad image size limit \"0\": bytes (or with K or M) from 1 to 4294967295", 0},
      {{"-i", "eth1", "--max-size", "4096M", "connect"}, kExitUsage,
       "bad image size limit \"4096M\": bytes (or with K or M) from 1 to 4294967295", 0},
      {{"-i", "eth1", "-d", "ff:ff:ff:ff:ff:ff", "connect"}, kExitUsage,
       "bad device address \"ff:ff:ff:ff:ff:ff\": one device's MAC, as 02:00:00:00:00:01", 0},
      {{"connect"}, kExitUsage, "no interface given (-i IFACE)", 0},
      {{"-i", "eth1"}, kExitUsage, "no command given", 0},
      {{"-i", "eth1", "write-sn"}, kExitUsage, "write-sn needs a text", 0},
      {{"-i", "eth1", "flash"}, kExitUsage, "flash needs an image file", 0},
      {{"-i", "eth1", "dance"}, kExitUsage, "unknown command \"dance\"", 0},
      {{"-i", "eth1", "-x", "connect"}, kExitUsage, "unknown option \"-x\"", 0},
      {{"-i"}, kExitUsage, "option -i needs a value", 0},
      {{"-i", "eth1", "-t", "0", "connect"}, kExitUsage,
       "bad time-out \"0\": milliseconds from 1 to 25000 (the device's service ends after about 30 s without "
       "a request)", 0},
      {{"-i", "eth1", "-t", "12x", "connect"}, kExitUsage,
       "bad time-out \"12x\": milliseconds from 1 to 25000 (the device's service ends after about 30 s without "
       "a request)", 0},
      {{"-i", "eth1", "-t", "-5", "connect"}, kExitUsage,
       "bad time-out \"-5\": milliseconds from 1 to 25000 (the device's service ends after about 30 s without "
       "a request)", 0},
      {{"-i", "eth1", "-r", "101", "connect"}, kExitUsage, "bad retry count \"101\": 0 to 100", 0},
      {{"-i", "eth1", "--chunk-size", "1515", "connect"}, kExitUsage, "bad chunk size \"1515\": 1 to 1514", 0},
      {{"-i", "eth1", "--flash-timeout", "0", "connect"}, kExitUsage,
       "bad flash time-out \"0\": seconds from 1 to 86400", 0},
      {{"-i", "averyveryverylongname", "connect"}, kExitUsage,
       "bad interface name \"averyveryverylongname\"", 0},
      // Line mode.
      {{"-i", "eth1", "-d", "02:00:00:00:01:01", "--device", "02:00:00:00:01:02", "--sn-pattern", "Q%d",
        "--db", "l", "--sn-state", "s", "connect", "write-sn", "@next", "flash", "img"}, 0, "", 3},
      {{"-i", "eth1", "-d", "02:00:00:00:01:01", "--device", "02:00:00:00:01:02", "--sn-pattern", "Q%d",
        "--db", "l", "write-sn", "@next", "flash", "img"}, kExitUsage,
       "line mode: the command list starts with connect", 0},
      {{"-i", "eth1", "-t", "25001", "connect"}, kExitUsage,
       "bad time-out \"25001\": milliseconds from 1 to 25000 (the device's service ends after about 30 s without "
       "a request)", 0},
      {{"-i", "eth1", "-t", "25000", "connect"}, 0, "", 1},
      {{"-i", "eth1", "-d", "02:00:00:00:01:01", "-d", "02:00:00:00:01:01", "connect"}, kExitUsage,
       "device 02:00:00:00:01:01 is named twice", 0},
      {{"-i", "eth1", "-d", long_address.c_str(), "connect"}, kExitUsage,
       "bad device address \"" + long_address + "\": one device's MAC, as 02:00:00:00:00:01", 0},
      {{"-i", "eth1", "--all", "-d", "02:00:00:00:01:01", "connect"}, kExitUsage,
       "--all and --device exclude each other", 0},
      {{"-i", "eth1", "--all", "write-sn", "SN1"}, kExitUsage,
       "write-sn TEXT would give every device the same serial number; use write-sn @next", 0},
      {{"-i", "eth1", "--all", "--sn-pattern", "Q%d", "write-sn", "@next"}, kExitUsage,
       "write-sn @next needs --db LEDGER, and either --sn-pattern PATTERN or --sn-list FILE", 0},
      {{"-i", "eth1", "--all", "--sn-pattern", "Q%d", "--sn-state", "s", "write-sn", "@next"}, kExitUsage,
       counter_in_ledger, 0},
      {{"-i", "eth1", "--all", "--sn-pattern", "Q%d", "--sn-list", "l", "--db", "l", "write-sn", "@next"},
       kExitUsage, "write-sn @next needs --db LEDGER, and either --sn-pattern PATTERN or --sn-list FILE", 0},
      {{"-i", "eth1", "--all", "--db", "l", "--sn-state", "s", "connect"}, kExitUsage,
       "--sn-pattern, --sn-list and --sn-state serve write-sn @next, which is not among the commands", 0},
      {{"-i", "eth1", "--sn-list", "l", "--db", "l", "write-sn", "@next"}, kExitUsage,
       "write-sn @next and --record need the devices: --device MAC (repeatable) or --all", 0},
      {{"-i", "eth1", "--record", "r.jsonl", "connect"}, kExitUsage,
       "write-sn @next and --record need the devices: --device MAC (repeatable) or --all", 0},
      {{"-i", "eth1", "discover", "connect"}, kExitUsage, "discover runs alone", 0},
      {{"-i", "eth1", "--all", "discover"}, kExitUsage,
       "discover takes no --device, --all, --watch or --record", 0},
      {{"-i", "eth1", "--watch", "--db", "l", "--sn-pattern", "Q%d", "connect", "write-sn", "@next", "flash", "img",
        "reboot"},
       0, "", 4},
      {{"-i", "eth1", "--watch", "--sn-pattern", "Q%d", "connect", "write-sn", "@next"}, kExitUsage,
       "--watch needs --db LEDGER: the line's one book tells a device that comes back after its reboot", 0},
      {{"-i", "eth1", "--watch", "--db", "l", "connect", "flash", "img"}, kExitUsage,
       "--watch needs write-sn @next among the commands: a device that comes back is known by the number the line "
       "gave it",
       0},
      {{"-i", "eth1", "--watch", "--all", "--db", "l", "--sn-pattern", "Q%d", "connect", "write-sn", "@next"},
       kExitUsage, "--watch serves every device that comes: no --device or --all", 0},
      {{"-i", "eth1", "--watch", "--db", "l", "--sn-pattern", "Q%d", "connect", "write-sn", "@next", "close",
        "connect", "reboot"},
       kExitUsage, "--watch: connect only at the start of the commands (the station connects each device as it comes)",
       0},
      {{"report", "--db", "l", "--from", "2026-12-08", "--to", "2026-12-08T12:30"}, 0, "", 1},
      {{"report"}, kExitUsage, "report needs the ledger: --db FILE or --db postgresql://...", 0},
      {{"-i", "eth1", "report", "--db", "l"}, kExitUsage,
       "report reads the ledger only: it takes --db, --from, --to and --html", 0},
      {{"report", "--db", "l", "connect"}, kExitUsage, "report runs alone", 0},
      {{"-i", "eth1", "connect", "--html", "p.html"}, kExitUsage, "--from, --to and --html go with report", 0},
      {{"report", "--db", "l", "--from", "2026-12-09", "--to", "2026-12-08"}, kExitUsage,
       "report: --from 2026-12-09 is not before --to 2026-12-08", 0},
      {{"report", "--db", "l", "--to", "yesterday"}, kExitUsage,
       "report: not a UTC time as 2026-12-08, 2026-12-08T08:30 or 2026-12-08T08:30:15: \"yesterday\"", 0},
      {{"-i", "eth1", "--all", "--replace-sn", "connect"}, kExitUsage,
       "--replace-sn serves write-sn @next, which is not among the commands", 0},
      {{"--sn-state", "s", "--set-counter", "4711"}, kExitUsage, counter_in_ledger, 0},
      {{"--db", "l", "--sn-list", "l.txt", "--set-counter", "4711"}, 0, "", 0},
      {{"--db", "l", "--set-counter", "4711"}, kExitUsage,
       "--set-counter with --db needs the source of the numbers: --sn-pattern PATTERN or --sn-list FILE", 0},
      {{"--set-counter", "4711"}, kExitUsage, counter_in_ledger, 0},
      {{"-i", "eth1", "--sn-state", "s", "--set-counter", "4711", "connect"}, kExitUsage,
       "--set-counter runs alone: it takes --db LEDGER with --sn-pattern or --sn-list", 0},
  };
  for (const ParseCase& c : cases) {
    std::vector<const char*> argv = {"mfgstation"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Options opts;
    std::string error;
    bool help = true;
    const int r = parse_command_line(static_cast<int>(argv.size()), argv.data(), opts, &error, &help) ? 0 : kExitUsage;
    SCOPED_TRACE(c.args.size() > 1 ? std::string(c.args[c.args.size() - 1]) : "");
    EXPECT_EQ(r, c.status);
    EXPECT_FALSE(help);
    EXPECT_EQ(error, c.error);
    if (r == 0) EXPECT_EQ(opts.steps.size(), c.steps);
  }
}

TEST(ParseCommandLine, KeepsValuesAndOrder) {
  const char* argv[] = {"mfgstation", "-i", "veth1", "-t", "250", "-r", "5", "--flash-timeout", "9",
                        "--chunk-size", "100", "connect", "write-sn", "SN 7", "flash", "/tmp/x", "close",
                        "--max-size", "8M", "-d", "02:AA:00:00:00:0b"};
  Options opts;
  std::string error;
  bool help = false;
  ASSERT_TRUE(parse_command_line(21, argv, opts, &error, &help)) << error;
  EXPECT_EQ(opts.max_size, 8u * 1048576);
  EXPECT_EQ(opts.device, (Mac{0x02, 0xAA, 0, 0, 0, 0x0B}));
  EXPECT_EQ(opts.iface, "veth1");
  EXPECT_EQ(opts.timeout_ms, 250);
  EXPECT_EQ(opts.retries, 5);
  EXPECT_EQ(opts.flash_timeout_ms, 9000);
  EXPECT_EQ(opts.chunk_size, 100);
  ASSERT_EQ(opts.steps.size(), 4u);
  EXPECT_EQ(opts.steps[0].op, Op::Connect);
  EXPECT_EQ(opts.steps[1].op, Op::WriteSn);
  EXPECT_EQ(opts.steps[1].arg, "SN 7");
  EXPECT_EQ(opts.steps[2].op, Op::Flash);
  EXPECT_EQ(opts.steps[2].arg, "/tmp/x");
  EXPECT_EQ(opts.steps[3].op, Op::Close);

  const char* help_argv[] = {"mfgstation", "--help"};
  EXPECT_TRUE(parse_command_line(2, help_argv, opts, &error, &help));
  EXPECT_TRUE(help);
}

TEST(ChunkSize, FollowsTheMtu) {
  const struct {
    int mtu, chunk;
  } cases[] = {{1500, 1492}, {1522, 1514}, {1523, 1514}, {9000, 1514}, {9, 1}, {8, 0}, {0, 0}};
  for (const auto& c : cases) EXPECT_EQ(chunk_size_for_mtu(c.mtu), c.chunk) << c.mtu;
}

// ---- replies ---------------------------------------------------------------

Bytes store_failure() {
  const char text[] = "Fail to writ db";
  Bytes d(32, 0);
  d[1] = 0x01;
  std::copy(text, text + 15, d.begin() + 2);
  return d;
}

TEST(ClassifyReply, ByCommand) {
  const struct {
    uint8_t command;
    Bytes data;
    Verdict verdict;
  } cases[] = {
      {1, {0x00, 0x01}, Verdict::Success},
      {1, {0x00, 0x01, 0x00}, Verdict::Unrelated},  // discovery would not take it either
      {2, {0x00, 0x02}, Verdict::Success},
      {2, store_failure(), Verdict::StoreFailed},
      {2, {0x00, 0x01}, Verdict::Unrelated},  // a late connect reply
      {1, store_failure(), Verdict::Unrelated},
      {3, {0x00, 0x03, 'S', 'N'}, Verdict::Success},
      {3, {0x00, 0x03}, Verdict::Success},
      {4, {0x00, 0x04}, Verdict::Success},
      {4, {0x00, 0x05}, Verdict::Unrelated},
      {5, {0x00, 0x05}, Verdict::Success},
      {5, {0x00, 0x04}, Verdict::Unrelated},  // a late length reply
      {5, {0x08, 0x05}, Verdict::ChunkFailed},
      {5, {0x05, 0x05}, Verdict::Rejected},   // wrong checksum
      {5, {0x07, 0x05}, Verdict::Unrelated},
      {6, {0x00, 0x05}, Verdict::Success},    // answered with the chunk code
      {6, {0x00, 0x06}, Verdict::Unrelated},
      {6, {0x07, 0x05}, Verdict::CrcMismatch},
      {6, {0x08, 0x05}, Verdict::Unrelated},
      {6, {0x05, 0x06}, Verdict::Rejected},
      {11, {0x00, 0x0B, 0x00}, Verdict::Success},
      {11, {0x03, 0x0B}, Verdict::Rejected},
      {9, {0x03, 0x0A}, Verdict::Unrelated},  // another command's report
      {9, {0x02, 0x00}, Verdict::Rejected},
      {9, {0x06}, Verdict::Rejected},
      {9, {0x00}, Verdict::Unrelated},
      {9, {}, Verdict::Unrelated},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(classify_reply(cases[i].command, cases[i].data), cases[i].verdict) << "case " << i;
}

// ---- progress --------------------------------------------------------------

TEST(Progress, Lines) {
  EXPECT_EQ(progress_plain_line(524288, 1048576, 0.5), "flash: 524288 of 1048576 bytes sent (50%), 1.00 MiB/s");
  EXPECT_EQ(progress_plain_line(0, 10, 0), "flash: 0 of 10 bytes sent (0%), 0.00 MiB/s");
  EXPECT_EQ(progress_bar_line(1048576, 1048576, 0.25),
            "[##############################] 1048576/1048576 bytes 100%   4.00 MiB/s");
  EXPECT_EQ(progress_bar_line(5, 10, 1), "[###############...............] 5/10 bytes  50%   0.00 MiB/s");
}

// ---- a simulated device ----------------------------------------------------

const Mac kMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};     // the station
const Mac kDevice = {0x02, 0x00, 0x00, 0x00, 0x00, 0x09};  // the device
const Mac kOther = {0x02, 0x00, 0x00, 0x00, 0x00, 0x77};   // someone else

station_link::Reply reply_frame(const Bytes& data, uint8_t sequence, const Mac& dest = kMac,
                                const Mac& source = kDevice) {
  station_link::Reply r;
  r.dest = dest;
  r.source = source;
  r.sequence = sequence;
  r.data = data;
  r.length_ok = r.checksum_ok = true;
  return r;
}

// The device model behind a Transport, in memory: what the station sends is
// logged, the replies wait in order until the station takes them.
class SimDevice : public Transport, public mfgtest::DeviceModel {
 public:
  std::vector<std::pair<uint8_t, std::size_t>> log;
  std::vector<Mac> dests;
  std::deque<station_link::Reply> pending;
  Mac mac = kDevice;

  SimDevice() { sequence = 0x40; }

  bool send(const Mac& dest, uint8_t command, const uint8_t* params, std::size_t count, std::string*) override {
    log.push_back({command, count});
    dests.push_back(dest);
    for (const Reply& r : request(kMac, command, params, count))
      pending.push_back(reply_frame(r.data, r.sequence, r.dest, mac));
    return true;
  }

  bool receive(station_link::Reply& reply, int, bool* got, std::string*) override {
    *got = !pending.empty();  // else the time-out, without the wait
    if (!*got) return true;
    reply = pending.front();
    pending.pop_front();
    return true;
  }

  int count_of(uint8_t command) const {
    int n = 0;
    for (const auto& e : log) n += e.first == command;
    return n;
  }
};

struct Captured {
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  ~Captured() {
    std::fclose(out);
    std::fclose(err);
  }
  static std::string text(FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
  }
  PlainReporter plain{out, err, false};
  Reporter& output() { return plain; }
};

// The output with every transfer rate as "#.## MiB/s": the only part of it
// that depends on how fast the test runs.
std::string with_rates_masked(const std::string& text) {
  return std::regex_replace(text, std::regex("[0-9]+\\.[0-9]{2} MiB/s"), "#.## MiB/s");
}

Bytes make_image(std::size_t n) {
  Bytes b(n);
  uint32_t x = 12345;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

Options options(int retries = 2, int chunk = 1514) {
  Options o;
  o.iface = "sim0";
  o.retries = retries;
  o.timeout_ms = 50;
  o.flash_timeout_ms = 50;
  o.chunk_size = chunk;
  return o;
}

TEST(Station, FlashSendsLengthChunksChecksumUpgrade) {
  SimDevice dev;
  Captured cap;
  Station st(dev, options(), kMac, cap.output());
  const Bytes image = make_image(6 * 1514 + 916);
  ASSERT_EQ(st.flash_image(image), kExitOk) << Captured::text(cap.err);
  std::vector<std::pair<uint8_t, std::size_t>> expected = {{4, 4}, {5, 0}, {4, 4}};
  for (int i = 0; i < 6; ++i) expected.push_back({5, 1514});
  expected.push_back({5, 916});
  expected.push_back({6, 4});
  expected.push_back({3, 0});  // the in-step check
  expected.push_back({11, 0});
  EXPECT_EQ(dev.log, expected);
  EXPECT_EQ(dev.flashes, 1);
  EXPECT_EQ(dev.flashed, std::string(image.begin(), image.end()));
  const std::string out = Captured::text(cap.out);
  EXPECT_EQ(with_rates_masked(out),
            "flash: 10000 bytes, CRC-32 8f594520, 1514 bytes per chunk\n"
            "flash: 1514 of 10000 bytes sent (15%), #.## MiB/s\n"
            "flash: 3028 of 10000 bytes sent (30%), #.## MiB/s\n"
            "flash: 4542 of 10000 bytes sent (45%), #.## MiB/s\n"
            "flash: 6056 of 10000 bytes sent (60%), #.## MiB/s\n"
            "flash: 7570 of 10000 bytes sent (75%), #.## MiB/s\n"
            "flash: 9084 of 10000 bytes sent (90%), #.## MiB/s\n"
            "flash: 10000 of 10000 bytes sent (100%), #.## MiB/s\n"
            "flash: CRC-32 confirmed by the device\n"
            "flash: writing \"Kernel\" on the device\n"
            "flash: done: the device ran its flash tool on the image it confirmed (CRC-32 8f594520); the tool's own "
            "result is not reported\n");
}

TEST(Station, PlainProgressPrintsEveryTenth) {
  SimDevice dev;
  Captured cap;
  Station st(dev, options(2, 100), kMac, cap.output());
  ASSERT_EQ(st.flash_image(make_image(100 * 100)), kExitOk);
  const std::string out = Captured::text(cap.out);
  EXPECT_EQ(with_rates_masked(out),
            "flash: 10000 bytes, CRC-32 8f594520, 100 bytes per chunk\n"
            "flash: 1000 of 10000 bytes sent (10%), #.## MiB/s\n"
            "flash: 2000 of 10000 bytes sent (20%), #.## MiB/s\n"
            "flash: 3000 of 10000 bytes sent (30%), #.## MiB/s\n"
            "flash: 4000 of 10000 bytes sent (40%), #.## MiB/s\n"
            "flash: 5000 of 10000 bytes sent (50%), #.## MiB/s\n"
            "flash: 6000 of 10000 bytes sent (60%), #.## MiB/s\n"
            "flash: 7000 of 10000 bytes sent (70%), #.## MiB/s\n"
            "flash: 8000 of 10000 bytes sent (80%), #.## MiB/s\n"
            "flash: 9000 of 10000 bytes sent (90%), #.## MiB/s\n"
            "flash: 10000 of 10000 bytes sent (100%), #.## MiB/s\n"
            "flash: CRC-32 confirmed by the device\n"
            "flash: writing \"Kernel\" on the device\n"
            "flash: done: the device ran its flash tool on the image it confirmed (CRC-32 8f594520); the tool's own "
            "result is not reported\n");
}

TEST(Station, ConnectNamesTheStationAndWriteSnEndsWithZero) {
  SimDevice dev;
  Captured cap;
  Options o = options();
  o.steps = {{Op::Connect, ""}, {Op::WriteSn, "SN-42"}, {Op::ReadSn, ""}};
  Station st(dev, o, kMac, cap.output());
  ASSERT_EQ(st.run(), kExitOk);
  std::vector<std::pair<uint8_t, std::size_t>> expected = {{1, 6}, {2, 6}, {3, 0}};
  EXPECT_EQ(dev.log, expected);
  // Broadcast until the device is known, then to the device alone.
  std::vector<Mac> dests = {station_link::kBroadcast, kDevice, kDevice};
  EXPECT_EQ(dev.dests, dests);
  EXPECT_EQ(Captured::text(cap.out),
            "connect: connected to 02:00:00:00:00:09\nwrite-sn: stored \"SN-42\"\nread-sn: \"QV1\"\n");

  // A device named on the command line is addressed from the first request,
  // and no other device is listened to.
  SimDevice dev2;
  Captured cap2;
  o = options(1);
  o.device = kOther;
  o.steps = {{Op::Connect, ""}};
  Station st2(dev2, o, kMac, cap2.output());
  EXPECT_EQ(st2.run(), kExitTimeout);
  EXPECT_EQ(dev2.dests, std::vector<Mac>(2, kOther));
  EXPECT_EQ(Captured::text(cap2.err),
            "mfgstation: another device, 02:00:00:00:00:09, answered too and was passed over (this run talks to "
            "02:00:00:00:00:77; --device MAC chooses the device)\n"
            "mfgstation: connect: no reply within 50 ms, sending again (1 of 1)\n"
            "mfgstation: connect: no reply within 50 ms after 2 attempts\n"
            "mfgstation: connect: the service ends after about 30 s without a request, and a device bound to another "
            "station answers only that station\n");
}

// write-sn @next reads what the device holds first: a number the line gave
// is kept, another is refused unless the counter's side says to replace it,
// and only an empty one or a replaced one gets the next number.
TEST(Station, WriteSnFromTheCounterNeverOverwritesUnasked) {
  struct CounterLog : StepLog {
    std::set<std::string> known;
    bool replace = false;
    std::vector<std::string> events;
    Held serial_held(const std::string& serial, std::string* message) override {
      events.push_back("held " + serial);
      *message = "holds " + serial;
      return known.count(serial) ? Held::Keep : replace ? Held::Replace : Held::Refuse;
    }
    bool take_serial(std::string* serial, std::string*) override {
      events.push_back("take");
      *serial = "QV-0010";
      return true;
    }
    void serial_confirmed(const std::string& serial, bool) override { events.push_back("confirmed " + serial); }
  };
  const struct {
    const char* held;
    bool known, replace;
    int status;
    std::vector<std::string> events;
    const char* after;  // on the device
    int writes;
  } cases[] = {
      {"", false, false, kExitOk, {"take", "confirmed QV-0010"}, "QV-0010", 1},
      {"QV-0003", true, false, kExitOk, {"held QV-0003"}, "QV-0003", 0},
      {"X-9", false, false, kExitSerialHeld, {"held X-9"}, "X-9", 0},
      {"X-9", false, true, kExitOk, {"held X-9", "take", "confirmed QV-0010"}, "QV-0010", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.held) + (c.replace ? " replace" : ""));
    SimDevice dev;
    dev.serial = c.held;
    dev.stores_serial = true;
    Captured cap;
    Station st(dev, options(), kMac, cap.output());
    CounterLog log;
    if (c.known) log.known.insert(c.held);
    log.replace = c.replace;
    const std::vector<Image> images;
    StepContext context{st, cap.output(), images, log, true};
    EXPECT_EQ(run_steps(context, {{Op::WriteSn, kNextSerial}}), c.status);
    EXPECT_EQ(log.events, c.events);
    EXPECT_EQ(dev.serial, c.after);
    EXPECT_EQ(dev.count_of(2), c.writes);
  }
}

// A file of this test run's own in /tmp.
std::string unit_path(const char* name) {
  return "/tmp/mfgstation_unit_" + std::string(name) + "." + std::to_string(getpid());
}

struct FaultCase {
  const char* name;
  std::function<SimDevice::Action(uint8_t, int)> fault;
  std::vector<Step> steps;
  int status;
  std::vector<std::pair<uint8_t, int>> sent;  // command, times sent
  const char* message;                        // the whole of standard error
  bool staged_whole;                          // the staged file is the image
};

TEST(Station, LostAndFailedReplies) {
  using A = SimDevice::Action;
  const Bytes image = make_image(5000);  // 4 chunks of 1514 and less
  const std::string image_path = unit_path("image");  // another run at once has its own
  const char* path = image_path.c_str();
  {
    FILE* f = std::fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
  }
  const std::vector<Step> flash = {{Op::Flash, path}};
  const FaultCase cases[] = {
      {"connect reply lost once", [](uint8_t c, int n) { return c == 1 && n == 1 ? A::kDrop : A::kAnswer; },
       {{Op::Connect, ""}}, kExitOk, {{1, 2}},
       "mfgstation: connect: no reply within 50 ms, sending again (1 of 2)\n", false},
      {"dead for connect", [](uint8_t c, int) { return c == 1 ? A::kDrop : A::kAnswer; },
       {{Op::Connect, ""}, {Op::Reboot, ""}}, kExitTimeout, {{1, 3}, {9, 0}},
       "mfgstation: connect: no reply within 50 ms, sending again (1 of 2)\n"
       "mfgstation: connect: no reply within 50 ms, sending again (2 of 2)\n"
       "mfgstation: connect: no reply within 50 ms after 3 attempts\n"
       "mfgstation: connect: the service ends after about 30 s without a request, and a device bound to another "
       "station answers only that station\n",
       false},
      {"reboot reply lost once", [](uint8_t c, int n) { return c == 9 && n == 1 ? A::kDrop : A::kAnswer; },
       {{Op::Reboot, ""}}, kExitOk, {{9, 2}},
       "mfgstation: reboot: no reply within 50 ms, sending again (1 of 2)\n", false},
      {"length reply lost once", [](uint8_t c, int n) { return c == 4 && n == 2 ? A::kDrop : A::kAnswer; },
       flash, kExitOk, {{4, 3}, {5, 5}, {11, 1}},
       "mfgstation: flash: announce: no reply within 50 ms, sending again (1 of 2)\n", true},
      // The reply count, asked with a serial-number read, tells a lost reply
      // (go on) from a lost chunk (send it again).
      {"chunk reply lost", [](uint8_t c, int n) { return c == 5 && n == 3 ? A::kDrop : A::kAnswer; }, flash,
       kExitOk, {{4, 2}, {5, 1 + 4}, {3, 1 + 1}, {6, 1}, {11, 1}}, 
       "mfgstation: flash: chunk at byte 1514: reply lost; the device's reply count shows the chunk answered, going "
       "on\n",
       true},
      {"chunk lost", [](uint8_t c, int n) { return c == 5 && n == 3 ? A::kLose : A::kAnswer; }, flash, kExitOk,
       {{4, 2}, {5, 1 + 5}, {3, 1 + 1}, {6, 1}, {11, 1}},
       "mfgstation: flash: chunk at byte 1514: the device did not take the chunk; sending it again\n", true},
      {"chunk damaged on the way", [](uint8_t c, int n) { return c == 5 && n == 3 ? A::kDamaged : A::kAnswer; },
       flash, kExitOk, {{4, 2}, {5, 1 + 5}, {6, 1}, {11, 1}},
       "mfgstation: flash: chunk at byte 1514: the device rejected the request (status 5: wrong checksum)\n"
       "mfgstation: flash: chunk at byte 1514: the device did not take the chunk; sending it again\n",
       true},
      {"chunk and count replies lost", [](uint8_t c, int n) { return c == 3 || (c == 5 && n % 2 == 1) ? A::kDrop : A::kAnswer; },
       flash, kExitTimeout, {{4, 6}, {5, 7}, {3, 3}, {6, 0}, {11, 0}},
       "mfgstation: flash: closing the transfer: no reply within 50 ms, sending again (1 of 2)\n"
       "mfgstation: flash: chunk at byte 0: no reply within 50 ms\n"
       "mfgstation: flash: restarting the transfer (1 of 2)\n"
       "mfgstation: flash: chunk at byte 0: no reply within 50 ms\n"
       "mfgstation: flash: restarting the transfer (2 of 2)\n"
       "mfgstation: flash: chunk at byte 0: no reply within 50 ms\n"
       "mfgstation: flash: transfer failed after 2 restarts\n",
       false},
      {"checksum reply lost once", [](uint8_t c, int n) { return c == 6 && n == 1 ? A::kDrop : A::kAnswer; },
       flash, kExitOk, {{6, 2}, {11, 1}},
       "mfgstation: flash: checksum: no reply within 50 ms, sending again (1 of 2)\n", true},
      {"crc mismatch", [](uint8_t c, int) { return c == 6 ? A::kSpecial : A::kAnswer; },
       {{Op::Flash, path}, {Op::Reboot, ""}}, kExitCrcMismatch, {{6, 3}, {11, 0}, {9, 0}},
       "mfgstation: flash: checksum: the device reports a CRC-32 mismatch\n"
       "mfgstation: flash: restarting the transfer (1 of 2)\n"
       "mfgstation: flash: checksum: the device reports a CRC-32 mismatch\n"
       "mfgstation: flash: restarting the transfer (2 of 2)\n"
       "mfgstation: flash: checksum: the device reports a CRC-32 mismatch\n"
       "mfgstation: flash: transfer failed after 2 restarts\n"
       "mfgstation: flash: the image was not flashed (expected CRC-32 3bce376b)\n",
       true},
      // A chunk appended twice puts every later reply one place behind, the
      // confirmation too: the device's own answer, a mismatch, comes after it.
      {"a chunk frame arrives twice", [](uint8_t c, int n) { return c == 5 && n == 3 ? A::kTwice : A::kAnswer; },
       flash, kExitOk, {{6, 2}, {11, 1}},
       "mfgstation: flash: in-step check: a reply that fits no request (sequence 73, data 07 05): station and device "
       "are out of step\n"
       "mfgstation: flash: restarting the transfer (1 of 2)\n",
       true},
      // The same with the device's own answer lost: only the reply number of the
      // in-step check shows it.
      {"a chunk frame arrives twice, the late answer is lost",
       [](uint8_t c, int n) { return (c == 5 && n == 3) ? A::kTwice : c == 6 && n == 1 ? A::kDrop : A::kAnswer; },
       flash, kExitOk, {{6, 2}, {3, 2}, {11, 1}},
       "mfgstation: flash: in-step check: a reply that fits no request (sequence 74, data 00 03 51 56 31): station "
       "and device are out of step\n"
       "mfgstation: flash: restarting the transfer (1 of 2)\n",
       true},
      {"a reply arrives twice", [](uint8_t c, int) { return c == 1 ? A::kCopy : A::kAnswer; },
       {{Op::Connect, ""}, {Op::Reboot, ""}}, kExitOk, {{1, 1}, {9, 1}}, "", false},
      {"image not whole at the upgrade", [](uint8_t c, int) { return c == 11 ? A::kSpecial : A::kAnswer; }, flash,
       kExitChunkFailed, {{11, 1}},
       "mfgstation: flash: upgrade: the device could not write the staged image whole; not flashed\n", false},
      {"chunk failure", [](uint8_t c, int n) { return c == 5 && n == 2 ? A::kSpecial : A::kAnswer; }, flash,
       kExitChunkFailed, {{5, 2}, {6, 0}, {11, 0}},
       "mfgstation: flash: chunk at byte 0: the device could not store the chunk; transfer abandoned\n", false},
      {"store failure", [](uint8_t c, int) { return c == 2 ? A::kSpecial : A::kAnswer; },
       {{Op::WriteSn, "SN1"}, {Op::ReadSn, ""}}, kExitStoreFailed, {{2, 1}, {3, 0}},
       "mfgstation: write-sn: the device could not store the serial number (\"Fail to writ db\")\n", false},
      {"upgrade start reply lost", [](uint8_t c, int) { return c == 11 ? A::kDrop : A::kAnswer; }, flash, kExitOk,
       {{11, 1}}, "", true},
      // Replies to nobody: before any connect the list lacks one; after the
      // run's own connect the device restarted.
      {"no peer, no connect", [](uint8_t, int) { return A::kNoPeer; }, {{Op::ReadSn, ""}}, kExitTimeout, {{3, 3}},
       "mfgstation: read-sn: no reply within 50 ms, sending again (1 of 2)\n"
       "mfgstation: read-sn: no reply within 50 ms, sending again (2 of 2)\n"
       "mfgstation: read-sn: no reply within 50 ms after 3 attempts\n"
       "mfgstation: read-sn: the service ends after about 30 s without a request, and a device bound to another "
       "station answers only that station\n"
       "mfgstation: read-sn: 3 replies went to 00:00:00:00:00:00: no station is connected to the device; start with "
       "connect\n",
       false},
      {"restarted after connect", [](uint8_t c, int) { return c == 3 ? A::kNoPeer : A::kAnswer; },
       {{Op::Connect, ""}, {Op::ReadSn, ""}}, kExitTimeout, {{3, 3}},
       "mfgstation: read-sn: no reply within 50 ms, sending again (1 of 2)\n"
       "mfgstation: read-sn: no reply within 50 ms, sending again (2 of 2)\n"
       "mfgstation: read-sn: no reply within 50 ms after 3 attempts\n"
       "mfgstation: read-sn: the service ends after about 30 s without a request, and a device bound to another "
       "station answers only that station\n"
       "mfgstation: read-sn: 3 replies went to 00:00:00:00:00:00: the device is no longer connected to this station; "
       "it or its service restarted after connect\n",
       false},
      {"unknown command", [](uint8_t c, int) { return c == 10 ? A::kSpecial : A::kAnswer; },
       {{Op::ResetDefaults, ""}}, kExitRejected, {{10, 1}},
       "mfgstation: reset-defaults: the device rejected the request (status 3: unknown command)\n", false},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    SimDevice dev;
    dev.fault = c.fault;
    Captured cap;
    Options o = options();
    o.steps = c.steps;
    Station st(dev, o, kMac, cap.output());
    EXPECT_EQ(st.run(), c.status);
    for (const auto& s : c.sent) EXPECT_EQ(dev.count_of(s.first), s.second) << "command " << int(s.first);
    const std::string err = Captured::text(cap.err);
    EXPECT_EQ(err, c.message);
    if (c.staged_whole) EXPECT_EQ(dev.staged, std::string(image.begin(), image.end()));
    // Whenever the device flashed, it flashed the image.
    if (dev.flashes) EXPECT_EQ(dev.flashed, std::string(image.begin(), image.end()));
  }
  std::remove(path);
}

TEST(Station, EveryTransferStartsByClosingWhatIsOpen) {
  // A station stopped halfway left a transfer open: without the close, the
  // image would be appended to its part.
  {
    SimDevice dev;
    dev.leave_transfer_open(make_image(3000));
    Captured cap;
    Station st(dev, options(2, 1000), kMac, cap.output());
    const Bytes image = make_image(1500);
    ASSERT_EQ(st.flash_image(image), kExitOk) << Captured::text(cap.err);
    EXPECT_EQ(st.transfer_restarts(), 0);
    EXPECT_EQ(dev.flashed, std::string(image.begin(), image.end()));
  }
  // And so does every restart.
  SimDevice dev;
  dev.fault = [](uint8_t c, int n) { return c == 5 && n == 3 ? SimDevice::kTwice : SimDevice::kAnswer; };
  Captured cap;
  Station st(dev, options(1, 1000), kMac, cap.output());
  ASSERT_EQ(st.flash_image(make_image(2500)), kExitOk);
  EXPECT_EQ(st.transfer_restarts(), 1);
  std::vector<std::pair<uint8_t, std::size_t>> expected = {
      {4, 4}, {5, 0}, {4, 4}, {5, 1000}, {5, 1000}, {5, 500}, {6, 4}, {3, 0}, {4, 4},
      {5, 0}, {4, 4}, {5, 1000}, {5, 1000}, {5, 500}, {6, 4}, {3, 0}, {11, 0}};
  EXPECT_EQ(dev.log, expected);
}

TEST(Station, LostUpgradeRepliesAreReportedNotRepeated) {
  SimDevice dev;
  dev.lose_both_upgrade = true;
  dev.fault = [](uint8_t c, int) { return c == 11 ? SimDevice::kDrop : SimDevice::kAnswer; };
  Captured cap;
  Station st(dev, options(), kMac, cap.output());
  EXPECT_EQ(st.flash_image(make_image(100)), kExitTimeout);
  EXPECT_EQ(dev.count_of(11), 1);
  EXPECT_EQ(Captured::text(cap.err),
            "mfgstation: flash: no reply to the upgrade within 50 ms; waiting for the end of flashing (the upgrade is "
            "not sent again)\n"
            "mfgstation: flash: the end of flashing was not reported within 0 s; the upgrade is not sent again, check "
            "the device\n");
}

TEST(Station, RepliesThatDoNotFit) {
  station_link::Reply damaged = reply_frame({0x03, 0x09}, 1);
  damaged.checksum_ok = false;
  const struct {
    const char* name;
    std::vector<station_link::Reply> waiting;  // before the request goes out
    int sent;                                  // times the request went out
    const char* message;  // the whole of standard error
  } cases[] = {
      // Left-overs of an earlier exchange: the station is out of step, lets
      // them all arrive, and asks again.
      {"stale replies",
       {reply_frame({0x00, 0x04}, 3), reply_frame({0x03, 0x0A}, 4), reply_frame({0x00, 0x01}, 5)}, 2,
       "mfgstation: reboot: a reply that fits no request (sequence 3, data 00 04): station and device are out of "
       "step\n"
       "mfgstation: reboot: sending again (1 of 2)\n"},
      {"for another station", {reply_frame({0x03, 0x09}, 1, kOther)}, 1, ""},
      {"from another device", {reply_frame({0x03, 0x09}, 1, kMac, kOther)}, 1,
       "mfgstation: another device, 02:00:00:00:00:77, answered too and was passed over (this run talks to "
       "02:00:00:00:00:09; --device MAC chooses the device)\n"},
      {"bad checksum", {damaged}, 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SimDevice dev;
    dev.pending.assign(c.waiting.begin(), c.waiting.end());
    Captured cap;
    Options o = options();
    o.device = kDevice;
    o.steps = {{Op::Reboot, ""}};
    Station st(dev, o, kMac, cap.output());
    EXPECT_EQ(st.run(), kExitOk) << Captured::text(cap.err);
    EXPECT_EQ(dev.count_of(9), c.sent);
    const std::string err = Captured::text(cap.err);
    EXPECT_EQ(err, c.message);
  }
}

TEST(FitReply, SequenceAndPhase) {
  DeviceSession in_step;
  in_step.station = kMac;
  in_step.device = kDevice;
  in_step.device_known = in_step.sequence_known = true;
  in_step.next_sequence = 10;
  in_step.recent = {{9, {0x00, 0x07}}};
  auto request = [&](uint8_t command, int sends, int replies) {
    DeviceSession s = in_step;
    begin_request(s, command, replies);
    s.sends = sends;
    return s;
  };
  const DeviceSession idle = in_step;
  station_link::Reply bad_header = reply_frame({0x00, 0x09}, 10);
  bad_header.protocol = 1;
  const struct {
    const char* name;
    DeviceSession session;
    station_link::Reply reply;
    Fit fit;
  } cases[] = {
      {"next in line", request(9, 1, 1), reply_frame({0x00, 0x09}, 10), Fit::Answer},
      {"one skipped", request(9, 1, 1), reply_frame({0x00, 0x09}, 11), Fit::OutOfStep},
      {"one skipped, sent twice", request(9, 2, 1), reply_frame({0x00, 0x09}, 11), Fit::Answer},
      {"behind", request(9, 2, 1), reply_frame({0x00, 0x09}, 9), Fit::OutOfStep},
      {"copy of the last one", request(9, 1, 1), reply_frame({0x00, 0x07}, 9), Fit::Duplicate},
      {"nothing in flight", idle, reply_frame({0x00, 0x09}, 10), Fit::OutOfStep},
      {"another command's", request(9, 1, 1), reply_frame({0x00, 0x0A}, 10), Fit::OutOfStep},
      {"header byte outside the checksum", request(9, 1, 1), bad_header, Fit::Damaged},
      {"flashing starts", request(11, 1, 2), reply_frame({0x00, 0x0B, 0x00}, 10), Fit::Answer},
      {"flashing ended, start lost", request(11, 1, 2), reply_frame({0x00, 0x0B, 0x01}, 11), Fit::Answer},
      {"flashing ended, one more lost", request(11, 1, 2), reply_frame({0x00, 0x0B, 0x01}, 12), Fit::OutOfStep},
      {"flashing starts, one lost before", request(11, 1, 2), reply_frame({0x00, 0x0B, 0x00}, 11), Fit::OutOfStep},
      {"flashing ended too early", request(11, 1, 2), reply_frame({0x00, 0x0B, 0x01}, 10), Fit::OutOfStep},
  };
  for (const auto& c : cases) {
    Verdict v;
    EXPECT_EQ(fit_reply(c.session, c.reply, &v), c.fit) << c.name;
  }
}

TEST(Station, InputsAreCheckedBeforeTheFirstFrame) {
  SimDevice dev;
  Captured cap;
  Options o = options();
  o.max_size = 1000;
  Station st(dev, o, kMac, cap.output());
  EXPECT_EQ(st.flash_image({}), kExitLocal);
  EXPECT_EQ(st.flash_image(make_image(1001)), kExitLocal);
  EXPECT_EQ(st.flash("/nonexistent/image.bin"), kExitLocal);
  EXPECT_TRUE(dev.log.empty());
  Options tiny = options(2, 0);
  Station st2(dev, tiny, kMac, cap.output());
  EXPECT_EQ(st2.flash_image(make_image(10)), kExitLocal);
  EXPECT_TRUE(dev.log.empty());

  // A bad image is found before the serial number is written.
  const std::string big_path = unit_path("big");
  const char* big = big_path.c_str();
  const Bytes image = make_image(1001);
  FILE* f = std::fopen(big, "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(image.data(), 1, image.size(), f);
  std::fclose(f);
  for (const char* path : {"/nonexistent/image.bin", big}) {
    SCOPED_TRACE(path);
    o.steps = {{Op::Connect, ""}, {Op::WriteSn, "SN1"}, {Op::Flash, path}};
    Station st3(dev, o, kMac, cap.output());
    EXPECT_EQ(st3.run(), kExitLocal);
    EXPECT_TRUE(dev.log.empty());
  }
  std::remove(big);
  EXPECT_EQ(Captured::text(cap.err),
            "mfgstation: flash: the image is empty\n"
            "mfgstation: flash: the image is larger than 1000 bytes, the largest allowed (--max-size)\n"
            "mfgstation: flash: cannot open \"/nonexistent/image.bin\": No such file or directory\n"
            "mfgstation: flash: the interface MTU leaves no room for firmware data\n"
            "mfgstation: flash: cannot open \"/nonexistent/image.bin\": No such file or directory\n"
            "mfgstation: flash: \"" +
                big_path + "\" is larger than 1000 bytes, the largest image allowed (--max-size)\n");
}

}  // namespace
}  // namespace mfgstation
