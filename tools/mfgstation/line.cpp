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
#include "device_run.h"
#include "line_db.h"
#include "line_record.h"
#include "live_view.h"
#include "serial_numbers.h"
#include "stop_signals.h"

namespace mfgstation {

using station_link::Mac;

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
    run.settle(rec, record_mutex);
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
  // Meanwhile this thread tells of stops and keeps the view's clocks going
  // while devices are busy and tell nothing.
  {
    std::unique_lock<std::mutex> lock(record_mutex);
    for (int told = 0; ended < records.size();) {
      ended_cv.wait_for(lock, std::chrono::milliseconds(20));
      const int level = stop_level();
      lock.unlock();
      setup.view->tick();
      if (level > told) setup.view->notice(stop_notice(level));
      told = std::max(told, level);
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

}  // namespace

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "mfgstation: %s\n", message.c_str());
  return status;
}

bool check_line_usage(const Options& opts, std::string* error) {
  SnPattern pattern;
  return opts.sn_pattern.empty() || pattern.parse(opts.sn_pattern, error);
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
  std::unique_ptr<LineLedger> ledger;
  if (!opts.db.empty()) {
    std::vector<std::string> notes;
    ledger = LineLedger::open(opts, &notes, &error);
    for (const std::string& n : notes) std::fprintf(stderr, "mfgstation: note: %s\n", n.c_str());
    if (!ledger) return fail(kExitLocal, error);
    int64_t next = 0;
    if (next_steps &&
        !ledger->ledger().check(ledger->source(), std::max<std::size_t>(1, opts.devices.size()) * next_steps, &next,
                                &error))
      return fail(kExitLocal, error);
    setup.ledger = ledger.get();
  }
  RecordFile record;
  if (!opts.record.empty()) {
    if (!record.open(opts.record, &error)) return fail(kExitLocal, error);
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
  // Runs whose end the ledger missed while its connection was broken: it may
  // be back by now. Their records already say the device failed.
  std::vector<std::string> left;
  if (ledger && !ledger->end_deferred(&left))
    for (const std::string& l : left) std::fprintf(stderr, "mfgstation: the ledger still has %s\n", l.c_str());
  std::fputs(summary_text(records).c_str(), stdout);
  std::fputs(failed_devices_text(records).c_str(), stdout);
  if (std::none_of(records.begin(), records.end(), [](const DeviceRecord& r) { return is_interrupted(r.exit_status); }))
    return line_exit_status(records);
  std::printf("stopped by %s: %s\n", stop_signal_name(), kHeldAfterStop);
  return interrupted_status();
}

}  // namespace mfgstation
