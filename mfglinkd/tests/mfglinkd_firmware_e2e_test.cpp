// Firmware transfer and upgrade end to end: the real service in its namespace,
// images staged in /tmp/firmware of the simulated device and flashed into its
// "Kernel" partition by the flash tool's stand-in.
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>

#include "link_e2e.h"
#include "link_protocol.h"

namespace {

using e2e::Bytes;

class FirmwareE2E : public e2e::ServiceTest {
 protected:
  std::string Quit() {
    EXPECT_EQ(station_->ask(station_->spec(8)), "00 08");
    EXPECT_EQ(service_->wait(10000), 0);
    return service_->out();
  }

  std::string Staged() { return root_->read("/tmp/firmware"); }

  bool KernelStartsWith(const Bytes& image) {
    std::string head = root_->peek("Kernel", 0, static_cast<long>(image.size()));
    return head == std::string(image.begin(), image.end());
  }

  // Sends an image in chunks of `chunk` bytes; the data of every chunk reply.
  std::vector<std::string> SendChunks(const Bytes& image, std::size_t chunk, bool stop_on_failure = true) {
    std::vector<std::string> replies;
    for (std::size_t off = 0; off < image.size(); off += chunk) {
      Bytes piece(image.begin() + off, image.begin() + std::min(image.size(), off + chunk));
      replies.push_back(station_->ask(station_->spec(5, piece)));
      if (stop_on_failure && replies.back() != "00 05") break;
    }
    return replies;
  }

};

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST_F(FirmwareE2E, TwoImagesOfSeveralMiBFlashedByTheStation) {
  Start(1522);  // full 1514-byte chunks
  Bytes first = e2e::random_bytes(3 * 1024 * 1024 + 12345, 1);
  Bytes second = e2e::random_bytes(1536 * 1024 + 7, 2);
  std::string first_path = root_->dir() + "/first.img", second_path = root_->dir() + "/second.img";
  qvtest::write_file(first_path, std::string(first.begin(), first.end()));
  qvtest::write_file(second_path, std::string(second.begin(), second.end()));

  qvtest::RunOptions opts;
  opts.timeout_ms = 240000;
  auto r = net_->run({qvtest::bin_dir() + "/mfgstation", "-i", "st0", "connect", "flash", first_path}, opts);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  char announced[80];
  std::snprintf(announced, sizeof announced, "flash: 3158073 bytes, CRC-32 %08x, 1514 bytes per chunk\n",
                crc32(0, first.data(), static_cast<uint32_t>(first.size())));
  EXPECT_NE(r.out.find(announced), std::string::npos) << r.out;
  EXPECT_TRUE(KernelStartsWith(first));

  // A second image in the same run verifies against its own CRC-32.
  r = net_->run({qvtest::bin_dir() + "/mfgstation", "-i", "st0", "flash", second_path, "reboot"}, opts);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(KernelStartsWith(second));
  EXPECT_TRUE(Staged() == std::string(second.begin(), second.end()));

  std::string flash_line = "mtd_write write " + root_->named("/tmp/firmware") + " Kernel";
  std::vector<std::string> want = {flash_line, flash_line, "reboot"};
  // The reboot reply goes out before the command runs; the quit reply comes only
  // after the service is back from it, so the log is complete by then.
  std::string out = Quit();
  EXPECT_EQ(root_->platform_log(), want);
  EXPECT_EQ(count_of(out, "chksum is correct\nwrite_firmware_chunk:4\n"), 2u);
  EXPECT_EQ(count_of(out, "mismatch"), 0u);
  EXPECT_EQ(count_of(out, "firmware length:    ->3158073\n"), 1u);
  EXPECT_EQ(count_of(out, "peer_upgrade_normalcode()\n"), 2u);
  EXPECT_EQ(service_->err(), "");
}

TEST_F(FirmwareE2E, TransferEdgeCases) {
  Start();
  root_->write("/var/log/descriptors", "");  // the stand-ins list what they inherit
  std::string flash_line = "mtd_write write " + root_->named("/tmp/firmware") + " Kernel";
  // An upgrade with nothing staged still sends both replies.
  auto up = station_->exchange(station_->spec(11), 2, 30000);
  ASSERT_EQ(up.size(), 2u);
  EXPECT_EQ(station_link::hex(up[0].data), "00 0B 00");
  EXPECT_EQ(station_link::hex(up[1].data), "00 0B 01");
  EXPECT_EQ(root_->platform_log(), std::vector<std::string>{flash_line});
  // A checksum request without a 4-byte parameter before any chunk: both values 0.
  EXPECT_EQ(station_->ask(station_->spec(6)), "00 05");
  EXPECT_EQ(station_->ask(station_->spec(6, e2e::be32(0))), "00 05");
  EXPECT_EQ(station_->ask(station_->spec(6, e2e::be32(1))), "07 05");

  // The 1 MiB announcement and its log line.
  EXPECT_EQ(station_->ask(station_->spec(4, {0x00, 0x10, 0x00, 0x00})), "00 04");
  // A 2-byte announcement sets the length to 0: the next chunk is the whole file.
  EXPECT_EQ(station_->ask(station_->spec(4, {0x00, 0x10})), "00 04");
  Bytes a = e2e::random_bytes(100, 3);
  EXPECT_EQ(station_->ask(station_->spec(5, a)), "00 05");
  EXPECT_TRUE(Staged() == std::string(a.begin(), a.end())) << "written and closed at once";

  // Without an announcement every chunk starts the file anew.
  Bytes b = e2e::random_bytes(50, 4), c = e2e::random_bytes(30, 5);
  EXPECT_EQ(station_->ask(station_->spec(5, b)), "00 05");
  EXPECT_EQ(station_->ask(station_->spec(5, c)), "00 05");
  EXPECT_TRUE(Staged() == std::string(c.begin(), c.end()));
  EXPECT_EQ(station_->ask(station_->spec(6, e2e::be32(crc32(0, c.data(), 30)))), "00 05");

  // Ten bytes announced, six and six sent: a 12-byte file whose CRC is that of all 12.
  Bytes d = e2e::random_bytes(12, 6);
  EXPECT_EQ(station_->ask(station_->spec(4, e2e::be32(10))), "00 04");
  EXPECT_EQ(station_->ask(station_->spec(5, Bytes(d.begin(), d.begin() + 6))), "00 05");
  EXPECT_EQ(station_->ask(station_->spec(5, Bytes(d.begin() + 6, d.end()))), "00 05");
  EXPECT_TRUE(Staged() == std::string(d.begin(), d.end()));
  EXPECT_EQ(station_->ask(station_->spec(6, e2e::be32(crc32(0, d.data(), 12)))), "00 05");
  EXPECT_EQ(station_->ask(station_->spec(6, e2e::be32(crc32(0, d.data(), 10)))), "07 05");
  // The lines and dots of a request are written out once it is answered (by
  // the time the next request is served), not held until the run ends.
  EXPECT_NE(service_->out().find("..chksum is correct\nwrite_firmware_chunk:4\n"), std::string::npos)
      << service_->out();

  // An empty chunk while idle creates an empty file.
  EXPECT_EQ(station_->ask(station_->spec(5)), "00 05");
  EXPECT_EQ(Staged(), "");

  // An upgrade during an open transfer flashes every byte received so far.
  Bytes e = e2e::random_bytes(3000, 7);
  EXPECT_EQ(station_->ask(station_->spec(4, e2e::be32(100000))), "00 04");
  EXPECT_EQ(SendChunks(e, 1000), (std::vector<std::string>{"00 05", "00 05", "00 05"}));
  // The dots of an open transfer go out when the service idles (a receive
  // gives up after a second).
  auto dots_out = [&] {
    const std::string out = service_->out();
    return out.size() >= 4 && out.compare(out.size() - 4, 4, "\n...") == 0;
  };
  for (int i = 0; i < 300 && !dots_out(); ++i) usleep(10000);
  EXPECT_TRUE(dots_out()) << service_->out();
  up = station_->exchange(station_->spec(11), 2, 30000);
  ASSERT_EQ(up.size(), 2u);
  EXPECT_TRUE(KernelStartsWith(e));

  std::string out = Quit();
  char mismatch[64];
  std::snprintf(mismatch, sizeof mismatch, "chksum mismatch:%.4x,%.4x\n", 1u, 0u);
  EXPECT_NE(out.find(mismatch), std::string::npos) << out;
  EXPECT_NE(out.find("firmware length:    ->1048576\n"), std::string::npos);
  EXPECT_NE(out.find("firmware length:  ->0\n"), std::string::npos);
  EXPECT_NE(out.find("chksum is correct\nwrite_firmware_chunk:0\n"), std::string::npos);
  // Only the flash tool, run with nothing staged, had something to say.
  EXPECT_EQ(service_->err(), "mtd_write: cannot read " + root_->named("/tmp/firmware") + "\n");
  // Neither the raw socket nor the staged file, open during the last upgrade,
  // reached the flash tool (the stand-ins read that from the host's /proc).
  if (qvtest::DeviceRoot::device_build()) return;
  auto inherited = qvtest::split_lines(root_->read("/var/log/descriptors"));
  ASSERT_EQ(inherited.size(), 2u);
  for (const auto& line : inherited) {
    EXPECT_EQ(line.rfind("mtd_write ", 0), 0u) << line;
    EXPECT_EQ(line.find("socket:"), std::string::npos) << line;
    EXPECT_EQ(line.find("/tmp/firmware"), std::string::npos) << line;
  }
}

TEST_F(FirmwareE2E, VanishedOutputLosesTheTraceNotTheTransfer) {
  e2e::ServiceOptions opts;
  opts.output_gone = true;
  Start(1500, opts);
  root_->write("/var/log/descriptors", "");
  Bytes image = e2e::random_bytes(5000, 10);
  EXPECT_EQ(station_->ask(station_->spec(4, e2e::be32(5000))), "00 04");
  EXPECT_EQ(SendChunks(image, 1000), std::vector<std::string>(5, "00 05"));
  EXPECT_EQ(station_->ask(station_->spec(6, e2e::be32(crc32(0, image.data(), 5000)))), "00 05");
  auto up = station_->exchange(station_->spec(11), 2, 30000);
  ASSERT_EQ(up.size(), 2u);
  EXPECT_TRUE(KernelStartsWith(image));
  Quit();
  EXPECT_EQ(service_->err(), "");
  // The flash tool writes into nothing rather than into the pipe, which would
  // end it with the same signal.
  if (qvtest::DeviceRoot::device_build()) return;
  auto inherited = qvtest::split_lines(root_->read("/var/log/descriptors"));
  ASSERT_EQ(inherited.size(), 1u);
  EXPECT_NE(inherited[0].find(" 1=/dev/null "), std::string::npos) << inherited[0];
}

TEST_F(FirmwareE2E, FullTmpFailsTheChunkAndTheServiceGoesOn) {
  e2e::ServiceOptions opts;
  opts.file_size_limit = 200000;  // /tmp takes no more than this
  Start(1500, opts);
  Bytes big = e2e::random_bytes(600000, 8);
  EXPECT_EQ(station_->ask(station_->spec(4, e2e::be32(static_cast<uint32_t>(big.size())))), "00 04");
  auto replies = SendChunks(big, 1400);
  ASSERT_FALSE(replies.empty());
  EXPECT_EQ(replies.back(), "08 05") << "the chunk that cannot be stored is answered with status 8";
  // The stream writes out 64 KiB at a time: the failure shows within one buffer
  // of the limit.
  EXPECT_GT(replies.size(), 200000u / 1400);
  EXPECT_LE(replies.size(), (200000u + 65536) / 1400 + 1);
  EXPECT_EQ(station_->ask(station_->spec(3)), "00 03") << "the service keeps serving";

  // A transfer that fits starts afresh and verifies against its own CRC.
  Bytes small = e2e::random_bytes(90000, 9);
  EXPECT_EQ(station_->ask(station_->spec(4, e2e::be32(static_cast<uint32_t>(small.size())))), "00 04");
  auto ok = SendChunks(small, 1492);
  EXPECT_EQ(ok, std::vector<std::string>(ok.size(), "00 05"));
  EXPECT_EQ(ok.size(), 61u);
  EXPECT_EQ(station_->ask(station_->spec(6, e2e::be32(crc32(0, small.data(), 90000)))), "00 05");
  auto up = station_->exchange(station_->spec(11), 2, 30000);
  ASSERT_EQ(up.size(), 2u);
  EXPECT_TRUE(KernelStartsWith(small));

  std::string out = Quit();
  EXPECT_NE(out.find("firmware transfer abandoned\n"), std::string::npos) << out;
  EXPECT_EQ(service_->err(), "fail to fwrite: File too large\n");
}

}  // namespace
