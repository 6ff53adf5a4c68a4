// The line's ledger: every serial number's life and every device run, each
// change in a transaction of its own at the moment it happens.
//
// A number's life: taken (the source's counter advanced and the number
// inserted, in one transaction) -> sent (the write request went out) ->
// confirmed (the device read back what was written) -> recorded (the device's
// run passed); or void with a reason at any point before it is confirmed.
// The primary key on the number makes a second device with the same number
// impossible, on one station or many.
#ifndef QV_TOOLS_LINE_LEDGER_LEDGER_H
#define QV_TOOLS_LINE_LEDGER_LEDGER_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ledger_store.h"

namespace line_ledger {

// UTC milliseconds since 1970.
int64_t now_ms();

// Where numbers come from: a pattern with its counter, or a list and its
// position.
struct SerialSource {
  std::string name;  // the pattern, or "list:" and the list's path
  // The n-th number (n from 1): true with it, or false with a message when
  // there is none (the list is used up, the number does not fit).
  std::function<bool(int64_t n, std::string* serial, std::string* error)> serial_for;
  // Numbers the line gave before it kept them in the ledger (its record file):
  // a take that meets one passes over it and enters it as void with the reason
  // *why, so that it is never given again. Unset: none.
  std::function<bool(const std::string& serial, std::string* why)> given_before;
};

// Who takes or holds a number.
struct Holder {
  std::string station;    // host name of the station computer
  std::string interface;
  std::string device;     // the device's MAC address
  int64_t run_id = 0;     // 0: none
};

struct SerialEntry {
  std::string serial, source, state, void_reason, station, interface, device;
  int64_t run_id = 0;
};

struct RunStart {
  std::string station, interface, station_mac, device;
  int64_t started_ms = 0;
};

// What a run has learnt so far; written with every step.
struct RunFacts {
  Value serial_written, serial_read;
  Value image;
  std::optional<uint64_t> image_size;
  std::optional<uint32_t> image_crc32;
};

// An image as the line knows it: its size and CRC-32.
struct ImageId {
  uint64_t size = 0;
  uint32_t crc32 = 0;
};

struct StepEnd {
  int seq = 0;          // from 1, in the order of the command line
  std::string step;     // "connect", "flash", ...
  std::string status;   // "ok", "failed", "not run", "interrupted", "unverified"
  int64_t duration_ms = 0;
  std::optional<ImageId> image;  // a flash step's image
};

struct RunEnd {
  std::string result;   // "passed", "failed", "interrupted"
  int exit_status = 0;
  Value reason;         // the failure kind, none when passed
  int64_t ended_ms = 0;
};

// The numbers of a source and where they stand, for the line's checks.
struct SerialCount {
  int64_t handed_out = 0;  // numbers the counter went past
  int64_t taken = 0, sent = 0, confirmed = 0, recorded = 0, voided = 0;
  int64_t missing = 0;     // numbers the counter went past that are in no row
};

// Safe to share between threads: one operation at a time.
class Ledger {
 public:
  explicit Ledger(LedgerStore& store) : store_(store) {}
  LedgerStore& store() { return store_; }

  // Whether the next count numbers of source can be given: *next is the
  // counter. true, or false with a message.
  bool check(const SerialSource& source, std::size_t count, int64_t* next, std::string* error);
  // Takes the next number for holder; a number that is already in the ledger
  // (another source gave it) is passed over.
  bool take(const SerialSource& source, const Holder& holder, std::string* serial, std::string* error);
  // Sets source's counter; it never goes down, so that no number is given twice.
  bool set_counter(const std::string& source, int64_t next, std::string* error);

  bool mark_sent(const std::string& serial, std::string* error);
  // Confirmed only when the device read back exactly what was written;
  // otherwise false with a message, and the number stays as it was.
  bool confirm(const std::string& serial, const std::string& read_back, std::string* error);
  // A number that no device holds. Once confirmed, a number is never void.
  bool void_serial(const std::string& serial, const std::string& reason, std::string* error);
  // The entry of serial: true with *found telling whether there is one.
  bool find(const std::string& serial, SerialEntry* entry, bool* found, std::string* error);
  // A device that already holds a number of the ledger keeps it: the number
  // now belongs to holder's run, confirmed.
  bool reuse(const std::string& serial, const Holder& holder, std::string* error);
  // A number that the ledger did not know, read from a device before it was
  // given another: kept as void, with the reason, so that it is on record and
  // never handed out.
  bool record_replaced(const std::string& serial, const Holder& holder, const std::string& reason,
                       std::string* error);

  // A number the line gave before the ledger (a carried state file's): entered
  // as void with the reason, so that it is never handed out, unless the
  // ledger has it already (*entered false).
  bool enter_void(const std::string& serial, const std::string& source, const Holder& holder,
                  const std::string& reason, bool* entered, std::string* error);

  // A device's run begins: *id is its row.
  bool begin_run(const RunStart& start, int64_t* id, std::string* error);
  bool end_step(int64_t run_id, const StepEnd& step, const RunFacts& facts, std::string* error);
  // The run ends: its numbers are settled with it (confirmed -> recorded when
  // it passed; taken or sent -> void, with the reason "interrupted" for a sent
  // one when the run was interrupted).
  bool end_run(int64_t run_id, const RunEnd& end, const RunFacts& facts, std::string* error);

  // A run the ledger missed the end of (its connection stayed broken) is
  // ended as end_run would have; *ended false when it is not running.
  bool end_missed_run(int64_t run_id, const RunEnd& end, const RunFacts& facts, bool* ended, std::string* error);

  bool count(const SerialSource& source, SerialCount* count, std::string* error);

  // Whether run run_id passed and flashed each of images in a step that ended
  // ok (or unverified: all a station can do with an image larger than the
  // partition): *flashed. True, or false with a message.
  bool passed_with(int64_t run_id, const std::vector<ImageId>& images, bool* flashed, std::string* error);

 private:
  bool next_value(const std::string& source, bool create, int64_t* next, std::string* error);
  bool end_run_in(int64_t run_id, const RunEnd& end, const RunFacts& facts, std::string* e);
  bool change_state(const std::string& serial, const char* to, const char* from_states, const Value& reason,
                    std::string* error);

  LedgerStore& store_;
  std::mutex mutex_;
};

}  // namespace line_ledger

#endif
