#include "station.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "link_protocol.h"

namespace mfgstation {
namespace {

using Bytes = std::vector<uint8_t>;

// ---- command line ----------------------------------------------------------

struct ParseCase {
  std::vector<const char*> args;
  int status;
  std::string error_part;  // expected in the message
  std::size_t steps;
};

TEST(ParseCommandLine, AcceptsAndRejects) {
  const std::string sn32(32, 'A');
  const std::string sn33(33, 'A');
  const ParseCase cases[] = {
      {{"-i", "eth1", "connect"}, 0, "", 1},
      {{"-i", "eth1", "connect", "write-sn", "SN1", "flash", "img", "reboot"}, 0, "", 4},
      {{"--interface", "eth1", "-t", "500", "-r", "0", "read-sn"}, 0, "", 1},
      {{"-i", "eth1", "write-sn", sn32.c_str()}, 0, "", 1},
      {{"-i", "eth1", "write-sn", "-dash-text"}, 0, "", 1},
      {{"-i", "eth1", "write-sn", sn33.c_str()}, kExitUsage, "longer than 32", 0},
      {{"connect"}, kExitUsage, "no interface", 0},
      {{"-i", "eth1"}, kExitUsage, "no command", 0},
      {{"-i", "eth1", "write-sn"}, kExitUsage, "needs a text", 0},
      {{"-i", "eth1", "flash"}, kExitUsage, "needs an image", 0},
      {{"-i", "eth1", "dance"}, kExitUsage, "unknown command \"dance\"", 0},
      {{"-i", "eth1", "-x", "connect"}, kExitUsage, "unknown option", 0},
      {{"-i"}, kExitUsage, "needs a value", 0},
      {{"-i", "eth1", "-t", "0", "connect"}, kExitUsage, "bad time-out", 0},
      {{"-i", "eth1", "-t", "12x", "connect"}, kExitUsage, "bad time-out", 0},
      {{"-i", "eth1", "-t", "-5", "connect"}, kExitUsage, "bad time-out", 0},
      {{"-i", "eth1", "-r", "101", "connect"}, kExitUsage, "bad retry", 0},
      {{"-i", "eth1", "--chunk-size", "1515", "connect"}, kExitUsage, "bad chunk size", 0},
      {{"-i", "eth1", "--flash-timeout", "0", "connect"}, kExitUsage, "bad flash time-out", 0},
      {{"-i", "averyveryverylongname", "connect"}, kExitUsage, "bad interface", 0},
  };
  for (const ParseCase& c : cases) {
    std::vector<const char*> argv = {"mfgstation"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Options opts;
    std::string error;
    bool help = true;
    int r = parse_command_line(static_cast<int>(argv.size()), argv.data(), opts, &error, &help);
    SCOPED_TRACE(c.args.size() > 1 ? std::string(c.args[c.args.size() - 1]) : "");
    EXPECT_EQ(r, c.status);
    EXPECT_FALSE(help);
    EXPECT_NE(error.find(c.error_part), std::string::npos) << error;
    if (r == 0) EXPECT_EQ(opts.steps.size(), c.steps);
  }
}

TEST(ParseCommandLine, KeepsValuesAndOrder) {
  const char* argv[] = {"mfgstation", "-i", "veth1", "-t", "250", "-r", "5", "--flash-timeout", "9",
                        "--chunk-size", "100", "connect", "write-sn", "SN 7", "flash", "/tmp/x", "close"};
  Options opts;
  std::string error;
  bool help = false;
  ASSERT_EQ(parse_command_line(17, argv, opts, &error, &help), 0) << error;
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
  EXPECT_EQ(parse_command_line(2, help_argv, opts, &error, &help), 0);
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

// Keeps the staged image as the service does: a chunk after idle starts the file
// anew (and its CRC), the announced length closes it.
class SimDevice : public Transport {
 public:
  enum Action { kAnswer, kDrop, kSpecial };
  // Decides what happens to the n-th (1-based) request of a command.
  std::function<Action(uint8_t command, int nth)> fault = [](uint8_t, int) { return kAnswer; };
  std::vector<std::pair<uint8_t, std::size_t>> log;
  std::deque<Bytes> pending;
  std::string staged;
  bool flashed = false;
  int counts[256] = {};

  int send(uint8_t command, const uint8_t* params, std::size_t count, std::string*) override {
    log.push_back({command, count});
    const Action a = fault(command, ++counts[command]);
    Bytes p(params, params + count);
    Bytes r = {0x00, command};
    switch (command) {
      case 4:
        remaining_ = count == 4 ? qvlink::get_be32(params) : 0;
        break;
      case 5:
        if (a == kSpecial) {
          queue({0x08, 0x05});
          return 0;
        }
        if (!open_) {
          open_ = true;
          staged.clear();
          crc_ = 0;
        }
        crc_ = crc32(crc_, params, static_cast<uint32_t>(count));
        staged.append(p.begin(), p.end());
        if (count < remaining_) {
          remaining_ -= static_cast<uint32_t>(count);
        } else {
          remaining_ = 0;
          open_ = false;
        }
        break;
      case 6:
        r = {static_cast<uint8_t>(count == 4 && qvlink::get_be32(params) == crc_ && a != kSpecial ? 0x00 : 0x07),
             0x05};
        break;
      case 2:
        if (a == kSpecial) r = store_failure();
        break;
      case 3:
        r = {0x00, 0x03, 'Q', 'V', '1'};
        break;
      case 11:
        flashed = true;
        if (a != kDrop) queue({0x00, 0x0B, 0x00});
        if (a != kSpecial && a != kDrop) queue({0x00, 0x0B, 0x01});
        if (a == kDrop && counts[11] == 1 && !lose_both_upgrade) queue({0x00, 0x0B, 0x01});
        return 0;
      default:
        if (a == kSpecial) r = {0x03, command};
        break;
    }
    if (a != kDrop) queue(r);
    return 0;
  }

  int receive(Bytes& data, int, std::string*) override {
    if (pending.empty()) return 0;  // the time-out, without the wait
    data = pending.front();
    pending.pop_front();
    return 1;
  }

  int count_of(uint8_t command) const {
    int n = 0;
    for (const auto& e : log) n += e.first == command;
    return n;
  }

  bool lose_both_upgrade = false;

 private:
  void queue(const Bytes& d) { pending.push_back(d); }
  bool open_ = false;
  uint32_t remaining_ = 0;
  uint32_t crc_ = 0;
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
  Output output() const { return Output{out, err, false}; }
};

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

const Station::Mac kMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

TEST(Station, FlashSendsLengthChunksChecksumUpgrade) {
  SimDevice dev;
  Captured cap;
  Station st(dev, options(), kMac, cap.output());
  const Bytes image = make_image(6 * 1514 + 916);
  ASSERT_EQ(st.flash_image(image), kExitOk) << Captured::text(cap.err);
  std::vector<std::pair<uint8_t, std::size_t>> expected = {{4, 4}};
  for (int i = 0; i < 6; ++i) expected.push_back({5, 1514});
  expected.push_back({5, 916});
  expected.push_back({6, 4});
  expected.push_back({11, 0});
  EXPECT_EQ(dev.log, expected);
  EXPECT_EQ(dev.staged, std::string(image.begin(), image.end()));
  EXPECT_TRUE(dev.flashed);
  const std::string out = Captured::text(cap.out);
  EXPECT_NE(out.find("flash: 10000 bytes, CRC-32 "), std::string::npos) << out;
  EXPECT_NE(out.find("flash: 10000 of 10000 bytes sent (100%)"), std::string::npos) << out;
  EXPECT_NE(out.find("flash: done"), std::string::npos) << out;
}

TEST(Station, PlainProgressPrintsEveryTenth) {
  SimDevice dev;
  Captured cap;
  Station st(dev, options(2, 100), kMac, cap.output());
  ASSERT_EQ(st.flash_image(make_image(100 * 100)), kExitOk);
  const std::string out = Captured::text(cap.out);
  int lines = 0;
  for (std::size_t p = out.find("bytes sent"); p != std::string::npos; p = out.find("bytes sent", p + 1)) ++lines;
  EXPECT_EQ(lines, 10) << out;
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
  EXPECT_EQ(Captured::text(cap.out), "connect: connected\nwrite-sn: stored \"SN-42\"\nread-sn: \"QV1\"\n");
}

struct FaultCase {
  const char* name;
  std::function<SimDevice::Action(uint8_t, int)> fault;
  std::vector<Step> steps;
  int status;
  std::vector<std::pair<uint8_t, int>> sent;  // command, times sent
  const char* message;                        // expected on standard error
  bool staged_whole;                          // the staged file is the image
};

TEST(Station, LostAndFailedReplies) {
  using A = SimDevice::Action;
  const Bytes image = make_image(5000);  // 4 chunks of 1514 and less
  const char* path = "/tmp/mfgstation_unit_image";
  {
    FILE* f = std::fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
  }
  const std::vector<Step> flash = {{Op::Flash, path}};
  const FaultCase cases[] = {
      {"connect reply lost once", [](uint8_t c, int n) { return c == 1 && n == 1 ? A::kDrop : A::kAnswer; },
       {{Op::Connect, ""}}, kExitOk, {{1, 2}}, "sending again (1 of 2)", false},
      {"dead for connect", [](uint8_t c, int) { return c == 1 ? A::kDrop : A::kAnswer; },
       {{Op::Connect, ""}, {Op::Reboot, ""}}, kExitTimeout, {{1, 3}, {9, 0}}, "after 3 attempts", false},
      {"reboot reply lost once", [](uint8_t c, int n) { return c == 9 && n == 1 ? A::kDrop : A::kAnswer; },
       {{Op::Reboot, ""}}, kExitOk, {{9, 2}}, "reboot: no reply", false},
      {"length reply lost once", [](uint8_t c, int n) { return c == 4 && n == 1 ? A::kDrop : A::kAnswer; },
       flash, kExitOk, {{4, 2}, {5, 4}, {11, 1}}, "announce: no reply", true},
      {"chunk reply lost once restarts",
       [](uint8_t c, int n) { return c == 5 && n == 3 ? A::kDrop : A::kAnswer; }, flash, kExitOk,
       // 3 chunks, the closing empty chunk, 4 chunks again; lengths: image, 0, image
       {{4, 3}, {5, 3 + 1 + 4}, {6, 1}, {11, 1}}, "restarting the transfer (1 of 2)", true},
      {"chunk replies always lost", [](uint8_t c, int n) { return c == 5 && n % 2 == 1 ? A::kDrop : A::kAnswer; },
       flash, kExitTimeout, {{4, 5}, {5, 5}, {6, 0}, {11, 0}}, "transfer failed after 2 restarts", false},
      {"checksum reply lost once", [](uint8_t c, int n) { return c == 6 && n == 1 ? A::kDrop : A::kAnswer; },
       flash, kExitOk, {{6, 2}, {11, 1}}, "checksum: no reply", true},
      {"crc mismatch", [](uint8_t c, int) { return c == 6 ? A::kSpecial : A::kAnswer; },
       {{Op::Flash, path}, {Op::Reboot, ""}}, kExitCrcMismatch, {{6, 1}, {11, 0}, {9, 0}},
       "CRC-32 mismatch", true},
      {"chunk failure", [](uint8_t c, int n) { return c == 5 && n == 2 ? A::kSpecial : A::kAnswer; }, flash,
       kExitChunkFailed, {{5, 2}, {6, 0}, {11, 0}}, "could not store the chunk", false},
      {"store failure", [](uint8_t c, int) { return c == 2 ? A::kSpecial : A::kAnswer; },
       {{Op::WriteSn, "SN1"}, {Op::ReadSn, ""}}, kExitStoreFailed, {{2, 1}, {3, 0}}, "\"Fail to writ db\"", false},
      {"upgrade start reply lost", [](uint8_t c, int) { return c == 11 ? A::kDrop : A::kAnswer; }, flash, kExitOk,
       {{11, 1}}, "", true},
      {"unknown command", [](uint8_t c, int) { return c == 10 ? A::kSpecial : A::kAnswer; },
       {{Op::ResetDefaults, ""}}, kExitRejected, {{10, 1}}, "status 3: unknown command", false},
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
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    if (c.staged_whole) EXPECT_EQ(dev.staged, std::string(image.begin(), image.end()));
  }
  std::remove(path);
}

TEST(Station, RestartClosesTheOpenTransferFirst) {
  SimDevice dev;
  dev.fault = [](uint8_t c, int n) { return c == 5 && n == 2 ? SimDevice::kDrop : SimDevice::kAnswer; };
  Captured cap;
  Station st(dev, options(1, 1000), kMac, cap.output());
  ASSERT_EQ(st.flash_image(make_image(2500)), kExitOk);
  EXPECT_EQ(st.transfer_restarts(), 1);
  std::vector<std::pair<uint8_t, std::size_t>> expected = {{4, 4},    {5, 1000}, {5, 1000}, {4, 4}, {5, 0},
                                                           {4, 4},    {5, 1000}, {5, 1000}, {5, 500},
                                                           {6, 4},    {11, 0}};
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
  EXPECT_NE(Captured::text(cap.err).find("end of flashing was not reported"), std::string::npos);
}

TEST(Station, StaleRepliesAreSkipped) {
  SimDevice dev;
  // Left-overs of an earlier exchange: another command's success and a status
  // report for another command.
  dev.pending = {{0x00, 0x04}, {0x03, 0x0A}, {0x00, 0x01}};
  Captured cap;
  Station st(dev, options(), kMac, cap.output());
  EXPECT_EQ(st.simple(Op::Reboot), kExitOk);
  EXPECT_EQ(dev.count_of(9), 1);
}

TEST(Station, EmptyOrMissingImageIsALocalError) {
  SimDevice dev;
  Captured cap;
  Station st(dev, options(), kMac, cap.output());
  EXPECT_EQ(st.flash_image({}), kExitLocal);
  EXPECT_EQ(st.flash("/nonexistent/image.bin"), kExitLocal);
  EXPECT_TRUE(dev.log.empty());
  Options tiny = options(2, 0);
  Station st2(dev, tiny, kMac, cap.output());
  EXPECT_EQ(st2.flash_image(make_image(10)), kExitLocal);
  EXPECT_TRUE(dev.log.empty());
}

}  // namespace
}  // namespace mfgstation
