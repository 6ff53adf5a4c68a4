#include "station.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "link_protocol.h"

namespace mfgstation {

namespace {

using qvlink::command_byte;
using qvlink::Status;
using qvlink::status_byte;

constexpr uint8_t kCmdConnect = command_byte(qvlink::Command::CreateConnection);
constexpr uint8_t kCmdWriteSn = command_byte(qvlink::Command::WriteSerialNumber);
constexpr uint8_t kCmdReadSn = command_byte(qvlink::Command::ReadSerialNumber);
constexpr uint8_t kCmdLength = command_byte(qvlink::Command::FirmwareLength);
constexpr uint8_t kCmdChunk = command_byte(qvlink::Command::FirmwareChunk);
constexpr uint8_t kCmdChecksum = command_byte(qvlink::Command::FirmwareChecksum);
constexpr uint8_t kCmdClose = command_byte(qvlink::Command::CloseConnection);
constexpr uint8_t kCmdQuit = command_byte(qvlink::Command::Quit);
constexpr uint8_t kCmdReboot = command_byte(qvlink::Command::Reboot);
constexpr uint8_t kCmdDefaults = command_byte(qvlink::Command::DefaultReset);
constexpr uint8_t kCmdUpgrade = command_byte(qvlink::Command::UpgradeNormalCode);

struct OpInfo {
  Op op;
  const char* name;
  bool takes_arg;
};
constexpr OpInfo kOps[] = {
    {Op::Connect, "connect", false},      {Op::WriteSn, "write-sn", true},
    {Op::ReadSn, "read-sn", false},       {Op::Flash, "flash", true},
    {Op::Reboot, "reboot", false},        {Op::ResetDefaults, "reset-defaults", false},
    {Op::Close, "close", false},          {Op::Quit, "quit", false},
    {Op::Discover, "discover", false},
};

// A whole decimal number within [lo, hi]; false otherwise.
bool parse_int(const char* text, long lo, long hi, int* value) {
  if (!text || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno || *end || v < lo || v > hi) return false;
  *value = static_cast<int>(v);
  return true;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

double mib_per_second(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / 1048576.0 / seconds : 0.0;
}

int percent(uint64_t done, uint64_t total) {
  return total ? static_cast<int>(done * 100 / total) : 100;
}

}  // namespace

const char* op_name(Op op) {
  for (const OpInfo& info : kOps)
    if (info.op == op) return info.name;
  return "?";
}

std::string usage_text() {
  return "Usage: mfgstation -i IFACE [OPTION]... COMMAND...\n"
         "       mfgstation -i IFACE (--device MAC... | --all) [OPTION]... COMMAND...\n"
         "       mfgstation -i IFACE discover\n"
         "Runs production-line commands against the device reached on IFACE over the\n"
         "factory link (Ethernet type 0x3914), in the order given; stops at the first\n"
         "failure. Every command's input is checked before the first frame goes out.\n"
         "In line mode (several --device, --all, write-sn @next or --record) every\n"
         "device named or found runs the commands, all at once, each as a single\n"
         "device would.\n"
         "\n"
         "Commands:\n"
         "  connect           open the connection (names this station's address) and\n"
         "                    print the device's address\n"
         "  write-sn TEXT     store the serial number TEXT (1 to 32 characters)\n"
         "  read-sn           print the stored serial number\n"
         "  flash IMAGE       send IMAGE, have its CRC-32 checked and write it to \"Kernel\"\n"
         "  reboot            restart the device\n"
         "  reset-defaults    restore the default configuration\n"
         "  close             close the connection\n"
         "  quit              end the service on the device\n"
         "  write-sn @next    line mode: the next serial number of the counter\n"
         "  discover          list the devices that answer a broadcast connect, one line\n"
         "                    each: its address, then its stored serial number if any;\n"
         "                    each device found now serves only this station until its\n"
         "                    service ends (quit, or about 30 s without a request)\n"
         "\n"
         "Options (before, between or after the commands):\n"
         "  -i, --interface IFACE   network interface towards the device (required)\n"
         "  -d, --device MAC        talk to this device only, addressed from the first\n"
         "                          request on (default: the first device that answers\n"
         "                          a broadcast); repeated: line mode\n"
         "  -t, --timeout MS        time-out per reply in milliseconds (default 2000)\n"
         "  -r, --retries N         resends of a request whose reply is lost, and\n"
         "                          restarts of a transfer (default 3)\n"
         "      --flash-timeout S   seconds to wait for the end of flashing (default 300)\n"
         "      --chunk-size N      firmware bytes per chunk, 1 to 1514 (default: the\n"
         "                          interface MTU less 8, at most 1514)\n"
         "      --max-size BYTES    largest image, K or M allowed (default 4M, the\n"
         "                          Kernel partition of this device family)\n"
         "  -h, --help              show this text\n"
         "\n"
         "Line mode:\n"
         "      --all               serve every device that discovery finds within the\n"
         "                          reply time-out\n"
         "      --sn-pattern P      serial numbers from P, printf style with one integer\n"
         "                          conversion, such as QV2026-%06d\n"
         "      --sn-list FILE      serial numbers from FILE, one per line, instead\n"
         "      --sn-state FILE     the counter: the next number (a missing file starts\n"
         "                          at 1), and the numbers sent but not yet confirmed;\n"
         "                          written and synced before a number is sent\n"
         "      --record FILE       append one JSON line per device to FILE (synced)\n"
         "In line mode every write-sn is followed by a read-back: a number counts as\n"
         "confirmed only when the device reads it back as sent. A summary ends the run.\n"
         "\n"
         "Replies: only those addressed to this station, from the device (once known),\n"
         "with a good checksum, are taken. The device numbers its replies; a reply\n"
         "that fits no request in flight (missing, extra, late) puts station and\n"
         "device out of step: a transfer is then closed and sent again, as after a\n"
         "CRC-32 mismatch. After a lost chunk reply the device's reply count, read\n"
         "with a serial-number read, tells whether it took the chunk; a chunk goes\n"
         "out again only when it did not. After the CRC-32 confirmation one\n"
         "serial-number read (never sent again) must be answered with exactly the\n"
         "next reply number; a reply still on its way or lost behind the\n"
         "confirmation shows up there and restarts the transfer. The upgrade is\n"
         "never sent twice.\n"
         "One mfgstation per interface: a second one exits at once.\n"
         "\n"
         "\"flash: done\" and exit status 0 mean: the device confirmed the CRC-32 of\n"
         "the whole image, no reply was unaccounted for up to the upgrade, and the\n"
         "device reported that its flash tool ran on that image. The flash tool's own\n"
         "result is not reported over the link.\n"
         "\n"
         "Exit status: 0 success, 1 usage, 2 interface, lock or image problem, 3 no\n"
         "reply (time-out), 4 CRC-32 mismatch, 5 chunk or image could not be stored,\n"
         "6 serial number could not be stored, 7 request rejected by the device,\n"
         "8 out of step (after the upgrade was sent: the device may hold another\n"
         "image). Line mode: 0 when every device passed, the status of the failure\n"
         "when the failed devices share one, 9 when they failed in different ways.\n";
}

namespace {

// A byte count, optionally with K or M (1024 and 1048576) after it, within [1, hi].
bool parse_size(const char* text, uint64_t hi, uint64_t* value) {
  if (!text || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno) return false;
  uint64_t unit = 1;
  if (*end == 'K') unit = 1024, ++end;
  else if (*end == 'M') unit = 1048576, ++end;
  if (*end || v == 0 || v > hi / unit) return false;
  *value = v * unit;
  return true;
}

}  // namespace

int parse_command_line(int argc, const char* const* argv, Options& opts, std::string* error, bool* help) {
  *help = false;
  opts = Options{};
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    auto need_value = [&](const char* opt) -> const char* {
      if (i + 1 >= argc) {
        *error = format("option %s needs a value", opt);
        return nullptr;
      }
      return argv[++i];
    };
    // Options may stand before, between and after the commands; after "--"
    // everything is a command.
    if (!options_end && a[0] == '-' && a[1]) {
      const char* v = nullptr;
      if (!std::strcmp(a, "--")) {
        options_end = true;
      } else if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
        *help = true;
        return 0;
      } else if (!std::strcmp(a, "-i") || !std::strcmp(a, "--interface")) {
        if (!(v = need_value(a))) return kExitUsage;
        if (!*v || std::strlen(v) >= 16) {
          *error = format("bad interface name \"%s\"", v);
          return kExitUsage;
        }
        opts.iface = v;
      } else if (!std::strcmp(a, "-t") || !std::strcmp(a, "--timeout")) {
        if (!(v = need_value(a))) return kExitUsage;
        if (!parse_int(v, 1, 3600000, &opts.timeout_ms)) {
          *error = format("bad time-out \"%s\": milliseconds from 1 to 3600000", v);
          return kExitUsage;
        }
      } else if (!std::strcmp(a, "-r") || !std::strcmp(a, "--retries")) {
        if (!(v = need_value(a))) return kExitUsage;
        if (!parse_int(v, 0, 100, &opts.retries)) {
          *error = format("bad retry count \"%s\": 0 to 100", v);
          return kExitUsage;
        }
      } else if (!std::strcmp(a, "--flash-timeout")) {
        int seconds = 0;
        if (!(v = need_value(a))) return kExitUsage;
        if (!parse_int(v, 1, 86400, &seconds)) {
          *error = format("bad flash time-out \"%s\": seconds from 1 to 86400", v);
          return kExitUsage;
        }
        opts.flash_timeout_ms = seconds * 1000;
      } else if (!std::strcmp(a, "--chunk-size")) {
        if (!(v = need_value(a))) return kExitUsage;
        if (!parse_int(v, 1, kChunkMax, &opts.chunk_size)) {
          *error = format("bad chunk size \"%s\": 1 to %d", v, kChunkMax);
          return kExitUsage;
        }
      } else if (!std::strcmp(a, "--max-size")) {
        if (!(v = need_value(a))) return kExitUsage;
        if (!parse_size(v, 0xFFFFFFFFull, &opts.max_size)) {
          *error = format("bad image size limit \"%s\": bytes (or with K or M) from 1 to 4294967295", v);
          return kExitUsage;
        }
      } else if (!std::strcmp(a, "-d") || !std::strcmp(a, "--device")) {
        if (!(v = need_value(a))) return kExitUsage;
        Mac mac{};
        if (!station_link::parse_mac(v, mac) || (mac[0] & 1)) {
          *error = format("bad device address \"%s\": one device's MAC, as 02:00:00:00:00:01", v);
          return kExitUsage;
        }
        if (std::find(opts.devices.begin(), opts.devices.end(), mac) != opts.devices.end()) {
          *error = format("device %s is named twice", v);
          return kExitUsage;
        }
        opts.devices.push_back(mac);
        opts.device = opts.devices[0];
        opts.device_given = true;
      } else if (!std::strcmp(a, "--all")) {
        opts.all = true;
      } else if (std::string* field = !std::strcmp(a, "--sn-pattern") ? &opts.sn_pattern
                                      : !std::strcmp(a, "--sn-list")    ? &opts.sn_list
                                      : !std::strcmp(a, "--sn-state")   ? &opts.sn_state
                                      : !std::strcmp(a, "--record")     ? &opts.record
                                                                        : nullptr) {
        if (!(v = need_value(a))) return kExitUsage;
        if (!*v) {
          *error = format("option %s needs a value", a);
          return kExitUsage;
        }
        *field = v;
      } else {
        *error = format("unknown option \"%s\"", a);
        return kExitUsage;
      }
      continue;
    }
    const OpInfo* info = nullptr;
    for (const OpInfo& candidate : kOps)
      if (!std::strcmp(a, candidate.name)) info = &candidate;
    if (!info) {
      *error = format("unknown command \"%s\"", a);
      return kExitUsage;
    }
    Step step{info->op, {}};
    if (info->takes_arg) {
      if (i + 1 >= argc) {
        *error = format("%s needs %s", info->name, info->op == Op::Flash ? "an image file" : "a text");
        return kExitUsage;
      }
      step.arg = argv[++i];
      // An unset shell variable on the line would erase the stored number.
      if (info->op == Op::WriteSn && step.arg.empty()) {
        *error = "write-sn needs a serial number, not an empty text";
        return kExitUsage;
      }
      if (info->op == Op::WriteSn && step.arg.size() > kSerialMax) {
        *error = format("serial number \"%s\" is longer than %zu characters", step.arg.c_str(), kSerialMax);
        return kExitUsage;
      }
      if (info->op == Op::Flash && step.arg.empty()) {
        *error = "flash needs an image file";
        return kExitUsage;
      }
    }
    opts.steps.push_back(step);
  }
  if (opts.iface.empty()) {
    *error = "no interface given (-i IFACE)";
    return kExitUsage;
  }
  if (opts.steps.empty()) {
    *error = "no command given";
    return kExitUsage;
  }
  return check_line_options(opts, error);
}

bool Options::line_mode() const {
  if (all || devices.size() > 1 || !record.empty()) return true;
  for (const Step& step : steps)
    if (step.op == Op::WriteSn && step.arg == kNextSerial) return true;
  return false;
}

int check_line_options(const Options& opts, std::string* error) {
  bool next = false, literal = false;
  for (const Step& step : opts.steps) {
    if (step.op == Op::Discover && opts.steps.size() > 1) {
      *error = "discover runs alone";
      return kExitUsage;
    }
    if (step.op == Op::WriteSn) (step.arg == kNextSerial ? next : literal) = true;
  }
  if (opts.steps[0].op == Op::Discover && (opts.all || !opts.devices.empty() || !opts.record.empty())) {
    *error = "discover takes no --device, --all or --record";
    return kExitUsage;
  }
  if (opts.all && !opts.devices.empty()) {
    *error = "--all and --device exclude each other";
    return kExitUsage;
  }
  if (literal && (opts.all || opts.devices.size() > 1)) {
    *error = "write-sn TEXT would give every device the same serial number; use write-sn @next";
    return kExitUsage;
  }
  const bool counter = !opts.sn_pattern.empty() || !opts.sn_list.empty() || !opts.sn_state.empty();
  if (next && (opts.sn_state.empty() || opts.sn_pattern.empty() == opts.sn_list.empty())) {
    *error = "write-sn @next needs --sn-state FILE and either --sn-pattern PATTERN or --sn-list FILE";
    return kExitUsage;
  }
  if (counter && !next) {
    *error = "--sn-pattern, --sn-list and --sn-state serve write-sn @next, which is not among the commands";
    return kExitUsage;
  }
  if (opts.line_mode() && !opts.all && opts.devices.empty()) {
    *error = "write-sn @next and --record need the devices: --device MAC (repeatable) or --all";
    return kExitUsage;
  }
  return 0;
}

int chunk_size_for_mtu(int mtu) {
  int n = mtu - static_cast<int>(qvlink::kPayloadHeaderLength);
  if (n <= 0) return 0;
  return n > kChunkMax ? kChunkMax : n;
}

std::string progress_bar_line(uint64_t done, uint64_t total, double seconds) {
  constexpr int kWidth = 30;
  int filled = total ? static_cast<int>(done * kWidth / total) : kWidth;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kWidth - filled), '.');
  return format("[%s] %llu/%llu bytes %3d%% %6.2f MiB/s", bar.c_str(), static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(total), percent(done, total), mib_per_second(done, seconds));
}

std::string progress_plain_line(uint64_t done, uint64_t total, double seconds) {
  return format("flash: %llu of %llu bytes sent (%d%%), %.2f MiB/s", static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(total), percent(done, total), mib_per_second(done, seconds));
}

namespace {

// A status report that a request damaged on the way earns: unknown protocol
// (payload byte 0 lies outside the checksum), wrong checksum, and a length
// that overruns the frame. The request was not carried out.
bool rejected_in_transit(const std::vector<uint8_t>& data) {
  return !data.empty() && (data[0] == status_byte(Status::UnknownProtocol) ||
                           data[0] == status_byte(Status::WrongChecksum) ||
                           data[0] == status_byte(Status::ParameterError));
}

// An empty serial number would erase the stored one.
bool serial_fits(const std::string& text, FILE* err) {
  if (!text.empty() && text.size() <= kSerialMax) return true;
  std::fprintf(err, "mfgstation: write-sn: a serial number has 1 to %zu characters\n", kSerialMax);
  return false;
}

}  // namespace

int load_image(const std::string& path, uint64_t max_size, std::vector<uint8_t>* image, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = format("cannot open \"%s\": %s", path.c_str(), std::strerror(errno));
    return kExitLocal;
  }
  image->clear();
  uint8_t buf[65536];
  std::size_t n;
  bool too_large = false;
  while (!too_large && (n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    image->insert(image->end(), buf, buf + n);
    too_large = image->size() > max_size;
  }
  const bool failed = std::ferror(f);
  std::fclose(f);
  if (failed) {
    *error = format("cannot read \"%s\"", path.c_str());
    return kExitLocal;
  }
  if (too_large) {
    *error = format("\"%s\" is larger than %llu bytes, the largest image allowed (--max-size)", path.c_str(),
                    static_cast<unsigned long long>(max_size));
    return kExitLocal;
  }
  if (image->empty()) {
    *error = format("\"%s\" is empty", path.c_str());
    return kExitLocal;
  }
  return 0;
}

int lock_interface(const std::string& iface, std::string* error) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = format("lock for %s: %s", iface.c_str(), std::strerror(errno));
    return -1;
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
    return -1;
  }
  return fd;
}

Station::Station(Transport& transport, const Options& opts, const Mac& station_mac, Output output)
    : transport_(transport), opts_(opts), io_(output) {
  session_.station = station_mac;
  if (opts.device_given) {
    session_.device = opts.device;
    session_.device_known = true;
  }
}

double Station::now() const {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void Station::pass_over(Fit fit, const station_link::Reply& r) {
  if (r.code != 0) return;  // another station's request
  if (fit == Fit::NotForUs) {
    if (r.dest == Mac{}) ++to_nobody_;
    else if (r.dest != station_link::kBroadcast) ++to_others_;
  } else if (fit == Fit::OtherDevice && r.source != session_.station &&
             std::find(others_.begin(), others_.end(), r.source) == others_.end()) {
    others_.push_back(r.source);
    std::fprintf(io_.err,
                 "mfgstation: another device, %s, answered too and was passed over (this run talks to %s; "
                 "--device MAC chooses the device)\n",
                 station_link::mac_text(r.source).c_str(), station_link::mac_text(session_.device).c_str());
  }
}

void Station::timeout_hint(const char* what) {
  std::fprintf(io_.err,
               "mfgstation: %s: the service ends after about 30 s without a request, and a device bound to "
               "another station answers only that station\n",
               what);
  if (to_nobody_)
    std::fprintf(io_.err,
                 "mfgstation: %s: %d replies went to 00:00:00:00:00:00: no station is connected to the device; "
                 "start with connect\n",
                 what, to_nobody_);
  if (to_others_) std::fprintf(io_.err, "mfgstation: %s: %d replies went to other stations\n", what, to_others_);
}

int Station::send_request(uint8_t command, const uint8_t* params, std::size_t count, const char* what) {
  std::string error;
  const Mac& dest = session_.device_known ? session_.device : station_link::kBroadcast;
  if (transport_.send(dest, command, params, count, &error) < 0) {
    std::fprintf(io_.err, "mfgstation: %s: %s\n", what, error.c_str());
    return kExitLocal;
  }
  return 0;
}

int Station::await(const char* what, std::vector<uint8_t>* reply, int timeout_ms) {
  const double deadline = now() + timeout_ms / 1000.0;
  station_link::Reply r;
  for (;;) {
    int left = static_cast<int>((deadline - now()) * 1000.0 + 0.5);
    if (left <= 0) return kExitTimeout;
    std::string error;
    int got = transport_.receive(r, left, &error);
    if (got < 0) {
      std::fprintf(io_.err, "mfgstation: %s: %s\n", what, error.c_str());
      return kExitLocal;
    }
    if (got == 0) return kExitTimeout;
    Verdict v = Verdict::Unrelated;
    const Fit fit = fit_reply(session_, r, &v);
    if (fit == Fit::OutOfStep) {
      std::fprintf(io_.err,
                   "mfgstation: %s: a reply that fits no request (sequence %u, data %s): station and device are "
                   "out of step\n",
                   what, r.sequence, station_link::hex(r.data).c_str());
      return kExitOutOfStep;
    }
    if (fit != Fit::Answer) {
      pass_over(fit, r);
      continue;
    }
    take_reply(session_, r);
    last_reply_ = r.data;
    switch (v) {
      case Verdict::Unrelated:  // fit_reply never answers with it
      case Verdict::Success:
        if (reply) *reply = r.data;
        return kExitOk;
      case Verdict::CrcMismatch:
        std::fprintf(io_.err, "mfgstation: %s: the device reports a CRC-32 mismatch\n", what);
        return kExitCrcMismatch;
      case Verdict::ChunkFailed:
        if (session_.command == command_byte(qvlink::Command::UpgradeNormalCode))
          std::fprintf(io_.err, "mfgstation: %s: the device could not write the staged image whole; not flashed\n",
                       what);
        else
          std::fprintf(io_.err, "mfgstation: %s: the device could not store the chunk; transfer abandoned\n", what);
        return kExitChunkFailed;
      case Verdict::StoreFailed:
        std::fprintf(io_.err, "mfgstation: %s: the device could not store the serial number (\"%s\")\n", what,
                     qvlink::kStoreFailureText);
        return kExitStoreFailed;
      case Verdict::Rejected: {
        const uint8_t status = r.data[0];
        const char* why = status == status_byte(Status::UnknownProtocol) ? "unknown protocol"
                          : status == status_byte(Status::UnknownCommand)  ? "unknown command"
                          : status == status_byte(Status::WrongChecksum)   ? "wrong checksum"
                                                                           : "parameter error";
        std::fprintf(io_.err, "mfgstation: %s: the device rejected the request (status %u: %s)\n", what, status,
                     why);
        return kExitRejected;
      }
    }
  }
}

int Station::confirm_in_step(const char* what) {
  // Not sent again: with a second copy out, an answer one place late would fit
  // too, and one place late is what a reply still on its way looks like.
  const int r = exchange(kCmdReadSn, nullptr, 0, false, what, nullptr, opts_.timeout_ms);
  if (r == kExitOk || (r == kExitRejected && rejected_in_transit(last_reply_))) return kExitOk;
  if (r == kExitTimeout)
    std::fprintf(io_.err, "mfgstation: %s: no reply within %d ms; the device's reply count is unknown\n", what,
                 opts_.timeout_ms);
  return r == kExitRejected ? kExitOutOfStep : r;
}

void Station::settle() {
  // What is still on its way comes within a reply time-out; a device that
  // keeps talking is given up on after ten.
  const double give_up = now() + 10.0 * opts_.timeout_ms / 1000.0;
  double quiet_until = now() + opts_.timeout_ms / 1000.0;
  station_link::Reply r;
  for (;;) {
    const double until = std::min(quiet_until, give_up);
    int left = static_cast<int>((until - now()) * 1000.0 + 0.5);
    if (left <= 0) break;
    std::string error;
    if (transport_.receive(r, left, &error) <= 0) break;
    const Fit fit = fit_reply(session_, r, nullptr);
    if (fit == Fit::NotForUs || fit == Fit::OtherDevice) pass_over(fit, r);
    else quiet_until = now() + opts_.timeout_ms / 1000.0;
  }
  lose_step(session_);
}

int Station::exchange(uint8_t command, const uint8_t* params, std::size_t count, bool resend, const char* what,
                      std::vector<uint8_t>* reply, int timeout_ms) {
  const int attempts = resend ? opts_.retries + 1 : 1;
  begin_request(session_, command, 1);
  for (int attempt = 1;; ++attempt) {
    if (send_request(command, params, count, what) != 0) return kExitLocal;
    const int r = await(what, reply, timeout_ms);
    const bool damaged = r == kExitRejected && rejected_in_transit(last_reply_);
    if (r != kExitTimeout && r != kExitOutOfStep && !damaged) return r;
    if (attempt >= attempts) {
      if (r == kExitTimeout && resend) {
        std::fprintf(io_.err, "mfgstation: %s: no reply within %d ms after %d attempts\n", what, timeout_ms,
                     attempts);
        timeout_hint(what);
      }
      return r;
    }
    if (r == kExitTimeout) {
      resend_request(session_);
      std::fprintf(io_.err, "mfgstation: %s: no reply within %d ms, sending again (%d of %d)\n", what, timeout_ms,
                   attempt, attempts - 1);
    } else {
      if (r == kExitOutOfStep) settle();
      begin_request(session_, command, 1);
      std::fprintf(io_.err, "mfgstation: %s: sending again (%d of %d)\n", what, attempt, attempts - 1);
    }
  }
}

int Station::connect() {
  int r = exchange(kCmdConnect, session_.station.data(), session_.station.size(), true, "connect", nullptr,
                   opts_.timeout_ms);
  if (r == kExitOk)
    std::fprintf(io_.out, "connect: connected to %s\n", station_link::mac_text(session_.device).c_str());
  return r;
}

int Station::write_sn(const std::string& text) {
  if (!serial_fits(text, io_.err)) return kExitUsage;
  // The terminating zero ends the text on the device whatever follows the
  // parameters in the frame.
  std::vector<uint8_t> params(text.begin(), text.end());
  params.push_back(0);
  int r = exchange(kCmdWriteSn, params.data(), params.size(), true, "write-sn", nullptr, opts_.timeout_ms);
  if (r == kExitOk) std::fprintf(io_.out, "write-sn: stored \"%s\"\n", text.c_str());
  return r;
}

int Station::read_sn(std::string* serial) {
  std::vector<uint8_t> reply;
  int r = exchange(kCmdReadSn, nullptr, 0, true, "read-sn", &reply, opts_.timeout_ms);
  if (r != kExitOk) return r;
  std::string text(reply.begin() + 2, reply.end());
  if (serial) *serial = text;
  std::fprintf(io_.out, "read-sn: \"%s\"\n", text.c_str());
  return kExitOk;
}

int Station::simple(Op op) {
  uint8_t command = 0;
  const char* done = "";
  switch (op) {
    // The device answers before it restarts or resets: the answer is all it tells.
    case Op::Reboot: command = kCmdReboot; done = "accepted by the device"; break;
    case Op::ResetDefaults: command = kCmdDefaults; done = "accepted by the device"; break;
    case Op::Close: command = kCmdClose; done = "connection closed"; break;
    case Op::Quit: command = kCmdQuit; done = "service ended"; break;
    default: return kExitUsage;
  }
  int r = exchange(command, nullptr, 0, true, op_name(op), nullptr, opts_.timeout_ms);
  if (r == kExitOk) std::fprintf(io_.out, "%s: %s\n", op_name(op), done);
  return r;
}

void Station::progress(uint64_t done, uint64_t total, bool last) {
  const double t = now();
  const double elapsed = t - started_;
  if (io_.progress) {
    io_.progress(done, total, elapsed);
    return;
  }
  if (io_.terminal) {
    if (!last && t - last_draw_ < 0.1) return;
    last_draw_ = t;
    std::fprintf(io_.out, "\r%s%s", progress_bar_line(done, total, elapsed).c_str(), last ? "\n" : "");
    std::fflush(io_.out);
    return;
  }
  int tenth = total ? static_cast<int>(done * 10 / total) : 10;
  if (tenth == last_tenth_) return;
  last_tenth_ = tenth;
  std::fprintf(io_.out, "%s\n", progress_plain_line(done, total, elapsed).c_str());
}

// Did the device answer the chunk whose reply did not come? A harmless request
// (reading the serial number) tells by its reply's place in the device's
// count: one place further on when the chunk was answered. 1 answered, 0 not,
// -1 unknown.
int Station::chunk_answered(const char* what) {
  if (!session_.sequence_known) return -1;
  const uint8_t before = session_.next_sequence;
  begin_request(session_, kCmdReadSn, 1);
  resend_request(session_);  // the chunk's answer may stand before the probe's
  if (send_request(kCmdReadSn, nullptr, 0, what) != 0) return -1;
  if (await(what, nullptr, opts_.timeout_ms) != kExitOk) return -1;
  return static_cast<uint8_t>(session_.next_sequence - 1 - before);
}

// Sends the image chunk by chunk. The device appends every copy of a chunk it
// gets, so a chunk goes out again only when the device shows it never answered
// it: rejected as damaged on the way, or not counted. A chunk whose reply was
// lost is taken as stored; the CRC-32 check at the end tells.
int Station::send_chunks(const std::vector<uint8_t>& image, int chunk) {
  const uint64_t total = image.size();
  started_ = now();
  last_tenth_ = 0;
  last_draw_ = 0;
  int recoveries = 0;
  for (std::size_t offset = 0; offset < image.size();) {
    std::size_t n = image.size() - offset;
    if (n > static_cast<std::size_t>(chunk)) n = static_cast<std::size_t>(chunk);
    char what[64];
    std::snprintf(what, sizeof what, "flash: chunk at byte %zu", offset);
    int r = exchange(kCmdChunk, image.data() + offset, n, false, what, nullptr, opts_.timeout_ms);
    int answered = r == kExitOk ? 1 : -1;
    if (r == kExitTimeout && recoveries < opts_.retries) {
      answered = chunk_answered(what);
      if (answered >= 0) ++recoveries;
    } else if (r == kExitRejected && rejected_in_transit(last_reply_) && recoveries < opts_.retries) {
      answered = 0;
      ++recoveries;
    }
    if (answered < 0) {
      if (io_.terminal) std::fputc('\n', io_.out);
      if (r == kExitTimeout) std::fprintf(io_.err, "mfgstation: %s: no reply within %d ms\n", what, opts_.timeout_ms);
      return r == kExitOk ? kExitOutOfStep : r;
    }
    if (r != kExitOk)
      std::fprintf(io_.err, "mfgstation: %s: %s\n", what,
                   answered ? "reply lost; the device's reply count shows the chunk answered, going on"
                            : "the device did not take the chunk; sending it again");
    if (answered == 0) continue;
    recoveries = 0;
    offset += n;
    progress(offset, total, offset == image.size());
  }
  return kExitOk;
}

// Closes a transfer left open on the device (by a station that was stopped
// halfway, say): a length of 0 makes the next chunk the last one, and an empty
// chunk adds nothing to the staged file.
int Station::close_transfer() {
  uint8_t zero[4] = {0, 0, 0, 0};
  int r = exchange(kCmdLength, zero, sizeof zero, true, "flash: closing the transfer", nullptr, opts_.timeout_ms);
  if (r != kExitOk) return r;
  return exchange(kCmdChunk, nullptr, 0, true, "flash: closing the transfer", nullptr, opts_.timeout_ms);
}

// One attempt: closes what is open, announces, sends, has the CRC-32 checked.
int Station::transfer(const std::vector<uint8_t>& image, uint32_t crc, int chunk) {
  int r = close_transfer();
  if (r != kExitOk) return r;
  uint8_t length[4];
  qvlink::put_be32(length, static_cast<uint32_t>(image.size()));
  r = exchange(kCmdLength, length, sizeof length, true, "flash: announce", nullptr, opts_.timeout_ms);
  if (r != kExitOk) return r;
  r = send_chunks(image, chunk);
  if (r != kExitOk) return r;
  uint8_t expected[4];
  qvlink::put_be32(expected, crc);
  r = exchange(kCmdChecksum, expected, sizeof expected, true, "flash: checksum", nullptr, opts_.timeout_ms);
  if (r != kExitOk) return r;
  // The confirmation reads as a chunk's reply does. Had a copy of a chunk been
  // appended, the confirmation taken would be the last chunk's reply, and the
  // device's own answer would still be on its way (or lost): a harmless question
  // whose answer must carry exactly the next reply number tells.
  return confirm_in_step("flash: in-step check");
}

int Station::upgrade(uint32_t crc) {
  std::vector<uint8_t> reply;
  begin_request(session_, kCmdUpgrade, 2);
  if (send_request(kCmdUpgrade, nullptr, 0, "flash: upgrade") != 0) return kExitLocal;
  // The first reply says flashing starts, the second that the flash tool has
  // returned. The request is never sent again: a second upgrade would flash again.
  bool started = false;
  const double deadline_start = now() + opts_.timeout_ms / 1000.0;
  const double deadline_end = deadline_start + opts_.flash_timeout_ms / 1000.0;
  for (;;) {
    const double deadline = started ? deadline_end : deadline_start;
    int left = static_cast<int>((deadline - now()) * 1000.0 + 0.5);
    int r = left > 0 ? await("flash: upgrade", &reply, left) : kExitTimeout;
    if (r == kExitTimeout) {
      if (!started) {
        std::fprintf(io_.err,
                     "mfgstation: flash: no reply to the upgrade within %d ms; waiting for the end of flashing "
                     "(the upgrade is not sent again)\n",
                     opts_.timeout_ms);
        started = true;
        continue;
      }
      std::fprintf(io_.err,
                   "mfgstation: flash: the end of flashing was not reported within %d s; the upgrade is not sent "
                   "again, check the device\n",
                   opts_.flash_timeout_ms / 1000);
      return kExitTimeout;
    }
    if (r == kExitOutOfStep) {
      std::fprintf(io_.err,
                   "mfgstation: flash: the replies to the upgrade do not follow the CRC-32 confirmation: the device "
                   "may have flashed another image; flash it again\n");
      return kExitOutOfStep;
    }
    if (r != kExitOk) return r;
    if (reply[2] == static_cast<uint8_t>(qvlink::UpgradePhase::Starts)) {
      started = true;
      std::fprintf(io_.out, "flash: writing \"Kernel\" on the device\n");
      std::fflush(io_.out);
    } else {
      std::fprintf(io_.out,
                   "flash: done: the device ran its flash tool on the image it confirmed (CRC-32 %08x); the tool's "
                   "own result is not reported\n",
                   crc);
      return kExitOk;
    }
  }
}

int Station::flash_image(const std::vector<uint8_t>& image) {
  if (image.empty()) {
    std::fprintf(io_.err, "mfgstation: flash: the image is empty\n");
    return kExitLocal;
  }
  if (image.size() > opts_.max_size || image.size() > 0xFFFFFFFFull) {
    std::fprintf(io_.err, "mfgstation: flash: the image is larger than %llu bytes, the largest allowed (--max-size)\n",
                 static_cast<unsigned long long>(std::min<uint64_t>(opts_.max_size, 0xFFFFFFFFull)));
    return kExitLocal;
  }
  const int chunk = opts_.chunk_size;
  if (chunk <= 0) {
    std::fprintf(io_.err, "mfgstation: flash: the interface MTU leaves no room for firmware data\n");
    return kExitLocal;
  }
  const uint32_t crc = crc32(0, image.data(), static_cast<uint32_t>(image.size()));
  std::fprintf(io_.out, "flash: %zu bytes, CRC-32 %08x, %d bytes per chunk\n", image.size(), crc, chunk);
  std::fflush(io_.out);

  // Any doubt about what the device stored restarts the transfer; the upgrade
  // goes out only after a transfer that ran in step to its confirmation.
  for (restarts_ = 0;; ++restarts_) {
    const int r = transfer(image, crc, chunk);
    if (r == kExitOk) break;
    const bool again = r == kExitTimeout || r == kExitOutOfStep || r == kExitCrcMismatch ||
                       (r == kExitRejected && rejected_in_transit(last_reply_));
    if (!again || restarts_ >= opts_.retries) {
      if (again) std::fprintf(io_.err, "mfgstation: flash: transfer failed after %d restarts\n", restarts_);
      if (r == kExitCrcMismatch)
        std::fprintf(io_.err, "mfgstation: flash: the image was not flashed (expected CRC-32 %08x)\n", crc);
      return r;
    }
    std::fprintf(io_.err, "mfgstation: flash: restarting the transfer (%d of %d)\n", restarts_ + 1, opts_.retries);
    settle();
  }
  std::fprintf(io_.out, "flash: CRC-32 confirmed by the device\n");
  return upgrade(crc);
}

int Station::flash(const std::string& image_path) {
  std::vector<uint8_t> image;
  std::string error;
  if (load_image(image_path, opts_.max_size, &image, &error) != 0) {
    std::fprintf(io_.err, "mfgstation: flash: %s\n", error.c_str());
    return kExitLocal;
  }
  return flash_image(image);
}

int Station::run() {
  // Every step's input is checked before the first frame goes out: a mistake
  // found halfway would leave the device half done.
  std::vector<std::vector<uint8_t>> images(opts_.steps.size());
  for (std::size_t i = 0; i < opts_.steps.size(); ++i) {
    const Step& step = opts_.steps[i];
    std::string error;
    if (step.op == Op::WriteSn && !serial_fits(step.arg, io_.err)) return kExitUsage;
    if (step.op == Op::Flash && load_image(step.arg, opts_.max_size, &images[i], &error) != 0) {
      std::fprintf(io_.err, "mfgstation: flash: %s\n", error.c_str());
      return kExitLocal;
    }
    if (step.op == Op::Flash && opts_.chunk_size <= 0) {
      std::fprintf(io_.err, "mfgstation: flash: the interface MTU leaves no room for firmware data\n");
      return kExitLocal;
    }
  }
  for (std::size_t i = 0; i < opts_.steps.size(); ++i) {
    const Step& step = opts_.steps[i];
    int r = kExitOk;
    switch (step.op) {
      case Op::Connect: r = connect(); break;
      case Op::WriteSn: r = write_sn(step.arg); break;
      case Op::ReadSn: r = read_sn(nullptr); break;
      case Op::Flash: r = flash_image(images[i]); break;
      default: r = simple(step.op); break;
    }
    std::fflush(io_.out);
    if (r != kExitOk) return r;
  }
  return kExitOk;
}

}  // namespace mfgstation
