#include "tz_rule.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int month, bool leap) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return kDays[month - 1] + ((month == 2 && leap) ? 1 : 0);
}

bool is_calendar_date(int month, int day, bool leap) { return day >= 1 && day <= days_in_month(month, leap); }

int day_number(int month, int day, bool leap) {
  return kMonthDaysBefore[month - 1] + day - 1 + ((leap && month >= 3) ? 1 : 0);
}

int decimal_value(const char* text) {
  long v = std::strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

int tz_base_text(const char* tz_value, char* out, std::size_t size) {
  std::memset(out, 0, size);
  // A minus sign anywhere selects the west-of-Greenwich form; its text must
  // then follow "GMT_" at once.
  const bool west = std::strchr(tz_value, '-') != nullptr;
  const char* prefix = west ? "GMT_-" : "GMT_";
  const std::size_t prefix_len = std::strlen(prefix);
  if (std::strncmp(tz_value, prefix, prefix_len) != 0) return -1;

  // The hour count reads as a decimal number would: blanks, a sign, digits.
  const char* p = tz_value + prefix_len;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p == '-') return -1;  // GMT_--8: a second sign has no meaning
  if (*p == '+') ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return -1;
  int hours = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    hours = hours * 10 + (*p - '0');
    if (hours > kTzMaxHours) return -1;
  }
  std::snprintf(out, size, "GMT%s%dGDT", west ? "+" : "-", hours);
  return 0;
}

int tz_line(char* out, std::size_t size, const char* base, int start_day, int end_day) {
  std::memset(out, 0, size);
  if (!*base) return -1;
  int n = std::snprintf(out, size, "%s,%d,%d\n", base, start_day, end_day);
  if (n < 0 || static_cast<std::size_t>(n) >= size) {
    std::memset(out, 0, size);
    return -1;
  }
  return n;
}
