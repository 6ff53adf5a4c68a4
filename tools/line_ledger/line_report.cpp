#include "line_report.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <tuple>
#include <utility>

namespace line_ledger {

namespace {

constexpr int64_t kHourMs = 3600 * 1000;
constexpr int64_t kDayMs = 24 * kHourMs;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

// Reads exactly n digits at text[*pos].
bool digits(const std::string& text, std::size_t* pos, int n, int* value) {
  int v = 0;
  for (int i = 0; i < n; ++i, ++*pos) {
    if (*pos >= text.size() || text[*pos] < '0' || text[*pos] > '9') return false;
    v = v * 10 + (text[*pos] - '0');
  }
  *value = v;
  return true;
}

bool to_int64(const Value& v, int64_t* out) {
  if (!v || v->empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long n = std::strtoll(v->c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = n;
  return true;
}

// The 1-based nearest rank of the fraction percent/100 of n sorted values.
std::size_t nearest_rank(std::size_t n, std::size_t percent) { return (percent * n + 99) / 100; }

void finish(Figures& f) {
  std::sort(f.durations_ms.begin(), f.durations_ms.end());
  const std::size_t n = f.durations_ms.size();
  if (n == 0) return;
  f.median_ms = f.durations_ms[nearest_rank(n, 50) - 1];
  f.p95_ms = f.durations_ms[nearest_rank(n, 95) - 1];
}

struct RunRow {
  int64_t started_ms = 0;
  bool ended = false;
  int64_t ended_ms = 0;
  std::string result, reason;
};

void count_run(Figures& f, const RunRow& r) {
  ++f.devices;
  if (r.result == "passed") {
    ++f.passed;
  } else if (r.result == "failed") {
    ++f.failed;
    ++f.failures[r.reason];
  } else if (r.result == "interrupted") {
    ++f.interrupted;
  } else {
    ++f.running;
  }
  if (r.ended && (r.result == "passed" || r.result == "failed"))
    f.durations_ms.push_back(std::max<int64_t>(0, r.ended_ms - r.started_ms));
}

void count_serial(Figures& f, const std::string& state, const std::string& void_reason) {
  if (state == "confirmed" || state == "recorded") {
    ++f.serials_used;
  } else if (state == "void") {
    ++f.serials_void;
    ++f.void_reasons[void_reason];
  } else {
    ++f.serials_open;
  }
}

std::string text_of(const Value& v, const char* missing) { return v ? *v : std::string(missing); }

// Host name, interface, MAC.
using StationKey = std::tuple<std::string, std::string, std::string>;

// How many stations have this host name and interface; *first_mac is the MAC
// of the first.
std::size_t namesakes(const std::map<StationKey, Figures>& stations, const std::string& host,
                      const std::string& interface, std::string* first_mac = nullptr) {
  std::size_t n = 0;
  for (auto it = stations.lower_bound({host, interface, ""});
       it != stations.end() && std::get<0>(it->first) == host && std::get<1>(it->first) == interface; ++it, ++n)
    if (n == 0 && first_mac) *first_mac = std::get<2>(it->first);
  return n;
}

// "3 no reply, 1 CRC-32 mismatch".
std::string counts_text(const std::map<std::string, int>& counts) {
  std::string text;
  for (const auto& [name, count] : by_count(counts)) text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + name;
  return text;
}

std::string figures_text(const Figures& f) {
  std::string t = "  devices:            " + std::to_string(f.devices);
  if (f.devices > 0) {
    t += ": " + std::to_string(f.passed) + " passed, " + std::to_string(f.failed) + " failed";
    if (f.interrupted) t += ", " + std::to_string(f.interrupted) + " interrupted";
    if (f.running) t += ", " + std::to_string(f.running) + " still running";
  }
  t += "\n  failures by reason: " + (f.failures.empty() ? std::string("none") : counts_text(f.failures));
  t += "\n  serial numbers:     " + std::to_string(f.serials_used) + " used, " + std::to_string(f.serials_void) + " void";
  if (!f.void_reasons.empty()) t += " (" + counts_text(f.void_reasons) + ")";
  t += ", " + std::to_string(f.serials_open) + " open";
  t += "\n  time per device:    ";
  if (f.durations_ms.empty()) {
    t += "no device ended";
  } else {
    t += "median " + seconds_text(f.median_ms) + ", 95th percentile " + seconds_text(f.p95_ms) + ", of " +
         std::to_string(f.durations_ms.size()) + (f.durations_ms.size() == 1 ? " device" : " devices");
  }
  return t + "\n";
}

}  // namespace

std::string seconds_text(int64_t ms) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000.0);
  return buf;
}

std::vector<std::pair<std::string, int>> by_count(const std::map<std::string, int>& counts) {
  std::vector<std::pair<std::string, int>> sorted(counts.begin(), counts.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  return sorted;
}

bool parse_utc_time(const std::string& text, bool end_of_day, int64_t* ms, std::string* error) {
  std::size_t pos = 0;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  bool ok = digits(text, &pos, 4, &y) && pos < text.size() && text[pos++] == '-' && digits(text, &pos, 2, &mo) &&
            pos < text.size() && text[pos++] == '-' && digits(text, &pos, 2, &d);
  bool date_only = true;
  if (ok && pos < text.size() && (text[pos] == 'T' || text[pos] == ' ')) {
    ++pos;
    date_only = false;
    ok = digits(text, &pos, 2, &h);
    if (ok && pos < text.size() && text[pos] == ':') {
      ++pos;
      ok = digits(text, &pos, 2, &mi);
      if (ok && pos < text.size() && text[pos] == ':') {
        ++pos;
        ok = digits(text, &pos, 2, &s);
      }
    }
  }
  if (ok && pos < text.size() && text[pos] == 'Z') ++pos;
  ok = ok && pos == text.size() && mo >= 1 && mo <= 12 && d >= 1 && d <= days_in_month(y, mo) && h <= 23 &&
       mi <= 59 && s <= 59;
  if (!ok) {
    *error = "not a UTC time as 2026-12-08, 2026-12-08T08:30 or 2026-12-08T08:30:15: \"" + text + "\"";
    return false;
  }
  *ms = days_from_civil(y, mo, d) * kDayMs + ((h * 60 + mi) * 60 + s) * int64_t{1000};
  if (date_only && end_of_day) *ms += kDayMs;
  return true;
}

std::string utc_time_text(int64_t ms) {
  const std::time_t t = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

bool load_report(LedgerStore& store, const TimeRange& range, Report* report, std::string* error) {
  *report = Report{};
  report->range = range;
  const std::vector<Value> params = {std::to_string(range.from_ms), std::to_string(range.to_ms)};
  std::vector<Row> runs, serials;
  // A serial number's station MAC is that of its run, which may have begun
  // before the range.
  if (!store.run("SELECT started_ms, ended_ms, station, interface, result, reason, station_mac FROM runs"
                 " WHERE started_ms >= CAST($1 AS BIGINT) AND started_ms < CAST($2 AS BIGINT)",
                 params, &runs, error) ||
      !store.run("SELECT s.state, s.void_reason, s.station, s.interface, r.station_mac FROM serials s"
                 " LEFT JOIN runs r ON r.id = s.run_id"
                 " WHERE s.taken_ms >= CAST($1 AS BIGINT) AND s.taken_ms < CAST($2 AS BIGINT)",
                 params, &serials, error))
    return false;

  std::map<StationKey, Figures> by_station;
  std::map<int64_t, HourCount> hours;
  for (const Row& row : runs) {
    RunRow r;
    if (row.size() != 7 || !to_int64(row[0], &r.started_ms) || (row[1] && !to_int64(row[1], &r.ended_ms))) {
      *error = "the ledger holds a run whose times are not numbers";
      return false;
    }
    r.ended = row[1].has_value();
    r.result = text_of(row[4], "");
    r.reason = text_of(row[5], "no reason given");
    count_run(report->line, r);
    count_run(by_station[{text_of(row[2], ""), text_of(row[3], ""), text_of(row[6], "")}], r);
    if (r.result == "running") continue;
    const int64_t hour = r.started_ms / kHourMs * kHourMs;
    HourCount& hc = hours[hour];
    hc.hour_ms = hour;
    hc.passed += r.result == "passed";
    hc.failed += r.result == "failed";
    hc.interrupted += r.result == "interrupted";
  }
  // Those of a run first: one of no run counts with the one station of its
  // host name and interface, when there is one.
  for (const bool of_run : {true, false}) {
    for (const Row& row : serials) {
      if (row.size() != 5) {
        *error = "the ledger's serial numbers could not be read";
        return false;
      }
      if (row[4].has_value() != of_run) continue;
      const std::string host = text_of(row[2], ""), interface = text_of(row[3], "");
      std::string mac = text_of(row[4], "");
      if (!of_run && namesakes(by_station, host, interface, &mac) != 1) mac.clear();
      const std::string state = text_of(row[0], ""), reason = text_of(row[1], "no reason given");
      count_serial(report->line, state, reason);
      count_serial(by_station[{host, interface, mac}], state, reason);
    }
  }

  finish(report->line);
  for (auto& [key, figures] : by_station) {
    const auto& [host, interface, mac] = key;
    std::string name = host + " " + interface;
    if (namesakes(by_station, host, interface) > 1) name += " " + (mac.empty() ? std::string("(MAC unknown)") : mac);
    finish(figures);
    report->stations.push_back({host, interface, mac, name, std::move(figures)});
  }
  if (!hours.empty()) {
    for (int64_t h = hours.begin()->first; h <= hours.rbegin()->first; h += kHourMs) {
      auto it = hours.find(h);
      HourCount hc;
      hc.hour_ms = h;
      report->hours.push_back(it == hours.end() ? hc : it->second);
    }
  }
  return true;
}

std::string report_text(const Report& report) {
  const TimeRange& r = report.range;
  std::string t = "Line report from " + (r.from_given ? utc_time_text(r.from_ms) : std::string("the first record")) +
                  " to " + (r.to_given ? utc_time_text(r.to_ms) : std::string("the last record")) +
                  " (runs begun and serial numbers taken in that time)\n\n";
  if (report.stations.size() == 1) {
    const StationFigures& s = report.stations[0];
    return t + "Station " + s.name + "\n" + figures_text(report.line);
  }
  t += "Whole line, " + std::to_string(report.stations.size()) + " stations\n" + figures_text(report.line);
  for (const StationFigures& s : report.stations)
    t += "\nStation " + s.name + "\n" + figures_text(s.figures);
  return t;
}

}  // namespace line_ledger
