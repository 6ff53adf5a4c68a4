// factory_bytes run on simulated devices: dumps, updates, refusals and usage,
// compared byte for byte, and the partition image checked after each run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "device_root.h"

namespace {

using qvtest::DeviceRoot;
using qvtest::RunResult;

const std::string kLan("\x00\x11\x22\xaa\xbb\xcc", 6);
const std::string kLanDump = "EEPROM:\n0002 -- -- -- -- -- -- -- -- 00 11 22 aa bb cc \n";

std::string prog() { return qvtest::bin_dir() + "/factory_bytes"; }

std::string usage_text() {
  const std::string p = prog();
  return "Usage:\n " + p + " g <offset> <size>\n " + p + " s <offset> <byte0 byte1 ...>\n";
}

struct Case {
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string lan_after;  // the six bytes at 0x28 after the run
};

void run_cases(const std::vector<Case>& cases, void (*prepare)(const DeviceRoot&) = nullptr) {
  for (const auto& c : cases) {
    std::string name;
    for (const auto& a : c.args) name += a + " ";
    SCOPED_TRACE(name);
    DeviceRoot root;
    root.poke("Factory", 0x28, kLan);
    root.poke("Factory", 0x2a, "\x01\x02\x03\x04\x05\x06\x07\x08");
    root.poke("Factory", 0x28, kLan.substr(0, 2));
    const std::string image = root.partition("Factory");
    const std::string before = qvtest::read_file(image);
    if (prepare) prepare(root);
    std::vector<std::string> argv{prog()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = root.run(argv);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    std::string after = before;
    after.replace(0x28, 6, c.lan_after);
    EXPECT_TRUE(qvtest::read_file(image) == after) << "partition image differs";
  }
}

// Bytes at 0x28..0x31: 00 11 01 02 03 04 05 06 07 08.
const std::string kStored = std::string("\x00\x11\x01\x02\x03\x04", 6);

TEST(FactoryBytesE2E, Dumps) {
  const std::string ff15 = "ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff";
  run_cases({
      {{"g", "2a", "8"}, 0, "EEPROM:\n0002 -- -- -- -- -- -- -- -- -- -- 01 02 03 04 05 06\n0003 07 08 \n", kStored},
      {{"get", "0x2A", "8", "extra"}, 0,
       "EEPROM:\n0002 -- -- -- -- -- -- -- -- -- -- 01 02 03 04 05 06\n0003 07 08 \n", kStored},
      {{"g", "0", "10"}, 0, "EEPROM:\n0000 " + ff15 + " ff\n\n", kStored},
      {{"g", "28", "6"}, 0, "EEPROM:\n0002 -- -- -- -- -- -- -- -- 00 11 01 02 03 04 \n", kStored},
      {{"g", "100", "1"}, 0, "EEPROM:\n0010 ff \n", kStored},
      {{"g", "0", "0"}, 0, "EEPROM:\n\n", kStored},
      // A range past the partition's end: the bytes not there show as "--".
      {{"g", "fff8", "10"}, 0, "EEPROM:\n0fff -- -- -- -- -- -- -- -- ff ff ff ff ff ff ff ff\n1000 -- -- -- -- -- -- -- -- \n",
       kStored},
      {{"g", "20000", "2"}, 0, "EEPROM:\n2000 -- -- \n", kStored},
      {{"g", "ffffffff", "1"}, 0, "Cannot read Factory -1,1\n", kStored},
      {{"g", "-2", "1"}, 0, "Cannot read Factory -2,1\n", kStored},
      // Sizes that no buffer is had for, or negative ones.
      {{"g", "0", "ffffffff"}, 255, "", kStored},
      {{"g", "0", "80000000"}, 255, "", kStored},
      {{"g", "0", "7fffffff"}, 255, "", kStored},
      {{"g", "0", "100001"}, 255, "", kStored},
  });
}

TEST(FactoryBytesE2E, Set) {
  const std::string changed = "EEPROM:\n0002 -- -- -- -- -- -- -- -- 02 ab ab 00 00 01 \n";
  const std::string stored = "EEPROM:\n0002 -- -- -- -- -- -- -- -- 00 11 01 02 03 04 \n";
  run_cases({
      {{"s", "28", "00", "11", "1", "2", "3", "4"}, 0, stored, kStored},
      {{"set", "28", "0x02", "AB", "ab", "0", "zz", "1"}, 0, stored + "Update...\n" + changed,
       std::string("\x02\xab\xab\x00\x00\x01", 6)},
      {{"s", "2d", "ff"}, 0,
       "EEPROM:\n0002 -- -- -- -- -- -- -- -- -- -- -- -- -- 04 \nUpdate...\nEEPROM:\n0002 -- -- -- -- -- -- -- -- "
       "-- -- -- -- -- ff \n",
       std::string("\x00\x11\x01\x02\x03\xff", 6)},
      {{"s", "28", "00", "11", "22", "33", "44", "1ff"}, 255, "byte5 1ff is out of range (0~255)\n", kStored},
      {{"s", "28", "-1"}, 255, "byte0 -1 is out of range (0~255)\n", kStored},
      {{"s", "28", "0", "100"}, 255, "byte1 100 is out of range (0~255)\n", kStored},
      {{"s", "28", "0", "fffffffffffffffffff1"}, 255, "byte1 fffffffffffffffffff1 is out of range (0~255)\n", kStored},
      // A first read that fails or comes up short writes nothing.
      {{"s", "ffffffff", "1"}, 0, "Cannot read Factory -1,1\n", kStored},
      {{"s", "fffe", "1", "2", "3"}, 0,
       "EEPROM:\n0fff -- -- -- -- -- -- -- -- -- -- -- -- -- -- ff ff\n1000 -- \n"
       "Nothing written: only 2 of the 3 bytes lie within Factory\n",
       kStored},
      {{"s", "20000", "1"}, 0, "EEPROM:\n2000 -- \nNothing written: only 0 of the 1 bytes lie within Factory\n",
       kStored},
  });
}

TEST(FactoryBytesE2E, Usage) {
  run_cases({
      {{}, 1, usage_text(), kStored},
      {{"x", "0", "1"}, 1, usage_text(), kStored},
      {{"g", "0"}, 1, usage_text(), kStored},
      {{"s", "28"}, 1, usage_text(), kStored},
      {{"", "28", "1"}, 1, usage_text(), kStored},
      {{"G", "0", "1"}, 1, usage_text(), kStored},
  });
}

TEST(FactoryBytesE2E, PartitionThatCannotBeOpened) {
  run_cases({{{"g", "28", "6"}, 0, "Cannot open Factory\n", kStored}, {{"s", "28", "1"}, 0, "Cannot open Factory\n", kStored}},
            [](const DeviceRoot& root) {
              // Factory listed under a device that does not exist.
              std::string table = root.read("/proc/mtd");
              table.replace(table.find("mtd2:"), 5, "mtd7:");
              root.write("/proc/mtd", table);
            });
}

TEST(FactoryBytesE2E, PieceOfALongTableLineIsNoPartition) {
  run_cases({{{"s", "28", "de"}, 0,
              "EEPROM:\n0002 -- -- -- -- -- -- -- -- 00 \nUpdate...\nEEPROM:\n0002 -- -- -- -- -- -- -- -- de \n",
              "\xde" + kStored.substr(1)}},
            [](const DeviceRoot& root) {
              // 255 characters fill a 256-byte line buffer: what follows on the
              // same line reads like a line that lists the Bootloader as Factory.
              std::string table = root.read("/proc/mtd");
              table.insert(table.find('\n') + 1, std::string(255, 'x') + "mtd0: 00030000 00010000 \"Factory\"\n");
              root.write("/proc/mtd", table);
            });
}

TEST(FactoryBytesE2E, FailedWriteStillShowsTheSecondDump) {
  DeviceRoot root;
  // A device that reads as zeros and takes no write.
  const std::string image = root.partition("Factory");
  ASSERT_EQ(unlink(image.c_str()), 0);
  ASSERT_EQ(symlink("/dev/full", image.c_str()), 0);
  const RunResult r = root.run({prog(), "s", "28", "1", "2"});
  const std::string zeros = "EEPROM:\n0002 -- -- -- -- -- -- -- -- 00 00 \n";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, zeros + "Update...\nCannot write Factory\n" + zeros);
}

TEST(FactoryBytesE2E, QvdataPublishesTheMacThatWasSet) {
  DeviceRoot root;
  RunResult r = root.run({prog(), "s", "28", "de", "ad", "be", "ef", "0", "1"});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(root.peek("Factory", 0x28, 6), std::string("\xde\xad\xbe\xef\x00\x01", 6));
  r = root.run({prog(), "s", "39", "5"});
  ASSERT_EQ(r.status, 0);
  r = root.run({qvtest::bin_dir() + "/qvdata"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(root.read("/etc/mac_eth0"), "DEADBEEF0001\n");
  EXPECT_EQ(root.read("/etc/mac_eth1"), "FFFFFFFFFFFF\n");
  EXPECT_EQ(root.read("/etc/wlanRegion"), "5\n");
}

}  // namespace
