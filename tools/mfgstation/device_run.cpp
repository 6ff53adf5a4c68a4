#include "device_run.h"

#include <cstdio>

#include "deadline.h"
#include "line_db.h"
#include "link_transport.h"
#include "live_view.h"
#include "stop_signals.h"

namespace mfgstation {

namespace {

// Whether the line gave serial, as the ledger has it (its entry, when found),
// and no other device holds it: a number read from a device and replaced was
// never the line's, and one confirmed on another device is that device's
// (*elsewhere then names it).
bool line_gave(bool found, const line_ledger::SerialEntry& entry, const std::string& device, std::string* elsewhere) {
  if (!found || entry.source == "device") return false;
  if ((entry.state == "confirmed" || entry.state == "recorded") && !entry.device.empty() && entry.device != device) {
    *elsewhere = " (the ledger has it on " + entry.device + ")";
    return false;
  }
  return true;
}

line_ledger::RunEnd run_end(const DeviceRecord& rec) {
  const bool passed = rec.exit_status == kExitOk;
  return {result_word(rec.exit_status), rec.exit_status,
          passed ? line_ledger::Value() : line_ledger::Value(rec.reason), line_ledger::now_ms()};
}

}  // namespace

void DeviceRun::error(const std::string& text) {
  rec_.messages.push_back(text);
  s_.view->message(index_, text);
}

void DeviceRun::note(const std::string& text) {
  if (!quiet_) s_.view->note(index_, text);
}

void DeviceRun::progress(uint64_t done, uint64_t total, double seconds) {
  s_.view->progress(index_, done, total, seconds);
}

void DeviceRun::phase(const std::string& what) { s_.view->phase(index_, what); }

void DeviceRun::message(const std::string& text) { s_.view->message(index_, text); }

void DeviceRun::step_started(const Step& step) {
  s_.view->step(index_, op_name(step.op));
  step_started_ = now_seconds();
}

void DeviceRun::step_ended(const Step& step, int status) {
  status = own_status(status);
  // A flash of an image larger than the partition is all the station could
  // do, yet not known to have taken.
  const bool unverified = step.op == Op::Flash && rec_.image_size > kKernelPartitionBytes;
  rec_.steps.push_back({op_name(step.op),
                        status == kExitOk          ? (unverified ? "unverified" : "ok")
                        : is_interrupted(status) ? "interrupted"
                                                 : "failed",
                        now_seconds() - step_started_});
  const StepRecord& s = rec_.steps.back();
  line_ledger::StepEnd end{static_cast<int>(rec_.steps.size()), s.step, s.status,
                           static_cast<int64_t>(s.seconds * 1000.0 + 0.5), std::nullopt};
  // The image goes with its step: the line knows which image each flash was.
  if (step.op == Op::Flash && !rec_.image.empty()) end.image = line_ledger::ImageId{rec_.image_size, rec_.image_crc};
  std::string why;
  if (s_.ledger && run_id_ && !s_.ledger->ledger().end_step(run_id_, end, facts(), &why)) ledger_failed(why);
}

line_ledger::Holder DeviceRun::holder() const {
  return {s_.ledger ? s_.ledger->host() : "", rec_.interface, rec_.device, run_id_};
}

bool DeviceRun::take_serial(std::string* serial, std::string* error) {
  if (!s_.ledger || !run_id_) {
    *error = s_.ledger ? "the device's run is not in the ledger" : "numbers come from the ledger (--db)";
    return false;
  }
  if (!s_.ledger->ledger().take(s_.ledger->source(), holder(), serial, error)) return false;
  taken_ = *serial;
  return true;
}

void DeviceRun::serial_written(const std::string& serial) {
  s_.view->serial(index_, serial);
  rec_.serial_written = serial;
  // Marked before the request goes out: from here on the device may hold it.
  std::string why;
  if (s_.ledger && serial == taken_ && !s_.ledger->ledger().mark_sent(serial, &why)) ledger_failed(why);
}

void DeviceRun::serial_read(const std::string& serial) {
  rec_.serial_read = true;
  rec_.serial_read_back = serial;
}

void DeviceRun::serial_confirmed(const std::string& serial, bool from_counter) {
  rec_.serial_confirmed = true;
  std::string why;
  // Not taken by the ledger now, the confirmation is made at the run's end
  // from what the device read back; until then the run cannot pass.
  if (s_.ledger && from_counter && !s_.ledger->ledger().confirm(serial, rec_.serial_read_back, &why))
    ledger_failed(why);
}

// The rule for a number found on a device: one the line gave stays (it is
// this device's, or was never known to be on another), one it did not give
// refuses the device unless --replace-sn.
StepLog::Held DeviceRun::serial_held(const std::string& serial, std::string* message) {
  rec_.serial_read = true;
  rec_.serial_read_back = serial;
  s_.view->serial(index_, serial);
  const std::string holds = "the device holds " + serial + ", ";
  if (!s_.ledger) {
    *message = "numbers come from the ledger (--db)";
    return Held::Failed;
  }
  bool found = false;
  std::string why, elsewhere;
  line_ledger::SerialEntry entry;
  if (!s_.ledger->ledger().find(serial, &entry, &found, &why)) {
    *message = "ledger: " + why;
    return Held::Failed;
  }
  if (line_gave(found, entry, rec_.device, &elsewhere)) {
    if (!s_.ledger->ledger().reuse(serial, holder(), &why)) {
      *message = "ledger: " + why;
      return Held::Failed;
    }
    rec_.serial_confirmed = rec_.serial_kept = true;
    *message = holds + "a number this line gave: it keeps it, nothing is written";
    return Held::Keep;
  }
  if (!s_.opts->replace_sn) {
    *message = holds + "a number this line did not give" + elsewhere +
               ": the device is refused (--replace-sn gives it a new number)";
    return Held::Refuse;
  }
  if (!found && !s_.ledger->ledger().record_replaced(serial, holder(), "replaced (--replace-sn)", &why)) {
    *message = "ledger: " + why;
    return Held::Failed;
  }
  rec_.serial_replaced = serial;
  *message = holds + "a number this line did not give" + elsewhere + ": replaced by the next number (--replace-sn)";
  return Held::Replace;
}

int DeviceRun::arrival(const std::string& serial, bool* done, std::string* why) {
  *done = false;
  why->clear();
  if (serial.empty()) return kExitOk;
  bool found = false;
  std::string e, elsewhere;
  line_ledger::SerialEntry entry;
  if (!s_.ledger) {
    *why = "numbers come from the ledger (--db)";
    return kExitLocal;
  }
  if (!s_.ledger->ledger().find(serial, &entry, &found, &e)) {
    *why = "ledger: " + e;
    return kExitLocal;
  }
  const std::string holds = "the device holds " + serial + ", ";
  if (!line_gave(found, entry, rec_.device, &elsewhere)) {
    // write-sn @next gives it a new number.
    if (s_.opts->replace_sn) return kExitOk;
    *why = holds + "a number this line did not give" + elsewhere +
           ": the device is refused (--replace-sn gives it a new number)";
    return kExitSerialHeld;
  }
  // Served again unless the run that holds the number passed and flashed
  // every image of this command list: a device that failed, or passed with
  // another image, is not done.
  std::vector<line_ledger::ImageId> images;
  for (const Image& image : s_.images) images.push_back({image.bytes.size(), image.crc});
  if (!s_.ledger->ledger().passed_with(entry.run_id, images, done, &e)) {
    *why = "ledger: " + e;
    return kExitLocal;
  }
  if (*done)
    *why = holds + "on record as passed" + (images.empty() ? "" : " with this image") + " (run " +
           std::to_string(entry.run_id) + "): not served again";
  return kExitOk;
}

void DeviceRun::image_sent(const Image& image) {
  rec_.image = image.path;
  rec_.image_size = image.bytes.size();
  rec_.image_crc = image.crc;
}

DeviceRun::DeviceRun(const LineSetup& setup, std::size_t index, const station_link::Mac& mac)
    : s_(setup), index_(index), mac_(mac), began_(now_seconds()) {
  rec_.time = utc_time_text();
  rec_.interface = s_.ifc->name;
  rec_.station = station_link::mac_text(s_.ifc->mac);
  rec_.device = station_link::mac_text(mac_);
}

int DeviceRun::own_status(int status) const {
  return is_interrupted(status) && ended_ && stop_level() == 0 ? kExitTimeout : status;
}

DeviceRecord DeviceRun::run(int refused, const std::string& refusal) {
  station_link::Interface ifc;
  std::string why = refusal;
  if (refused == kExitOk && !station_link::open_interface(s_.ifc->name, ifc, &why, &mac_)) refused = kExitLocal;
  LinkTransport transport(ifc, &ended_);
  // This device only, addressed from the first request on.
  Options opts = *s_.opts;
  opts.device = mac_;
  Station station(transport, opts, s_.ifc->mac, *this);
  station.end_on(&ended_);
  if (refused == kExitOk && s_.opts->watch) {
    // The station connected the device when it came: what it holds tells
    // what the line does with it.
    std::string held;
    bool done = false;
    // Told by the row and by what the line makes of it, not as a step.
    s_.view->step(index_, "read-sn");
    quiet_ = true;
    refused = own_status(station.read_sn(&held));
    quiet_ = false;
    why.clear();
    if (refused == kExitOk) {
      rec_.serial_read = true;
      rec_.serial_read_back = held;
      if (!held.empty()) s_.view->serial(index_, held);
      refused = arrival(held, &done, &why);
    }
    if (done) {
      note(why);
      // Its service would otherwise serve this station until the device
      // goes: another frame of the segment keeps it from ending.
      station.request(kCmdQuit, "quit", "service ended");
      station_link::close_interface(ifc);
      rec_.done = true;
      rec_.exit_status = kExitOk;
      return rec_;
    }
  }
  int status = kExitOk;
  if (s_.ledger &&
      !s_.ledger->ledger().begin_run({s_.ledger->host(), rec_.interface, rec_.station, rec_.device,
                                      line_ledger::now_ms()},
                                     &run_id_, &why)) {
    error("ledger: " + why);
    status = kExitLocal;
  } else if (refused != kExitOk) {
    if (!why.empty()) error(why);
    status = refused;
  } else {
    StepContext context{station, *this, s_.images, *this, true};
    std::vector<Step> steps = s_.opts->steps;
    if (s_.opts->watch) {
      // The list's first step, the connect, is the one that found the device.
      step_started(steps[0]);
      step_ended(steps[0], kExitOk);
      steps.erase(steps.begin());
    }
    status = own_status(run_steps(context, steps));
  }
  station_link::close_interface(ifc);
  for (std::size_t i = rec_.steps.size(); i < s_.opts->steps.size(); ++i)
    rec_.steps.push_back({op_name(s_.opts->steps[i].op), "not run", 0});
  // A change the ledger did not take leaves the device's run unaccounted for.
  if (!db_error_.empty() && status == kExitOk) status = kExitLocal;
  rec_.exit_status = status;
  if (status != kExitOk) rec_.reason = failure_kind(status);
  rec_.ledger_run = run_id_;
  return rec_;
}

bool DeviceRun::end_in_ledger(const DeviceRecord& rec, std::string* error) {
  return s_.ledger->ledger().end_run(run_id_, run_end(rec), facts(), error);
}

void DeviceRun::settle(DeviceRecord& rec, std::mutex& record_mutex) {
  if (rec.done) return;
  std::string why;
  const bool in_ledger = s_.ledger && run_id_;
  const bool ended = in_ledger && end_in_ledger(rec, &why);
  if (in_ledger && !ended) {
    // The ledger is away: the run ends failed here, and in the ledger as
    // soon as it comes back.
    fail_local(rec, "ledger: " + why);
    s_.ledger->defer_end(run_id_, run_end(rec), facts());
  }
  if (!s_.record) return;
  std::lock_guard<std::mutex> lock(record_mutex);
  if (s_.record->append(rec, &why)) return;
  message(why);
  // A device that is not on record has not passed the line; its record is
  // tried once more as it now stands, and the ledger told.
  if (rec.exit_status != kExitOk) return;
  fail_local(rec, why);
  std::string ledger_why;
  if (ended && !end_in_ledger(rec, &ledger_why)) {
    message("ledger: " + ledger_why);
    rec.messages.push_back("ledger: " + ledger_why);
  }
  s_.record->append(rec, &why);
}

void DeviceRun::report(const DeviceRecord& rec) {
  const int status = rec.exit_status;
  const bool passed = status == kExitOk;
  if (!s_.opts->watch) {
    s_.view->result(index_, passed                ? "passed"
                            : is_interrupted(status) ? "INTERRUPTED"
                                                     : std::string("FAILED (") + failure_kind(status) + ")");
    return;
  }
  // What the device came to, how long it took, and what the operator does
  // with it now.
  char took[32];
  std::snprintf(took, sizeof took, " in %.1f s", now_seconds() - began_);
  const bool refused = status == kExitSerialHeld || status == kExitSharedAddress;
  const std::string kind = std::string(" (") + failure_kind(status) + ")";
  // A run that ended because the device started anew: the device's new row tells.
  const std::string retry = ended_ && stop_level() == 0 ? std::string(kDeviceRestarted) : "power-cycle to retry";
  s_.view->result(index_, rec.done                 ? std::string("done") + took + " (passed before with this image): unplug"
                          : passed                 ? std::string("passed") + took + ": unplug"
                          : refused                ? "REFUSED" + kind + took + ": unplug"
                          : is_interrupted(status) ? std::string("INTERRUPTED") + took + ": " + retry
                                                   : "FAILED" + kind + took + ": " + retry);
}

line_ledger::RunFacts DeviceRun::facts() const {
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

void DeviceRun::ledger_failed(const std::string& why) {
  error("ledger: " + why);
  if (db_error_.empty()) db_error_ = why;
}

void DeviceRun::fail_local(DeviceRecord& rec, const std::string& text) {
  message(text);
  rec.messages.push_back(text);
  if (rec.exit_status == kExitOk) {
    rec.exit_status = kExitLocal;
    rec.reason = failure_kind(kExitLocal);
  }
}

}  // namespace mfgstation
