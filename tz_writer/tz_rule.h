// The pieces of the TZ line that tz_writer writes to /etc/TZ: calendar checks,
// the zero-based day of the year of a rule date, and the standard/daylight base
// text built from the stored "TZ" value. No store access and no I/O here, so
// that the unit tests can call every function with plain values.
#ifndef QV_TZ_WRITER_TZ_RULE_H
#define QV_TZ_WRITER_TZ_RULE_H

#include <cstddef>

// Days before the first of each month in a common year, January first.
constexpr int kMonthDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// Size of the base text buffer, NUL included.
constexpr std::size_t kTzBaseSize = 16;
// Size of the line buffer of /etc/TZ, NUL included.
constexpr std::size_t kTzLineSize = 128;

// Largest hour count a POSIX TZ offset can carry.
constexpr int kTzMaxHours = 24;

bool is_leap_year(int year);

// Days of month (1 = January) in a common or leap year; 0 for a month outside 1..12.
int days_in_month(int month, bool leap);

// True when day is a day of month (both 1-based) in such a year.
bool is_calendar_date(int month, int day, bool leap);

// Zero-based day of the year of a calendar date, 29 February counted in a leap
// year: 1 January is 0, 1 March is 59 or 60, 31 December is 364 or 365. The date
// must pass is_calendar_date.
int day_number(int month, int day, bool leap);

// The store's decimal conversion: leading blanks, an optional sign, digits; no
// digits gives 0. Values beyond the range of int are clamped instead of being
// left undefined.
int decimal_value(const char* text);

// Builds the base text from a stored "TZ" value of the form GMT_<hours> or
// GMT_-<hours> (anything may follow the hour digits, so GMT_-3:30 reads as 3).
// The sign is inverted, as the TZ format counts hours west of Greenwich as
// positive: GMT_-8 gives GMT+8GDT, GMT_8 and GMT_+8 give GMT-8GDT.
// Returns 0 with the text in out (at most size - 1 characters), or -1 with out
// set to "" when the value has neither form, carries a second sign, or its hour
// count exceeds kTzMaxHours.
int tz_base_text(const char* tz_value, char* out, std::size_t size);

// Formats the line "<base>,<start>,<end>\n" into out (cleared first). Returns the
// line's length, or -1 when base is empty or the line does not fit.
int tz_line(char* out, std::size_t size, const char* base, int start_day, int end_day);

#endif
