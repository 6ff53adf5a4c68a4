#include "steps.h"

#include "device_session.h"
#include "station.h"
#include "stop_signals.h"

namespace mfgstation {

void StepLog::step_started(const Step&) {}
void StepLog::step_ended(const Step&, int) {}
bool StepLog::take_serial(std::string*, std::string* error) {
  *error = "no serial-number counter";
  return false;
}
StepLog::Held StepLog::serial_held(const std::string& serial, std::string* message) {
  *message = "the device holds \"" + serial + "\" and there is no counter to tell whether this line gave it";
  return Held::Refuse;
}
void StepLog::serial_written(const std::string&) {}
void StepLog::serial_read(const std::string&) {}
void StepLog::serial_confirmed(const std::string&, bool) {}
void StepLog::image_sent(const Image&) {}

bool load_step_images(const Options& opts, std::vector<Image>* images, std::string* error) {
  for (const Step& step : opts.steps) {
    if (command_info(step.op).arg != ArgKind::Image) continue;
    bool known = false;
    for (const Image& image : *images) known = known || image.path == step.arg;
    if (!known) {
      Image image;
      image.path = step.arg;
      std::string why;
      if (!load_image(step.arg, opts.max_size, &image.bytes, &why)) {
        *error = "flash: " + why;
        return false;
      }
      image.crc = crc32(0, image.bytes.data(), static_cast<uint32_t>(image.bytes.size()));
      images->push_back(std::move(image));
    }
    if (opts.chunk_size <= 0) {
      *error = "flash: the interface MTU leaves no room for firmware data";
      return false;
    }
  }
  return true;
}

int run_steps(StepContext& c, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    const CommandInfo& info = command_info(step.op);
    if (!info.step) return kExitUsage;  // runs alone, not on a device
    if (c.station.stop() >= 1) {
      c.report.error(std::string("stopped (") + c.station.stop_cause() + ") before " + op_name(step.op));
      return interrupted_status();
    }
    c.log.step_started(step);
    const int r = info.step(c, step);
    c.log.step_ended(step, r);
    if (r != kExitOk) return r;
  }
  return kExitOk;
}

int connect_step(StepContext& c, const Step&) { return c.station.connect(); }

// In line mode the number is read back: only a number that the device
// acknowledged and reads back as sent counts as confirmed. A number from the
// counter never overwrites one that the device already holds unasked.
int write_sn_step(StepContext& c, const Step& step) {
  std::string serial = step.arg;
  const bool from_counter = step.arg == kNextSerial;
  if (from_counter) {
    std::string held, message;
    int r = c.station.read_sn(&held);
    if (r != kExitOk) return r;
    if (!held.empty()) {
      const StepLog::Held what = c.log.serial_held(held, &message);
      c.report.error("write-sn: " + message);
      if (what == StepLog::Held::Keep) return kExitOk;
      if (what == StepLog::Held::Refuse) return kExitSerialHeld;
      if (what == StepLog::Held::Failed) return kExitLocal;
    }
    std::string error;
    if (!c.log.take_serial(&serial, &error)) {
      c.report.error("write-sn: " + error);
      return kExitLocal;
    }
  }
  c.log.serial_written(serial);
  int r = c.station.write_sn(serial);
  if (r != kExitOk || !c.read_back) return r;
  std::string back;
  r = c.station.read_sn(&back);
  if (r != kExitOk) return r;
  c.log.serial_read(back);
  if (back != serial) {
    c.report.error("write-sn: the device reads back \"" + back + "\", not \"" + serial + "\"");
    return kExitStoreFailed;
  }
  c.log.serial_confirmed(serial, from_counter);
  return kExitOk;
}

int read_sn_step(StepContext& c, const Step&) {
  std::string serial;
  const int r = c.station.read_sn(&serial);
  if (r == kExitOk) c.log.serial_read(serial);
  return r;
}

int flash_step(StepContext& c, const Step& step) {
  for (const Image& image : c.images)
    if (image.path == step.arg) {
      c.log.image_sent(image);
      return c.station.flash_image(image.bytes);
    }
  return kExitLocal;
}

// The device answers before it restarts or resets: the answer is all it tells.
int reboot_step(StepContext& c, const Step&) { return c.station.request(kCmdReboot, "reboot", "accepted by the device"); }

int reset_defaults_step(StepContext& c, const Step&) {
  return c.station.request(kCmdDefaults, "reset-defaults", "accepted by the device");
}

int close_step(StepContext& c, const Step&) { return c.station.request(kCmdClose, "close", "connection closed"); }

int quit_step(StepContext& c, const Step&) { return c.station.request(kCmdQuit, "quit", "service ended"); }

}  // namespace mfgstation
