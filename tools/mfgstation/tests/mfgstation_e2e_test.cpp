// mfgstation end to end: in a network namespace of its own with the bridge "br0"
// and one veth port, against the stand-in device (for lost and spoilt replies)
// and against the real service on a simulated device root; and on a simulated
// production line of several devices.
#include <gtest/gtest.h>

#include "ledger_store.h"
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "device_root.h"
#include "ledger_store.h"
#include "netns.h"

namespace {

using qvtest::RunResult;

std::string random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

int count_lines(const std::string& text, const std::string& line) {
  int n = 0;
  for (const auto& l : qvtest::split_lines(text)) n += l == line;
  return n;
}

// The station's output with what changes from run to run as "#": the digits
// of a transfer rate ("#.## MiB/s"), and the byte of the chunk that found a
// device gone part-way ("chunk at byte #").
std::string masked(const std::string& text) {
  static const std::regex rate("[0-9]+\\.[0-9]{2} MiB/s"), chunk("chunk at byte [0-9]+");
  return std::regex_replace(std::regex_replace(text, rate, "#.## MiB/s"), chunk, "chunk at byte #");
}

// Standard error without its resends: a reply held up past a short time-out on
// a busy machine adds one; how many a row expects its device's log tells.
std::string without_resends(const std::string& text) {
  static const std::regex resend("mfgstation: [^\n]*: no reply within [0-9]+ ms, sending again \\([0-9]+ of [0-9]+\\)\n");
  return std::regex_replace(text, resend, "");
}

// Where two byte strings first differ (their common length when one is a prefix).
std::size_t first_difference(const std::string& a, const std::string& b) {
  std::size_t n = std::min(a.size(), b.size()), i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}
#define EXPECT_SAME_BYTES(a, b)                                                               \
  do {                                                                                        \
    const std::string qa = (a), qb = (b);                                                     \
    EXPECT_TRUE(qa == qb) << "sizes " << qa.size() << " and " << qb.size() << ", first difference at " \
                          << first_difference(qa, qb);                                        \
  } while (0)

// Waits until a program started inside a namespace has its link socket bound.
void wait_ready(qvnet::Background& program) {
  ASSERT_TRUE(program.wait_for_link_socket()) << "no bound packet socket";
}

class StationNet : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(net.ok()) << net.error();
    work = "/tmp/mfgstation_e2e_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    qvtest::run({"mkdir", "-p", work});
  }
  void TearDown() override { qvtest::run({"rm", "-rf", work}); }

  RunResult station(std::vector<std::string> args, int timeout_ms = 120000) {
    std::vector<std::string> argv = {"mfgstation", "-i", net.station_if()};
    argv.insert(argv.end(), args.begin(), args.end());
    qvtest::RunOptions opts;
    opts.timeout_ms = timeout_ms;
    return qvtest::run(net.in_ns(argv), opts);
  }

  std::unique_ptr<qvnet::Background> fake_device(std::vector<std::string> args) {
    std::vector<std::string> argv = {"mfgstation_fake_device", "-i", "br0", "--idle", "60"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto dev = std::make_unique<qvnet::Background>(net.in_ns(argv), std::vector<std::string>{}, work + "/device.log");
    wait_ready(*dev);
    return dev;
  }

  std::string image(std::size_t n, unsigned seed) {
    std::string path = work + "/image" + std::to_string(seed) + ".bin";
    qvtest::write_file(path, random_bytes(n, seed));
    return path;
  }

  qvnet::TestNet net;
  std::string work;
};

TEST_F(StationNet, WholeSequenceAgainstTheStandInDevice) {
  auto dev = fake_device({});
  const std::string img = image(3 * 1048576 + 7, 1);
  RunResult r = station({"-t", "2000", "connect", "write-sn", "SN0001", "read-sn", "flash", img, "reboot", "close",
                         "quit"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  // The stand-in answers on the bridge, 02:00:00:00:00:01.
  EXPECT_EQ(masked(r.out),
            "connect: connected to 02:00:00:00:00:01\n"
            "write-sn: stored \"SN0001\"\n"
            "read-sn: \"FAKE1\"\n"
            "flash: 3145735 bytes, CRC-32 4abef3a8, 1514 bytes per chunk\n"
            "flash: 314912 of 3145735 bytes sent (10%), #.## MiB/s\n"
            "flash: 629824 of 3145735 bytes sent (20%), #.## MiB/s\n"
            "flash: 944736 of 3145735 bytes sent (30%), #.## MiB/s\n"
            "flash: 1259648 of 3145735 bytes sent (40%), #.## MiB/s\n"
            "flash: 1573046 of 3145735 bytes sent (50%), #.## MiB/s\n"
            "flash: 1887958 of 3145735 bytes sent (60%), #.## MiB/s\n"
            "flash: 2202870 of 3145735 bytes sent (70%), #.## MiB/s\n"
            "flash: 2517782 of 3145735 bytes sent (80%), #.## MiB/s\n"
            "flash: 2831180 of 3145735 bytes sent (90%), #.## MiB/s\n"
            "flash: 3145735 of 3145735 bytes sent (100%), #.## MiB/s\n"
            "flash: CRC-32 confirmed by the device\n"
            "flash: writing \"Kernel\" on the device\n"
            "flash: done: the device ran its flash tool on the image it confirmed (CRC-32 4abef3a8); the tool's own "
            "result is not reported\n"
            "reboot: accepted by the device\n"
            "close: connection closed\n"
            "quit: service ended\n");
  EXPECT_EQ(dev->wait(5000), 0);
  const std::string log = qvtest::read_file(work + "/device.log");
  // Full chunks on a 1522-byte MTU: 3145735 = 2077 * 1514 + 1157.
  EXPECT_EQ(count_lines(log, "5 1514"), 2077) << log.substr(0, 200);
  EXPECT_EQ(count_lines(log, "5 1157"), 1);
  EXPECT_EQ(count_lines(log, "1 6"), 1);
  EXPECT_EQ(count_lines(log, "2 7"), 1);  // "SN0001" and its terminating zero
  EXPECT_EQ(count_lines(log, "11 0"), 1);
}

TEST_F(StationNet, ExitStatusesAndRetries) {
  const std::string img = image(20000, 2);
  const struct {
    const char* name;
    std::vector<std::string> device;  // empty with dead: nothing answers
    bool dead;
    std::vector<std::string> station;
    int status;
    std::string err;          // the whole of standard error
    const char* device_line;  // a request line and how often the device saw it
    int device_count;
    bool busy = false;        // another mfgstation holds the interface meanwhile
  } cases[] = {
      {"crc mismatch", {"--mismatch"}, false, {"-t", "300", "flash", img}, 4,
       "mfgstation: flash: checksum: the device reports a CRC-32 mismatch\n"
       "mfgstation: flash: restarting the transfer (1 of 3)\n"
       "mfgstation: flash: checksum: the device reports a CRC-32 mismatch\n"
       "mfgstation: flash: restarting the transfer (2 of 3)\n"
       "mfgstation: flash: checksum: the device reports a CRC-32 mismatch\n"
       "mfgstation: flash: restarting the transfer (3 of 3)\n"
       "mfgstation: flash: checksum: the device reports a CRC-32 mismatch\n"
       "mfgstation: flash: transfer failed after 3 restarts\n"
       "mfgstation: flash: the image was not flashed (expected CRC-32 addcde76)\n",
       "11 0", 0},
      {"chunk failure", {"--chunk-fail", "3"}, false, {"flash", img}, 5,
       "mfgstation: flash: chunk at byte 1514: the device could not store the chunk; transfer abandoned\n", "6 4", 0},
      {"store failure", {"--store-fail"}, false, {"write-sn", "X1", "reboot"}, 6,
       "mfgstation: write-sn: the device could not store the serial number (\"Fail to writ db\")\n", "9 0", 0},
      {"lost connect reply", {"--drop", "1"}, false, {"-t", "300", "connect"}, 0,
       "mfgstation: connect: no reply within 300 ms, sending again (1 of 3)\n", "1 6", 2},
      {"lost chunk reply", {"--drop", "5:4"}, false, {"-t", "300", "flash", img}, 0,
       "mfgstation: flash: chunk at byte 3028: reply lost; the device's reply count shows the chunk answered, going "
       "on\n",
       "5 0", 1},
      {"chunk replies never come", {"--drop-all", "5"}, false, {"-t", "200", "-r", "1", "flash", img}, 3,
       "mfgstation: flash: closing the transfer: no reply within 200 ms, sending again (1 of 1)\n"
       "mfgstation: flash: closing the transfer: no reply within 200 ms after 2 attempts\n"
       "mfgstation: flash: closing the transfer: the service ends after about 30 s without a request, and a device "
       "bound to another station answers only that station\n"
       "mfgstation: flash: restarting the transfer (1 of 1)\n"
       "mfgstation: flash: closing the transfer: no reply within 200 ms, sending again (1 of 1)\n"
       "mfgstation: flash: closing the transfer: no reply within 200 ms after 2 attempts\n"
       "mfgstation: flash: closing the transfer: the service ends after about 30 s without a request, and a device "
       "bound to another station answers only that station\n"
       "mfgstation: flash: transfer failed after 1 restarts\n",
       "4 4", 2},
      {"lost upgrade replies", {"--drop-all", "11"}, false,
       {"-t", "300", "--flash-timeout", "1", "flash", img}, 3,
       "mfgstation: flash: no reply to the upgrade within 300 ms; waiting for the end of flashing (the upgrade is not "
       "sent again)\n"
       "mfgstation: flash: the end of flashing was not reported within 1 s; the upgrade is not sent again, check the "
       "device\n",
       "11 0", 1},
      {"dead device", {}, true, {"-t", "200", "-r", "2", "connect"}, 3,
       "mfgstation: connect: no reply within 200 ms, sending again (1 of 2)\n"
       "mfgstation: connect: no reply within 200 ms, sending again (2 of 2)\n"
       "mfgstation: connect: no reply within 200 ms after 3 attempts\n"
       "mfgstation: connect: the service ends after about 30 s without a request, and a device bound to another "
       "station answers only that station\n",
       nullptr, 0},
      {"no such interface", {}, true, {"-i", "nosuch0", "connect"}, 2,
       "mfgstation: interface nosuch0: No such device\n", nullptr, 0},
      {"usage", {}, true, {"connect", "write-sn"}, 1,
       "mfgstation: write-sn needs a text\nTry 'mfgstation --help' for more information.\n", nullptr, 0},
      // Told before the interface is locked or opened (no such interface here).
      {"bad serial-number pattern", {}, true,
       {"-i", "nosuch0", "-d", "02:00:00:00:01:01", "-d", "02:00:00:00:01:02", "--sn-pattern", "Q%s", "--db",
        "line.db", "connect", "write-sn", "@next"},
       1,
       "mfgstation: serial number pattern \"Q%s\": a conversion must be an integer one (%d, %i, %u, %x, %X or %o, "
       "with flags, width and precision, no length modifier)\nTry 'mfgstation --help' for more information.\n",
       nullptr, 0},
      {"interface in use", {}, true, {"connect"}, 2,
       "mfgstation: " + net.station_if() + " is in use by another mfgstation; one station per interface\n", nullptr, 0,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<qvnet::Background> dev, holder;
    if (!c.dead) dev = fake_device(c.device);
    if (c.busy) {
      holder = std::make_unique<qvnet::Background>(
          net.in_ns({"mfgstation", "-i", net.station_if(), "-t", "5000", "-r", "0", "connect"}),
          std::vector<std::string>{}, work + "/holder.log");
      wait_ready(*holder);  // the station locks the interface before it opens its socket
    }
    RunResult r = station(c.station, c.busy ? 2000 : 60000);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_EQ(without_resends(r.err), without_resends(c.err)) << r.err;
    if (dev) {
      dev->stop();
      if (c.device_line)
        EXPECT_EQ(count_lines(qvtest::read_file(work + "/device.log"), c.device_line), c.device_count);
    }
  }
}

// The stand-in device holds "FAKE1" and reads it back whatever it was given.
// A number the line did not give refuses the device, nothing taken; with
// --replace-sn it is recorded and the next number sent, which is then not
// confirmed, and the ledger says so as it happens; a number the ledger knows
// is kept.
TEST_F(StationNet, LedgerAccountsForANumberTheDeviceDoesNotReadBack) {
  auto dev = fake_device({});
  const std::string db = work + "/line.db";
  auto line = [&](std::vector<std::string> more) {
    std::vector<std::string> args = {"-t", "1000", "--all", "--db", db, "--sn-pattern", "QV-%04d"};
    args.insert(args.end(), more.begin(), more.end());
    for (const char* a : {"connect", "write-sn", "@next", "reboot"}) args.push_back(a);
    return station(args);
  };
  std::string error;
  auto store = line_ledger::open_ledger_store(db, &error);
  ASSERT_NE(store, nullptr) << error;
  auto rows_of = [&](const std::string& sql) {
    std::vector<line_ledger::Row> rows;
    EXPECT_TRUE(store->run(sql, {}, &rows, &error)) << error;
    return rows;
  };

  RunResult r = line({});
  EXPECT_EQ(r.status, 10) << r.out << r.err;
  EXPECT_EQ(r.err,
            "02:00:00:00:00:01: write-sn: the device holds FAKE1, a number this line did not give: the device is "
            "refused (--replace-sn gives it a new number)\n");
  EXPECT_TRUE(rows_of("SELECT serial FROM serials").empty());
  EXPECT_EQ(rows_of("SELECT serial_read, reason FROM runs").at(0),
            (line_ledger::Row{std::string("FAKE1"), std::string("holds an unknown serial number")}));

  r = line({"--replace-sn"});
  EXPECT_EQ(r.status, 6) << r.out << r.err;
  EXPECT_EQ(r.out,
            "02:00:00:00:00:01: connect: connected to 02:00:00:00:00:01\n"
            "02:00:00:00:00:01: read-sn: \"FAKE1\"\n"
            "02:00:00:00:00:01: write-sn: stored \"QV-0001\"\n"
            "02:00:00:00:00:01: read-sn: \"FAKE1\"\n"
            "02:00:00:00:00:01: FAILED (serial number not stored)\n"
            "1 device: 0 passed, 1 failed (1 serial number not stored)\n"
            "serial number QV-0001 sent to 02:00:00:00:00:01 was not confirmed\n"
            "02:00:00:00:00:01 FAILED (serial number not stored)\n");
  auto rows = rows_of("SELECT serial, source, state, void_reason, device FROM serials ORDER BY serial");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], "FAKE1");
  EXPECT_EQ(rows[0][1], "device");
  EXPECT_EQ(rows[0][2], "void");
  EXPECT_EQ(rows[0][3], "replaced (--replace-sn)");
  EXPECT_EQ(rows[0][4], rows[1][4]);  // the device it was found on
  EXPECT_EQ(rows[1][0], "QV-0001");
  EXPECT_EQ(rows[1][2], "void");
  EXPECT_EQ(rows[1][3], "sent, never confirmed: failed (serial number not stored)");
  EXPECT_EQ(rows_of("SELECT serial_written, serial_read, result, reason FROM runs WHERE id = 2").at(0),
            (line_ledger::Row{std::string("QV-0001"), std::string("FAKE1"), std::string("failed"),
                              std::string("serial number not stored")}));
  rows = rows_of("SELECT step, status FROM steps WHERE run_id = 2 ORDER BY seq");
  ASSERT_EQ(rows.size(), 2u);  // reboot never started
  EXPECT_EQ(rows[1], (line_ledger::Row{std::string("write-sn"), std::string("failed")}));

  // Once the line's own, the number is kept: nothing written, on record.
  rows_of("UPDATE serials SET source = 'QV-%04d' WHERE serial = 'FAKE1'");
  r = line({});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err,
            "02:00:00:00:00:01: write-sn: the device holds FAKE1, a number this line gave: it keeps it, nothing is "
            "written\n");
  EXPECT_EQ(rows_of("SELECT state, run_id FROM serials WHERE serial = 'FAKE1'").at(0),
            (line_ledger::Row{std::string("recorded"), std::string("3")}));
  dev->stop();
  EXPECT_EQ(count_lines(qvtest::read_file(work + "/device.log"), "2 8"), 1);  // QV-0001 alone was written
}

// Every number handed out ends with a device and a final state in the ledger,
// whatever ends the device's run: a record that cannot be written, a stop
// during the transfer, during the device's flashing, or twice while a reply is
// awaited (a read-back of another number is the case above). The stand-in
// starts without a serial number; the list's one number "FAKE1" reads back as
// sent.
TEST_F(StationNet, LedgerAccountsForEveryNumberHandedOut) {
  using line_ledger::Row;
  using line_ledger::Value;
  const std::string img = image(262144, 9), list = work + "/list";
  qvtest::write_file(list, "FAKE1\n");
  const Value none;
  const std::vector<Row> every_step_ok = {{std::string("connect"), std::string("ok")},
                                          {std::string("write-sn"), std::string("ok")},
                                          {std::string("flash"), std::string("ok")},
                                          {std::string("reboot"), std::string("ok")}};
  const Row station_problem = {std::string("FAKE1"), std::string("FAKE1"), std::string("failed"),
                               std::string("station problem")};
  const std::string mac = qvtest::split_lines(qvtest::run(net.in_ns({"cat", "/sys/class/net/br0/address"})).out).at(0);
  const struct {
    const char* name;
    std::vector<std::string> device, station;  // the stand-in's options; the station's before --db
    const char* await;  // the signals go once the device logged this request ...
    int await_count;    // ... this often
    int signal, signals;  // which signal, how often, 50 ms apart
    int status;
    std::string out;                         // a whole line of the output, timed as it comes
    const char *serial_state, *void_reason;  // of the one number
    Row run;                                 // serial_written, serial_read, result, reason
    std::vector<Row> steps;                  // the steps that ended: step, status
    std::vector<std::pair<const char*, int>> device_saw;  // requests and how often
    const char* refusal = nullptr;  // a trigger by which the ledger refuses one change
  } cases[] = {
      {"record on a full disk", {}, {"--sn-list", list, "--record", "/dev/full"}, nullptr, 0, 0, 0, 2,
       mac + ": cannot write the record file /dev/full: No space left on device", "confirmed", nullptr,
       station_problem,
       every_step_ok,
       {{"9 0", 1}}},
      // The reply to the 20th chunk (after the empty one that closes a transfer
      // left open) is lost: the stop comes while it is awaited,
      // and no further chunk goes out.
      {"SIGTERM during the transfer", {"--drop", "5:21"}, {"--sn-list", list}, "5 1514", 20, SIGTERM, 1, 143,
       mac + " INTERRUPTED in flash (serial number FAKE1 confirmed)", "confirmed", nullptr,
       {std::string("FAKE1"), std::string("FAKE1"), std::string("interrupted"), std::string("interrupted")},
       {{std::string("connect"), std::string("ok")},
        {std::string("write-sn"), std::string("ok")},
        {std::string("flash"), std::string("interrupted")}},
       {{"5 1514", 20}, {"6 4", 0}, {"11 0", 0}}},
      // The flashing under way is waited for; the reboot does not start. The
      // operator's terminal closing stops like a kill.
      {"SIGHUP while the device flashes", {"--flash-ms", "1000"}, {"--sn-list", list}, "11 0", 1, SIGHUP, 1, 129,
       mac + " INTERRUPTED before reboot (serial number FAKE1 confirmed)", "confirmed", nullptr,
       {std::string("FAKE1"), std::string("FAKE1"), std::string("interrupted"), std::string("interrupted")},
       {{std::string("connect"), std::string("ok")},
        {std::string("write-sn"), std::string("ok")},
        {std::string("flash"), std::string("ok")}},
       {{"9 0", 0}}},
      // The device may hold the number sent: void, and still naming the device.
      {"two SIGTERMs while the write-sn reply is awaited", {"--drop-all", "2"}, {"--sn-list", list}, "2 6", 1, SIGTERM, 2, 143,
       mac + " INTERRUPTED in write-sn (serial number FAKE1 sent, not confirmed)", "void", "interrupted",
       {std::string("FAKE1"), none, std::string("interrupted"), std::string("interrupted")},
       {{std::string("connect"), std::string("ok")}, {std::string("write-sn"), std::string("interrupted")}},
       {{"2 6", 1}, {"4 4", 0}}},
      // The ledger refuses one change of the run: the device cannot pass, and a
      // number it read back is never void.
      {"the ledger refuses the number as sent", {}, {"--sn-list", list}, nullptr, 0, 0, 0, 2,
       mac + " FAILED (station problem)", "confirmed", nullptr,
       station_problem,
       every_step_ok,
       {{"9 0", 1}},
       "BEFORE UPDATE OF state ON serials WHEN NEW.state = 'sent'"},
      // Refused while write-sn runs, taken at the run's end.
      {"the ledger refuses the confirmation", {}, {"--sn-list", list}, nullptr, 0, 0, 0, 2,
       mac + " FAILED (station problem)", "confirmed", nullptr,
       station_problem,
       every_step_ok,
       {{"9 0", 1}},
       "BEFORE UPDATE OF state ON serials WHEN NEW.state = 'confirmed' AND (SELECT count(*) FROM steps) < 2"},
      {"the ledger refuses a step's end", {}, {"--sn-list", list}, nullptr, 0, 0, 0, 2,
       mac + " FAILED (station problem)", "confirmed", nullptr,
       station_problem,
       {{std::string("connect"), std::string("ok")},
        {std::string("write-sn"), std::string("ok")},
        {std::string("reboot"), std::string("ok")}},
       {{"9 0", 1}},
       "BEFORE INSERT ON steps WHEN NEW.step = 'flash'"},
      // The run stays running in the ledger, as a station's that died: its
      // record says failed, and the number stays on the device, confirmed.
      {"the ledger refuses the run's end", {}, {"--sn-list", list}, nullptr, 0, 0, 0, 2,
       "mfgstation: the ledger still has run 1 as running: run 1 (failed): refused by the test", "confirmed", nullptr,
       {std::string("FAKE1"), std::string("FAKE1"), std::string("running"), none},
       every_step_ok,
       {{"9 0", 1}},
       "BEFORE UPDATE OF result ON runs WHEN NEW.result <> 'running'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string db = work + "/line.db", record = work + "/line.jsonl";
    qvtest::run({"rm", "-f", db, db + "-wal", db + "-shm", record});
    if (c.refusal) {
      std::string error;
      auto store = line_ledger::open_ledger_store(db, &error);
      ASSERT_NE(store, nullptr) << error;
      ASSERT_TRUE(store->run(std::string("CREATE TRIGGER refusal ") + c.refusal +
                                 " BEGIN SELECT RAISE(ABORT, 'refused by the test'); END",
                             {}, nullptr, &error))
          << error;
    }
    std::vector<std::string> device_options = {"--serial", ""};
    device_options.insert(device_options.end(), c.device.begin(), c.device.end());
    auto dev = fake_device(device_options);
    std::vector<std::string> argv = {"mfgstation", "-i", net.station_if(), "-t", "1000"};
    argv.insert(argv.end(), c.station.begin(), c.station.end());
    // The stand-in by its address: a discovery would wait the whole reply time-out.
    argv.insert(argv.end(), {"--device", mac, "--db", db});
    if (std::find(c.station.begin(), c.station.end(), "--record") == c.station.end())
      argv.insert(argv.end(), {"--record", record});
    argv.insert(argv.end(), {"connect", "write-sn", "@next", "flash", img, "reboot"});
    qvnet::Background run(net.in_ns(argv), {}, work + "/station.out");
    if (c.await) {
      for (int i = 0; i < 2000 && count_lines(qvtest::read_file(work + "/device.log"), c.await) < c.await_count; ++i)
        usleep(5000);
      for (int i = 0; i < c.signals; ++i, usleep(50000)) kill(run.pid(), c.signal);
    }
    EXPECT_EQ(run.wait(30000), c.status);
    const std::string out = qvtest::read_file(work + "/station.out");
    EXPECT_NE(count_lines(out, c.out), 0) << out;
    dev->stop();
    const std::string log = qvtest::read_file(work + "/device.log");
    for (const auto& [request, count] : c.device_saw) EXPECT_EQ(count_lines(log, request), count) << request;

    std::string error;
    auto store = line_ledger::open_ledger_store(db, &error);
    ASSERT_NE(store, nullptr) << error;
    std::vector<Row> rows;
    ASSERT_TRUE(store->run("SELECT serial_written, serial_read, result, reason, device FROM runs", {}, &rows, &error))
        << error;
    ASSERT_EQ(rows.size(), 1u);
    const Value device = rows[0][4];
    rows[0].pop_back();
    EXPECT_EQ(rows[0], c.run);
    rows.clear();
    ASSERT_TRUE(store->run("SELECT step, status FROM steps ORDER BY seq", {}, &rows, &error)) << error;
    EXPECT_EQ(rows, c.steps);
    // Every number the counter went past is in the ledger, settled, on the
    // device of the run.
    rows.clear();
    ASSERT_TRUE(store->run("SELECT next_value - 1 FROM serial_sources", {}, &rows, &error)) << error;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "1");
    rows.clear();
    ASSERT_TRUE(store->run("SELECT serial, state, void_reason, device FROM serials", {}, &rows, &error)) << error;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], c.run[0]);
    EXPECT_EQ(rows[0][1], c.serial_state);
    EXPECT_EQ(rows[0][3], device);
    if (c.void_reason)
      EXPECT_EQ(rows[0][2], c.void_reason);
    else
      EXPECT_FALSE(rows[0][2].has_value());
    // The record says what the ledger says.
    if (qvtest::file_exists(record)) {
      const nlohmann::json rec = nlohmann::json::parse(qvtest::read_file(record));
      EXPECT_EQ(rec["result"], *c.run[2] == "running" ? "failed" : *c.run[2]);
      EXPECT_EQ(rec["serial"]["written"], *c.run[0]);
      EXPECT_EQ(rec["serial"]["confirmed"], std::string(c.serial_state) == "confirmed");
    }
  }
}

TEST(StationMtu, ChunksFollowADefaultMtu) {
  qvnet::TestNet net(1500);
  ASSERT_TRUE(net.ok()) << net.error();
  const std::string dir = "/tmp/mfgstation_e2e_mtu_" + std::to_string(getpid());
  qvtest::run({"mkdir", "-p", dir});
  qvtest::write_file(dir + "/img", random_bytes(5000, 3));
  {
    qvnet::Background dev(net.in_ns({"mfgstation_fake_device", "-i", "br0"}), {}, dir + "/device.log");
    wait_ready(dev);
    RunResult r = qvtest::run(net.in_ns({"mfgstation", "-i", net.station_if(), "flash", dir + "/img"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(masked(r.out),
              "flash: 5000 bytes, CRC-32 6fc36cd2, 1492 bytes per chunk\n"
              "flash: 1492 of 5000 bytes sent (29%), #.## MiB/s\n"
              "flash: 2984 of 5000 bytes sent (59%), #.## MiB/s\n"
              "flash: 4476 of 5000 bytes sent (89%), #.## MiB/s\n"
              "flash: 5000 of 5000 bytes sent (100%), #.## MiB/s\n"
              "flash: CRC-32 confirmed by the device\n"
              "flash: writing \"Kernel\" on the device\n"
              "flash: done: the device ran its flash tool on the image it confirmed (CRC-32 6fc36cd2); the tool's own "
              "result is not reported\n");
  }
  const std::string log = qvtest::read_file(dir + "/device.log");
  EXPECT_EQ(count_lines(log, "5 1492"), 3);
  EXPECT_EQ(count_lines(log, "5 524"), 1);
  qvtest::run({"rm", "-rf", dir});
}

// mfgstation report: the ledger's figures on the output and in a page; a ledger
// or page that cannot be had is a station problem (2), with nothing written.
TEST(StationReport, TextPageAndRefusals) {
  const std::string dir = "/tmp/mfgstation_e2e_report_" + std::to_string(getpid());
  qvtest::run({"mkdir", "-p", dir});
  const std::string db = dir + "/line.db", page = dir + "/report.html";
  {
    std::string error;
    auto store = line_ledger::open_ledger_store(db, &error);
    ASSERT_TRUE(store) << error;
    const int64_t t0 = 1796716800000;  // 2026-12-08T08:00:00Z
    const struct {
      int64_t start, length;
      const char *result, *reason;
    } runs[] = {{-60000, 40000, "passed", nullptr},
                {0, 41000, "passed", nullptr},
                {60000, 12000, "failed", "no reply"},
                {3600000, 39000, "passed", nullptr}};
    int id = 0;
    for (const auto& r : runs) {
      ++id;
      ASSERT_TRUE(store->run("INSERT INTO runs (id, started_ms, ended_ms, station, interface, station_mac, device,"
                             " result, reason) VALUES ($1, $2, $3, 'line-a', 'eth1', '00:1b:21:3a:4f:10', $4, $5, $6)",
                             {std::to_string(id), std::to_string(t0 + r.start), std::to_string(t0 + r.start + r.length),
                              "02:00:00:00:01:0" + std::to_string(id), r.result,
                              r.reason ? line_ledger::Value(r.reason) : std::nullopt},
                             nullptr, &error))
          << error;
      ASSERT_TRUE(store->run("INSERT INTO serials (serial, source, state, void_reason, station, interface, taken_ms,"
                             " changed_ms) VALUES ($1, 'QV-%06d', $2, $3, 'line-a', 'eth1', $4, $4)",
                             {"QV-00471" + std::to_string(id), r.reason ? "void" : "recorded",
                              r.reason ? line_ledger::Value("not confirmed") : std::nullopt,
                              std::to_string(t0 + r.start + 1000)},
                             nullptr, &error))
          << error;
    }
  }
  // SQLite files of something else, in WAL mode: refused, and left as they
  // were. pending.db is a copy taken while its writer was still open: its
  // change is in its write-ahead log alone, as after a writer killed.
  const std::string other = dir + "/other.db", pending = dir + "/pending.db";
  {
    std::string error;
    auto store = line_ledger::open_ledger_store(other, &error);
    ASSERT_TRUE(store) << error;
    ASSERT_TRUE(store->run("DROP TABLE ledger_meta", {}, nullptr, &error)) << error;
    for (const char* end : {"", "-wal", "-shm"}) qvtest::run({"cp", other + end, pending + end});
  }
  const std::vector<std::string> kept = {other, pending, pending + "-wal"};
  std::vector<std::string> kept_bytes;
  for (const std::string& file : kept) kept_bytes.push_back(qvtest::read_file(file));
  ASSERT_GT(kept_bytes.back().size(), 0u);
  const struct {
    std::vector<std::string> args;
    int status;
    const char* out;
    std::string err;
  } cases[] = {
      {{"report", "--db", db, "--from", "2026-12-08T08:00", "--to", "2026-12-08T09"}, 0,
       "Line report from 2026-12-08T08:00:00Z to 2026-12-08T09:00:00Z (runs begun and serial numbers taken in that "
       "time)\n"
       "\n"
       "Station line-a eth1\n"
       "  devices:            2: 1 passed, 1 failed\n"
       "  failures by reason: 1 no reply\n"
       "  serial numbers:     1 used, 1 void (1 not confirmed), 0 open\n"
       "  time per device:    median 12.0 s, 95th percentile 41.0 s, of 2 devices\n",
       ""},
      {{"report", "--html", page, "--db", db}, 0, nullptr, ""},
      {{"report", "--db", dir + "/missing.db"}, 2, "",
       "mfgstation: report: " + dir + "/missing.db: No such file or directory\n"},
      {{"report", "--db", other}, 2, "",
       "mfgstation: report: " + other + ": not a line ledger (no such table: ledger_meta)\n"},
      {{"report", "--db", pending}, 2, "",
       "mfgstation: report: " + pending + ": not a line ledger (no such table: ledger_meta)\n"},
      {{"report", "--db", db, "--html", dir + "/no/such/folder/report.html"}, 2, "",
       "mfgstation: report: " + dir + "/no/such/folder/report.html: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    std::vector<std::string> argv = {"mfgstation"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    RunResult r = qvtest::run(argv);
    EXPECT_EQ(r.status, c.status);
    if (c.out) EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_FALSE(qvtest::file_exists(dir + "/missing.db"));
  const std::string html = qvtest::read_file(page);
  EXPECT_EQ(html.substr(0, 16), "<!DOCTYPE html>\n");
  EXPECT_EQ(count_lines(html,
                        "<tr data-station=\"Whole line\"><th>Whole line</th><td data-key=\"devices\">4</td>"
                        "<td data-key=\"passed\">3</td><td data-key=\"failed\">1</td>"
                        "<td data-key=\"interrupted\">0</td>"
                        "<td data-key=\"running\">0</td><td data-key=\"serials-used\">3</td>"
                        "<td data-key=\"serials-void\">1</td><td data-key=\"serials-open\">0</td>"
                        "<td data-key=\"median\">39.0 s</td><td data-key=\"p95\">41.0 s</td></tr>"),
            1);
  for (std::size_t i = 0; i < kept.size(); ++i) {
    SCOPED_TRACE(kept[i]);
    EXPECT_SAME_BYTES(qvtest::read_file(kept[i]), kept_bytes[i]);
  }
  // No -wal or -shm left beside a file that had none, and none taken away.
  EXPECT_EQ(qvtest::run({"ls", dir}).out, "line.db\nother.db\npending.db\npending.db-shm\npending.db-wal\nreport.html\n");
  qvtest::run({"rm", "-rf", dir});
}

// Against the real service on a simulated device root.
class StationService : public StationNet {
 protected:
  void SetUp() override {
    StationNet::SetUp();
    if (HasFatalFailure()) return;
    start_service({"mfglinkd_fg"});
  }
  void start_service(const std::vector<std::string>& argv) {
    service.reset();
    service = std::make_unique<qvnet::Background>(net.in_ns(argv), root.env(), root.dir() + "/service.out");
    wait_ready(*service);
  }
  std::string service_output() { return qvtest::read_file(root.dir() + "/service.out"); }

  qvtest::DeviceRoot root{{"--kernel-size", "8388608"}};
  std::unique_ptr<qvnet::Background> service;
};

TEST_F(StationService, FlashOfSeveralMiBLandsOnKernel) {
  const std::size_t size = 5 * 1048576 + 12345;
  const std::string img = image(size, 4);
  RunResult r = station({"--max-size", "8M", "connect", "write-sn", "QV-E2E-01", "flash", img, "reboot"});
  ASSERT_EQ(r.status, 0) << r.out << r.err << service_output();
  // A device of this family could not have taken it, and the station cannot tell.
  EXPECT_EQ(r.err,
            "mfgstation: flash: unverified: the image is 5255225 bytes, more than the 4194304 of this device family's "
            "\"Kernel\" partition, and the device does not report whether its flash tool took it\n");
  EXPECT_SAME_BYTES(root.peek("Kernel", 0, static_cast<long>(size)), qvtest::read_file(img));
  EXPECT_SAME_BYTES(root.read("/tmp/firmware"), qvtest::read_file(img));
  // The service stays up after the reboot command; the stored number reads back.
  r = station({"read-sn", "quit"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "read-sn: \"QV-E2E-01\"\nquit: service ended\n");
  EXPECT_EQ(service->wait(5000), 0);
  // The reboot reply goes out before the command runs; once the service has
  // answered the requests after it, the log is complete.
  const std::vector<std::string> log = root.platform_log();
  auto flash = std::find_if(log.begin(), log.end(), [&](const std::string& l) {
    return l == "mtd_write write " + root.path("/tmp/firmware") + " Kernel" || l == "mtd_write write /tmp/firmware Kernel";
  });
  ASSERT_NE(flash, log.end()) << qvtest::read_file(root.path("/var/log/platform.log")) << service_output().substr(0, 3000);
  EXPECT_NE(std::find(flash + 1, log.end(), "reboot"), log.end());
}

TEST_F(StationService, SecondImageInTheSameRunVerifies) {
  const std::string a = image(300000, 5), b = image(200000, 6);
  RunResult r = station({"connect", "flash", a, "flash", b});
  ASSERT_EQ(r.status, 0) << r.out << r.err << service_output();
  EXPECT_SAME_BYTES(root.peek("Kernel", 0, 200000), qvtest::read_file(b));
  EXPECT_SAME_BYTES(root.peek("Kernel", 200000, 100000), qvtest::read_file(a).substr(200000));
}

TEST_F(StationService, DeadServiceAfterQuit) {
  RunResult r = station({"connect", "quit"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(service->wait(5000), 0);
  r = station({"-t", "200", "-r", "1", "connect"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "mfgstation: connect: no reply within 200 ms, sending again (1 of 1)\n"
            "mfgstation: connect: no reply within 200 ms after 2 attempts\n"
            "mfgstation: connect: the service ends after about 30 s without a request, and a device bound to another "
            "station answers only that station\n");
}

TEST_F(StationService, FullTmpIsAChunkFailureAndTheServiceGoesOn) {
  // The file size limit stands in for a full /tmp: writes beyond it fail.
  start_service({"bash", "-c", "trap '' XFSZ; ulimit -f 64; exec mfglinkd_fg"});
  const std::string img = image(200000, 7);
  RunResult r = station({"connect", "flash", img});
  EXPECT_EQ(r.status, 5) << r.out << r.err << service_output();
  // The chunk that would take the staged image past 128 KiB.
  EXPECT_EQ(r.err, "mfgstation: flash: chunk at byte 130204: the device could not store the chunk; transfer abandoned\n");
  r = station({"read-sn", "close"});
  EXPECT_EQ(r.status, 0) << r.err;
}

// A capture recorded on the station's interface during a run, read back
// through the dissector.
TEST_F(StationService, DissectorReadsARecordedCapture) {
  const std::string pcap = work + "/run.pcapng";
  qvnet::Background capture(net.in_ns({"tshark", "-q", "-i", net.station_if(), "-w", pcap, "-f", "ether proto 0x3914"}),
                            {}, work + "/tshark.out");
  // tshark captures through its child dumpcap, which creates the capture file
  // once its socket has the filter: a frame sent before that is dropped.
  bool capturing = false;
  for (int i = 0; i < 2000 && !(capturing = access(pcap.c_str(), F_OK) == 0); ++i) usleep(5000);
  ASSERT_TRUE(capturing) << qvtest::read_file(work + "/tshark.out");
  const std::string img = image(4000, 8);
  RunResult r = station({"connect", "write-sn", "CAP-1", "read-sn", "flash", img});
  ASSERT_EQ(r.status, 0) << r.err;
  // A request with a spoilt checksum, answered with status 5.
  r = qvtest::run(net.in_ns({"mfgprobe", "-i", net.station_if(), "raw", "3", "-", "sum=wrong"}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  usleep(500 * 1000);
  capture.stop();

  r = qvtest::run({"tshark", "-X", "lua_script:" + qvtest::source_dir() + "/tools/dissector/qv_factory_link.lua",
                   "-n", "-r", pcap, "-V"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Whole lines of the dissection tree, each indented by its depth.
  const char* expected[] = {
      "QV Factory Link",
      "    Command: Create connection (1)",
      "    Command: Write serial number (2)",
      "    Serial number: CAP-1",
      "    Command: Firmware length (4)",
      "    Firmware length: 4000",
      "    Command: Firmware chunk (5)",
      "    Command: Firmware checksum (6)",
      "    Command: Upgrade normal code (11)",
      "    Status: Success (0)",
      "    Phase: Flashing ended (1)",
      "    Status: Wrong checksum (5)",
      "    Checksum: 0xfffb",  // the reply to connect
      "        [Checksum status: Good]",
      "        [Expert Info (Error/Checksum): Bad checksum: 0x0004, computed 0xfffb]",
  };
  for (const char* e : expected) EXPECT_NE(count_lines(r.out, e), 0) << e;
}

}  // namespace

// A production line: three devices on one segment, served at once; the second
// one's service is killed part-way through its transfer.
TEST(StationLine, OneDeviceDiesPartWayTheOthersPassOnRecord) {
  qvnet::TestLine line(3);
  ASSERT_TRUE(line.ok()) << line.error();
  const std::string dir = "/tmp/mfgstation_e2e_line_" + std::to_string(getpid());
  qvtest::run({"mkdir", "-p", dir});
  std::vector<std::unique_ptr<qvtest::DeviceRoot>> roots;
  std::vector<std::unique_ptr<qvnet::Background>> services;
  for (int k = 1; k <= 3; ++k) {
    roots.push_back(std::make_unique<qvtest::DeviceRoot>(std::vector<std::string>{"--kernel-size", "8388608"}));
    services.push_back(std::make_unique<qvnet::Background>(line.in_device(k, {"mfglinkd_fg"}), roots.back()->env(),
                                                           roots.back()->dir() + "/service.out"));
  }
  for (const auto& s : services) wait_ready(*s);
  // Larger than the family's partition (these devices' is larger): flashed, unverified.
  const std::size_t size = 4 * 1048576 + 99;
  // The line moves to the ledger from a state file, which is carried in.
  const std::string img = dir + "/image.bin", state = dir + "/sn.state", record = dir + "/line.jsonl",
                    db = dir + "/line.db";
  qvtest::write_file(img, random_bytes(size, 16));
  qvtest::write_file(state, "4711\n");
  auto station = [&](std::vector<std::string> args) {
    std::vector<std::string> argv = {"mfgstation", "-i", "st0", "-t", "1000"};
    argv.insert(argv.end(), args.begin(), args.end());
    return line.in_station(argv);
  };

  RunResult r = qvtest::run(station({"discover"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, line.device_mac(1) + "\n" + line.device_mac(2) + "\n" + line.device_mac(3) + "\n");

  qvnet::Background run(station({"-r", "1", "--max-size", "8M", "--all", "--sn-pattern", "QV-%06d", "--db", db,
                                 "--sn-state", state, "--record", record, "connect", "write-sn", "@next", "flash", img, "reboot"}),
                        {}, dir + "/station.out");
  const std::string firmware = roots[1]->path("/tmp/firmware");
  for (int i = 0; i < 2000 && qvtest::read_file(firmware).size() < 262144; ++i) usleep(5000);
  services[1]->stop();
  EXPECT_EQ(run.wait(60000), 3);  // the one failure: no reply
  const std::string out = qvtest::read_file(dir + "/station.out");
  EXPECT_EQ(count_lines(out, "3 devices: 2 passed, 1 failed (1 no reply)"), 1) << out;
  // The dead device's time-outs held up no other device.
  const std::vector<std::string> lines = qvtest::split_lines(out);
  auto line_number = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) - lines.begin(); };
  EXPECT_LT(line_number(line.device_mac(3) + ": passed"), line_number(line.device_mac(2) + ": FAILED (no reply)"))
      << out;

  std::vector<nlohmann::json> records;
  for (const std::string& l : qvtest::split_lines(qvtest::read_file(record))) records.push_back(nlohmann::json::parse(l));
  ASSERT_EQ(records.size(), 3u);
  std::set<std::string> serials;
  for (const nlohmann::json& rec : records) {
    const int k = rec["device"] == line.device_mac(1) ? 1 : rec["device"] == line.device_mac(2) ? 2 : 3;
    SCOPED_TRACE(k);
    EXPECT_EQ(rec["interface"], "st0");
    EXPECT_EQ(rec["image"]["size"], size);
    EXPECT_EQ(rec["serial"]["confirmed"], true);  // written before the transfer
    EXPECT_EQ(rec["serial"]["read_back"], rec["serial"]["written"]);
    serials.insert(rec["serial"]["written"].get<std::string>());
    ASSERT_EQ(rec["steps"].size(), 4u);
    if (k == 2) {
      EXPECT_EQ(rec["result"], "failed");
      EXPECT_EQ(rec["exit_status"], 3);
      EXPECT_EQ(rec["steps"][2]["status"], "failed");
      EXPECT_EQ(rec["steps"][3]["status"], "not run");
      EXPECT_EQ(rec["reason"], "no reply");
      EXPECT_EQ(masked(rec["messages"].dump()),
                nlohmann::json::array(
                    {"flash: chunk at byte #: no reply within 1000 ms", "flash: restarting the transfer (1 of 1)",
                     "flash: closing the transfer: no reply within 1000 ms, sending again (1 of 1)",
                     "flash: closing the transfer: no reply within 1000 ms after 2 attempts",
                     "flash: closing the transfer: the service ends after about 30 s without a request, and a device "
                     "bound to another station answers only that station",
                     "flash: transfer failed after 1 restarts"})
                    .dump());
      continue;
    }
    EXPECT_EQ(rec["result"], "passed");
    for (const auto& step : rec["steps"]) EXPECT_EQ(step["status"], step["step"] == "flash" ? "unverified" : "ok");
    EXPECT_SAME_BYTES(roots[k - 1]->peek("Kernel", 0, static_cast<long>(size)), qvtest::read_file(img));
  }
  EXPECT_EQ(serials, (std::set<std::string>{"QV-004711", "QV-004712", "QV-004713"}));
  EXPECT_EQ(qvtest::read_file(state), "4711\n");  // only read

  // The devices still up read back what they were given.
  r = qvtest::run(station({"discover"}));
  const std::vector<std::string> found = qvtest::split_lines(r.out);
  ASSERT_EQ(found.size(), 2u) << r.out << r.err;
  for (const std::string& f : found) {
    const std::string mac = f.substr(0, 17);
    EXPECT_TRUE(mac == line.device_mac(1) || mac == line.device_mac(3)) << f;
    for (const nlohmann::json& rec : records)
      if (rec["device"] == mac) EXPECT_EQ(f, mac + " " + rec["serial"]["written"].get<std::string>());
  }
  qvtest::run({"rm", "-rf", dir});
}

// Two devices that answer with one address: neither is served (a pass for the
// address would hide the fixture left out), and the summary and exit status
// say so, whether the line finds its devices or is given them; discover lists
// only the devices that have their addresses alone. Devices given by address
// are asked by address: the fourth device, not given, hears nothing.
TEST(StationLine, TwoDevicesWithOneAddressAreReportedAndNotServed) {
  const std::string m1 = qvnet::TestLine::device_mac(1), m2 = qvnet::TestLine::device_mac(2),
                    m4 = qvnet::TestLine::device_mac(4);
  const struct {
    std::vector<std::string> choose;  // how the station chooses its devices
    const char* answers;              // the shared address's count, as told
    const char* summary;       // its first line
    std::size_t records;       // one per device chosen
    bool then_discover;        // discover after the line run
    bool fourth_hears_nothing;
    std::vector<int> reads;    // read-sn requests each device saw
  } cases[] = {
      {{"--all"}, "4 answers to 2 connects", "3 devices: 2 passed, 1 failed (1 address shared)", 3, true, false,
       {2, 0, 0, 2}},
      {{"-d", m1, "-d", m2}, "2 answers to 1 connect", "2 devices: 1 passed, 1 failed (1 address shared)", 2,
       false, true, {1, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.choose[0]);
    // A line of its own: a segment that has seen an address sends frames to it
    // to that one port only.
    qvnet::TestLine line(4);
    ASSERT_TRUE(line.ok()) << line.error();
    const std::string dir = "/tmp/mfgstation_e2e_shared_" + std::to_string(getpid());
    qvtest::run({"mkdir", "-p", dir});
    ASSERT_EQ(qvtest::run(line.in_device(3, {"ip", "link", "set", "br0", "address", m2})).status, 0);
    std::vector<std::unique_ptr<qvnet::Background>> devices;
    for (int k = 1; k <= 4; ++k) {
      devices.push_back(std::make_unique<qvnet::Background>(
          line.in_device(k, {"mfgstation_fake_device", "-i", "br0"}), std::vector<std::string>{},
          dir + "/device" + std::to_string(k) + ".log"));
      wait_ready(*devices.back());
    }
    const std::string record = dir + "/line.jsonl";
    const std::string why = m2 + ": " + c.answers +
                            ": more than one device answers with this address; none of them is served\n";
    std::vector<std::string> argv = {"mfgstation", "-i", "st0", "-t", "300", "--record", record};
    argv.insert(argv.end(), c.choose.begin(), c.choose.end());
    argv.insert(argv.end(), {"connect", "read-sn"});
    RunResult r = qvtest::run(line.in_station(argv));
    EXPECT_EQ(r.status, 11) << r.out << r.err;
    EXPECT_EQ(r.err, why);
    // The devices' lines come as they are served; the summary's end the output.
    const std::vector<std::string> out = qvtest::split_lines(r.out);
    EXPECT_EQ(std::vector<std::string>(out.end() - std::min<std::size_t>(out.size(), 2), out.end()),
              (std::vector<std::string>{c.summary, m2 + " FAILED (address shared)"}))
        << r.out;
    const std::vector<std::string> lines = qvtest::split_lines(qvtest::read_file(record));
    EXPECT_EQ(lines.size(), c.records);
    int shared = 0;
    for (const std::string& l : lines) {  // on record as each ends
      const nlohmann::json rec = nlohmann::json::parse(l);
      if (rec["device"] != m2) {
        EXPECT_EQ(rec["result"], "passed") << l;
        continue;
      }
      ++shared;
      EXPECT_EQ(rec["reason"], "address shared");
      EXPECT_EQ(rec["steps"][0]["status"], "not run");
    }
    EXPECT_EQ(shared, 1);

    if (c.then_discover) {
      r = qvtest::run(line.in_station({"mfgstation", "-i", "st0", "-t", "300", "discover"}));
      EXPECT_EQ(r.status, 11) << r.err;
      EXPECT_EQ(r.out, m1 + " FAKE1\n" + m4 + " FAKE1\n");
      EXPECT_EQ(r.err, why);
    }
    for (auto& d : devices) d->stop();
    // Only the devices with an address of their own were asked for their numbers.
    for (int k = 1; k <= 4; ++k)
      EXPECT_EQ(count_lines(qvtest::read_file(dir + "/device" + std::to_string(k) + ".log"), "3 0"),
                c.reads[k - 1])
          << k;
    if (c.fourth_hears_nothing) EXPECT_EQ(qvtest::read_file(dir + "/device4.log"), "");
    qvtest::run({"rm", "-rf", dir});
  }
}

// A watching station on a line whose devices come and go (testing/sim_line):
// services that start at random moments, one device that comes back after its
// reboot, one whose power fails as its flash begins and that is power-cycled,
// one with a number the line did not give, and two with one address. Every
// service start is connected, no device is flashed twice, every number the
// line gave is on exactly the device the ledger says, and the refused devices
// are shown.
TEST(StationLine, AWatchingStationServesEachDeviceOnceAsItComes) {
  qvnet::TestLine line(5, 1522);
  ASSERT_TRUE(line.ok()) << line.error();
  const std::string dir = "/tmp/mfgstation_e2e_watch_" + std::to_string(getpid());
  qvtest::run({"rm", "-rf", dir});
  qvtest::run({"mkdir", "-p", dir});
  const std::string img = dir + "/image.bin", db = dir + "/line.db", record = dir + "/line.jsonl",
                    scenario = dir + "/scenario";
  qvtest::write_file(img, random_bytes(1048576, 21));
  qvtest::write_file(scenario,
                     "1 0.2 comes-back\n"
                     "2 0.6 dies-mid-flash\n"
                     "3 1.0 foreign QVX-000001\n"
                     "4 1.4 shares 5\n"
                     "5 1.4 passes\n");
  qvnet::Background station(line.in_station({"mfgstation", "-i", "st0", "--watch", "--db", db, "--sn-pattern",
                                             "QV-%06d", "--record", record, "connect", "write-sn", "@next",
                                             "flash", img, "reboot"}),
                            {}, dir + "/station.out");
  wait_ready(station);
  const RunResult sim = qvtest::run({"sim_line", line.name(), scenario, dir + "/sim", "20", "--unplug", "1.5"}, {{}, "", 30000, ""});
  ASSERT_EQ(sim.status, 0) << sim.err;
  kill(station.pid(), SIGTERM);
  EXPECT_EQ(station.wait(10000), 0);
  const std::string out = qvtest::read_file(dir + "/station.out");

  // Seven service starts (two devices start twice), every one connected; the
  // two devices that pass are flashed once each, the refused ones never.
  const std::vector<std::string> figures = qvtest::split_lines(sim.out);
  for (const char* f : {"arrivals 7", "missed 0", "flashed_twice 0"})
    EXPECT_EQ(count_lines(sim.out, f), 1) << f << "\n" << sim.out;
  std::map<int, std::string> serial_of;  // by slot, as the device holds it
  static const std::regex slot("slot ([0-9]) [^:]*: ([0-9]) arrivals, ([0-9]) connected, ([0-9]) flashes, serial ([^,]+), .*");
  for (const std::string& l : figures) {
    std::smatch m;
    if (!std::regex_match(l, m, slot)) continue;
    const int k = std::stoi(m[1]);
    SCOPED_TRACE(l);
    EXPECT_EQ(m[2], k <= 2 ? "2" : "1");
    EXPECT_EQ(m[4], k <= 2 ? "1" : "0");
    serial_of[k] = m[5];
  }
  ASSERT_EQ(serial_of.size(), 5u) << sim.out;

  // The ledger: two numbers, each recorded on the one device that holds it;
  // every run on record (the device that died twice), none for the device
  // that came back done.
  std::string error;
  auto store = line_ledger::open_ledger_store_read_only(db, &error);
  ASSERT_TRUE(store) << error;
  std::vector<line_ledger::Row> rows;
  ASSERT_TRUE(store->run("SELECT serial, state, device FROM serials ORDER BY serial", {}, &rows, &error)) << error;
  ASSERT_EQ(rows.size(), 2u);
  std::set<std::string> devices;
  for (const line_ledger::Row& r : rows) {
    EXPECT_EQ(r[1], line_ledger::Value("recorded")) << *r[0];
    const int k = std::stoi(r[2]->substr(15), nullptr, 16);
    EXPECT_EQ(serial_of[k], *r[0]) << k;
    devices.insert(*r[2]);
  }
  EXPECT_EQ(devices, (std::set<std::string>{line.device_mac(1), line.device_mac(2)}));
  EXPECT_EQ(serial_of[3], "QVX-000001");
  EXPECT_EQ(serial_of[4], "-");
  EXPECT_EQ(serial_of[5], "-");
  EXPECT_EQ(qvtest::split_lines(qvtest::read_file(record)).size(), 5u);

  // What the operator saw: the device that came back is done, the one that
  // died is served again, the refused ones once each, with the reason.
  const std::string refused_sn = line.device_mac(3) + ": REFUSED (holds an unknown serial number) in ",
                    refused_mac = line.device_mac(5) + ": REFUSED (address shared) in ",
                    done = line.device_mac(1) + ": done in ";
  int refusals = 0;
  for (const std::string& l : qvtest::split_lines(out)) {
    if (l.rfind(refused_sn, 0) == 0 || l.rfind(refused_mac, 0) == 0) {
      ++refusals;
      EXPECT_EQ(l.substr(l.size() - 10), " s: unplug") << l;
    }
    if (l.rfind(done, 0) == 0) EXPECT_EQ(l.substr(l.find(" s ")), " s (passed before with this image): unplug");
  }
  EXPECT_EQ(refusals, 2) << out;
  EXPECT_EQ(count_lines(out, "5 runs: 2 passed, 3 failed (1 no reply, 1 holds an unknown serial number, 1 address "
                             "shared)"),
            1)
      << out;
  EXPECT_EQ(count_lines(out, "1 done: on record as passed with this image, not served again"), 1) << out;
  EXPECT_EQ(count_lines(out, line.device_mac(2) + ": write-sn: the device holds " + serial_of[2] +
                                 ", a number this line gave: it keeps it, nothing is written"),
            1)
      << out;
  qvtest::run({"rm", "-rf", dir});
}
