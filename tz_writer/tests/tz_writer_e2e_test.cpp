// tz_writer on a simulated device: store settings in, /etc/TZ and the traces out.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "device_root.h"
#include "nvram.h"

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kEarlier = "GMT+5GDT,1,2\n";  // what /etc/TZ holds before each run
constexpr const char* kUntouched = "\x01untouched";

void store(const qvtest::DeviceRoot& root, const Settings& settings) {
  setenv("QV_DEVICE_ROOT", root.dir().c_str(), 1);
  for (const auto& [key, value] : settings) ASSERT_GE(nvram_set(0, key.c_str(), value.c_str()), 0) << key;
}

Settings dst(const std::string& tz, int ms, int ds, int me, int de, const std::string& enable = "1") {
  return {{"daylightSavingTimeEnable", enable}, {"daylightMonthStart", std::to_string(ms)},
          {"daylightDayStart", std::to_string(ds)}, {"daylightMonthEnd", std::to_string(me)},
          {"daylightDayEnd", std::to_string(de)}, {"TZ", tz}};
}

qvtest::RunResult run_writer(const qvtest::DeviceRoot& root, int year) {
  qvtest::RunOptions opts;
  opts.env = {"QV_TZ_WRITER_YEAR=" + std::to_string(year)};
  return root.run({"tz_writer"}, opts);
}

struct Case {
  const char* name;
  Settings settings;
  int year;
  std::string out, err;
  int status;
  std::string file;  // kUntouched: the earlier file stays
};

TEST(TzWriter, RunsOnTheSimulatedDevice) {
  const std::string ok_out = "TZ: GMT+8GDT\nTZ: GMT+8GDT,90,303\n\n";
  const Case cases[] = {
      {"common year", dst("GMT_-8", 4, 1, 10, 31), 2025, ok_out, "", 0, "GMT+8GDT,90,303\n"},
      {"leap year", dst("GMT_-8", 4, 1, 10, 31), 2024, "TZ: GMT+8GDT\nTZ: GMT+8GDT,91,304\n\n", "", 0,
       "GMT+8GDT,91,304\n"},
      {"east of Greenwich", dst("GMT_1", 3, 25, 10, 28), 2023, "TZ: GMT-1GDT\nTZ: GMT-1GDT,83,300\n\n", "", 0,
       "GMT-1GDT,83,300\n"},
      {"explicit plus", dst("GMT_+8", 1, 1, 12, 31), 2024, "TZ: GMT-8GDT\nTZ: GMT-8GDT,0,365\n\n", "", 0,
       "GMT-8GDT,0,365\n"},
      {"zero offset", dst("GMT_0", 1, 1, 12, 31), 2023, "TZ: GMT-0GDT\nTZ: GMT-0GDT,0,364\n\n", "", 0,
       "GMT-0GDT,0,364\n"},
      {"29 February of a leap year", dst("GMT_-3:30", 2, 29, 3, 1), 2028,
       "TZ: GMT+3GDT\nTZ: GMT+3GDT,59,60\n\n", "", 0, "GMT+3GDT,59,60\n"},
      {"enable in words", dst("GMT_-8", 4, 1, 10, 31, " 7x"), 2025, ok_out, "", 0, "GMT+8GDT,90,303\n"},
      {"off", dst("GMT_-8", 4, 1, 10, 31, "0"), 2025, "", "UI not select Daylight Saving Time\n", 0, kUntouched},
      {"off when empty", dst("GMT_-8", 4, 1, 10, 31, ""), 2025, "", "UI not select Daylight Saving Time\n", 0,
       kUntouched},
      {"off as a word", dst("GMT_-8", 4, 1, 10, 31, "off"), 2025, "", "UI not select Daylight Saving Time\n", 0,
       kUntouched},
      {"off when absent", {{"TZ", "GMT_-8"}}, 2025, "", "UI not select Daylight Saving Time\n", 0, kUntouched},
      {"TZ of neither form", dst("UTC+8", 4, 1, 10, 31), 2025, "", "Get TZ fmt error\n", 255, kUntouched},
      {"TZ absent", {{"daylightSavingTimeEnable", "1"}, {"daylightMonthStart", "4"}, {"daylightDayStart", "1"},
                     {"daylightMonthEnd", "10"}, {"daylightDayEnd", "31"}},
       2025, "", "Get TZ fmt error\n", 255, kUntouched},
      {"TZ with two signs", dst("GMT_--8", 4, 1, 10, 31), 2025, "", "Get TZ fmt error\n", 255, kUntouched},
      {"start month 13", dst("GMT_-8", 13, 1, 10, 31), 2025, "",
       "Daylight saving start month 13 out of range (should be 1 ~ 12)\n", 255, kUntouched},
      {"start month 0", dst("GMT_-8", 0, 1, 10, 31), 2025, "",
       "Daylight saving start month 0 out of range (should be 1 ~ 12)\n", 255, kUntouched},
      {"end day 31 of April", dst("GMT_-8", 3, 1, 4, 31), 2025, "",
       "Daylight saving end day 31 out of range (should be 1 ~ 30)\n", 255, kUntouched},
      {"29 February of a common year", dst("GMT_-8", 2, 29, 10, 31), 2025, "",
       "Daylight saving start day 29 out of range (should be 1 ~ 28)\n", 255, kUntouched},
      {"end day 0", dst("GMT_-8", 4, 1, 10, 0), 2025, "",
       "Daylight saving end day 0 out of range (should be 1 ~ 31)\n", 255, kUntouched},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qvtest::DeviceRoot root;
    store(root, c.settings);
    root.write("/etc/TZ", kEarlier);
    const auto r = run_writer(root, c.year);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(root.read("/etc/TZ"), c.file == kUntouched ? kEarlier : c.file);
  }
}

TEST(TzWriter, CreatesAMissingFileAndRewritesRatherThanAppends) {
  qvtest::DeviceRoot root;
  store(root, dst("GMT_-8", 4, 1, 10, 31));
  ASSERT_FALSE(qvtest::file_exists(root.path("/etc/TZ")));
  for (int i = 0; i < 2; ++i) {
    const auto r = run_writer(root, 2025);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(root.read("/etc/TZ"), "GMT+8GDT,90,303\n") << "run " << i + 1;
  }
  // A longer earlier line is cut away entirely.
  root.write("/etc/TZ", "GMT+10GDT,100,300 and more text\n");
  EXPECT_EQ(run_writer(root, 2025).status, 0);
  EXPECT_EQ(root.read("/etc/TZ"), "GMT+8GDT,90,303\n");
}

TEST(TzWriter, KeepsASymbolicLinkAtTheFile) {
  qvtest::DeviceRoot root;
  store(root, dst("GMT_-8", 4, 1, 10, 31));
  ASSERT_EQ(mkdir(root.path("/var/tz").c_str(), 0755), 0);
  root.write("/var/tz/TZ", kEarlier);
  ASSERT_EQ(symlink("../var/tz/TZ", root.path("/etc/TZ").c_str()), 0);
  const auto r = run_writer(root, 2025);
  EXPECT_EQ(r.status, 0);
  struct stat st {};
  ASSERT_EQ(lstat(root.path("/etc/TZ").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "/etc/TZ is no longer a symbolic link";
  EXPECT_EQ(root.read("/var/tz/TZ"), "GMT+8GDT,90,303\n");
}

TEST(TzWriter, ReportsAFileThatCannotBeOpened) {
  qvtest::DeviceRoot root;
  store(root, dst("GMT_-8", 4, 1, 10, 31));
  ASSERT_EQ(mkdir(root.path("/etc/TZ").c_str(), 0755), 0);  // fopen "w" fails on a directory, even for root
  const auto r = run_writer(root, 2025);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Cannot open /etc/TZ file\n");
  EXPECT_EQ(r.out, "TZ: GMT+8GDT\n");
}

TEST(TzWriter, TakesTheYearFromTheClock) {
  qvtest::DeviceRoot root;
  store(root, dst("GMT_-8", 4, 1, 10, 31));
  const auto r = root.run({"tz_writer", "ignored", "arguments"});
  ASSERT_EQ(r.status, 0);
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  const int year = parts.tm_year + 1900;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  EXPECT_EQ(root.read("/etc/TZ"), leap ? "GMT+8GDT,91,304\n" : "GMT+8GDT,90,303\n");
}

// The C library reads the written line as the rule it stands for: standard time
// before 02:00 local time of the start date, daylight time (one hour ahead)
// from then on, and standard time again from 02:00 daylight time of the end date.
struct Rule {
  const char* tz;
  int std_hours_east;  // the standard offset, hours east of Greenwich
  int year, ms, ds, me, de;
};

std::time_t utc(int year, int month, int day, int hour, int minute) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  return timegm(&t);
}

TEST(TzWriter, TheCLibraryAcceptsTheWrittenRule) {
  const Rule rules[] = {
      {"GMT_-8", -8, 2025, 4, 1, 10, 31},  {"GMT_-8", -8, 2024, 4, 1, 10, 31}, {"GMT_1", 1, 2023, 3, 25, 10, 28},
      {"GMT_-5", -5, 2024, 3, 10, 11, 3},  {"GMT_9", 9, 2028, 2, 29, 9, 30},   {"GMT_0", 0, 2026, 6, 15, 12, 30},
  };
  const char* saved = std::getenv("TZ");
  const std::string saved_tz = saved ? saved : "";
  for (const auto& rule : rules) {
    SCOPED_TRACE(std::string(rule.tz) + " " + std::to_string(rule.year));
    qvtest::DeviceRoot root;
    store(root, dst(rule.tz, rule.ms, rule.ds, rule.me, rule.de));
    ASSERT_EQ(run_writer(root, rule.year).status, 0);
    std::string line = root.read("/etc/TZ");
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    setenv("TZ", line.c_str(), 1);
    tzset();

    const long std_off = rule.std_hours_east * 3600L;
    // 02:00 local standard time of the start date, and 02:00 local daylight
    // time of the end date, in UTC.
    const std::time_t start = utc(rule.year, rule.ms, rule.ds, 2, 0) - std_off;
    const std::time_t end = utc(rule.year, rule.me, rule.de, 2, 0) - (std_off + 3600);
    struct {
      std::time_t at;
      bool dst;
      const char* what;
    } const probes[] = {
        {start - 86400, false, "a day before the start"}, {start - 60, false, "a minute before the switch"},
        {start + 60, true, "a minute after the switch"},  {start + 86400, true, "a day after the start"},
        {end - 60, true, "a minute before the end"},      {end + 60, false, "a minute after the end"},
        {end + 86400, false, "a day after the end"},
    };
    for (const auto& p : probes) {
      std::tm local{};
      localtime_r(&p.at, &local);
      EXPECT_EQ(local.tm_isdst > 0, p.dst) << p.what << " (" << line << ")";
      EXPECT_EQ(local.tm_gmtoff, p.dst ? std_off + 3600 : std_off) << p.what << " (" << line << ")";
    }
  }
  if (saved) setenv("TZ", saved_tz.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

}  // namespace
