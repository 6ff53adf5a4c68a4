// conf_export on a simulated device: the store in, the settings file and the
// progress lines out, and the earlier file kept whenever an export fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "device_root.h"
#include "nvram.h"
#include "nvram_admin.h"
#include "ui_variables.h"

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kHeader = "#The following line must not be removed.\nDefault\n";
constexpr const char* kEarlier = "#The following line must not be removed.\nDefault\nwlan_essid=earlier\n";

void store(const qvtest::DeviceRoot& root, const Settings& settings) {
  setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
  for (const auto& [key, value] : settings) ASSERT_GE(nvram_set(0, key.c_str(), value.c_str()), 0) << key;
}

// The file an export of these settings must give: the header, then every key of
// the table with its stored value ("" for the others).
std::string expected_file(const Settings& settings) {
  std::string text = kHeader;
  for (std::size_t i = 0; i < kUiVariableCount; ++i) {
    std::string value;
    for (const auto& [key, v] : settings)
      if (key == ui_variables[i]) value = v;
    text += std::string(ui_variables[i]) + "=" + value + "\n";
  }
  return text;
}

std::string progress(const std::string& path) {
  return "create " + path + ".part\nrename " + path + ".part to " + path + "\n";
}

TEST(ConfExport, WritesEveryKeyWithItsValue) {
  const Settings settings = {
      {"administratorUsername", "admin"},  {"administratorPassword", "p@ss word "}, {"wlan_essid", "My AP = home"},
      {"TZ", "GMT_-8"},                    {"wlan_preshared_key", "a=b=c"},         {"wlan_essid4", "  blanks  "},
      {"ledSetting", "1"},                 {"not_exported", "x"},                   {"wlan_e2_wmm", "multi\nline"},
  };
  struct Case {
    const char* name;
    Settings settings;
  } const cases[] = {{"settings", settings}, {"empty store", {}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qvtest::DeviceRoot root;
    store(root, c.settings);
    const std::string path = root.path("/tmp/settings.cfg");
    const auto r = root.run({"conf_export", path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, progress(path));
    EXPECT_EQ(r.err, "");
    const std::string file = qvtest::read_file(path);
    EXPECT_EQ(file, expected_file(c.settings));
    EXPECT_FALSE(qvtest::file_exists(path + ".part"));
  }
}

TEST(ConfExport, LinesOfTheFile) {
  qvtest::DeviceRoot root;
  store(root, {{"wlan_essid", "Shop = open"}, {"TZ", "GMT_1"}, {"administratorUsername", "root"}});
  const std::string path = root.path("/tmp/settings.cfg");
  ASSERT_EQ(root.run({"conf_export", path}).status, 0);
  const std::string file = qvtest::read_file(path);
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(file.back(), '\n');
  EXPECT_EQ(file.find('\r'), std::string::npos);
  const auto lines = qvtest::split_lines(file);
  ASSERT_EQ(lines.size(), 212u);
  const std::pair<int, const char*> cases[] = {
      {1, "#The following line must not be removed."},
      {2, "Default"},
      {3, "administratorUsername=root"},
      {4, "administratorPassword="},
      {19, "wlan_essid=Shop = open"},
      {30, "wlan_essid=Shop = open"},
      {63, "wlan_essid2="},
      {174, "TZ=GMT_1"},
      {212, "ledSetting="},
  };
  for (const auto& [line, text] : cases) EXPECT_EQ(lines[line - 1], text) << "line " << line;
  // The keys line by line against the list written out once by hand, so that a
  // key misspelt or moved in the program's table shows.
  const auto golden = qvtest::split_lines(qvtest::read_file(qvtest::source_dir() + "/conf_export/tests/exported_keys.txt"));
  ASSERT_EQ(golden.size(), 210u);
  for (std::size_t i = 0; i < golden.size(); ++i)
    EXPECT_EQ(lines[i + 2].substr(0, lines[i + 2].find('=')), golden[i]) << "line " << i + 3;
}

TEST(ConfExport, ReplacesTheEarlierFileAndALeftoverTemporaryFile) {
  qvtest::DeviceRoot root;
  store(root, {{"wlan_essid", "new"}});
  const std::string path = root.path("/tmp/settings.cfg");
  qvtest::write_file(path, kEarlier);
  qvtest::write_file(path + ".part", std::string(100000, 'x'));  // a crashed run's leftover, longer than the file
  const auto r = root.run({"conf_export", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, progress(path));
  EXPECT_EQ(qvtest::read_file(path), expected_file({{"wlan_essid", "new"}}));
  EXPECT_FALSE(qvtest::file_exists(path + ".part"));
}

TEST(ConfExport, UsageOnAWrongArgumentCount) {
  qvtest::DeviceRoot root;
  const std::string path = root.path("/tmp/settings.cfg");
  qvtest::write_file(path, kEarlier);
  const std::vector<std::vector<std::string>> cases = {
      {"conf_export"}, {"conf_export", path, path}, {"conf_export", "a", "b", "c"}};
  for (const auto& argv : cases) {
    SCOPED_TRACE(argv.size());
    const auto r = root.run(argv);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Usage:conf_export conf_filename\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(qvtest::read_file(path), kEarlier);
    EXPECT_FALSE(qvtest::file_exists(path + ".part"));
  }
}

// Each failure leaves the earlier file as it was and no temporary file behind,
// says what failed on standard output and exits 255.
TEST(ConfExport, FailuresKeepTheEarlierFile) {
  struct Case {
    const char* name;
    void (*prepare)(const std::string& path);  // path: the requested file
    std::vector<std::string> (*command)(const std::string& path);
    std::string (*out)(const std::string& path);
    bool earlier_is_file;
  };
  const Case cases[] = {
      {"temporary name taken by a directory",
       [](const std::string& p) { ASSERT_EQ(mkdir((p + ".part").c_str(), 0755), 0); },
       [](const std::string& p) { return std::vector<std::string>{"conf_export", p}; },
       [](const std::string& p) { return "Cannot write " + p + ".part: Is a directory\n"; }, true},
      {"rename onto a directory",
       [](const std::string& p) {
         ASSERT_EQ(unlink(p.c_str()), 0);
         ASSERT_EQ(mkdir(p.c_str(), 0755), 0);
         qvtest::write_file(p + "/keep", "x");
       },
       [](const std::string& p) { return std::vector<std::string>{"conf_export", p}; },
       [](const std::string& p) { return "create " + p + ".part\nCannot rename " + p + ".part to " + p + ": Is a directory\n"; },
       false},
      {"file size limit",
       [](const std::string&) {},
       [](const std::string& p) { return std::vector<std::string>{"prlimit", "--fsize=1000", "conf_export", p}; },
       [](const std::string& p) { return "Cannot write " + p + ".part: File too large\n"; }, true},
      {"file size limit at the header",
       [](const std::string&) {},
       [](const std::string& p) { return std::vector<std::string>{"prlimit", "--fsize=10", "conf_export", p}; },
       [](const std::string& p) { return "Cannot write " + p + ".part: File too large\n"; }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qvtest::DeviceRoot root;
    store(root, {{"wlan_essid", "new"}});
    const std::string path = root.path("/tmp/settings.cfg");
    qvtest::write_file(path, kEarlier);
    c.prepare(path);
    const auto r = root.run(c.command(path));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, c.out(path));
    EXPECT_EQ(r.err, "");
    if (c.earlier_is_file) {
      EXPECT_EQ(qvtest::read_file(path), kEarlier);
    } else {
      EXPECT_EQ(qvtest::read_file(path + "/keep"), "x");
    }
    struct stat st {};
    if (lstat((path + ".part").c_str(), &st) == 0) EXPECT_TRUE(S_ISDIR(st.st_mode)) << "temporary file left behind";
  }
}

TEST(ConfExport, MissingDirectory) {
  qvtest::DeviceRoot root;
  const std::string path = root.path("/tmp/no/such/dir/settings.cfg");
  const auto r = root.run({"conf_export", path});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Cannot write " + path + ".part: No such file or directory\n");
  EXPECT_FALSE(qvtest::file_exists(path));
}

// Cases that need a mount of their own run in a private mount namespace, where
// the test user may mount; elsewhere they are skipped.
bool can_mount(const qvtest::DeviceRoot& root) {
  const std::string dir = root.path("/tmp/probe");
  mkdir(dir.c_str(), 0755);
  return root.run({"unshare", "-m", "mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", dir}).status == 0;
}

// After the run, the script prints the status, the requested file and whether a
// temporary file is left, so that they can be seen before the mount goes away.
constexpr const char* kReport =
    "\"$@\"; s=$?; echo \"status=$s\"; echo '--- file'; cat \"$P\"; echo '--- part'; ls -a \"$P.part\" 2>/dev/null";

TEST(ConfExport, FullFileSystem) {
  qvtest::DeviceRoot root;
  if (!can_mount(root)) GTEST_SKIP() << "no private mounts here";
  store(root, {{"wlan_essid", "new"}});
  const std::string dir = root.path("/tmp/small");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string path = dir + "/settings.cfg";
  // The earlier file is in place, then a filler takes every byte that is left.
  const std::string script = std::string("mount -t tmpfs -o size=32k tmpfs \"$D\" || exit 99; ") +
                             "printf '%s' \"$E\" > \"$P\"; " +
                             "head -c 100000 /dev/zero > \"$D/filler\" 2>/dev/null; " + kReport;
  const auto r = root.run({"unshare", "-m", "env", "D=" + dir, "P=" + path, std::string("E=") + kEarlier, "bash", "-c",
                           script, "bash", "conf_export", path});
  ASSERT_NE(r.status, 99) << r.err;
  EXPECT_EQ(r.out, "Cannot write " + path + ".part: No space left on device\nstatus=255\n--- file\n" +
                       std::string(kEarlier) + "--- part\n");
  EXPECT_EQ(r.err, "");
}

TEST(ConfExport, DirectoryThatCannotBeWritten) {
  qvtest::DeviceRoot root;
  if (!can_mount(root)) GTEST_SKIP() << "no private mounts here";
  store(root, {{"wlan_essid", "new"}});
  const std::string dir = root.path("/tmp/ro");
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  const std::string path = dir + "/settings.cfg";
  qvtest::write_file(path, kEarlier);
  // A read-only mount refuses the write even to root, who ignores mode bits.
  const std::string script = std::string("mount --bind -o ro \"$D\" \"$D\" || exit 99; ") + kReport;
  const auto r = root.run({"unshare", "-m", "env", "D=" + dir, "P=" + path, "bash", "-c", script, "bash",
                           "conf_export", path});
  ASSERT_NE(r.status, 99) << r.err;
  EXPECT_EQ(r.out, "Cannot write " + path + ".part: Read-only file system\nstatus=255\n--- file\n" +
                       std::string(kEarlier) + "--- part\n");
  EXPECT_EQ(qvtest::read_file(path), kEarlier);
}

}  // namespace
