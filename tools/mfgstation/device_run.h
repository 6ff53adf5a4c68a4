// One device's run in line mode: its Station reports here, every message
// reaches the live view (and the record) at once with the device named, what
// its steps do goes into its record, and its serial numbers and steps into the
// ledger as they happen.
#ifndef QV_TOOLS_MFGSTATION_DEVICE_RUN_H
#define QV_TOOLS_MFGSTATION_DEVICE_RUN_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "ledger.h"
#include "line.h"
#include "line_record.h"
#include "station.h"
#include "steps.h"

namespace mfgstation {

class DeviceRun : public Reporter, public StepLog {
 public:
  // The device's run begins: its record names the time, the station and the
  // device.
  DeviceRun(const LineSetup& setup, std::size_t index, const station_link::Mac& mac);

  // Serves the device; with a refusal (a failure status and why), only makes
  // its record. A watching station first reads the number the device holds
  // (arrival): a device the line is done with is told to end its service and
  // its record says done, with nothing in the ledger or the record file.
  DeviceRecord run(int refused = kExitOk, const std::string& refusal = "");

  // A watching station, of a device that came holding serial: kExitOk to
  // serve it (with *done: it is done, not served again), kExitSerialHeld to
  // refuse it (a number the line did not give, and no --replace-sn), or
  // kExitLocal when the ledger cannot tell; *why says which and why.
  int arrival(const std::string& serial, bool* done, std::string* why);

  // From another thread: the device's service started anew (it answered a
  // connect of the watching station), so this run is over: it ends at once,
  // as after a second stop, and fails (no reply).
  void end() { ended_ = true; }

  // The run's end, first in the ledger, then in the record file (under
  // record_mutex): the record holds what the ledger took. A device whose
  // run the ledger or the record file did not take has not passed.
  void settle(DeviceRecord& rec, std::mutex& record_mutex);

  // The result on the view, once settled.
  void report(const DeviceRecord& rec);

  // Reporter
  void error(const std::string& text) override;
  void note(const std::string& text) override;
  void progress(uint64_t done, uint64_t total, double seconds) override;
  void phase(const std::string& what) override;

  // StepLog
  void step_started(const Step& step) override;
  void step_ended(const Step& step, int status) override;
  bool take_serial(std::string* serial, std::string* error) override;
  Held serial_held(const std::string& serial, std::string* message) override;
  void serial_written(const std::string& serial) override;
  void serial_read(const std::string& serial) override;
  void serial_confirmed(const std::string& serial, bool from_counter) override;
  void image_sent(const Image& image) override;

 private:
  line_ledger::RunFacts facts() const;
  line_ledger::Holder holder() const;
  // A write to the ledger failed: told at once, and the run cannot pass.
  void ledger_failed(const std::string& why);
  bool end_in_ledger(const DeviceRecord& rec, std::string* error);
  void fail_local(DeviceRecord& rec, const std::string& text);
  void message(const std::string& text);

  // A status that says interrupted when the device's own end (end()) stopped
  // the run: the run failed, no stop signal came.
  int own_status(int status) const;

  const LineSetup& s_;
  std::size_t index_;
  station_link::Mac mac_;
  double began_;            // now_seconds() when the device came
  std::atomic<bool> ended_{false};
  bool quiet_ = false;      // notes are not told (the arrival's read)
  DeviceRecord rec_;
  double step_started_ = 0;
  int64_t run_id_ = 0;      // the run's row in the ledger
  std::string taken_;       // the number taken from the ledger
  std::string db_error_;    // the first write to the ledger that failed
};

}  // namespace mfgstation

#endif
