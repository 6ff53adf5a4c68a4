#include "station.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "steps.h"
#include "stop_signals.h"
#include "text.h"

namespace mfgstation {

namespace {

// An empty serial number would erase the stored one.
bool serial_fits(const std::string& text, Reporter& report) {
  if (!text.empty() && text.size() <= kSerialMax) return true;
  report.error(format("write-sn: a serial number has 1 to %zu characters", kSerialMax));
  return false;
}

}  // namespace

bool lock_interface(const std::string& iface, std::string* error) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = format("lock for %s: %s", iface.c_str(), std::strerror(errno));
    return false;
  }
  const std::string name = "qv-mfgstation:" + iface;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), std::min(name.size(), sizeof addr.sun_path - 1));
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    const int err = errno;
    close(fd);
    *error = err == EADDRINUSE
                 ? format("%s is in use by another mfgstation; one station per interface", iface.c_str())
                 : format("lock for %s: %s", iface.c_str(), std::strerror(err));
    return false;
  }
  return true;
}

Station::Station(Transport& transport, const Options& opts, const Mac& station_mac, Reporter& report)
    : transport_(transport), opts_(opts), report_(report) {
  session_.station = station_mac;
  if (opts.device) {
    session_.device = *opts.device;
    session_.device_known = true;
  }
}

void Station::error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  report_.error(text);
}

void Station::note(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  report_.note(text);
}

int Station::connect() {
  int r = exchange({kCmdConnect, session_.station.data(), session_.station.size(), "connect"});
  if (r == kExitOk) {
    connected_ = true;
    note("connect: connected to %s", station_link::mac_text(session_.device).c_str());
  }
  return r;
}

int Station::write_sn(const std::string& text) {
  if (!serial_fits(text, report_)) return kExitUsage;
  // The terminating zero ends the text on the device whatever follows the
  // parameters in the frame.
  std::vector<uint8_t> params(text.begin(), text.end());
  params.push_back(0);
  int r = exchange({kCmdWriteSn, params.data(), params.size(), "write-sn"});
  if (r == kExitOk) note("write-sn: stored \"%s\"", text.c_str());
  return r;
}

int Station::read_sn(std::string* serial) {
  std::vector<uint8_t> reply;
  int r = exchange({kCmdReadSn, nullptr, 0, "read-sn", &reply});
  if (r != kExitOk) return r;
  std::string text(reply.begin() + 2, reply.end());
  if (serial) *serial = text;
  note("read-sn: \"%s\"", text.c_str());
  return kExitOk;
}

int Station::request(uint8_t command, const char* what, const char* done) {
  int r = exchange({command, nullptr, 0, what});
  if (r == kExitOk) note("%s: %s", what, done);
  return r;
}

int Station::stop() const { return ended_ && ended_->load() ? 2 : stop_level(); }

const char* Station::stop_cause() const {
  return stop_level() == 0 && ended_ && ended_->load() ? kDeviceRestarted : stop_signal_name();
}

int Station::run() {
  // Every step's input is checked before the first frame goes out: a mistake
  // found halfway would leave the device half done.
  for (const Step& step : opts_.steps)
    if (step.op == Op::WriteSn && !serial_fits(step.arg, report_)) return kExitUsage;
  std::vector<Image> images;
  std::string why;
  if (!load_step_images(opts_, &images, &why)) {
    report_.error(why);
    return kExitLocal;
  }
  StepLog nothing_kept;
  StepContext context{*this, report_, images, nothing_kept, false};
  return run_steps(context, opts_.steps);
}

}  // namespace mfgstation
