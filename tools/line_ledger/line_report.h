// The line's report: what the ledger holds for a time range, for the whole line
// and per station, as text for the terminal and as a page for a browser.
#ifndef QV_TOOLS_LINE_LEDGER_LINE_REPORT_H
#define QV_TOOLS_LINE_LEDGER_LINE_REPORT_H

#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ledger_store.h"

namespace line_ledger {

// Runs that began, and serial numbers taken, in [from_ms, to_ms).
struct TimeRange {
  int64_t from_ms = 0;
  int64_t to_ms = std::numeric_limits<int64_t>::max();
  bool from_given = false;
  bool to_given = false;
};

// Parses a UTC time as typed on the command line: "2026-12-08",
// "2026-12-08T08", "2026-12-08T08:30", "2026-12-08T08:30:15" (a blank for the
// "T" and a trailing "Z" are accepted). With end_of_day, a date alone stands for
// the end of that day, so that "--from D --to D" covers the day D. false with a
// message on anything else.
bool parse_utc_time(const std::string& text, bool end_of_day, int64_t* ms, std::string* error);

// "2026-12-08T08:30:15Z"; milliseconds are dropped.
std::string utc_time_text(int64_t ms);

// The figures of one station, or of the whole line.
struct Figures {
  // Device runs by result.
  int devices = 0, passed = 0, failed = 0, interrupted = 0, running = 0;
  std::map<std::string, int> failures;  // failed runs by reason
  // Serial numbers taken: on a device (confirmed or on record), void, and
  // neither yet (taken or sent, the device's run not ended).
  int serials_used = 0, serials_void = 0, serials_open = 0;
  std::map<std::string, int> void_reasons;
  // Time per device from a run's start to its end, of the runs that passed or
  // failed, in ascending order; median and 95th percentile by nearest rank
  // (at least half, or 95 %, of those devices took at most that long).
  std::vector<int64_t> durations_ms;
  int64_t median_ms = 0, p95_ms = 0;
};

struct HourCount {
  int64_t hour_ms = 0;  // the hour's start
  int passed = 0, failed = 0, interrupted = 0;
};

// Stations are told apart by host name, interface and the interface's MAC
// address: station PCs installed from one image share the first two. A serial
// number of no run counts with the one station of its host name and
// interface; when there are none or several, with one whose MAC is not known.
struct StationFigures {
  std::string station;      // host name
  std::string interface;    // the station's interface there
  std::string station_mac;  // the interface's MAC address; empty: not known
  // As the report shows it: "line-a eth1", and the MAC too (or "(MAC
  // unknown)") when another station has the same host name and interface.
  std::string name;
  Figures figures;
};

struct Report {
  TimeRange range;
  Figures line;                          // every station together
  std::vector<StationFigures> stations;  // by host name, then interface, then MAC
  // Runs by the hour in which they began, passed, failed and interrupted, every
  // hour from the first to the last, those without a run too.
  std::vector<HourCount> hours;
};

// Reads the runs and serial numbers of the range from the ledger. false with a
// message when the ledger cannot be read or holds a value that is not a number
// where one belongs.
bool load_report(LedgerStore& store, const TimeRange& range, Report* report, std::string* error);

// "41.2 s", as both the text and the page show a time.
std::string seconds_text(int64_t ms);
// Counts by name, the most frequent first (names in order among equals).
std::vector<std::pair<std::string, int>> by_count(const std::map<std::string, int>& counts);

// The text for the terminal: a header with the range, then a block for the line
// and one for each station.
std::string report_text(const Report& report);

// A page that stands alone (no external resources): the same figures in tables
// and three plots (devices per hour, time per device, failures by reason),
// drawn by the page's own script from the data it carries.
std::string report_html(const Report& report);

}  // namespace line_ledger

#endif
