// The line's record of every device the station touched: one JSON object per
// line, appended and synced to a log file, for the line's traceability system;
// and the summary at the end of a run.
#ifndef QV_TOOLS_MFGSTATION_LINE_RECORD_H
#define QV_TOOLS_MFGSTATION_LINE_RECORD_H

#include <unistd.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace mfgstation {

struct StepRecord {
  std::string step;        // as on the command line: "connect", "flash", ...
  // "ok", "failed", "interrupted" (by a stop), "not run" (after an earlier
  // failure or a stop), or "unverified" (a flash of an image larger than the
  // family's "Kernel" partition: done, but not known to have taken).
  std::string status;
  double seconds = 0;
};

struct DeviceRecord {
  std::string time;        // when the device's run began, UTC, ISO 8601
  std::string interface;   // the station's interface
  std::string station;     // its address
  std::string device;      // the device's address, aa:bb:cc:dd:ee:ff
  int64_t ledger_run = 0;  // the run's row in the ledger (--db); 0: none
  // Serial number: the one sent (taken from the counter or given), whether the
  // device confirmed it, and what it read back; empty when there was none.
  std::string serial_written;
  bool serial_confirmed = false;
  bool serial_read = false;  // a read-back reply came
  std::string serial_read_back;
  // write-sn @next found a number on the device: kept (the line gave it), or
  // replaced (--replace-sn; the number it held).
  bool serial_kept = false;
  std::string serial_replaced;
  // The image of the flash step, if any.
  std::string image;
  uint64_t image_size = 0;
  uint32_t image_crc = 0;
  std::vector<StepRecord> steps;
  int exit_status = 0;     // as mfgstation's exit status for this device alone
  std::string reason;      // the kind of failure (failure_kind), "" when it passed
  std::vector<std::string> messages;  // every message of the device's run
  // A watching station found the line done with the device (it passed with
  // this image before): not served, in neither the ledger nor the record file.
  bool done = false;
};

// The one-line JSON text of a record, without the newline.
std::string record_json(const DeviceRecord& record);

// UTC now as "2026-12-08T09:41:07.123Z".
std::string utc_time_text();

// The record file: opened for appending; every record is one write of a whole
// line, synced before append returns, so that a crash loses no record that was
// reported as written and never leaves half a line behind a whole one.
class RecordFile {
 public:
  // sync: how a line is made durable (fsync; a test hands in one that fails).
  explicit RecordFile(int (*sync)(int) = ::fsync) : sync_(sync) {}
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  bool open(const std::string& path, std::string* error);  // false with a message
  bool append(const DeviceRecord& record, std::string* error);
  bool is_open() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string path_;
  int (*sync_)(int);
};

// What the record file at path holds (nothing when there is no file yet, or
// it is not a regular file): the serial numbers written to devices, and the
// end of every run that names its ledger row. false with a message.
struct RecordedEnd {
  int64_t ledger_run = 0;
  std::string device, result, reason;  // reason: "" when passed
  int exit_status = 0;
  int64_t ended_ms = 0;                // the run's start and its steps' time
  std::string serial_written;          // "" when none
  bool serial_read = false;
  std::string serial_read_back;
};
struct RecordFileFacts {
  std::set<std::string> serials;
  std::vector<RecordedEnd> ends;
};
bool read_record_file(const std::string& path, RecordFileFacts* facts, std::string* error);

// A device's result by its exit status: "passed", "failed" or "interrupted".
const char* result_word(int exit_status);

// Name of a failure kind by exit status: "no reply", "CRC-32 mismatch", ...
const char* failure_kind(int exit_status);

// "3 devices: 2 passed, 1 failed (1 no reply)" (and ", 1 interrupted" after a
// stop), then a line per unconfirmed serial number, and one for the devices
// whose flash is unverified. noun: what a record counts as ("device", or
// "run" where a device may have several).
std::string summary_text(const std::vector<DeviceRecord>& records, const std::string& noun = "device");

}  // namespace mfgstation

#endif
