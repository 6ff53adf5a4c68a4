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

LineRuns::LineRuns(const LineSetup& setup) : s_(setup) {}

LineRuns::~LineRuns() {
  for (auto& r : runs_)
    if (r.second.thread.joinable()) r.second.thread.join();
}

void LineRuns::settle(std::size_t row, DeviceRun& run, DeviceRecord rec) {
  run.settle(rec, record_mutex_);
  run.report(rec);
  std::lock_guard<std::mutex> lock(mutex_);
  records_[row] = std::move(rec);
  const auto it = runs_.find(row);
  if (it != runs_.end()) it->second.ended = true;
  ended_.notify_all();
}

bool LineRuns::serve(std::size_t row, const Mac& mac, std::string* error) {
  auto run = std::make_unique<DeviceRun>(s_, row, mac);
  DeviceRun* r = run.get();
  std::thread thread;
  // The stop signals reach the owner's thread only, which tells the operator;
  // the devices' threads see the stop at their next step, chunk or wait.
  sigset_t stops, before;
  sigemptyset(&stops);
  add_stop_signals(&stops);
  pthread_sigmask(SIG_BLOCK, &stops, &before);
  // Listed before the thread starts, which may end at once.
  std::unique_lock<std::mutex> lock(mutex_);
  Run& entry = runs_[row];
  entry.mac = mac;
  entry.run = std::move(run);
  lock.unlock();
  const bool started = start_thread(s_, [this, row, r] { settle(row, *r, r->run()); }, &thread, error);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  lock.lock();
  if (!started) {
    runs_.erase(row);
    return false;
  }
  runs_[row].thread = std::move(thread);
  return true;
}

void LineRuns::refuse(std::size_t row, const Mac& mac, int status, const std::string& why) {
  DeviceRun run(s_, row, mac);
  settle(row, run, run.run(status, why));
}

bool LineRuns::serving(const Mac& mac) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& r : runs_)
    if (r.second.mac == mac && !r.second.ended) return true;
  return false;
}

bool LineRuns::end(const Mac& mac) {
  std::lock_guard<std::mutex> lock(mutex_);
  bool found = false;
  for (auto& r : runs_)
    if (r.second.mac == mac && !r.second.ended) {
      r.second.run->end();
      found = true;
    }
  return found;
}

std::map<std::size_t, DeviceRecord> LineRuns::records() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::size_t LineRuns::recorded() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.size();
}

std::size_t LineRuns::wait(int ms) {
  std::vector<Run> done;
  std::size_t under_way = 0;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    auto any_ended = [this] {
      return std::any_of(runs_.begin(), runs_.end(), [](const auto& r) { return r.second.ended; });
    };
    ended_.wait_for(lock, std::chrono::milliseconds(ms), any_ended);
    for (auto it = runs_.begin(); it != runs_.end();) {
      // A thread that started ends once it has said so; one that is still
      // being started has no thread yet.
      if (it->second.ended && it->second.thread.joinable()) {
        done.push_back(std::move(it->second));
        it = runs_.erase(it);
      } else {
        under_way += !it->second.ended;
        ++it;
      }
    }
  }
  for (Run& r : done) r.thread.join();
  // Meanwhile this thread tells of stops and keeps the view's clocks going
  // while devices are busy and tell nothing.
  s_.view->tick();
  const int level = stop_level();
  if (level > told_) s_.view->notice(stop_notice(level));
  told_ = std::max(told_, level);
  return under_way;
}

std::vector<DeviceRecord> run_line(const LineSetup& setup, const std::vector<Mac>& devices,
                                   const std::vector<Mac>& shared, const std::vector<std::string>& shared_why) {
  LineRuns runs(setup);
  std::string no_thread;  // set once a thread could not start: the devices from there on are not served
  std::vector<std::size_t> unserved;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    std::string why;
    if (no_thread.empty()) {
      if (runs.serve(i, devices[i], &why)) continue;
      no_thread = "the station cannot start a thread for " + station_link::mac_text(devices[i]) + " (" + why +
                  "): it and the devices after it are not served";
    }
    unserved.push_back(i);
  }
  for (std::size_t i : unserved) runs.refuse(i, devices[i], kExitLocal, no_thread);
  for (std::size_t i = 0; i < shared.size(); ++i)
    runs.refuse(devices.size() + i, shared[i], kExitSharedAddress,
                i < shared_why.size() ? shared_why[i] : "address shared");
  while (runs.wait(20) > 0) {
  }
  setup.view->finish();
  std::vector<DeviceRecord> records;
  for (const auto& r : runs.records()) records.push_back(r.second);
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

std::unique_ptr<LiveView> line_view(const std::vector<std::string>& macs) {
  const bool terminal = isatty(STDOUT_FILENO);
  // Plain lines of many devices come as they happen, also into a pipe.
  if (!terminal) std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const winsize ws = terminal_size();
  return std::make_unique<LiveView>(stdout, stderr, terminal, terminal ? ws.ws_col : 0, macs,
                                    terminal ? ws.ws_row : 0);
}

std::size_t next_serial_steps(const Options& opts) {
  std::size_t n = 0;
  for (const Step& step : opts.steps) n += step.op == Op::WriteSn && step.arg == kNextSerial;
  return n;
}

void end_deferred_runs(LineLedger* ledger) {
  // Runs whose end the ledger missed while its connection was broken: it may
  // be back by now. Their records already say the device failed.
  std::vector<std::string> left;
  if (ledger && !ledger->end_deferred(&left))
    for (const std::string& l : left) std::fprintf(stderr, "mfgstation: the ledger still has %s\n", l.c_str());
}

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "mfgstation: %s\n", message.c_str());
  return status;
}

bool check_line_usage(const Options& opts, std::string* error) {
  SnPattern pattern;
  return opts.sn_pattern.empty() || pattern.parse(opts.sn_pattern, error);
}

int open_line(const Options& opts, const station_link::Interface& ifc, std::size_t devices, LineSetup* setup,
              std::unique_ptr<LineLedger>* ledger, RecordFile* record) {
  // Every input is checked before the first frame goes out.
  setup->opts = &opts;
  setup->ifc = &ifc;
  std::string error;
  if (!load_step_images(opts, &setup->images, &error)) return fail(kExitLocal, error);
  const std::size_t next_steps = next_serial_steps(opts);
  // A closed output pipe (| head) must not end the station with devices in
  // flight: a write to it fails instead, and the ledger and record go on.
  std::signal(SIGPIPE, SIG_IGN);
  if (!opts.db.empty()) {
    std::vector<std::string> notes;
    *ledger = LineLedger::open(opts, &notes, &error);
    for (const std::string& n : notes) std::fprintf(stderr, "mfgstation: note: %s\n", n.c_str());
    if (!*ledger) return fail(kExitLocal, error);
    int64_t next = 0;
    if (next_steps && !(*ledger)->ledger().check((*ledger)->source(), std::max<std::size_t>(1, devices) * next_steps,
                                                 &next, &error))
      return fail(kExitLocal, error);
    setup->ledger = ledger->get();
  }
  if (!opts.record.empty()) {
    if (!record->open(opts.record, &error)) return fail(kExitLocal, error);
    setup->record = record;
  }
  return kExitOk;
}

int line_main(const Options& opts, const station_link::Interface& ifc) {
  LineSetup setup;
  std::unique_ptr<LineLedger> ledger;
  RecordFile record;
  if (const int status = open_line(opts, ifc, opts.devices.size(), &setup, &ledger, &record)) return status;
  const std::size_t next_steps = next_serial_steps(opts);
  std::string error;

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
  std::unique_ptr<LiveView> view = line_view(macs);
  setup.view = view.get();
  std::vector<DeviceRecord> records = run_line(setup, devices, shared, shared_why);
  end_deferred_runs(ledger.get());
  std::fputs(summary_text(records).c_str(), stdout);
  std::fputs(failed_devices_text(records).c_str(), stdout);
  if (std::none_of(records.begin(), records.end(), [](const DeviceRecord& r) { return is_interrupted(r.exit_status); }))
    return line_exit_status(records);
  std::printf("stopped by %s: %s\n", stop_signal_name(), kHeldAfterStop);
  return interrupted_status();
}

}  // namespace mfgstation
