// tz_writer: turns the daylight-saving settings of block 0 into a POSIX TZ rule
// and writes it as one line to /etc/TZ, for example "GMT+8GDT,90,303".
//
// The whole line is built and checked before /etc/TZ is opened: a value that
// cannot give a line leaves the earlier file as it was. The file is rewritten in
// place (fopen "w"), not replaced by a rename, because /etc/TZ is often a
// symbolic link into a writable file system and the link must stay.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "device_path.h"
#include "nvram.h"
#include "tz_rule.h"

namespace {

constexpr const char* kTzFile = "/etc/TZ";

int current_year() {
#ifdef QV_HOST_BUILD
  // Host builds only: tests pin the year to check common and leap years.
  const char* forced = std::getenv("QV_TZ_WRITER_YEAR");
  if (forced && *forced) return decimal_value(forced);
#endif
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  if (now == static_cast<std::time_t>(-1) || !gmtime_r(&now, &parts)) return 1970;
  return parts.tm_year + 1900;
}

int fail(const char* message) {
  std::fputs(message, stderr);
  return 255;
}

int check_date(const char* which, int month, int day, bool leap) {
  if (month < 1 || month > 12) {
    std::fprintf(stderr, "Daylight saving %s month %d out of range (should be 1 ~ 12)\n", which, month);
    return -1;
  }
  if (!is_calendar_date(month, day, leap)) {
    std::fprintf(stderr, "Daylight saving %s day %d out of range (should be 1 ~ %d)\n", which, day,
                 days_in_month(month, leap));
    return -1;
  }
  return 0;
}

}  // namespace

// Reads "TZ" from block 0 and returns the base text ("" when the value has
// neither form); the text is traced on standard output. Each call overwrites
// the buffer of the previous one.
char* get_tzFmt() {
  static char base[kTzBaseSize];
  if (tz_base_text(nvram_bufget(NVRAM_USER_BLOCK, "TZ"), base, sizeof base) == 0) std::printf("TZ: %s\n", base);
  return base;
}

int main() {
  // All five values are fetched before any is converted.
  const char* enable = nvram_bufget(NVRAM_USER_BLOCK, "daylightSavingTimeEnable");
  const char* month_start = nvram_bufget(NVRAM_USER_BLOCK, "daylightMonthStart");
  const char* day_start = nvram_bufget(NVRAM_USER_BLOCK, "daylightDayStart");
  const char* month_end = nvram_bufget(NVRAM_USER_BLOCK, "daylightMonthEnd");
  const char* day_end = nvram_bufget(NVRAM_USER_BLOCK, "daylightDayEnd");

  if (decimal_value(enable) == 0) {
    std::fputs("UI not select Daylight Saving Time\n", stderr);
    return 0;
  }

  const bool leap = is_leap_year(current_year());
  const int ms = decimal_value(month_start), ds = decimal_value(day_start);
  const int me = decimal_value(month_end), de = decimal_value(day_end);
  if (check_date("start", ms, ds, leap) < 0 || check_date("end", me, de, leap) < 0) return 255;

  char line[kTzLineSize];
  const char* base = get_tzFmt();
  const int len = tz_line(line, sizeof line, base, day_number(ms, ds, leap), day_number(me, de, leap));
  if (len < 0) return fail("Get TZ fmt error\n");

  device_path_buf path;
  std::FILE* file = device_path(path, kTzFile) ? std::fopen(path.text, "w") : nullptr;
  if (!file) {
    std::fprintf(stderr, "Cannot open %s file\n", kTzFile);
    return 255;
  }
  std::printf("TZ: %s\n", line);
  bool written = std::fwrite(line, 1, static_cast<std::size_t>(len), file) == static_cast<std::size_t>(len);
  written = std::fflush(file) == 0 && written;
  written = std::fclose(file) == 0 && written;
  if (!written) {
    std::fprintf(stderr, "Cannot write %s file\n", kTzFile);
    return 255;
  }
  return 0;
}
