// The report over a ledger filled with known rows: the figures and their text,
// the time range's bounds, the page in a real browser.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "device_root.h"
#include "ledger_store.h"
#include "line_report.h"
#include "pg_server.h"

namespace {

using line_ledger::LedgerStore;
using line_ledger::Report;
using line_ledger::Row;
using line_ledger::TimeRange;
using line_ledger::Value;

constexpr int64_t kT0 = 1796716800000;  // 2026-12-08T08:00:00Z
constexpr int64_t kS = 1000, kMin = 60 * kS, kHour = 60 * kMin;

struct RunSpec {
  int64_t start_ms;           // from kT0
  std::optional<int64_t> ms;  // its length; none while running
  const char* station;
  const char* interface;
  const char* result;
  const char* reason;          // null: NULL
  const char* mac = nullptr;   // the station's; null: 00:1b:21:3a:4f:10
};

struct SerialSpec {
  const char* state;
  const char* void_reason;
  const char* station;
  const char* interface;
  int64_t taken_ms;  // from kT0
  int run = 0;       // the case's run that holds it, from 1; 0: none
};

struct Case {
  const char* name;
  std::vector<RunSpec> runs;
  std::vector<double> passed_seconds;  // more passed runs on "line-a eth1", one a minute from kT0
  std::vector<SerialSpec> serials;
  const char* from;  // null: not given
  const char* to;
  const char* text;
  const char* hours;  // "08:00 2/3/0 ..." passed/failed/interrupted per hour
};

const Case kCases[] = {
    {"every result and serial state on one station",
     {{0, 40000, "line-a", "eth1", "passed", nullptr},
      {1 * kMin, 42500, "line-a", "eth1", "passed", nullptr},
      {2 * kMin, 12000, "line-a", "eth1", "failed", "no reply"},
      {3 * kMin, 61000, "line-a", "eth1", "failed", "CRC-32 mismatch"},
      {4 * kMin, 3000, "line-a", "eth1", "failed", "no reply"},
      {70 * kMin, 500, "line-a", "eth1", "interrupted", nullptr},
      {150 * kMin, std::nullopt, "line-a", "eth1", "running", nullptr}},
     {},
     {{"recorded", nullptr, "line-a", "eth1", 0},
      {"recorded", nullptr, "line-a", "eth1", 1},
      {"confirmed", nullptr, "line-a", "eth1", 2},
      {"void", "read back differently", "line-a", "eth1", 3},
      {"void", "interrupted", "line-a", "eth1", 4},
      {"sent", nullptr, "line-a", "eth1", 5},
      {"taken", nullptr, "line-a", "eth1", 6}},
     nullptr,
     nullptr,
     "Line report from the first record to the last record (runs begun and serial numbers taken in that time)\n"
     "\n"
     "Station line-a eth1\n"
     "  devices:            7: 2 passed, 3 failed, 1 interrupted, 1 still running\n"
     "  failures by reason: 2 no reply, 1 CRC-32 mismatch\n"
     "  serial numbers:     3 used, 2 void (1 interrupted, 1 read back differently), 2 open\n"
     "  time per device:    median 40.0 s, 95th percentile 61.0 s, of 5 devices\n",
     "08:00 2/3/0 09:00 0/0/1"},

    {"the range holds its start and not its end, for runs and serial numbers",
     {{-1, 5000, "line-a", "eth1", "failed", "no reply"},
      {0, 1000, "line-a", "eth1", "passed", nullptr},
      {kHour - 1, 2000, "line-a", "eth1", "failed", "rejected"},
      {kHour, 7000, "line-a", "eth1", "passed", nullptr}},
     {},
     {{"void", "interrupted", "line-a", "eth1", -1},
      {"recorded", nullptr, "line-a", "eth1", 0},
      {"recorded", nullptr, "line-a", "eth1", kHour - 1},
      {"void", "interrupted", "line-a", "eth1", kHour}},
     "2026-12-08T08:00",
     "2026-12-08T09:00:00Z",
     "Line report from 2026-12-08T08:00:00Z to 2026-12-08T09:00:00Z (runs begun and serial numbers taken in that time)\n"
     "\n"
     "Station line-a eth1\n"
     "  devices:            2: 1 passed, 1 failed\n"
     "  failures by reason: 1 rejected\n"
     "  serial numbers:     2 used, 0 void, 0 open\n"
     "  time per device:    median 1.0 s, 95th percentile 2.0 s, of 2 devices\n",
     "08:00 1/1/0"},

    {"stations apart, a station with serial numbers only, a failure without a reason",
     {{0, 30000, "line-b", "eth1", "passed", nullptr},
      {10 * kS, 20000, "line-a", "eth2", "failed", nullptr},
      {20 * kS, 10000, "line-a", "eth1", "passed", nullptr},
      {3 * kHour, 40000, "line-a", "eth1", "failed", "out of step"}},
     {},
     {{"recorded", nullptr, "line-b", "eth1", 0},
      {"void", "station stopped", "line-c", "eth1", 5},
      {"recorded", nullptr, "line-a", "eth1", 20 * kS}},
     "2026-12-08",
     "2026-12-08",
     "Line report from 2026-12-08T00:00:00Z to 2026-12-09T00:00:00Z (runs begun and serial numbers taken in that time)\n"
     "\n"
     "Whole line, 4 stations\n"
     "  devices:            4: 2 passed, 2 failed\n"
     "  failures by reason: 1 no reason given, 1 out of step\n"
     "  serial numbers:     2 used, 1 void (1 station stopped), 0 open\n"
     "  time per device:    median 20.0 s, 95th percentile 40.0 s, of 4 devices\n"
     "\n"
     "Station line-a eth1\n"
     "  devices:            2: 1 passed, 1 failed\n"
     "  failures by reason: 1 out of step\n"
     "  serial numbers:     1 used, 0 void, 0 open\n"
     "  time per device:    median 10.0 s, 95th percentile 40.0 s, of 2 devices\n"
     "\n"
     "Station line-a eth2\n"
     "  devices:            1: 0 passed, 1 failed\n"
     "  failures by reason: 1 no reason given\n"
     "  serial numbers:     0 used, 0 void, 0 open\n"
     "  time per device:    median 20.0 s, 95th percentile 20.0 s, of 1 device\n"
     "\n"
     "Station line-b eth1\n"
     "  devices:            1: 1 passed, 0 failed\n"
     "  failures by reason: none\n"
     "  serial numbers:     1 used, 0 void, 0 open\n"
     "  time per device:    median 30.0 s, 95th percentile 30.0 s, of 1 device\n"
     "\n"
     "Station line-c eth1\n"
     "  devices:            0\n"
     "  failures by reason: none\n"
     "  serial numbers:     0 used, 1 void (1 station stopped), 0 open\n"
     "  time per device:    no device ended\n",
     "08:00 2/1/0 09:00 0/0/0 10:00 0/0/0 11:00 0/1/0"},

    {"two stations of one host and interface name, told apart by their MAC",
     {{0, 30000, "line-a", "eth1", "passed", nullptr},
      {10 * kS, 20000, "line-a", "eth1", "failed", "no reply", "00:1b:21:3a:4f:11"},
      {20 * kS, 10000, "line-a", "eth1", "passed", nullptr, "00:1b:21:3a:4f:11"},
      {30 * kS, 5000, "line-b", "eth1", "passed", nullptr}},
     {},
     {{"recorded", nullptr, "line-a", "eth1", 0, 1},
      {"void", "no reply", "line-a", "eth1", 10 * kS, 2},
      {"recorded", nullptr, "line-a", "eth1", 20 * kS, 3},
      {"void", "station stopped", "line-a", "eth1", 40 * kS},
      {"recorded", nullptr, "line-b", "eth1", 30 * kS}},
     nullptr,
     nullptr,
     "Line report from the first record to the last record (runs begun and serial numbers taken in that time)\n"
     "\n"
     "Whole line, 4 stations\n"
     "  devices:            4: 3 passed, 1 failed\n"
     "  failures by reason: 1 no reply\n"
     "  serial numbers:     3 used, 2 void (1 no reply, 1 station stopped), 0 open\n"
     "  time per device:    median 10.0 s, 95th percentile 30.0 s, of 4 devices\n"
     "\n"
     "Station line-a eth1 (MAC unknown)\n"
     "  devices:            0\n"
     "  failures by reason: none\n"
     "  serial numbers:     0 used, 1 void (1 station stopped), 0 open\n"
     "  time per device:    no device ended\n"
     "\n"
     "Station line-a eth1 00:1b:21:3a:4f:10\n"
     "  devices:            1: 1 passed, 0 failed\n"
     "  failures by reason: none\n"
     "  serial numbers:     1 used, 0 void, 0 open\n"
     "  time per device:    median 30.0 s, 95th percentile 30.0 s, of 1 device\n"
     "\n"
     "Station line-a eth1 00:1b:21:3a:4f:11\n"
     "  devices:            2: 1 passed, 1 failed\n"
     "  failures by reason: 1 no reply\n"
     "  serial numbers:     1 used, 1 void (1 no reply), 0 open\n"
     "  time per device:    median 10.0 s, 95th percentile 20.0 s, of 2 devices\n"
     "\n"
     "Station line-b eth1\n"
     "  devices:            1: 1 passed, 0 failed\n"
     "  failures by reason: none\n"
     "  serial numbers:     1 used, 0 void, 0 open\n"
     "  time per device:    median 5.0 s, 95th percentile 5.0 s, of 1 device\n",
     "08:00 3/1/0"},

    {"median and 95th percentile by nearest rank",
     {},
     {20, 1, 19, 2, 18, 3, 17, 4, 16, 5, 15, 6, 14, 7, 13, 8, 12, 9, 11, 10},
     {},
     nullptr,
     nullptr,
     "Line report from the first record to the last record (runs begun and serial numbers taken in that time)\n"
     "\n"
     "Station line-a eth1\n"
     "  devices:            20: 20 passed, 0 failed\n"
     "  failures by reason: none\n"
     "  serial numbers:     0 used, 0 void, 0 open\n"
     "  time per device:    median 10.0 s, 95th percentile 19.0 s, of 20 devices\n",
     "08:00 20/0/0"},

    {"an empty ledger",
     {},
     {},
     {},
     nullptr,
     "2026-12-08T08:30",
     "Line report from the first record to 2026-12-08T08:30:00Z (runs begun and serial numbers taken in that time)\n"
     "\n"
     "Whole line, 0 stations\n"
     "  devices:            0\n"
     "  failures by reason: none\n"
     "  serial numbers:     0 used, 0 void, 0 open\n"
     "  time per device:    no device ended\n",
     ""},
};

Value num(int64_t n) { return std::to_string(n); }
Value text(const char* s) { return s ? Value(s) : std::nullopt; }

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/line_report_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    work_ = dir;
  }
  void TearDown() override { qvtest::run({"rm", "-rf", work_}); }

  // A new, empty ledger: an SQLite file, or a database on pg when given.
  std::unique_ptr<LedgerStore> open_ledger(const std::string& name, line_ledger_test::PgServer* pg = nullptr) {
    std::string error;
    const std::string where = pg ? pg->create_database(name, &error) : work_ + "/" + name + ".db";
    EXPECT_FALSE(where.empty()) << error;
    auto store = line_ledger::open_ledger_store(where, &error);
    EXPECT_TRUE(store) << error;
    return store;
  }

  void sql(LedgerStore& store, const std::string& statement, const std::vector<Value>& params,
           std::vector<Row>* rows = nullptr) {
    std::string error;
    ASSERT_TRUE(store.run(statement, params, rows, &error)) << statement << ": " << error;
  }

  // The case's rows, in one transaction.
  void fill(LedgerStore& store, const Case& c) {
    std::string error;
    ASSERT_TRUE(store.begin(&error)) << error;
    int64_t id = 1;
    auto add_run = [&](const RunSpec& r) {
      sql(store,
          "INSERT INTO runs (id, started_ms, ended_ms, station, interface, station_mac, device, result, reason)"
          " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
          {num(id), num(kT0 + r.start_ms), r.ms ? num(kT0 + r.start_ms + *r.ms) : std::nullopt, r.station,
           r.interface, r.mac ? r.mac : "00:1b:21:3a:4f:10", "02:00:00:00:01:" + std::to_string(10 + id), r.result,
           text(r.reason)});
      ++id;
    };
    for (const RunSpec& r : c.runs) add_run(r);
    int64_t minute = 0;
    for (double s : c.passed_seconds)
      add_run({minute++ * kMin, static_cast<int64_t>(s * 1000), "line-a", "eth1", "passed", nullptr});
    int n = 0;
    for (const SerialSpec& s : c.serials) {
      sql(store,
          "INSERT INTO serials (serial, source, state, void_reason, station, interface, taken_ms, changed_ms, run_id)"
          " VALUES ($1, $2, $3, $4, $5, $6, $7, $7, $8)",
          {"QV2026-" + std::to_string(4711 + n++), "QV2026-%06d", s.state, text(s.void_reason), s.station,
           s.interface, num(kT0 + s.taken_ms), s.run ? num(s.run) : std::nullopt});
    }
    bool retry = false;
    ASSERT_TRUE(store.commit(&retry, &error)) << error;
  }

  static TimeRange range_of(const Case& c) {
    TimeRange range;
    std::string error;
    if (c.from) {
      EXPECT_TRUE(line_ledger::parse_utc_time(c.from, false, &range.from_ms, &error)) << error;
      range.from_given = true;
    }
    if (c.to) {
      EXPECT_TRUE(line_ledger::parse_utc_time(c.to, true, &range.to_ms, &error)) << error;
      range.to_given = true;
    }
    return range;
  }

  std::string work_;
};

std::string hours_text(const Report& report) {
  std::string t;
  for (const auto& h : report.hours)
    t += (t.empty() ? "" : " ") + line_ledger::utc_time_text(h.hour_ms).substr(11, 5) + " " +
         std::to_string(h.passed) + "/" + std::to_string(h.failed) + "/" + std::to_string(h.interrupted);
  return t;
}

// Every case on SQLite and on PostgreSQL (one server for all).
TEST_F(ReportTest, FiguresAndTextFromKnownRows) {
  line_ledger_test::PgServer pg;
  std::string error;
  bool missing = false;
  if (!pg.start(&error, &missing)) {
    ASSERT_TRUE(missing) << error;
    std::printf("PostgreSQL is not installed: the cases run on SQLite only (%s)\n", error.c_str());
  }
  int i = 0;
  for (line_ledger_test::PgServer* server : {static_cast<line_ledger_test::PgServer*>(nullptr), &pg})
    for (const Case& c : kCases) {
      if (server && !server->running()) break;
      SCOPED_TRACE(std::string(server ? "postgresql: " : "sqlite: ") + c.name);
      auto store = open_ledger("case" + std::to_string(i++), server);
      ASSERT_TRUE(store);
      fill(*store, c);
      Report report;
      ASSERT_TRUE(line_ledger::load_report(*store, range_of(c), &report, &error)) << error;
      EXPECT_EQ(line_ledger::report_text(report), c.text);
      EXPECT_EQ(hours_text(report), c.hours);
      // The page names each station as the text does.
      const std::string page = line_ledger::report_html(report), text = c.text;
      const std::regex station_line("\nStation ([^\n]+)\n");
      for (auto it = std::sregex_iterator(text.begin(), text.end(), station_line); it != std::sregex_iterator(); ++it)
        EXPECT_NE(page.find("<tr data-station=\"" + (*it)[1].str() + "\">"), std::string::npos) << (*it)[1];
    }
}

// Headless chromium on a file, with console messages on the error output. A new
// empty profile each time; no network.
qvtest::RunResult chromium(const std::string& profile, const std::vector<std::string>& action, const std::string& page) {
  std::vector<std::string> argv = {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                   "--no-first-run", "--disable-background-networking", "--disable-component-update",
                                   "--disable-sync", "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0"};
  argv.insert(argv.end(), action.begin(), action.end());
  argv.push_back("file://" + page);
  qvtest::RunOptions opts;
  opts.timeout_ms = 90000;
  return qvtest::run(argv, opts);
}

// The whole number in the first match of pattern's group 1, or -1.
int64_t first_number(const std::string& text, const std::string& pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? std::stoll(m[1]) : -1;
}

// Every group 1 and 2 of pattern in text: {group 1: sum of group 2}.
std::map<std::string, int64_t> sums(const std::string& text, const std::string& pattern) {
  std::map<std::string, int64_t> out;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
    out[(*it)[1]] += std::stoll((*it)[2]);
  return out;
}

// The page in a real browser: its script draws every plot without an error,
// and the figures it shows are those that the ledger itself counts.
TEST_F(ReportTest, PageInChromiumShowsTheLedgersFigures) {
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/chromium (Debian's chromium package)";
  const Case& c = kCases[2];
  auto store = open_ledger("page");
  ASSERT_TRUE(store);
  fill(*store, c);
  Report report;
  std::string error;
  ASSERT_TRUE(line_ledger::load_report(*store, TimeRange{}, &report, &error)) << error;
  const std::string page = work_ + "/report.html";
  qvtest::write_file(page, line_ledger::report_html(report));

  auto dom = chromium(work_ + "/profile-dom", {"--dump-dom"}, page);
  ASSERT_EQ(dom.status, 0) << dom.err;
  EXPECT_EQ(dom.err.find(":CONSOLE"), std::string::npos) << dom.err;
  EXPECT_NE(dom.out.find("<body data-plots=\"drawn\">"), std::string::npos);
  EXPECT_NE(dom.out.find("<p id=\"plot-error\" hidden=\"\"></p>"), std::string::npos);

  // The ledger's own counts, by station and in all.
  std::vector<Row> rows;
  sql(*store,
      "SELECT station || ' ' || interface, result, COUNT(*) FROM runs GROUP BY station, interface, result"
      " UNION ALL SELECT station || ' ' || interface, state, COUNT(*) FROM serials GROUP BY station, interface, state",
      {}, &rows);
  std::map<std::string, std::map<std::string, int64_t>> expected;
  for (const Row& r : rows) {
    const int64_t n = std::stoll(*r[2]);
    for (const std::string& station : {*r[0], std::string("Whole line")}) {
      auto& e = expected[station];
      const std::string& what = *r[1];
      if (what == "passed" || what == "failed" || what == "interrupted" || what == "running") {
        e[what] += n;
        e["devices"] += n;
      }
      if (what == "recorded" || what == "confirmed") e["serials-used"] += n;
      if (what == "void") e["serials-void"] += n;
    }
  }
  ASSERT_EQ(expected.size(), 5u);
  for (const auto& [station, figures] : expected) {
    SCOPED_TRACE(station);
    std::smatch row;
    ASSERT_TRUE(std::regex_search(dom.out, row, std::regex("<tr data-station=\"" + station + "\">.*?</tr>")));
    const std::string cells = row[0];
    for (const char* key : {"devices", "passed", "failed", "interrupted", "running", "serials-used", "serials-void"}) {
      auto it = figures.find(key);
      EXPECT_EQ(first_number(cells, std::string("data-key=\"") + key + "\">(\\d+)<"), it == figures.end() ? 0 : it->second)
          << key;
    }
  }
  // The plots: devices per hour add up to the runs, the histogram to the runs
  // that ended, the failure bars to the failed runs by reason.
  EXPECT_EQ(sums(dom.out, "<g class=\"hour\" data-start=\"[^\"]*\" data-(passed)=\"(\\d+)\"")["passed"],
            expected["Whole line"]["passed"]);
  EXPECT_EQ(sums(dom.out, "data-passed=\"\\d+\" data-(failed)=\"(\\d+)\"")["failed"], expected["Whole line"]["failed"]);
  // Each hour's bar has a part for each of its counts that is not zero.
  const std::regex hour_bar("<g class=\"hour\" [^>]*data-passed=\"(\\d+)\" data-failed=\"(\\d+)\" "
                            "data-interrupted=\"(\\d+)\">(.*?)</g>");
  int bars = 0;
  for (auto it = std::sregex_iterator(dom.out.begin(), dom.out.end(), hour_bar); it != std::sregex_iterator();
       ++it, ++bars) {
    const std::string parts = (*it)[4];
    int k = 1;
    for (const char* part : {"passed", "failed", "interrupted"}) {
      EXPECT_EQ((*it)[k++] != "0", parts.find(std::string("<rect class=\"") + part + "\"") != std::string::npos)
          << part << " in " << (*it)[0];
    }
  }
  EXPECT_EQ(bars, 4);
  EXPECT_EQ(sums(dom.out, "<g class=\"(bin)\" data-count=\"(\\d+)\"")["bin"], expected["Whole line"]["passed"] +
                                                                                   expected["Whole line"]["failed"]);
  rows.clear();
  sql(*store, "SELECT COALESCE(reason, 'no reason given'), COUNT(*) FROM runs WHERE result = 'failed' GROUP BY reason",
      {}, &rows);
  std::map<std::string, int64_t> reasons;
  for (const Row& r : rows) reasons[*r[0]] = std::stoll(*r[1]);
  EXPECT_EQ(sums(dom.out, "<g class=\"reason\" data-reason=\"([^\"]*)\" data-count=\"(\\d+)\""), reasons);

  // The picture stays in the build folder.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string png = std::string(cwd) + "/line_report.png";
  auto shot = chromium(work_ + "/profile-shot", {"--screenshot=" + png, "--window-size=1000,1300",
                                                 "--hide-scrollbars"}, page);
  ASSERT_EQ(shot.status, 0) << shot.err;
  EXPECT_EQ(qvtest::read_file(png).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

TEST(ReportTime, UtcTimesAsTyped) {
  struct {
    const char* text;
    bool end_of_day;
    int64_t ms;  // from kT0; -1: refused
  } cases[] = {
      {"2026-12-08", false, -8 * kHour},
      {"2026-12-08", true, 16 * kHour},
      {"2026-12-08T08", true, 0},
      {"2026-12-08 08:30", false, 30 * kMin},
      {"2026-12-08T08:30:15Z", false, 30 * kMin + 15 * kS},
      {"2026-12-31T23:59:59", false, 16 * kHour - kS + 23 * 24 * kHour},
      {"2024-02-29", false, 1709164800000 - kT0},
      {"2026-02-29", false, -1},
      {"2000-02-29T12", false, 951825600000 - kT0},
      {"2100-02-29", false, -1},
      {"2026-13-01", false, -1},
      {"2026-12-08T24:00", false, -1},
      {"2026-12-08T08:60", false, -1},
      {"2026-12-8", false, -1},
      {"2026-12-08T08:30:15.5", false, -1},
      {"2026-12-08T", false, -1},
      {"1796716800000", false, -1},
      {"", false, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int64_t ms = 0;
    std::string error;
    const bool ok = line_ledger::parse_utc_time(c.text, c.end_of_day, &ms, &error);
    if (c.ms == -1) {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(std::string("\"") + c.text + "\""), std::string::npos) << error;
    } else {
      EXPECT_TRUE(ok) << error;
      EXPECT_EQ(ms - kT0, c.ms);
    }
  }
}

}  // namespace
