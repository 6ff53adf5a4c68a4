// Line mode's parts without a device: serial numbers from a pattern or a list
// in the line's ledger, the JSON record, the summary and the live view.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "line.h"
#include "device_run.h"
#include "line_db.h"
#include "line_record.h"
#include "live_view.h"
#include "serial_numbers.h"
#include "ledger_store.h"
#include "station.h"

namespace mfgstation {
namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_text(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/mfgstation_line_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
  // A message with the test's own folder, which changes from run to run, as "DIR".
  std::string dir_as_DIR(std::string text) const {
    for (std::size_t p = text.find(dir); p != std::string::npos; p = text.find(dir, p))
      text.replace(p, dir.size(), "DIR");
    return text;
  }
  std::string dir;
};

// ---- serial numbers --------------------------------------------------------

TEST(SnPattern, OneIntegerConversionOnly) {
  const std::string not_integer =
      "a conversion must be an integer one (%d, %i, %u, %x, %X or %o, with flags, width and precision, no length "
      "modifier)";
  const struct {
    const char* pattern;
    uint64_t n;
    const char* expected;  // nullptr: refused
    std::string error = "";  // when refused, the whole message
  } cases[] = {
      {"QV2026-%06d", 4711, "QV2026-004711"},
      {"QV2026-%06d", 1234567, "QV2026-1234567"},
      {"SN%%%05u", 7, "SN%00007"},
      {"%x-LOT", 255, "ff-LOT"},
      {"A%-4dZ", 12, "A12  Z"},
      {"%.3i", 5, "005"},
      {"QV", 1, nullptr, "serial number pattern \"QV\" must hold exactly one integer conversion such as %06d"},
      {"%d-%d", 1, nullptr, "serial number pattern \"%d-%d\" must hold exactly one integer conversion such as %06d"},
      {"%s", 1, nullptr, "serial number pattern \"%s\": " + not_integer},
      {"%ld", 1, nullptr, "serial number pattern \"%ld\": " + not_integer},
      {"%n", 1, nullptr, "serial number pattern \"%n\": " + not_integer},
      {"%5.2f", 1, nullptr, "serial number pattern \"%5.2f\": " + not_integer},
      {"QV-%", 1, nullptr, "serial number pattern \"QV-%\": " + not_integer},
      {"QV %d", 1, nullptr, "serial number pattern \"QV %d\": only printable characters without blanks"},
      {"%99999d", 1, nullptr, "serial number pattern \"%99999d\": " + not_integer},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    SnPattern p;
    std::string error;
    const bool parsed = p.parse(c.pattern, &error);
    if (!c.expected) {
      EXPECT_FALSE(parsed);
      EXPECT_EQ(error, c.error);
      continue;
    }
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(p.format(c.n), c.expected);
    // And back: the number a serial number of the pattern stands for.
    uint64_t n = 0;
    EXPECT_TRUE(p.number_of(c.expected, &n));
    EXPECT_EQ(n, c.n);
    EXPECT_FALSE(p.number_of(std::string("Y") + c.expected, &n));
  }
}

class SerialBook : public TempDir {};

// The ledger is the line's one book: what the line gave before it (a state
// file carried in, the record file) is never given again, and a list tied to
// its content gives no number twice however it is exported again.
TEST_F(SerialBook, NumbersTheLineUsedBeforeAreNeverGivenAgain) {
  const struct {
    const char* name;
    const char* pattern;             // or, when null, the list
    std::vector<std::string> list;
    std::vector<std::string> earlier_list;  // the list as the earlier takes saw it
    int earlier_takes;
    const char* state;               // the state file carried in ("": missing), null: none
    std::vector<std::string> on_record;  // numbers of the record file
    const char* expected;            // the next number taken, or null
    const char* error;               // when expected is null, the whole message (DIR: the test's folder)
    const char* now_void;            // a number the book now holds as void
  } cases[] = {
      {"a new book", "QV-%04d", {}, {}, 0, nullptr, {}, "QV-0001", "", nullptr},
      {"moved from the state file with its record", "QV-%04d", {}, {}, 0, nullptr, {"QV-0001", "QV-0002"},
       "QV-0003", "", "QV-0002"},
      {"state file carried in", "QV-%04d", {}, {}, 0, "5\nunconfirmed QV-0004 02:00:00:00:01:01 t1\n", {},
       "QV-0005", "", "QV-0004"},
      {"a carried counter never lowers the book's", "QV-%04d", {}, {}, 3, "2\n", {}, "QV-0004", "", nullptr},
      {"list exported again with a line above the counter", nullptr, {"A0", "A1", "A2", "A3"},
       {"A1", "A2", "A3"}, 1, nullptr, {}, "A2", "", nullptr},
      {"list state carried in", nullptr, {"A1", "A2", "A3"}, {}, 0, "2\n", {}, "A2", "", nullptr},
      {"list used up", nullptr, {"A1", "A2"}, {}, 0, "3\n", {}, nullptr,
       "not enough serial numbers: the list DIR/list.txt holds 2 and number 3 is needed", nullptr},
      {"too long for the device", "QV2026-LINE-A-STATION-7-%010d", {}, {}, 0, nullptr, {}, nullptr,
       "serial number \"QV2026-LINE-A-STATION-7-0000000001\" for counter 1 is longer than 32 characters", nullptr},
      {"garbage counter", "QV-%04d", {}, {}, 0, "47x1\n", {}, nullptr,
       "DIR/sn.state line 1: the counter must come first, a whole number from 1 on", nullptr},
      {"text after the counter", "QV-%04d", {}, {}, 0, "4711 QV-004711\n", {}, nullptr,
       "DIR/sn.state line 1: text after the counter: \"4711 QV-004711\"", nullptr},
      {"unknown line", "QV-%04d", {}, {}, 0, "5\nconfirmed QV-0001\n", {}, nullptr,
       "DIR/sn.state line 2: not understood: \"confirmed QV-0001\"", nullptr},
      {"a state file that is not there", "QV-%04d", {}, {}, 0, "", {}, nullptr,
       "cannot open the serial number state DIR/sn.state: No such file or directory", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string db = dir + "/line.db", list = dir + "/list.txt", state = dir + "/sn.state",
                      record = dir + "/line.jsonl";
    for (const std::string& f : {db, db + "-wal", db + "-shm", state, record}) unlink(f.c_str());
    Options opts;
    opts.db = db;
    opts.sn_pattern = c.pattern ? c.pattern : "";
    opts.sn_list = c.pattern ? "" : list;
    auto write_list = [&](const std::vector<std::string>& l) {
      std::string text;
      for (const std::string& s : l) text += s + "\n";
      write_text(list, text);
    };
    std::vector<std::string> notes;
    std::string serial, error;
    line_ledger::Holder holder{"station", "eth1", "02:00:00:00:01:01", 0};
    if (c.earlier_takes) {
      if (!c.pattern) write_list(c.earlier_list);
      auto earlier = LineLedger::open(opts, &notes, &error);
      ASSERT_TRUE(earlier) << error;
      for (int i = 0; i < c.earlier_takes; ++i)
        ASSERT_TRUE(earlier->ledger().take(earlier->source(), holder, &serial, &error)) << error;
    }
    if (!c.pattern) write_list(c.list);
    if (c.state && *c.state) write_text(state, c.state);
    if (c.state) opts.sn_state = state;
    if (!c.on_record.empty()) {
      std::string lines;
      for (const std::string& s : c.on_record) lines += "{\"serial\":{\"written\":\"" + s + "\"}}\n";
      write_text(record, lines);
      opts.record = record;
    }
    auto book = LineLedger::open(opts, &notes, &error);
    const bool took = book && book->ledger().take(book->source(), holder, &serial, &error);
    if (!c.expected) {
      EXPECT_FALSE(took);
      EXPECT_EQ(dir_as_DIR(error), c.error);
      continue;
    }
    ASSERT_TRUE(took) << error;
    EXPECT_EQ(serial, c.expected);
    if (c.now_void) {
      line_ledger::SerialEntry entry;
      bool found = false;
      ASSERT_TRUE(book->ledger().find(c.now_void, &entry, &found, &error)) << error;
      EXPECT_TRUE(found);
      EXPECT_EQ(entry.state, "void");
    }
  }
}

// The rule for a number found on a device by write-sn @next, against what the
// ledger holds of it: kept when the line gave it and no other device has it
// confirmed, refused or replaced (--replace-sn) otherwise. A watching station
// meeting the device with that number (arrival) is done with it when the run
// that holds the number passed and flashed this image, serves it otherwise,
// and refuses it as write-sn @next would.
TEST_F(SerialBook, ANumberFoundOnADeviceIsKeptRefusedOrReplaced) {
  const std::string self = "02:00:00:00:01:01", other = "02:00:00:00:01:99";
  const char* keeps = "the device holds QV-0001, a number this line gave: it keeps it, nothing is written";
  const char* refused =
      "the device holds QV-0001, a number this line did not give: the device is refused (--replace-sn gives it a new "
      "number)";
  const char* done = "the device holds QV-0001, on record as passed with this image (run 7): not served again";
  enum Arrival { Serve, Done, Refuse };
  const struct {
    const char* name;
    const char* source;  // the ledger's row of QV-0001: its source, state and device; null: none
    const char* state;
    const char* device;
    bool replace_sn;
    StepLog::Held held;
    const char* message;
    const char* state_after;  // of QV-0001 in the ledger, null: none
    Arrival arrival;
    // The run that holds the number (run 7): its result, its flash step's
    // status and image (size, CRC-32); null: no run.
    const char* run = nullptr;
    const char* flash = nullptr;
    int64_t size = 0;
    const char* crc = nullptr;
  } cases[] = {
      {"unknown", nullptr, nullptr, nullptr, false, StepLog::Held::Refuse, refused, nullptr, Refuse},
      {"unknown, --replace-sn", nullptr, nullptr, nullptr, true, StepLog::Held::Replace,
       "the device holds QV-0001, a number this line did not give: replaced by the next number (--replace-sn)", "void",
       Serve},
      {"recorded on this device", "QV-%04d", "recorded", self.c_str(), false, StepLog::Held::Keep, keeps, "confirmed",
       Serve},
      {"recorded on another device", "QV-%04d", "recorded", other.c_str(), false, StepLog::Held::Refuse,
       "the device holds QV-0001, a number this line did not give (the ledger has it on 02:00:00:00:01:99): the device "
       "is refused (--replace-sn gives it a new number)",
       "recorded", Refuse},
      {"confirmed on another device, --replace-sn", "QV-%04d", "confirmed", other.c_str(), true,
       StepLog::Held::Replace,
       "the device holds QV-0001, a number this line did not give (the ledger has it on 02:00:00:00:01:99): replaced "
       "by the next number (--replace-sn)",
       "confirmed", Serve},
      {"carried in as void", "QV-%04d", "void", nullptr, false, StepLog::Held::Keep, keeps, "confirmed", Serve},
      {"sent to another device, never confirmed", "QV-%04d", "void", other.c_str(), false, StepLog::Held::Keep, keeps,
       "confirmed", Serve},
      {"replaced on an earlier run", "device", "void", other.c_str(), false, StepLog::Held::Refuse, refused, "void",
       Refuse},
      {"passed with this image", "QV-%04d", "recorded", self.c_str(), false, StepLog::Held::Keep, keeps, "confirmed",
       Done, "passed", "ok", 1000, "00001234"},
      {"passed, flashed unverified", "QV-%04d", "recorded", self.c_str(), false, StepLog::Held::Keep, keeps,
       "confirmed", Done, "passed", "unverified", 1000, "00001234"},
      {"passed with another image of the size", "QV-%04d", "recorded", self.c_str(), false, StepLog::Held::Keep,
       keeps, "confirmed", Serve, "passed", "ok", 1000, "00004321"},
      {"passed with another image of the CRC-32", "QV-%04d", "recorded", self.c_str(), false, StepLog::Held::Keep,
       keeps, "confirmed", Serve, "passed", "ok", 999, "00001234"},
      {"its flash failed", "QV-%04d", "confirmed", self.c_str(), false, StepLog::Held::Keep, keeps, "confirmed", Serve,
       "failed", "failed", 1000, "00001234"},
      {"flashed this image, its run failed after", "QV-%04d", "confirmed", self.c_str(), false, StepLog::Held::Keep,
       keeps, "confirmed", Serve, "failed", "ok", 1000, "00001234"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string db = dir + "/held.db";
    for (const std::string& f : {db, db + "-wal", db + "-shm"}) unlink(f.c_str());
    Options opts;
    opts.db = db;
    opts.sn_pattern = "QV-%04d";
    opts.replace_sn = c.replace_sn;
    std::vector<std::string> notes;
    std::string error;
    auto book = LineLedger::open(opts, &notes, &error);
    ASSERT_TRUE(book) << error;
    auto store = line_ledger::open_ledger_store(db, &error);
    ASSERT_TRUE(store) << error;
    std::vector<line_ledger::Row> rows;
    if (c.source)
      ASSERT_TRUE(store->run("INSERT INTO serials (serial, source, state, void_reason, run_id, station, interface, "
                             "device, taken_ms, changed_ms) VALUES ('QV-0001', $1, $2, $3, $4, 'a', 'eth1', $5, 1, 1)",
                             {std::string(c.source), std::string(c.state),
                              std::string(c.state) == "void" ? line_ledger::Value("x") : line_ledger::Value(),
                              c.run ? line_ledger::Value("7") : line_ledger::Value(),
                              c.device ? line_ledger::Value(c.device) : line_ledger::Value()},
                             nullptr, &error))
          << error;
    if (c.run)
      ASSERT_TRUE(store->run("INSERT INTO runs (id, started_ms, station, interface, station_mac, device, result) "
                             "VALUES (7, 1, 'a', 'eth1', 'm', $1, $2)",
                             {self, std::string(c.run)}, nullptr, &error) &&
                  store->run("INSERT INTO steps (run_id, seq, step, status, duration_ms, image_size, image_crc32) "
                             "VALUES (7, 3, 'flash', $1, 9, $2, $3)",
                             {std::string(c.flash), std::to_string(c.size), std::string(c.crc)}, nullptr, &error))
          << error;
    station_link::Interface ifc;
    ifc.name = "eth1";
    FILE* quiet = std::fopen("/dev/null", "w");
    LiveView view(quiet, quiet, false, 0, {self});
    LineSetup setup;
    setup.opts = &opts;
    setup.ifc = &ifc;
    setup.ledger = book.get();
    setup.view = &view;
    Image image;
    image.bytes.resize(1000);
    image.crc = 0x1234;
    setup.images = {image};
    DeviceRun run(setup, 0, {2, 0, 0, 0, 1, 1});
    // What the watching station makes of it, before anything is changed.
    bool is_done = true;
    std::string why;
    const int status = run.arrival("QV-0001", &is_done, &why);
    EXPECT_EQ(status, c.arrival == Refuse ? kExitSerialHeld : kExitOk) << why;
    EXPECT_EQ(is_done, c.arrival == Done);
    EXPECT_EQ(why, c.arrival == Done ? done : c.arrival == Refuse ? c.message : "");
    std::string message;
    EXPECT_EQ(run.serial_held("QV-0001", &message), c.held) << message;
    EXPECT_EQ(message, c.message);
    std::fclose(quiet);
    ASSERT_TRUE(store->run("SELECT state FROM serials WHERE serial = 'QV-0001'", {}, &rows, &error)) << error;
    std::vector<line_ledger::Row> expected;
    if (c.state_after) expected.push_back({std::string(c.state_after)});
    EXPECT_EQ(rows, expected);
  }
}

TEST_F(SerialBook, ListFile) {
  const struct {
    const char* text;
    std::vector<std::string> list;  // empty: refused
    const char* error;  // the whole message (DIR: the test's folder)
  } cases[] = {
      {"A1\r\nA2  \n\nA3\n", {"A1", "A2", "A3"}, ""},
      {"A1\nA2\nA1\n", {}, "DIR/list line 3: \"A1\" is already on the list"},
      {"A1\nA B\n", {}, "DIR/list line 2: only printable characters without blanks"},
      {"serial_number,lot\nA1,7\n", {},
       "DIR/list line 1: \"serial_number,lot\" is not one serial number (a comma or semicolon: a CSV line?)"},
      {"\n\n", {}, "the serial number list DIR/list is empty"},
      {"0123456789012345678901234567890123\n", {},
       "DIR/list line 1: \"0123456789012345678901234567890123\" is longer than 32 characters"},
  };
  const std::string path = dir + "/list";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    write_text(path, c.text);
    std::vector<std::string> list;
    std::string error;
    const bool loaded = load_sn_list(path, &list, &error);
    EXPECT_EQ(loaded, !c.list.empty());
    EXPECT_EQ(list, c.list);
    EXPECT_EQ(dir_as_DIR(error), c.error);
  }
}

// ---- record and summary ----------------------------------------------------

DeviceRecord sample_record(int status) {
  DeviceRecord r;
  r.time = "2026-12-08T09:41:07.123Z";
  r.interface = "eth1";
  r.station = "02:00:00:00:00:fe";
  r.device = "02:00:00:00:01:02";
  r.serial_written = "QV-0002";
  r.serial_confirmed = status == kExitOk;
  r.serial_read = status == kExitOk;
  r.serial_read_back = r.serial_read ? "QV-0002" : "";
  r.image = "fw\xff.bin";
  r.image_size = 1048576;
  r.image_crc = 0x0badcafe;
  r.steps = {{"connect", "ok", 0.0021}, {"write-sn", "ok", 0.0019}, {"flash", status ? "failed" : "ok", 3.14159}};
  r.exit_status = status;
  r.reason = status ? failure_kind(status) : "";
  if (status) r.messages = {"flash: chunk at byte 1492: no reply within 500 ms", "flash: restarting the transfer"};
  return r;
}

class Records : public TempDir {};

TEST_F(Records, LinesAreAppendedWholeAndParse) {
  const std::string path = dir + "/line.jsonl";
  write_text(path, "{\"earlier\":1}\n");
  {
    RecordFile f;
    std::string error;
    ASSERT_TRUE(f.open(path, &error)) << error;
    ASSERT_TRUE(f.append(sample_record(kExitOk), &error)) << error;
    ASSERT_TRUE(f.append(sample_record(kExitTimeout), &error)) << error;
  }
  std::istringstream lines(read_text(path));
  std::vector<nlohmann::json> got;
  for (std::string line; std::getline(lines, line);) got.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0]["earlier"], 1);
  const nlohmann::json& pass = got[1];
  EXPECT_EQ(pass["device"], "02:00:00:00:01:02");
  EXPECT_EQ(pass["serial"]["written"], "QV-0002");
  EXPECT_EQ(pass["serial"]["confirmed"], true);
  EXPECT_EQ(pass["serial"]["read_back"], "QV-0002");
  EXPECT_EQ(pass["image"]["size"], 1048576);
  EXPECT_EQ(pass["image"]["crc32"], "0badcafe");
  EXPECT_EQ(pass["image"]["name"], "fw\xef\xbf\xbd.bin");  // the stray byte as U+FFFD
  EXPECT_EQ(pass["steps"][2]["step"], "flash");
  EXPECT_DOUBLE_EQ(pass["steps"][2]["seconds"].get<double>(), 3.142);
  EXPECT_EQ(pass["result"], "passed");
  const nlohmann::json& fail = got[2];
  EXPECT_EQ(fail["result"], "failed");
  EXPECT_EQ(fail["exit_status"], kExitTimeout);
  EXPECT_EQ(fail["serial"]["confirmed"], false);
  EXPECT_TRUE(fail["serial"]["read_back"].is_null());
  EXPECT_EQ(fail["steps"][2]["status"], "failed");
  EXPECT_EQ(fail["reason"], "no reply");
  EXPECT_EQ(fail["messages"][1], "flash: restarting the transfer");

  // The numbers on record, for the counter to check itself against; a line
  // that is no record, or a serial without the number written, names none.
  DeviceRecord other = sample_record(kExitOk);
  other.serial_written = "QV-0007";
  other.ledger_run = 12;
  {
    RecordFile f;
    std::string error;
    ASSERT_TRUE(f.open(path, &error)) << error;
    ASSERT_TRUE(f.append(other, &error)) << error;
  }
  std::FILE* extra = std::fopen(path.c_str(), "a");
  ASSERT_NE(extra, nullptr);
  std::fputs("{\"serial\":{\"confirmed\":true}}\n", extra);
  // Edited by hand: fields of another type count as missing.
  std::fputs("{\"ledger_run\":13,\"device\":5,\"steps\":[1,{\"seconds\":\"x\"}]}\n", extra);
  std::fclose(extra);
  RecordFileFacts facts;
  std::string error;
  ASSERT_TRUE(read_record_file(path, &facts, &error)) << error;
  EXPECT_EQ(facts.serials, (std::set<std::string>{"QV-0002", "QV-0007"}));
  // The ends of the runs that name their ledger row, for a ledger that
  // missed them: the start and the steps' time give the end.
  ASSERT_EQ(facts.ends.size(), 2u);
  EXPECT_EQ(facts.ends[0].ledger_run, 12);
  EXPECT_EQ(facts.ends[0].device, "02:00:00:00:01:02");
  EXPECT_EQ(facts.ends[0].result, "passed");
  EXPECT_EQ(facts.ends[0].ended_ms, 1796722867123 + 3146);
  EXPECT_EQ(facts.ends[0].serial_read_back, "QV-0002");
  EXPECT_EQ(facts.ends[1].ledger_run, 13);
  EXPECT_EQ(facts.ends[1].device, "");
  EXPECT_EQ(facts.ends[1].result, "failed");
  EXPECT_EQ(facts.ends[1].exit_status, kExitLocal);
  facts = RecordFileFacts{};
  ASSERT_TRUE(read_record_file(dir + "/none.jsonl", &facts, &error)) << error;
  EXPECT_TRUE(facts.serials.empty());
}

// A run whose end the ledger could not take (its station stopped before the
// ledger came back) is ended from the record file when the line next opens
// the ledger, once; a number the device read back is confirmed, not void.
TEST_F(SerialBook, ARunTheLedgerMissedIsEndedFromTheRecord) {
  Options opts;
  opts.db = dir + "/missed.db";
  opts.sn_pattern = "QV-%04d";
  opts.record = dir + "/missed.jsonl";
  std::vector<std::string> notes;
  std::string error, serial;
  auto book = LineLedger::open(opts, &notes, &error);
  ASSERT_TRUE(book) << error;
  line_ledger::Holder holder{"station", "eth1", "02:00:00:00:01:02", 0};
  ASSERT_TRUE(book->ledger().begin_run({"station", "eth1", "02:00:00:00:00:fe", holder.device, 1}, &holder.run_id,
                                       &error));
  ASSERT_TRUE(book->ledger().take(book->source(), holder, &serial, &error)) << error;
  ASSERT_TRUE(book->ledger().mark_sent(serial, &error)) << error;
  book.reset();
  DeviceRecord rec = sample_record(kExitLocal);
  rec.ledger_run = holder.run_id;
  rec.serial_written = rec.serial_read_back = serial;
  rec.serial_read = true;
  RecordFile file;
  ASSERT_TRUE(file.open(opts.record, &error)) << error;
  ASSERT_TRUE(file.append(rec, &error)) << error;
  for (int open = 0; open < 2; ++open) {
    notes.clear();
    book = LineLedger::open(opts, &notes, &error);
    ASSERT_TRUE(book) << error;
    EXPECT_EQ(notes.size(), open ? 0u : 1u);
  }
  line_ledger::SerialEntry entry;
  bool found = false;
  ASSERT_TRUE(book->ledger().find(serial, &entry, &found, &error)) << error;
  EXPECT_EQ(entry.state, "confirmed");
  auto store = line_ledger::open_ledger_store(opts.db, &error);
  ASSERT_TRUE(store) << error;
  std::vector<line_ledger::Row> rows;
  ASSERT_TRUE(store->run("SELECT result, reason FROM runs", {}, &rows, &error)) << error;
  EXPECT_EQ(rows, (std::vector<line_ledger::Row>{{std::string("failed"), std::string("station problem")}}));
}

TEST_F(Records, AFullDiskLeavesNoHalfLine) {
  const std::string path = dir + "/line.jsonl", before = "{\"earlier\":1}\n";
  write_text(path, before);
  RecordFile f;
  std::string error;
  ASSERT_TRUE(f.open(path, &error)) << error;
  // A file size limit stands in for a full disk: the write stops part-way.
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit limit = old;
  limit.rlim_cur = before.size() + 40;
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const bool r = f.append(sample_record(kExitOk), &error);
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, SIG_DFL);
  EXPECT_FALSE(r);
  EXPECT_EQ(error, "cannot write the record file " + path + ": the disk is full");
  EXPECT_EQ(read_text(path), before);

  // A line written whole whose sync fails is taken back: it would say
  // "passed" for a device then reported as failed.
  RecordFile unsynced([](int) {
    errno = EIO;
    return -1;
  });
  ASSERT_TRUE(unsynced.open(path, &error)) << error;
  EXPECT_FALSE(unsynced.append(sample_record(kExitOk), &error));
  EXPECT_EQ(error, "cannot sync the record file " + path + ": Input/output error");
  EXPECT_EQ(read_text(path), before);
}

TEST(Summary, CountsByKindAndNamesUnconfirmedNumbers) {
  DeviceRecord crc = sample_record(kExitCrcMismatch);
  crc.device = "02:00:00:00:01:04";
  crc.serial_written = "QV-0004";
  EXPECT_EQ(summary_text({sample_record(kExitOk), sample_record(kExitTimeout), crc, sample_record(kExitTimeout)}),
            "4 devices: 1 passed, 3 failed (2 no reply, 1 CRC-32 mismatch)\n"
            "serial number QV-0002 sent to 02:00:00:00:01:02 was not confirmed\n"
            "serial number QV-0004 sent to 02:00:00:00:01:04 was not confirmed\n"
            "serial number QV-0002 sent to 02:00:00:00:01:02 was not confirmed\n");
  EXPECT_EQ(summary_text({sample_record(kExitOk)}), "1 device: 1 passed, 0 failed\n");
  // Passed, but with a flash that no device of the family could have taken.
  DeviceRecord oversize = sample_record(kExitOk);
  oversize.steps[2].status = "unverified";
  EXPECT_EQ(summary_text({oversize, sample_record(kExitOk)}),
            "2 devices: 2 passed, 0 failed\n"
            "1 device was flashed unverified: the image is larger than the 4194304 bytes of this device family's "
            "\"Kernel\" partition (--max-size), and a device does not report whether its flash tool took it\n");
  // A stop's devices are neither passed nor failed, and each says where it stood.
  DeviceRecord stopped = sample_record(128 + SIGTERM);
  stopped.steps[2].status = "interrupted";
  EXPECT_EQ(summary_text({crc, stopped, sample_record(kExitOk)}),
            "3 devices: 1 passed, 1 failed (1 CRC-32 mismatch), 1 interrupted\n"
            "serial number QV-0004 sent to 02:00:00:00:01:04 was not confirmed\n"
            "serial number QV-0002 sent to 02:00:00:00:01:02 was not confirmed\n");
  EXPECT_EQ(failed_devices_text({stopped}),
            "02:00:00:00:01:02 INTERRUPTED in flash (serial number QV-0002 sent, not confirmed)\n");
  // And the failed devices by name.
  EXPECT_EQ(failed_devices_text({sample_record(kExitOk), crc, sample_record(kExitTimeout)}),
            "02:00:00:00:01:04 FAILED (CRC-32 mismatch)\n02:00:00:00:01:02 FAILED (no reply)\n");
  EXPECT_EQ(failed_devices_text({sample_record(kExitOk)}), "");
}

TEST(LineExitStatus, AllPassedOneKindOrSeveral) {
  const struct {
    std::vector<int> statuses;
    int expected;
  } cases[] = {
      {{kExitOk, kExitOk}, kExitOk},
      {{kExitOk, kExitTimeout, kExitOk, kExitTimeout}, kExitTimeout},
      {{kExitCrcMismatch, kExitOk}, kExitCrcMismatch},
      {{kExitTimeout, kExitOk, kExitCrcMismatch}, kExitMixed},
  };
  for (const auto& c : cases) {
    std::vector<DeviceRecord> records;
    for (int s : c.statuses) records.push_back(sample_record(s));
    EXPECT_EQ(line_exit_status(records), c.expected);
  }
}

// A thread that cannot start (the process is out of threads) ends the run
// without serving that device or those after it, and every device is on record:
// the one under way to its end, the others with why they were not served.
TEST_F(Records, AThreadThatCannotStartLeavesEveryDeviceOnRecord) {
  Options opts;
  opts.steps = {{Op::Connect, ""}, {Op::ReadSn, ""}};
  station_link::Interface ifc;
  ifc.name = "nosuch0";  // the run under way ends at once: its interface cannot be opened
  RecordFile record;
  std::string error;
  ASSERT_TRUE(record.open(dir + "/line.jsonl", &error)) << error;
  FILE* quiet = std::fopen("/dev/null", "w");
  const std::vector<Mac> devices = {{2, 0, 0, 0, 1, 1}, {2, 0, 0, 0, 1, 2}, {2, 0, 0, 0, 1, 3}};
  LiveView view(quiet, quiet, false, 0, {"02:00:00:00:01:01", "02:00:00:00:01:02", "02:00:00:00:01:03"});
  LineSetup setup;
  setup.opts = &opts;
  setup.ifc = &ifc;
  setup.record = &record;
  setup.view = &view;
  int starts = 0;
  setup.start_thread = [&](std::function<void()> run, std::thread* thread, std::string* why) {
    if (++starts > 1) {
      *why = "Resource temporarily unavailable";
      return false;
    }
    *thread = std::thread(std::move(run));
    return true;
  };
  const std::vector<DeviceRecord> records = run_line(setup, devices);
  std::fclose(quiet);
  EXPECT_EQ(starts, 2);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(line_exit_status(records), kExitLocal);
  const std::string not_served =
      "the station cannot start a thread for 02:00:00:00:01:02 (Resource temporarily unavailable): it and the "
      "devices after it are not served";
  std::vector<nlohmann::json> lines;
  std::istringstream text(read_text(dir + "/line.jsonl"));
  for (std::string line; std::getline(text, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 3u);
  for (const nlohmann::json& rec : lines) {
    SCOPED_TRACE(rec.dump());
    EXPECT_EQ(rec["result"], "failed");
    EXPECT_EQ(rec["exit_status"], kExitLocal);
    EXPECT_EQ(rec["steps"][1]["status"], "not run");
    ASSERT_EQ(rec["messages"].size(), 1u);
    if (rec["device"] == "02:00:00:00:01:01")
      EXPECT_EQ(rec["messages"][0], "interface nosuch0: No such device");
    else
      EXPECT_EQ(rec["messages"][0], not_served);
  }
}

// ---- live view -------------------------------------------------------------

std::string view_output(bool terminal, const std::function<void(LiveView&)>& drive,
                        const std::vector<std::string>& macs = {"02:00:00:00:01:01", "02:00:00:00:01:02"},
                        std::size_t height = 0, LiveView::Clock clock = nullptr, std::size_t width = 60) {
  char* buf = nullptr;
  std::size_t size = 0;
  FILE* out = open_memstream(&buf, &size);
  FILE* err = out;
  {
    LiveView view(out, err, terminal, width, macs, height, std::move(clock));
    drive(view);
    view.finish();
  }
  std::fclose(out);
  std::string text(buf, size);
  std::free(buf);
  return text;
}

// A clock that the test moves on: t seconds.
LiveView::Clock test_clock(const double& t) {
  return [&t] {
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(t)));
  };
}

TEST(LiveView, PlainLinesWhenNotATerminal) {
  double t = 100;
  std::string text = view_output(
      false,
      [&t](LiveView& v) {
        v.step(1, "flash");
        v.note(1, "flash: 1000 bytes, CRC-32 2e1d8a4c, 1492 bytes per chunk");
        for (uint64_t done = 0; done <= 1000; done += 50) v.progress(1, done, 1000, 1.0);
        // Flashing adds no line of its own (the station's note tells of it),
        // however long it goes on.
        v.phase(1, "writing Kernel");
        for (t = 100; t < 110; t += 0.25) v.tick();
        v.phase(1, "");
        v.message(0, "connect: no reply within 200 ms");
        v.result(1, "passed");
      },
      {"02:00:00:00:01:01", "02:00:00:00:01:02"}, 0, test_clock(t));
  EXPECT_EQ(text,
            "02:00:00:00:01:02: flash: 1000 bytes, CRC-32 2e1d8a4c, 1492 bytes per chunk\n"
            "02:00:00:00:01:02: flash: 0 of 1000 bytes (0%), 0.00 MiB/s\n"
            "02:00:00:00:01:02: flash: 100 of 1000 bytes (10%), 0.00 MiB/s\n"
            "02:00:00:00:01:02: flash: 200 of 1000 bytes (20%), 0.00 MiB/s\n"
            "02:00:00:00:01:02: flash: 300 of 1000 bytes (30%), 0.00 MiB/s\n"
            "02:00:00:00:01:02: flash: 400 of 1000 bytes (40%), 0.00 MiB/s\n"
            "02:00:00:00:01:02: flash: 500 of 1000 bytes (50%), 0.00 MiB/s\n"
            "02:00:00:00:01:02: flash: 600 of 1000 bytes (60%), 0.00 MiB/s\n"
            "02:00:00:00:01:02: flash: 700 of 1000 bytes (70%), 0.00 MiB/s\n"
            "02:00:00:00:01:02: flash: 800 of 1000 bytes (80%), 0.00 MiB/s\n"
            "02:00:00:00:01:02: flash: 900 of 1000 bytes (90%), 0.00 MiB/s\n"
            "02:00:00:00:01:02: flash: 1000 of 1000 bytes (100%), 0.00 MiB/s\n"
            "02:00:00:00:01:01: connect: no reply within 200 ms\n"
            "02:00:00:00:01:02: passed\n");
}

TEST(LiveView, TerminalRowsAreRedrawnInPlaceAndFitTheWidth) {
  double t = 100;  // no time passes: a draw that may wait does
  std::string text = view_output(
      true,
      [](LiveView& v) {
        v.serial(0, "QV-0001");
        v.step(0, "flash");
        v.note(0, "not on a terminal's table");
        v.progress(0, 524288, 1048576, 0.5);  // forced: a result-free draw may wait, a whole one may not
        v.result(0, "passed");
        v.message(1, "connect: no reply");
      },
      {"02:00:00:00:01:01", "02:00:00:00:01:02"}, 0, test_clock(t));
  // Every draw after the first starts by going up over the two rows. The
  // message scrolls above the table: the table is cleared, the message
  // printed, the rows drawn again below it. The note is not shown.
  EXPECT_EQ(text,
            "\r\x1b[2K02:00:00:00:01:01  QV-0001         waiting\n"
            "\r\x1b[2K02:00:00:00:01:02  -               waiting\n"
            "\x1b[2A\r\x1b[2K02:00:00:00:01:01  QV-0001         flash           [ passed\n"
            "\r\x1b[2K02:00:00:00:01:02  -               waiting\n"
            "\x1b[2A\r\x1b[J02:00:00:00:01:02: connect: no reply\n"
            "\r\x1b[2K02:00:00:00:01:01  QV-0001         flash           [ passed\n"
            "\r\x1b[2K02:00:00:00:01:02  -               waiting\n"
            "\x1b[2A\r\x1b[2K02:00:00:00:01:01  QV-0001         flash           [ passed\n"
            "\r\x1b[2K02:00:00:00:01:02  -               waiting\n");
  std::istringstream rows(text);
  for (std::string row; std::getline(rows, row, '\n');) {
    std::size_t start = row.rfind("\x1b[2K");
    std::string visible = start == std::string::npos ? row : row.substr(start + 4);
    EXPECT_LE(visible.size(), 59u) << visible;
  }
  DeviceRow row{"02:00:00:00:01:01", "QV-0001", "flash", 524288, 1048576, 0.5, ""};
  EXPECT_EQ(device_row_text(row, 200),
            "02:00:00:00:01:01  QV-0001         flash           [##########..........]  50%   1.00 MiB/s");
  // On an 80-column terminal (79 drawn) the bar gives way to the result.
  row.result = "FAILED (no reply)";
  EXPECT_EQ(device_row_text(row, 79),
            "02:00:00:00:01:01  QV-0001         flash           [######### FAILED (no reply)");
  row.result = "passed";
  EXPECT_EQ(device_row_text(row, 200),
            "02:00:00:00:01:01  QV-0001         flash           [##########..........]  50%   1.00 MiB/s  passed");
  // Once the image is sent, the phase with its whole seconds stands in place of the bar.
  row.phase = "writing Kernel";
  row.phase_seconds = 47.9;
  EXPECT_EQ(device_row_text(row, 200), "02:00:00:00:01:01  QV-0001         flash           writing Kernel, 47 s  passed");
  row.result.clear();
  EXPECT_EQ(device_row_text(row, 200), "02:00:00:00:01:01  QV-0001         flash           writing Kernel, 47 s");

  // The seconds move on without a word from the device: every tick redraws
  // the row when they do (and catches up a draw held back by the limit of ten a
  // second), and they stop when the phase ends.
  t = 100;
  text = view_output(
      true,
      [&t](LiveView& v) {
        v.step(0, "flash");
        v.progress(0, 1048576, 1048576, 0.5);
        v.phase(0, "writing Kernel");  // held back: at the moment of the draw before
        t = 100.05;
        v.tick();  // still too soon
        t = 100.2;
        v.tick();
        t = 112.3;
        v.tick();
        t = 112.35;
        v.tick();  // 12 s still: no draw
        t = 130.9;
        v.phase(0, "");
        t = 140;
        v.tick();
        v.result(0, "passed");
      },
      {"02:00:00:00:01:01", "02:00:00:00:01:02"}, 0, test_clock(t), 100);
  std::vector<std::string> drawn;  // the first device's row at every draw
  for (std::size_t p = text.find("\x1b[2K02:00:00:00:01:01"); p != std::string::npos;
       p = text.find("\x1b[2K02:00:00:00:01:01", p + 1))
    drawn.push_back(text.substr(p + 4 + 19, text.find('\n', p) - p - 4 - 19));
  EXPECT_EQ(drawn, (std::vector<std::string>{
                       "-               flash",
                       "-               flash           [####################] 100%   2.00 MiB/s",
                       "-               flash           writing Kernel, 0 s",
                       "-               flash           writing Kernel, 12 s",
                       "-               flash           writing Kernel, 30 s",
                       "-               flash           writing Kernel, 30 s  passed",
                       "-               flash           writing Kernel, 30 s  passed",
                   }));
}

// A table taller than the terminal is cut to what fits (the cursor cannot go
// back up into the scrollback, so every redraw would leave a copy there), with
// a line about the rest; a failed device keeps its row.
TEST(LiveView, ATableTallerThanTheTerminalKeepsToTheScreen) {
  std::vector<std::string> macs;
  for (int k = 1; k <= 6; ++k) macs.push_back("02:00:00:00:01:0" + std::to_string(k));
  std::string text = view_output(
      true,
      [](LiveView& v) {
        for (std::size_t d = 0; d < 6; ++d) v.step(d, "flash");
        v.result(0, "passed");
        v.result(1, "passed");
        v.result(5, "FAILED (no reply)");
        v.message(2, "flash: chunk at byte 0: no reply within 200 ms");
      },
      macs, 5);
  // 5 lines: 4 of table, the cursor's line below them.
  for (std::size_t p = text.find("\x1b["); p != std::string::npos; p = text.find("\x1b[", p + 1)) {
    const std::size_t up = std::strtoul(text.c_str() + p + 2, nullptr, 10);
    if (text[text.find_first_not_of("0123456789", p + 2)] == 'A') EXPECT_LE(up, 4u) << p;
  }
  const std::string last = text.substr(text.rfind("\x1b[4A"));
  EXPECT_EQ(last,
            "\x1b[4A\r\x1b[2K02:00:00:00:01:03  -               flash\n"
            "\r\x1b[2K02:00:00:00:01:04  -               flash\n"
            "\r\x1b[2K02:00:00:00:01:06  -               flash  FAILED (no reply)\n"
            "\r\x1b[2K... 3 more devices: 1 running, 2 passed\n");
  // The message scrolls above the table, which is cleared from its top: a line of its own.
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "\x1b[4A\r\x1b[J02:00:00:00:01:03: flash: chunk at byte 0: no reply within 200 ms"),
            1)
      << text;

  // A watching station's table: devices come one by one, the oldest finished
  // row goes once more have finished than are kept, and the station's counts
  // stand below the rows; a table that shrinks is cleared below its end.
  text = view_output(
      true,
      [](LiveView& v) {
        v.keep_finished(2);
        v.status("st0: 3 came");
        const std::size_t a = v.add("02:00:00:00:01:0a"), b = v.add("02:00:00:00:01:0b"),
                          c = v.add("02:00:00:00:01:0c");
        v.result(a, "passed in 1.0 s: unplug");
        v.result(b, "done in 0.1 s: unplug");
        v.result(c, "REFUSED (address shared) in 0.1 s: unplug");
        v.step(a, "flash");  // gone: known no more
        v.status("st0: 3 came, 1 passed, 1 done, 1 refused");
      },
      {}, 0, nullptr, 100);
  EXPECT_NE(text.find("\x1b[4A\r\x1b[2K02:00:00:00:01:0b  -               waiting         done in 0.1 s: unplug\n"
                      "\r\x1b[2K02:00:00:00:01:0c  -               waiting         REFUSED (address shared) in 0.1 s: unplug\n"
                      "\r\x1b[2Kst0: 3 came\n\x1b[J"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.substr(text.rfind("\x1b[3A")),
            "\x1b[3A\r\x1b[2K02:00:00:00:01:0b  -               waiting         done in 0.1 s: unplug\n"
            "\r\x1b[2K02:00:00:00:01:0c  -               waiting         REFUSED (address shared) in 0.1 s: unplug\n"
            "\r\x1b[2Kst0: 3 came, 1 passed, 1 done, 1 refused\n");

  const struct {
    std::vector<const char*> results;  // "": running, "-": waiting
    std::size_t lines;
    std::vector<std::size_t> shown;
    const char* rest;
  } cases[] = {
      {{"passed", "", "-"}, 3, {0, 1, 2}, ""},
      {{"passed", "", "-"}, 0, {0, 1, 2}, ""},
      {{"passed", "", "-", "FAILED (no reply)"}, 3, {1, 3}, "... 2 more devices: 1 waiting, 1 passed"},
      {{"FAILED (rejected)", "FAILED (no reply)", "FAILED (no reply)"}, 2, {0}, "... 2 more devices: 2 failed"},
      // A watching station's words: passed and done give way, refused stays.
      {{"passed in 1.0 s: unplug", "", "done in 0.1 s (passed before with this image): unplug",
        "REFUSED (address shared) in 0.1 s: unplug"},
       3, {1, 3}, "... 2 more devices: 2 passed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rest);
    std::vector<DeviceRow> rows;
    for (const char* r : c.results)
      rows.push_back(DeviceRow{"m", "", std::string(r) == "-" ? "waiting" : "flash", 0, 0, 0, r[0] == '-' ? "" : r});
    std::string rest;
    EXPECT_EQ(rows_in_sight(rows, c.lines, &rest), c.shown);
    EXPECT_EQ(rest, c.rest);
  }
}

}  // namespace
}  // namespace mfgstation
