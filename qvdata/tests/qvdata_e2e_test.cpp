// qvdata run on simulated devices: the files it publishes, its traces and its
// exit statuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device_root.h"

namespace {

using qvtest::DeviceRoot;
using qvtest::RunResult;

const std::string kMacs[] = {"/etc/mac_eth0", "/etc/mac_eth1", "/etc/mac_ra0"};
const std::string kAllFiles[] = {"/etc/bootromVer", "/etc/product",    "/etc/mac_eth0", "/etc/mac_eth1",
                                 "/etc/mac_ra0",    "/etc/wlanRegion", "/etc/wlanVer"};

std::string entries(const std::vector<std::string>& list) {
  std::string out;
  for (const auto& e : list) out += e + std::string(1, '\0');
  return out;
}

// A device with sample factory data: LAN 00:11:22:AA:BB:CC, WAN ...:CD,
// WLAN 02:00:00:00:00:01, region 3, and both Config entries.
void fill(const DeviceRoot& root, const std::string& config = entries({"qvbootver=1.0.2", "qvsig=QV AP 300"})) {
  root.poke("Factory", 0x04, std::string("\x02\x00\x00\x00\x00\x01", 6));
  root.poke("Factory", 0x28, std::string("\x00\x11\x22\xaa\xbb\xcc\x00\x11\x22\xaa\xbb\xcd", 12));
  root.poke("Factory", 0x39, "\x03");
  root.poke("Config", 0, config);
}

std::string trace(const std::string& command) { return "qvdata_rt3052: run \"" + command + "\"\n"; }

std::string usage_text() {
  return "option:\n\t-h             help message\n\t-w|--wanmac    file path to store WAN MAC\n"
         "\t-l|--lanmac    file path to store LAN MAC\n  -r|--wlanmac   file path to store WLAN MAC\n"
         "\t-p|--product   file path to store product name\n\t-b|--bootver   file path to store bootloader version\n";
}

std::string qvdata() { return qvtest::bin_dir() + "/qvdata"; }

std::vector<std::string> published(const DeviceRoot& root) {
  std::vector<std::string> out;
  for (const auto& f : kAllFiles)
    if (qvtest::file_exists(root.path(f))) out.push_back(f);
  return out;
}

TEST(QvdataE2E, PublishesSevenFilesInOrder) {
  DeviceRoot root;
  fill(root);
  const RunResult r = root.run({qvdata()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, trace("echo 1.0.2 > " + root.named("/etc/bootromVer")) +
                       trace("echo QV AP 300 > " + root.named("/etc/product")) +
                       trace("echo 001122AABBCC > " + root.named("/etc/mac_eth0")) +
                       trace("echo 001122AABBCD > " + root.named("/etc/mac_eth1")) +
                       trace("echo 020000000001 > " + root.named("/etc/mac_ra0")) +
                       trace("echo 3 > " + root.named("/etc/wlanRegion")) +
                       trace("echo 2.5.0.0 > " + root.named("/etc/wlanVer")));
  const char* contents[] = {"1.0.2\n", "QV AP 300\n", "001122AABBCC\n", "001122AABBCD\n",
                            "020000000001\n", "3\n", "2.5.0.0\n"};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(root.read(kAllFiles[i]), contents[i]) << kAllFiles[i];
}

TEST(QvdataE2E, RegionByte) {
  const struct {
    const char* byte;
    const char* file;
  } cases[] = {{"\x03", "3\n"}, {"\xff", "255\n"}, {"\x33", "51\n"}, {"\x39", "53\n"}, {"\x08", "8\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    DeviceRoot root;
    fill(root);
    root.poke("Factory", 0x39, c.byte);
    EXPECT_EQ(root.run({qvdata()}).status, 0);
    EXPECT_EQ(root.read("/etc/wlanRegion"), c.file);
    EXPECT_EQ(root.read("/etc/wlanVer"), "2.5.0.0\n");
  }
}

TEST(QvdataE2E, ConfigEntries) {
  const std::string v40(40, 'v');
  const struct {
    std::string config;
    const char* bootver;  // nullptr: not written
    const char* product;
  } cases[] = {
      {entries({"qvsig=first", "qvbootver=9", "qvsig=second"}), "9\n", "first\n"},
      {entries({"qvbootver=", "qvsig=Two  blanks"}), "\n", "Two blanks\n"},
      {entries({"qvbootver=" + v40}), "vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv\n", nullptr},
      {entries({"other=1"}), nullptr, nullptr},
      {entries({"qvsig=$(touch X)", "qvbootver=a;reboot"}), "a;reboot\n", "$(touch X)\n"},
      {entries({"qvsig=`touch X` it's", "qvbootver=x > y"}), "x > y\n", "`touch X` it's\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    DeviceRoot root;
    fill(root, c.config);
    qvtest::RunOptions in_root;
    in_root.cwd = root.dir();  // where an injected "touch X" would leave its file
    const RunResult r = root.run({qvdata()}, in_root);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(qvtest::file_exists(root.path("/etc/bootromVer")), c.bootver != nullptr);
    EXPECT_EQ(qvtest::file_exists(root.path("/etc/product")), c.product != nullptr);
    if (c.bootver) EXPECT_EQ(root.read("/etc/bootromVer"), c.bootver);
    if (c.product) EXPECT_EQ(root.read("/etc/product"), c.product);
    EXPECT_FALSE(qvtest::file_exists(root.path("/X")));
    EXPECT_FALSE(qvtest::file_exists(root.path("/y")));
    EXPECT_TRUE(root.platform_log().empty());  // no reboot
    EXPECT_EQ(root.read("/etc/mac_eth0"), "001122AABBCC\n");
  }
}

TEST(QvdataE2E, EmptyValueRunsEchoWithNothing) {
  DeviceRoot root;
  fill(root, entries({"qvbootver=", "qvsig=$(touch X)"}));
  const RunResult r = root.run({qvdata()});
  EXPECT_EQ(qvtest::line_of(r.err, 0), "qvdata_rt3052: run \"echo  > " + root.named("/etc/bootromVer") + "\"");
  EXPECT_EQ(qvtest::line_of(r.err, 1),
            "qvdata_rt3052: run \"echo '$(touch X)' > " + root.named("/etc/product") + "\"");
}

TEST(QvdataE2E, Options) {
  DeviceRoot probe;
  const std::string d = probe.dir();
  const std::string long_name = d + "/" + std::string(200 - d.size() - 1, 'n');
  const struct {
    std::vector<std::string> args;
    std::string file;  // where the LAN MAC goes
  } cases[] = {
      {{"-l", ""}, d + "/etc/mac_eth0"},
      {{"-l", d + "/lan"}, d + "/lan"},
      {{"--lanmac=" + d + "/lan"}, d + "/lan"},
      {{"--lanmac", d + "/lan"}, d + "/lan"},
      {{"-l", d + "/first", "ignored", "-l", d + "/second"}, d + "/second"},
      {{"-l", d + "/a b;reboot"}, d + "/a b;reboot"},
      {{"-l", long_name}, long_name.substr(0, 127)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    DeviceRoot root;
    fill(root);
    std::vector<std::string> argv{qvdata()};
    for (auto a : c.args) {
      const std::string::size_type at = a.find(d);
      if (at != std::string::npos) a.replace(at, d.size(), root.dir());
      argv.push_back(a);
    }
    std::string file = c.file;
    file.replace(0, d.size(), root.dir());
    const RunResult r = root.run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(qvtest::read_file(file), "001122AABBCC\n");
    EXPECT_TRUE(root.platform_log().empty());
  }

  DeviceRoot root;
  fill(root);
  RunResult r = root.run({qvdata(), "-w", root.dir() + "/w", "-r", root.dir() + "/r", "--product",
                          root.dir() + "/p", "-b", root.dir() + "/b"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(qvtest::read_file(root.dir() + "/w"), "001122AABBCD\n");
  EXPECT_EQ(qvtest::read_file(root.dir() + "/r"), "020000000001\n");
  EXPECT_EQ(qvtest::read_file(root.dir() + "/p"), "QV AP 300\n");
  EXPECT_EQ(qvtest::read_file(root.dir() + "/b"), "1.0.2\n");
  EXPECT_EQ(published(root), (std::vector<std::string>{"/etc/mac_eth0", "/etc/wlanRegion", "/etc/wlanVer"}));
}

TEST(QvdataE2E, HelpAndOptionErrors) {
  const std::string q = qvdata();
  const struct {
    std::vector<std::string> args;
    std::string diagnostic;
  } cases[] = {
      {{"-h"}, ""},
      {{"--help"}, ""},
      {{"--help=x"}, ""},
      {{"-l", "/x", "-h"}, ""},
      {{"-x"}, q + ": invalid option -- 'x'\n"},
      {{"--bogus"}, q + ": unrecognized option '--bogus'\n"},
      {{"-w"}, q + ": option requires an argument -- 'w'\n"},
      {{"--product"}, q + ": option '--product' requires an argument\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    DeviceRoot root;
    fill(root);
    std::vector<std::string> argv{q};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = root.run(argv);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.diagnostic + usage_text());
    EXPECT_TRUE(published(root).empty());
  }
}

// Rewrites /proc/mtd and places images under the device numbers it names.
void table(const DeviceRoot& root, const std::string& text) { root.write("/proc/mtd", text); }

TEST(QvdataE2E, PartitionTable) {
  const std::string head = "dev:    size   erasesize  name\n";
  const std::string config = "mtd1: 00010000 00010000 \"Config\"\n";
  const std::string factory = "mtd2: 00010000 00010000 \"Factory\"\n";
  // A line of 135 characters and more: its last piece reads like a line that
  // names the erased Bootloader partition.
  const std::string first_piece = "mtd9: 1 1 \"x\" " + std::string(135 - 14, 'p');
  const std::string mine = "001122AABBCC\n", other = "0A0B0C0D0E0F\n";
  const struct {
    const char* what;
    std::string text;
    int status;
    std::vector<std::string> files;
    std::string lan;
  } cases[] = {
      {"standard", head + config + factory, 0, {kAllFiles, kAllFiles + 7}, mine},
      {"Config not listed", head + factory, 255, {}, ""},
      {"Factory not listed", head + config, 255, {"/etc/bootromVer", "/etc/product"}, ""},
      {"names without quotes", "mtd1: 00010000 00010000 Config\n" + factory, 255, {}, ""},
      {"names in lower case", head + config + "mtd2: 00010000 00010000 \"factory\"\n", 255,
       {"/etc/bootromVer", "/etc/product"}, ""},
      {"a longer name", head + config + "mtd2: 00010000 00010000 \"Factory2\"\n", 255,
       {"/etc/bootromVer", "/etc/product"}, ""},
      {"no closing quote", head + config + "mtd2: 00010000 00010000 \"Factory\n", 255,
       {"/etc/bootromVer", "/etc/product"}, ""},
      {"first of two wins", head + config + "mtd12: 00010000 00010000 \"Factory\"\n" + factory, 0,
       {kAllFiles, kAllFiles + 7}, other},
      {"too long a column is passed over",
       head + config + "mtd0: 0000000000000000000010000 00010000 \"Factory\"\n" + factory, 0,
       {kAllFiles, kAllFiles + 7}, mine},
      {"too long a line is passed over", head + config + first_piece + "mtd0: 1 1 \"Factory\"\n" + factory, 0,
       {kAllFiles, kAllFiles + 7}, mine},
      {"no device number", head + config + "mtdx: 00010000 00010000 \"Factory\"\n", 0,
       {"/etc/bootromVer", "/etc/product"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DeviceRoot root;
    fill(root);
    // mtd12: a copy of Factory with another LAN MAC.
    std::string copy = qvtest::read_file(root.partition("Factory"));
    copy.replace(0x28, 6, "\x0a\x0b\x0c\x0d\x0e\x0f");
    qvtest::write_file(root.path("/dev/mtd12"), copy);
    table(root, c.text);
    const RunResult r = root.run({qvdata()});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(published(root), c.files);
    if (!c.lan.empty()) EXPECT_EQ(root.read("/etc/mac_eth0"), c.lan);
  }

  DeviceRoot root;
  fill(root);
  unlink(root.path("/proc/mtd").c_str());
  RunResult r = root.run({qvdata()});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, " * ERROR: cannot open /proc/mtd No such file or directory\n");

  table(root, "mtdx: 00010000 00010000 \"Config\"\n" + factory);
  r = root.run({qvdata()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(qvtest::line_of(r.err, 0), " * ERROR: invalid MTD table format in /proc/mtd");
  EXPECT_EQ(qvtest::line_of(r.err, 1), " * ERROR: cannot open file  No such file or directory");
  EXPECT_EQ(published(root), (std::vector<std::string>{kAllFiles + 2, kAllFiles + 7}));
}

TEST(QvdataE2E, TwoDigitDeviceNumber) {
  DeviceRoot root;
  fill(root);
  ASSERT_EQ(rename(root.partition("Factory").c_str(), root.path("/dev/mtd10").c_str()), 0);
  table(root, "mtd1: 00010000 00010000 \"Config\"\nmtd10: 00010000 00010000 \"Factory\"\n");
  EXPECT_EQ(root.run({qvdata()}).status, 0);
  EXPECT_EQ(root.read("/etc/mac_eth0"), "001122AABBCC\n");
}

TEST(QvdataE2E, UnreadablePartitions) {
  {
    DeviceRoot root;
    fill(root);
    const std::string image = root.partition("Config");
    ASSERT_EQ(image, root.path("/dev/mtd1"));
    ASSERT_EQ(truncate(image.c_str(), 1000), 0);
    RunResult r = root.run({qvdata()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(qvtest::line_of(r.err, 0), " * ERROR: cannot read file " + root.named("/dev/mtd1") + ": end of file");
    EXPECT_EQ(published(root), (std::vector<std::string>{kAllFiles + 2, kAllFiles + 7}));
    unlink(image.c_str());
    r = root.run({qvdata()});
    EXPECT_EQ(qvtest::line_of(r.err, 0),
              " * ERROR: cannot open file " + root.named("/dev/mtd1") + " No such file or directory");
  }
  {
    DeviceRoot root;
    fill(root);
    const std::string image = root.partition("Factory");
    ASSERT_EQ(image, root.path("/dev/mtd2"));
    ASSERT_EQ(truncate(image.c_str(), 65535), 0);
    const RunResult r = root.run({qvdata()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(qvtest::last_line(r.err), " * ERROR: cannot read file " + root.named("/dev/mtd2") + ": end of file");
    EXPECT_EQ(published(root), (std::vector<std::string>{"/etc/bootromVer", "/etc/product"}));
  }
}

// Quoting can make a command longer than 512 characters: it is then not run,
// since cutting it could leave another file name.
TEST(QvdataE2E, QuotedCommandTooLongIsNotRun) {
  DeviceRoot root;
  fill(root, entries({"qvsig=" + std::string(31, '\'')}));
  const std::string product = root.dir() + "/" + std::string(127 - root.dir().size() - 1, '\'');
  const RunResult r = root.run({qvdata(), "-p", product});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(qvtest::line_of(r.err, 0), " * ERROR: command for " + product + " is longer than 512 characters");
  EXPECT_FALSE(qvtest::file_exists(product));
  EXPECT_EQ(root.read("/etc/mac_eth0"), "001122AABBCC\n");
}

// A device root so deep that the /etc files no longer resolve under it (500
// characters: /dev/mtdN still fits the 512 of a device path, /etc/mac_eth0 does
// not): nothing may then be written to the machine's own /etc.
TEST(QvdataE2E, DefaultPathsThatCannotBeResolved) {
  DeviceRoot base;
  std::string deep = base.dir();
  while (deep.size() < 500) deep += "/" + std::string(std::min<size_t>(200, 500 - deep.size() - 1), 'd');
  ASSERT_EQ(deep.size(), 500u);
  ASSERT_EQ(qvtest::run({qvtest::source_dir() + "/platform/make-device-root", deep}).status, 0);
  const std::string lan = base.dir() + "/lan";
  const RunResult r = qvtest::run({qvdata(), "-l", lan}, {{"QV_DEVICE_ROOT=" + deep}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, trace("echo FFFFFFFFFFFF > " + lan) +
                       " * ERROR: cannot resolve /etc/mac_eth1\n * ERROR: cannot resolve /etc/mac_ra0\n"
                       " * ERROR: cannot resolve /etc/wlanRegion\n * ERROR: cannot resolve /etc/wlanVer\n");
  EXPECT_EQ(qvtest::read_file(lan), "FFFFFFFFFFFF\n");
}

}  // namespace
