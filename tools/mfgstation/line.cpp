#include "line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <map>
#include <thread>

#include "link_protocol.h"
#include "link_transport.h"
#include "line_db.h"
#include "line_record.h"
#include "live_view.h"
#include "serial_numbers.h"
#include "stop_signals.h"

namespace mfgstation {

namespace {

using station_link::Mac;


double now_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// One device's run: its Station reports here, and every message reaches the
// live view (and the record) at once, with the device named; what its steps
// do goes into its record.
class DeviceRun : public Reporter, public StepLog {
 public:
  DeviceRun(const LineSetup& setup, std::size_t index, const Mac& mac) : s_(setup), index_(index), mac_(mac) {}

  void error(const std::string& text) override {
    rec_.messages.push_back(text);
    s_.view->message(index_, text);
  }
  void note(const std::string& text) override { s_.view->note(index_, text); }
  void progress(uint64_t done, uint64_t total, double seconds) override {
    s_.view->progress(index_, done, total, seconds);
  }

  void step_started(const Step& step) override {
    s_.view->step(index_, op_name(step.op));
    step_started_ = now_seconds();
  }
  void step_ended(const Step& step, int status) override {
    // A flash of an image larger than the partition is all the station could
    // do, yet not known to have taken.
    const bool unverified = step.op == Op::Flash && rec_.image_size > kKernelPartitionBytes;
    rec_.steps.push_back({op_name(step.op),
                          status == kExitOk          ? (unverified ? "unverified" : "ok")
                          : is_interrupted(status) ? "interrupted"
                                                   : "failed",
                          now_seconds() - step_started_});
    const StepRecord& s = rec_.steps.back();
    if (s_.ledger && run_id_)
      db_check(s_.ledger->ledger().end_step(run_id_, {static_cast<int>(rec_.steps.size()), s.step, s.status,
                                                      static_cast<int64_t>(s.seconds * 1000.0 + 0.5)},
                                            facts(), &db_error_));
  }
  bool take_serial(std::string* serial, std::string* error) override {
    if (s_.ledger) {
      line_ledger::Holder holder{s_.ledger->host(), rec_.interface, rec_.device, run_id_};
      if (!run_id_ || !s_.ledger->ledger().take(s_.ledger->source(), holder, serial, error)) {
        if (!run_id_) *error = "the device's run is not in the ledger";
        return false;
      }
      taken_ = *serial;
      return true;
    }
    return s_.serials->take(rec_.device + " " + rec_.time, serial, error) == 0;
  }
  void serial_written(const std::string& serial) override {
    s_.view->serial(index_, serial);
    rec_.serial_written = serial;
    // Marked before the request goes out: from here on the device may hold it.
    if (s_.ledger && serial == taken_) db_check(s_.ledger->ledger().mark_sent(serial, &db_error_));
  }
  void serial_read(const std::string& serial) override {
    rec_.serial_read = true;
    rec_.serial_read_back = serial;
  }
  void serial_confirmed(const std::string& serial, bool from_counter) override {
    rec_.serial_confirmed = true;
    std::string why;
    if (s_.ledger) {
      if (from_counter && !s_.ledger->ledger().confirm(serial, rec_.serial_read_back, &why)) error("write-sn: " + why);
      return;
    }
    // It leaves the state file once the device's record holds it.
    if (from_counter) settle_ = serial;
  }
  Held serial_held(const std::string& serial, std::string* message) override {
    rec_.serial_read = true;
    rec_.serial_read_back = serial;
    s_.view->serial(index_, serial);
    const std::string holds = "the device holds " + serial + ", ";
    bool known = false, found = false;
    std::string why, elsewhere;
    line_ledger::SerialEntry entry;
    if (s_.ledger) {
      if (!s_.ledger->ledger().find(serial, &entry, &found, &why)) {
        *message = "ledger: " + why;
        return Held::Failed;
      }
      // Numbers read from devices and replaced were never the line's own.
      known = found && entry.source != "device";
      if (known && (entry.state == "confirmed" || entry.state == "recorded") && !entry.device.empty() &&
          entry.device != rec_.device) {
        known = false;
        elsewhere = " (the ledger has it on " + entry.device + ")";
      }
    } else if (s_.serials->known(serial, &known, &why) < 0) {
      *message = why;
      return Held::Failed;
    }
    const line_ledger::Holder holder{s_.ledger ? s_.ledger->host() : "", rec_.interface, rec_.device, run_id_};
    if (known) {
      if (s_.ledger && !s_.ledger->ledger().reuse(serial, holder, &why)) {
        *message = "ledger: " + why;
        return Held::Failed;
      }
      if (!s_.ledger) settle_ = serial;
      rec_.serial_confirmed = rec_.serial_kept = true;
      *message = holds + "a number this line gave: it keeps it, nothing is written";
      return Held::Keep;
    }
    if (!s_.opts->replace_sn) {
      *message = holds + "a number this line did not give" + elsewhere +
                 ": the device is refused (--replace-sn gives it a new number)";
      return Held::Refuse;
    }
    if (s_.ledger && !found &&
        !s_.ledger->ledger().record_replaced(serial, holder, "replaced (--replace-sn)", &why)) {
      *message = "ledger: " + why;
      return Held::Failed;
    }
    rec_.serial_replaced = serial;
    *message = holds + "a number this line did not give" + elsewhere + ": replaced by the next number (--replace-sn)";
    return Held::Replace;
  }
  void image_sent(const Image& image) override {
    rec_.image = image.path;
    rec_.image_size = image.bytes.size();
    rec_.image_crc = image.crc;
  }

  // Serves the device; with a refusal (a failure status and why), only makes
  // its record.
  DeviceRecord run(int refused = kExitOk, const std::string& refusal = "") {
    rec_.time = utc_time_text();
    rec_.interface = s_.ifc->name;
    rec_.station = station_link::mac_text(s_.ifc->mac);
    rec_.device = station_link::mac_text(mac_);
    int status = kExitOk;
    station_link::Interface ifc;
    std::string why;
    if (s_.ledger &&
        !s_.ledger->ledger().begin_run({s_.ledger->host(), rec_.interface, rec_.station, rec_.device,
                                        line_ledger::now_ms()},
                                       &run_id_, &why)) {
      error("ledger: " + why);
      status = kExitLocal;
    } else if (refused != kExitOk) {
      error(refusal);
      status = refused;
    } else if (!station_link::open_interface(s_.ifc->name, ifc, &why, &mac_)) {
      error(why);
      status = kExitLocal;
    } else {
      LinkTransport transport(ifc);
      // This device only, addressed from the first request on.
      Options opts = *s_.opts;
      opts.device_given = true;
      opts.device = mac_;
      Station station(transport, opts, s_.ifc->mac, *this);
      StepContext context{station, *this, s_.images, *this, true};
      status = run_steps(context, s_.opts->steps);
      station_link::close_interface(ifc);
    }
    for (std::size_t i = rec_.steps.size(); i < s_.opts->steps.size(); ++i)
      rec_.steps.push_back({op_name(s_.opts->steps[i].op), "not run", 0});
    rec_.exit_status = status;
    if (status != kExitOk) rec_.reason = failure_kind(status);
    return rec_;
  }

  // The run's end in the ledger, with the result as it finally stands (after
  // the record file). A device whose run the ledger does not hold has not
  // passed.
  void end_in_ledger(DeviceRecord& rec) {
    if (!s_.ledger || !run_id_) return;
    if (!db_error_.empty()) fail_local(rec, "ledger: " + db_error_);
    const bool passed = rec.exit_status == kExitOk;
    std::string why;
    if (!s_.ledger->ledger().end_run(run_id_, {passed                              ? "passed"
                                               : is_interrupted(rec.exit_status) ? "interrupted"
                                                                                 : "failed",
                                               rec.exit_status,
                                               passed ? line_ledger::Value() : line_ledger::Value(rec.reason),
                                               line_ledger::now_ms()},
                                     facts(), &why))
      fail_local(rec, "ledger: " + why);
  }

  // The number the device confirmed leaves the state file once the device's
  // record holds it (at once without --record); otherwise it stays there as
  // unconfirmed, for the line's records.
  void end_in_state(bool on_record) {
    std::string why;
    if (!s_.serials || settle_.empty()) return;
    if (!on_record)
      message("serial number " + settle_ + " stays in " + s_.serials->state_path() + " as unconfirmed");
    else if (s_.serials->confirm(settle_, &why) < 0)
      message("write-sn: " + why + " (the number stays in the state file as unconfirmed)");
  }

  // Told once the record is on disk (or could not be put there).
  void report(const DeviceRecord& rec) {
    s_.view->result(index_, rec.exit_status == kExitOk           ? "passed"
                            : is_interrupted(rec.exit_status) ? "INTERRUPTED"
                                                              : std::string("FAILED (") + failure_kind(rec.exit_status) + ")");
  }

  void message(const std::string& text) { s_.view->message(index_, text); }

 private:
  const LineSetup& s_;
  std::size_t index_;
  Mac mac_;
  DeviceRecord rec_;
  double step_started_ = 0;
  int64_t run_id_ = 0;      // the run's row in the ledger
  std::string taken_;       // the number taken from the ledger
  std::string settle_;      // the number to take out of the state file at the end
  std::string db_error_;    // the first write to the ledger that failed

  line_ledger::RunFacts facts() const {
    line_ledger::RunFacts f;
    if (!rec_.serial_written.empty()) f.serial_written = rec_.serial_written;
    if (rec_.serial_read) f.serial_read = rec_.serial_read_back;
    if (!rec_.image.empty()) {
      f.image = rec_.image;
      f.image_size = rec_.image_size;
      f.image_crc32 = rec_.image_crc;
    }
    return f;
  }
  void db_check(bool ok) {
    if (!ok) message("ledger: " + db_error_);
  }
  void fail_local(DeviceRecord& rec, const std::string& text) {
    message(text);
    rec.messages.push_back(text);
    if (rec.exit_status == kExitOk) {
      rec.exit_status = kExitLocal;
      rec.reason = failure_kind(kExitLocal);
    }
  }
};

}  // namespace

namespace {

bool start_thread(const LineSetup& setup, std::function<void()> run, std::thread* thread, std::string* error) {
  if (setup.start_thread) return setup.start_thread(std::move(run), thread, error);
  try {
    *thread = std::thread(std::move(run));
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
}

}  // namespace

std::vector<DeviceRecord> run_line(const LineSetup& setup, const std::vector<Mac>& devices,
                                   const std::vector<Mac>& shared, const std::vector<std::string>& shared_why) {
  std::vector<DeviceRecord> records(devices.size() + shared.size());
  std::mutex record_mutex;
  std::vector<std::thread> threads;
  threads.reserve(devices.size());
  std::size_t ended = 0;
  std::condition_variable ended_cv;
  // Device i's run (or refusal) to its record on file, in the ledger and on the view.
  auto serve = [&](std::size_t i, int refused, const std::string& why) {
    DeviceRun run(setup, i, i < devices.size() ? devices[i] : shared[i - devices.size()]);
    DeviceRecord rec = run.run(refused, why);
    bool on_record = true;
    if (setup.record) {
      std::lock_guard<std::mutex> lock(record_mutex);
      std::string error;
      if (setup.record->append(rec, &error) < 0) {
        run.message(error);
        // A device that is not on record has not passed the line; its
        // record is tried once more as it now stands.
        if (rec.exit_status == kExitOk) {
          rec.exit_status = kExitLocal;
          rec.reason = failure_kind(kExitLocal);
          rec.messages.push_back(error);
        }
        on_record = setup.record->append(rec, &error) == 0;
      }
    }
    run.end_in_state(on_record);
    run.end_in_ledger(rec);
    run.report(rec);
    std::lock_guard<std::mutex> lock(record_mutex);
    records[i] = rec;
    ++ended;
    ended_cv.notify_all();
  };
  // A stop's signals reach this thread only, which tells the operator; the
  // devices' threads see the stop at their next step, chunk or wait.
  sigset_t stops, before;
  sigemptyset(&stops);
  add_stop_signals(&stops);
  pthread_sigmask(SIG_BLOCK, &stops, &before);
  std::string no_thread;  // set once a thread could not start: the devices from there on are not served
  std::vector<std::size_t> unserved;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    std::thread thread;
    std::string why;
    if (no_thread.empty()) {
      if (start_thread(setup, [&serve, i] { serve(i, kExitOk, ""); }, &thread, &why)) {
        threads.push_back(std::move(thread));
        continue;
      }
      no_thread = "the station cannot start a thread for " + station_link::mac_text(devices[i]) + " (" + why +
                  "): it and the devices after it are not served";
    }
    unserved.push_back(i);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  for (std::size_t i : unserved) serve(i, kExitLocal, no_thread);
  for (std::size_t i = 0; i < shared.size(); ++i)
    serve(devices.size() + i, kExitSharedAddress, i < shared_why.size() ? shared_why[i] : "address shared");
  {
    std::unique_lock<std::mutex> lock(record_mutex);
    for (int told = 0; ended < records.size();) {
      ended_cv.wait_for(lock, std::chrono::milliseconds(20));
      const int level = stop_level();
      if (level <= told) continue;
      told = level;
      lock.unlock();
      setup.view->notice(stop_notice(level));
      lock.lock();
    }
  }
  for (std::thread& t : threads) t.join();
  setup.view->finish();
  return records;
}

std::string failed_devices_text(const std::vector<DeviceRecord>& records) {
  std::string text;
  for (const DeviceRecord& r : records) {
    if (r.exit_status == kExitOk) continue;
    if (!is_interrupted(r.exit_status)) {
      text += r.device + " FAILED (" + failure_kind(r.exit_status) + ")\n";
      continue;
    }
    // Where it stood: the step cut short, or the first that did not start.
    std::string where;
    for (const StepRecord& s : r.steps)
      if (s.status == "interrupted" || s.status == "not run") {
        where = (s.status == "interrupted" ? " in " : " before ") + s.step;
        break;
      }
    text += r.device + " INTERRUPTED" + where;
    if (!r.serial_written.empty())
      text += " (serial number " + r.serial_written + (r.serial_confirmed ? " confirmed" : " sent, not confirmed") + ")";
    text += "\n";
  }
  return text;
}

int line_exit_status(const std::vector<DeviceRecord>& records) {
  int status = kExitOk;
  for (const DeviceRecord& r : records) {
    if (r.exit_status == kExitOk) continue;
    if (status == kExitOk)
      status = r.exit_status;
    else if (status != r.exit_status)
      return kExitMixed;
  }
  return status;
}

namespace {

// The terminal's columns (80 unless told) and lines (0: unknown).
winsize terminal_size() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0) ws = winsize{};
  if (ws.ws_col == 0) ws.ws_col = 80;
  return ws;
}

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "mfgstation: %s\n", message.c_str());
  return status;
}

}  // namespace

bool check_line_usage(const Options& opts, std::string* error) {
  SnPattern pattern;
  return opts.sn_pattern.empty() || pattern.parse(opts.sn_pattern, error) == 0;
}

int line_main(const Options& opts, const station_link::Interface& ifc) {
  // Every input is checked before the first frame goes out.
  LineSetup setup;
  setup.opts = &opts;
  setup.ifc = &ifc;
  std::string error;
  if (!load_step_images(opts, &setup.images, &error)) return fail(kExitLocal, error);
  // Every write-sn @next step of every device takes a number.
  std::size_t next_steps = 0;
  for (const Step& step : opts.steps) next_steps += step.op == Op::WriteSn && step.arg == kNextSerial;
  // A closed output pipe (| head) must not end the station with devices in
  // flight: a write to it fails instead, and the ledger and record go on.
  std::signal(SIGPIPE, SIG_IGN);
  std::unique_ptr<SnAllocator> serials;
  std::unique_ptr<LineLedger> ledger;
  if (!opts.db.empty()) {
    ledger = LineLedger::open(opts, &error);
    if (!ledger) return fail(kExitLocal, error);
    int64_t next = 0;
    if (next_steps &&
        !ledger->ledger().check(ledger->source(), std::max<std::size_t>(1, opts.devices.size()) * next_steps, &next,
                                &error))
      return fail(kExitLocal, error);
    setup.ledger = ledger.get();
  }
  if (!opts.sn_state.empty()) {
    if (!opts.sn_pattern.empty()) {
      SnPattern pattern;
      if (pattern.parse(opts.sn_pattern, &error) < 0) return fail(kExitUsage, error);
      serials = std::make_unique<SnAllocator>(opts.sn_state, pattern);
    } else {
      std::vector<std::string> list;
      if (load_sn_list(opts.sn_list, &list, &error) < 0) return fail(kExitLocal, error);
      serials = std::make_unique<SnAllocator>(opts.sn_state, std::move(list));
    }
    if (!opts.record.empty()) {
      std::set<std::string> on_record;
      if (record_file_serials(opts.record, &on_record, &error) < 0) return fail(kExitLocal, error);
      serials->set_on_record(std::move(on_record), opts.record);
    }
    std::vector<UnconfirmedSn> earlier;
    if (serials->check(std::max<std::size_t>(1, opts.devices.size()) * next_steps, &earlier, &error) < 0)
      return fail(kExitLocal, error);
    for (const UnconfirmedSn& u : earlier)
      std::fprintf(stderr, "mfgstation: note: serial number %s (%s) was taken but never confirmed; it is not given again\n",
                   u.serial.c_str(), u.note.c_str());
    setup.serials = serials.get();
  }
  RecordFile record;
  if (!opts.record.empty()) {
    if (record.open(opts.record, &error) < 0) return fail(kExitLocal, error);
    setup.record = &record;
  }

  std::vector<Mac> devices = opts.devices, shared;
  std::vector<std::string> shared_why;
  if (opts.all) {
    if (!discover(ifc, opts.timeout_ms, &devices, &error, &shared, &shared_why))
      return fail(kExitLocal, "discover: " + error);
    if (devices.empty() && shared.empty())
      return fail(kExitTimeout, "--all: no device answered within " + std::to_string(opts.timeout_ms) + " ms");
    // Only connected so far: no device has been changed yet.
    if (serials && serials->check(devices.size() * next_steps, nullptr, &error) < 0)
      return fail(kExitLocal, "--all: " + std::to_string(devices.size()) + " devices: " + error);
    int64_t next = 0;
    if (ledger && next_steps && !ledger->ledger().check(ledger->source(), devices.size() * next_steps, &next, &error))
      return fail(kExitLocal, "--all: " + std::to_string(devices.size()) + " devices: " + error);
  } else if (!probe_devices(ifc, opts.timeout_ms, &devices, &error, &shared, &shared_why)) {
    return fail(kExitLocal, "--device: " + error);
  }
  if (stop_level() >= 1) {
    std::fprintf(stderr, "mfgstation: stopped by %s before any device was changed; %s\n", stop_signal_name(),
                 kHeldAfterStop);
    return interrupted_status();
  }
  std::vector<std::string> macs;
  for (const Mac& m : devices) macs.push_back(station_link::mac_text(m));
  for (const Mac& m : shared) macs.push_back(station_link::mac_text(m));
  const bool terminal = isatty(STDOUT_FILENO);
  // Plain lines of many devices come as they happen, also into a pipe.
  if (!terminal) std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const winsize ws = terminal_size();
  LiveView view(stdout, stderr, terminal, terminal ? ws.ws_col : 0, macs, terminal ? ws.ws_row : 0);
  setup.view = &view;
  std::vector<DeviceRecord> records = run_line(setup, devices, shared, shared_why);
  std::fputs(summary_text(records).c_str(), stdout);
  std::fputs(failed_devices_text(records).c_str(), stdout);
  if (std::none_of(records.begin(), records.end(), [](const DeviceRecord& r) { return is_interrupted(r.exit_status); }))
    return line_exit_status(records);
  std::printf("stopped by %s: %s\n", stop_signal_name(), kHeldAfterStop);
  return interrupted_status();
}

}  // namespace mfgstation
