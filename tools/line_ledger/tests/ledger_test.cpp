// The ledger on both databases: every case runs on an SQLite file and on a
// throw-away PostgreSQL server that this test starts (skipped, with the
// reason, when PostgreSQL is not installed).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ledger.h"
#include "ledger_store.h"
#include "pg_server.h"

namespace line_ledger {
namespace {

using line_ledger_test::PgServer;

// One server for the whole program, started by the first PostgreSQL case.
class Backends : public ::testing::Environment {
 public:
  static PgServer* server(std::string* why) {
    static std::string error;
    static bool tried = false, missing = false;
    if (!tried) {
      tried = true;
      instance().pg_ = std::make_unique<PgServer>();
      if (!instance().pg_->start(&error, &missing)) instance().pg_.reset();
    }
    *why = error;
    return instance().pg_.get();
  }
  void TearDown() override { pg_.reset(); }
  static Backends& instance() {
    static Backends* b = static_cast<Backends*>(::testing::AddGlobalTestEnvironment(new Backends));
    return *b;
  }

 private:
  std::unique_ptr<PgServer> pg_;
};

class LedgerTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "sqlite") {
      char tmpl[] = "/tmp/qv-ledger-XXXXXX";
      ASSERT_NE(mkdtemp(tmpl), nullptr);
      folder_ = tmpl;
      name_ = folder_ + "/line.db";
    } else {
      std::string why;
      PgServer* pg = Backends::server(&why);
      if (!pg && why.find("not installed") != std::string::npos) GTEST_SKIP() << why;
      ASSERT_NE(pg, nullptr) << why;
      static int n = 0;
      name_ = pg->create_database("case" + std::to_string(++n), &why);
      ASSERT_FALSE(name_.empty()) << why;
    }
    store_ = open();
    ASSERT_NE(store_, nullptr);
    ledger_ = std::make_unique<Ledger>(*store_);
  }
  void TearDown() override {
    ledger_.reset();
    store_.reset();
    if (!folder_.empty()) std::system(("rm -rf " + folder_).c_str());
  }
  std::unique_ptr<LedgerStore> open() {
    std::string error;
    auto s = open_ledger_store(name_, &error);
    EXPECT_NE(s, nullptr) << error;
    return s;
  }
  std::vector<Row> query(const std::string& sql, const std::vector<Value>& params = {}) {
    std::vector<Row> rows;
    std::string error;
    EXPECT_TRUE(store_->run(sql, params, &rows, &error)) << sql << ": " << error;
    return rows;
  }
  std::string state_of(const std::string& serial) {
    auto rows = query("SELECT state FROM serials WHERE serial = $1", {serial});
    return rows.empty() ? "(none)" : rows[0][0].value_or("NULL");
  }

  std::string name_, folder_;
  std::unique_ptr<LedgerStore> store_;
  std::unique_ptr<Ledger> ledger_;
};

SerialSource pattern(const std::string& prefix = "QV-") {
  return {prefix + "%04d", [prefix](int64_t n, std::string* s, std::string*) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%s%04lld", prefix.c_str(), static_cast<long long>(n));
            *s = buf;
            return true;
          }};
}

SerialSource list(std::vector<std::string> entries) {
  return {"list:/line/serials.txt", [entries](int64_t n, std::string* s, std::string* e) {
            if (n > static_cast<int64_t>(entries.size())) {
              *e = "the list is used up";
              return false;
            }
            *s = entries[static_cast<std::size_t>(n - 1)];
            return true;
          }};
}

const Holder kHolder{"station-1", "eth1", "02:00:00:00:00:01", 0};

TEST_P(LedgerTest, StatementsTakeParametersByNumberAndNullsBothWays) {
  std::vector<Row> rows = query("SELECT $2, $1, CAST($3 AS TEXT)", {std::string("a"), std::string("b"), Value()});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (Row{std::string("b"), std::string("a"), Value()}));
  std::string error;
  EXPECT_FALSE(store_->run("SELECT $1", {std::string("a"), std::string("b")}, nullptr, &error));
}

TEST_P(LedgerTest, RollbackLeavesNothingAndReopeningKeepsEverything) {
  std::string error;
  ASSERT_TRUE(store_->begin(&error)) << error;
  ASSERT_TRUE(store_->run("INSERT INTO serial_sources (name, next_value) VALUES ('x', 5)", {}, nullptr, &error));
  store_->rollback();
  EXPECT_TRUE(query("SELECT * FROM serial_sources").empty());
  std::string serial;
  ASSERT_TRUE(ledger_->take(pattern(), kHolder, &serial, &error)) << error;
  // A second station opening the same ledger finds the tables and the number.
  auto again = open();
  ASSERT_NE(again, nullptr);
  Ledger other(*again);
  ASSERT_TRUE(other.take(pattern(), kHolder, &serial, &error)) << error;
  EXPECT_EQ(serial, "QV-0002");
  // A ledger made before the steps kept their image (version 1) is read as it
  // is, and brought up, its rows kept, once a station opens it to write.
  int64_t run = 0;
  ASSERT_TRUE(ledger_->begin_run({"station-1", "eth1", "02:00:00:00:00:aa", kHolder.device, 1000}, &run, &error));
  ASSERT_TRUE(ledger_->end_step(run, {1, "connect", "ok", 5, std::nullopt}, {}, &error)) << error;
  query("ALTER TABLE steps DROP COLUMN image_size");
  query("ALTER TABLE steps DROP COLUMN image_crc32");
  query("UPDATE ledger_meta SET value = '1' WHERE key = 'schema_version'");
  EXPECT_NE(open_ledger_store_read_only(name_, &error), nullptr) << error;
  EXPECT_EQ(query("SELECT value FROM ledger_meta WHERE key = 'schema_version'").at(0).at(0), "1");
  {
    auto upgraded = open();
    ASSERT_NE(upgraded, nullptr);
    Ledger writer(*upgraded);
    ASSERT_TRUE(writer.end_step(run, {2, "flash", "ok", 9, ImageId{4096, 0xabc}}, {}, &error)) << error;
  }
  EXPECT_EQ(query("SELECT value FROM ledger_meta WHERE key = 'schema_version'").at(0).at(0), "2");
  EXPECT_EQ(query("SELECT seq, step, image_size, image_crc32 FROM steps ORDER BY seq"),
            (std::vector<Row>{{std::string("1"), std::string("connect"), Value(), Value()},
                              {std::string("2"), std::string("flash"), std::string("4096"), std::string("00000abc")}}));
  // A ledger of another version is refused rather than misread.
  query("UPDATE ledger_meta SET value = '99' WHERE key = 'schema_version'");
  std::unique_ptr<LedgerStore> newer = open_ledger_store(name_, &error);
  EXPECT_EQ(newer, nullptr);
  EXPECT_NE(error.find("version 99"), std::string::npos) << error;
}

// A number's life, step by step: what each change is allowed to do.
TEST_P(LedgerTest, SerialLife) {
  struct Case {
    const char* name;
    std::vector<const char*> ops;  // sent, confirm, confirm-other, void, passed, failed
    const char* end_state;
    const char* reason_has;        // in void_reason
    bool last_refused;             // the last operation fails
  };
  const Case cases[] = {
      {"passes", {"sent", "confirm", "passed"}, "recorded", "", false},
      {"read back differs", {"sent", "confirm-other"}, "sent", "", true},
      {"read back differs, run fails", {"sent", "confirm-other", "failed"}, "void", "sent, never confirmed: failed (no reply)", false},
      {"never sent", {"failed"}, "void", "never sent: failed (no reply)", false},
      {"confirmed, flash fails: the device keeps it", {"sent", "confirm", "failed"}, "confirmed", "", false},
      {"confirmed is never void", {"sent", "confirm", "void"}, "confirmed", "", true},
      {"void explicitly", {"void"}, "void", "no reply", false},
      {"void cannot be sent", {"void", "sent"}, "void", "no reply", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error, serial;
    int64_t run = 0;
    ASSERT_TRUE(ledger_->begin_run({"station-1", "eth1", "02:00:00:00:00:aa", kHolder.device, now_ms()}, &run, &error));
    Holder h = kHolder;
    h.run_id = run;
    ASSERT_TRUE(ledger_->take(pattern(), h, &serial, &error)) << error;
    EXPECT_EQ(state_of(serial), "taken");
    bool ok = true;
    for (const char* op : c.ops) {
      const std::string o = op;
      if (o == "sent") ok = ledger_->mark_sent(serial, &error);
      if (o == "confirm") ok = ledger_->confirm(serial, serial, &error);
      if (o == "confirm-other") ok = ledger_->confirm(serial, serial + "X", &error);
      if (o == "void") ok = ledger_->void_serial(serial, "no reply", &error);
      if (o == "passed" || o == "failed")
        ok = ledger_->end_run(run, {o, o == "passed" ? 0 : 3, o == "passed" ? Value() : Value("no reply"), now_ms()}, {},
                              &error);
    }
    EXPECT_EQ(!ok, c.last_refused) << error;
    EXPECT_EQ(state_of(serial), c.end_state);
    auto reason = query("SELECT void_reason FROM serials WHERE serial = $1", {serial});
    EXPECT_NE(reason.at(0).at(0).value_or("").find(c.reason_has), std::string::npos) << reason[0][0].value_or("NULL");
  }
}

TEST_P(LedgerTest, CounterAndList) {
  std::string error, serial;
  // The counter goes up, never down.
  ASSERT_TRUE(ledger_->set_counter(pattern().name, 4711, &error)) << error;
  EXPECT_FALSE(ledger_->set_counter(pattern().name, 4710, &error));
  EXPECT_NE(error.find("stands at 4711"), std::string::npos) << error;
  ASSERT_TRUE(ledger_->take(pattern(), kHolder, &serial, &error)) << error;
  EXPECT_EQ(serial, "QV-4711");
  EXPECT_FALSE(ledger_->set_counter(pattern().name, 4711, &error));
  // A number another source gave is passed over, not given twice.
  ASSERT_TRUE(ledger_->set_counter("list:/line/serials.txt", 1, &error));
  SerialSource l = list({"QV-4712", "L-2"});
  ASSERT_TRUE(ledger_->take(l, kHolder, &serial, &error)) << error;
  EXPECT_EQ(serial, "QV-4712");
  ASSERT_TRUE(ledger_->take(pattern(), kHolder, &serial, &error)) << error;
  EXPECT_EQ(serial, "QV-4713");
  ASSERT_TRUE(ledger_->take(l, kHolder, &serial, &error)) << error;
  EXPECT_EQ(serial, "L-2");
  // A used-up list takes nothing and moves nothing.
  EXPECT_FALSE(ledger_->take(l, kHolder, &serial, &error));
  EXPECT_EQ(error, "the list is used up");
  int64_t next = 0;
  ASSERT_TRUE(ledger_->check(l, 0, &next, &error));
  EXPECT_EQ(next, 3);
  EXPECT_FALSE(ledger_->check(l, 1, &next, &error));
  EXPECT_TRUE(ledger_->check(pattern(), 1000, &next, &error));
}

TEST_P(LedgerTest, RunRowsAsStepsEnd) {
  std::string error;
  int64_t a = 0, b = 0;
  ASSERT_TRUE(ledger_->begin_run({"station-1", "eth1", "02:00:00:00:00:aa", "02:00:00:00:00:01", 1000}, &a, &error));
  ASSERT_TRUE(ledger_->begin_run({"station-1", "eth1", "02:00:00:00:00:aa", "02:00:00:00:00:02", 1001}, &b, &error));
  EXPECT_NE(a, b);
  EXPECT_EQ(query("SELECT result FROM runs WHERE id = $1", {std::to_string(a)}).at(0).at(0), "running");
  RunFacts facts;
  facts.serial_written = "QV-0001";
  ASSERT_TRUE(ledger_->end_step(a, {1, "write-sn", "ok", 12}, facts, &error)) << error;
  facts.image = "fw.bin";
  facts.image_size = 4096;
  facts.image_crc32 = 0xabc;
  ASSERT_TRUE(ledger_->end_step(a, {2, "flash", "failed", 30000}, facts, &error)) << error;
  ASSERT_TRUE(ledger_->end_run(a, {"failed", 4, std::string("CRC-32 mismatch"), 31500}, facts, &error)) << error;
  auto run = query("SELECT serial_written, image, image_size, image_crc32, result, exit_status, reason, ended_ms "
                   "FROM runs WHERE id = $1",
                   {std::to_string(a)});
  EXPECT_EQ(run.at(0), (Row{std::string("QV-0001"), std::string("fw.bin"), std::string("4096"),
                            std::string("00000abc"), std::string("failed"), std::string("4"),
                            std::string("CRC-32 mismatch"), std::string("31500")}));
  auto steps = query("SELECT seq, step, status, duration_ms FROM steps WHERE run_id = $1 ORDER BY seq",
                     {std::to_string(a)});
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[1], (Row{std::string("2"), std::string("flash"), std::string("failed"), std::string("30000")}));
}

// Two stations, each with its own connection, begin runs and take numbers at
// once: no run id and no number twice, none missing.
TEST_P(LedgerTest, StationsTakingAtOnce) {
  constexpr int kStations = 2, kThreads = 3, kEach = 15, kTotal = kStations * kThreads * kEach;
  std::vector<std::unique_ptr<LedgerStore>> stores;
  std::vector<std::unique_ptr<Ledger>> ledgers;
  for (int i = 0; i < kStations; ++i) {
    stores.push_back(open());
    ASSERT_NE(stores.back(), nullptr);
    ledgers.push_back(std::make_unique<Ledger>(*stores.back()));
  }
  std::vector<std::vector<std::string>> got(kStations * kThreads);
  std::vector<std::vector<int64_t>> runs(kStations * kThreads);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kStations * kThreads; ++t)
    threads.emplace_back([&, t] {
      Ledger& ledger = *ledgers[t % kStations];
      for (int i = 0; i < kEach; ++i) {
        std::string serial, error;
        Holder holder = kHolder;
        if (!ledger.begin_run({"station-1", "eth1", "02:00:00:00:00:aa", kHolder.device, now_ms()}, &holder.run_id,
                              &error)) {
          ++failures, ADD_FAILURE() << error;
          continue;
        }
        runs[t].push_back(holder.run_id);
        if (ledger.take(pattern(), holder, &serial, &error))
          got[t].push_back(serial);
        else
          ++failures, ADD_FAILURE() << error;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  std::set<std::string> all;
  std::set<int64_t> ids;
  for (const auto& g : got) all.insert(g.begin(), g.end());
  for (const auto& r : runs) ids.insert(r.begin(), r.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kTotal));
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kTotal));
  SerialCount count;
  std::string error;
  ASSERT_TRUE(ledger_->count(pattern(), &count, &error)) << error;
  EXPECT_EQ(count.handed_out, kTotal);
  EXPECT_EQ(count.taken, kTotal);
  EXPECT_EQ(count.missing, 0);
}

// A line of 8 devices, 8 rounds, while another session terminates the
// station's backend every 20 ms (an idle-connection killer, a fail-over): no
// change is lost or made twice, and every device's run passes with its number
// on record.
TEST_P(LedgerTest, ABrokenConnectionLosesNoDevice) {
  if (GetParam() != "postgresql") GTEST_SKIP() << "an SQLite file has no connection to lose";
  constexpr int kDevices = 8, kRounds = 8;
  auto killer_store = open();
  ASSERT_NE(killer_store, nullptr);
  std::atomic<bool> done{false};
  std::atomic<int> kills{0};
  std::thread killer([&] {
    while (!done) {
      std::vector<Row> rows;
      std::string error;
      if (killer_store->run("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE datname = "
                            "current_database() AND pid <> pg_backend_pid()",
                            {}, &rows, &error) &&
          !rows.empty())
        kills += std::atoi(rows[0][0].value_or("0").c_str());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::atomic<int> failures{0};
  std::vector<std::thread> devices;
  for (int d = 0; d < kDevices; ++d)
    devices.emplace_back([&, d] {
      char mac[18];
      std::snprintf(mac, sizeof mac, "02:00:00:00:01:%02x", d);
      for (int round = 0; round < kRounds; ++round) {
        std::string serial, error;
        Holder h{"station-1", "eth1", mac, 0};
        RunFacts facts;
        bool ok = ledger_->begin_run({"station-1", "eth1", "02:00:00:00:00:aa", mac, now_ms()}, &h.run_id, &error) &&
                  ledger_->take(pattern(), h, &serial, &error) && ledger_->mark_sent(serial, &error) &&
                  ledger_->confirm(serial, serial, &error);
        facts.serial_written = facts.serial_read = serial;
        const char* steps[] = {"connect", "write-sn", "flash", "reboot"};
        for (int i = 0; ok && i < 4; ++i)
          ok = ledger_->end_step(h.run_id, {i + 1, steps[i], "ok", 5}, facts, &error);
        ok = ok && ledger_->end_run(h.run_id, {"passed", 0, {}, now_ms()}, facts, &error);
        if (!ok) ++failures, ADD_FAILURE() << mac << " round " << round << ": " << error;
      }
    });
  for (std::thread& t : devices) t.join();
  // A station that starts meanwhile opens the ledger all the same.
  for (int start = 0; start < 10; ++start) {
    std::string error;
    EXPECT_NE(open_ledger_store(name_, &error), nullptr) << error;
  }
  done = true;
  killer.join();
  EXPECT_EQ(failures, 0);
  EXPECT_GT(kills, 0);
  // Every number the counter went past is in the ledger (this also brings
  // the test's own connection back).
  SerialCount count;
  std::string error;
  ASSERT_TRUE(ledger_->count(pattern(), &count, &error)) << error;
  EXPECT_EQ(count.missing, 0);
  // One run per device and round, each passed with four steps; its number
  // recorded, and a number taken twice by a commit whose answer was lost is
  // void, never on a device.
  EXPECT_EQ(query("SELECT count(*) FROM runs WHERE result = 'passed'").at(0)[0], std::to_string(kDevices * kRounds));
  EXPECT_EQ(query("SELECT count(*) FROM runs").at(0)[0], std::to_string(kDevices * kRounds));
  EXPECT_EQ(query("SELECT count(*) FROM steps").at(0)[0], std::to_string(kDevices * kRounds * 4));
  EXPECT_EQ(query("SELECT count(*) FROM serials WHERE state = 'recorded'").at(0)[0],
            std::to_string(kDevices * kRounds));
  EXPECT_EQ(query("SELECT count(*) FROM serials WHERE state NOT IN ('recorded', 'void')").at(0)[0], "0");
  std::printf("%d backends terminated; %s numbers void\n", kills.load(),
              query("SELECT count(*) FROM serials WHERE state = 'void'").at(0)[0].value_or("?").c_str());
}

INSTANTIATE_TEST_SUITE_P(Databases, LedgerTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace line_ledger
