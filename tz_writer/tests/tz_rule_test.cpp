#include "tz_rule.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>

namespace {

struct DayCase {
  int month, day;
  bool leap;
  int expected;
};

TEST(DayNumber, KnownDates) {
  const DayCase cases[] = {
      {1, 1, false, 0},    {1, 1, true, 0},     {1, 31, false, 30},  {2, 1, false, 31},
      {2, 28, false, 58},  {2, 29, true, 59},   {3, 1, false, 59},   {3, 1, true, 60},
      {3, 25, false, 83},  {4, 1, false, 90},   {4, 1, true, 91},    {10, 28, false, 300},
      {10, 31, false, 303}, {10, 31, true, 304}, {12, 31, false, 364}, {12, 31, true, 365},
  };
  for (const auto& c : cases)
    EXPECT_EQ(day_number(c.month, c.day, c.leap), c.expected) << c.month << "/" << c.day << " leap " << c.leap;
}

// Every date of a common and of a leap year against the C library's own
// day of the year.
TEST(DayNumber, MatchesTheCLibraryForEveryDate) {
  for (int year : {2023, 2024, 2100}) {
    if (year > 2037 && sizeof(std::time_t) < 8) continue;  // beyond a 32-bit clock
    const bool leap = is_leap_year(year);
    int seen = 0;
    for (int month = 1; month <= 12; ++month) {
      for (int day = 1; day <= days_in_month(month, leap); ++day) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = 12;
        std::time_t at = timegm(&t);
        std::tm back{};
        gmtime_r(&at, &back);
        ASSERT_EQ(back.tm_mon, month - 1) << year << "-" << month << "-" << day << " is not a date";
        EXPECT_EQ(day_number(month, day, leap), back.tm_yday) << year << "-" << month << "-" << day;
        ++seen;
      }
    }
    EXPECT_EQ(seen, leap ? 366 : 365) << year;
  }
}

TEST(Calendar, LeapYearsAndMonthLengths) {
  EXPECT_TRUE(is_leap_year(2024));
  EXPECT_TRUE(is_leap_year(2000));
  EXPECT_FALSE(is_leap_year(2023));
  EXPECT_FALSE(is_leap_year(1900));
  EXPECT_FALSE(is_leap_year(2100));

  struct {
    int month, day;
    bool leap, valid;
  } const cases[] = {
      {1, 1, false, true},    {12, 31, false, true}, {2, 29, true, true},   {2, 29, false, false},
      {2, 30, true, false},   {4, 30, false, true},  {4, 31, false, false}, {1, 0, false, false},
      {1, -1, false, false},  {0, 1, false, false},  {13, 1, false, false}, {-1, 1, false, false},
      {INT_MAX, 1, false, false}, {1, INT_MAX, false, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_calendar_date(c.month, c.day, c.leap), c.valid) << c.month << "/" << c.day << " leap " << c.leap;
}

TEST(DecimalValue, ReadsLikeAtoiWithoutOverflow) {
  struct {
    const char* text;
    int value;
  } const cases[] = {
      {"1", 1},    {"  12", 12},  {"-3", -3},      {"+4", 4},          {"12abc", 12},
      {"abc", 0},  {"", 0},       {"off", 0},      {"0x10", 0},        {"99999999999", INT_MAX},
      {"-99999999999", INT_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(decimal_value(c.text), c.value) << '"' << c.text << '"';
}

TEST(TzBaseText, BothFormsAndTheirSigns) {
  struct {
    const char* tz;
    const char* base;  // nullptr: neither form
  } const cases[] = {
      {"GMT_-8", "GMT+8GDT"},   {"GMT_8", "GMT-8GDT"},    {"GMT_+8", "GMT-8GDT"},  {"GMT_0", "GMT-0GDT"},
      {"GMT_-0", "GMT+0GDT"},   {"GMT_-3:30", "GMT+3GDT"}, {"GMT_5:45", "GMT-5GDT"}, {"GMT_- 5", "GMT+5GDT"},
      {"GMT_ 5", "GMT-5GDT"},   {"GMT_-12", "GMT+12GDT"}, {"GMT_14", "GMT-14GDT"}, {"GMT_24", "GMT-24GDT"},
      {"GMT_-007", "GMT+7GDT"}, {"GMT_-+8", "GMT+8GDT"},
      {"", nullptr},            {"GMT", nullptr},         {"GMT_", nullptr},       {"GMT_x", nullptr},
      {"gmt_8", nullptr},       {"GMT-8", nullptr},       {"GMT 8", nullptr},      {"UTC_8", nullptr},
      {"GMT_--8", nullptr},     {"GMT_8-", nullptr},      {"GMT_ -8", nullptr},    {"GMT_+-8", nullptr},
      {"GMT_25", nullptr},      {"GMT_-99999999999", nullptr}, {" GMT_8", nullptr},
  };
  for (const auto& c : cases) {
    char out[kTzBaseSize];
    std::memset(out, 'x', sizeof out);
    const int r = tz_base_text(c.tz, out, sizeof out);
    if (c.base) {
      EXPECT_EQ(r, 0) << c.tz;
      EXPECT_STREQ(out, c.base) << c.tz;
    } else {
      EXPECT_EQ(r, -1) << c.tz;
      EXPECT_STREQ(out, "") << c.tz;
    }
  }
}

TEST(TzLine, FormatsOrRefuses) {
  char out[kTzLineSize];
  EXPECT_EQ(tz_line(out, sizeof out, "GMT+8GDT", 90, 303), 16);
  EXPECT_STREQ(out, "GMT+8GDT,90,303\n");
  EXPECT_EQ(tz_line(out, sizeof out, "GMT-1GDT", 0, 365), 15);
  EXPECT_STREQ(out, "GMT-1GDT,0,365\n");
  EXPECT_EQ(tz_line(out, sizeof out, "", 90, 303), -1);
  EXPECT_STREQ(out, "");
  char small[8];
  EXPECT_EQ(tz_line(small, sizeof small, "GMT+8GDT", 90, 303), -1);
  EXPECT_STREQ(small, "");
}

}  // namespace
