#include "station.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "link_protocol.h"
#include "station_link.h"

namespace mfgstation {

namespace {

// Command bytes, from the protocol's one table of codes.
constexpr uint8_t command_byte(qvlink::Command c) { return static_cast<uint8_t>(c); }
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
         "failure. In line mode (several --device, --all, write-sn @next or --record)\n"
         "every device named or found runs the commands, all at once.\n"
         "\n"
         "Commands:\n"
         "  connect           open the connection (names this station's address)\n"
         "  write-sn TEXT     store the serial number TEXT (at most 32 characters)\n"
         "  read-sn           print the stored serial number\n"
         "  flash IMAGE       send IMAGE, check its CRC-32 and write it to \"Kernel\"\n"
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
         "Options:\n"
         "  -i, --interface IFACE   network interface towards the device (required)\n"
         "  -t, --timeout MS        time-out per reply in milliseconds (default 2000)\n"
         "  -r, --retries N         resends of a request whose reply is lost, and\n"
         "                          restarts of a transfer whose chunk reply is lost\n"
         "                          (default 3)\n"
         "      --flash-timeout S   seconds to wait for the end of flashing (default 300)\n"
         "      --chunk-size N      firmware bytes per chunk, 1 to 1514 (default: the\n"
         "                          interface MTU less 8, at most 1514)\n"
         "  -h, --help              show this text\n"
         "\n"
         "Line mode:\n"
         "      --device MAC        serve the device with this address (repeatable)\n"
         "      --all               serve every device that discovery finds within the\n"
         "                          reply time-out\n"
         "      --sn-pattern P      serial numbers from P, printf style with one integer\n"
         "                          conversion, such as QV2026-%06d\n"
         "      --sn-list FILE      serial numbers from FILE, one per line, instead\n"
         "      --sn-state FILE     the counter: the next number (a missing file starts\n"
         "                          at 1), and the numbers sent but not yet confirmed;\n"
         "                          written and synced before a number is sent\n"
         "      --record FILE       append one JSON line per device to FILE (synced)\n"
         "\n"
         "Chunks and the upgrade are never sent twice: a lost chunk reply restarts the\n"
         "whole transfer, a lost upgrade reply is reported.\n"
         "\n"
         "Exit status: 0 success, 1 usage, 2 interface or image problem, 3 no reply\n"
         "(time-out), 4 CRC-32 mismatch, 5 chunk could not be stored, 6 serial number\n"
         "could not be stored, 7 request rejected by the device. Line mode: 0 when\n"
         "every device passed, the status of the failure when the failed devices share\n"
         "one, 8 when they failed in different ways.\n";
}

int parse_command_line(int argc, const char* const* argv, Options& opts, std::string* error, bool* help) {
  *help = false;
  opts = Options{};
  int i = 1;
  auto need_value = [&](const char* opt) -> const char* {
    if (i + 1 >= argc) {
      *error = format("option %s needs a value", opt);
      return nullptr;
    }
    return argv[++i];
  };
  for (; i < argc; ++i) {
    const char* a = argv[i];
    if (a[0] != '-' || !a[1]) break;
    if (!std::strcmp(a, "--")) {
      ++i;
      break;
    }
    if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
      *help = true;
      return 0;
    }
    const char* v = nullptr;
    if (!std::strcmp(a, "-i") || !std::strcmp(a, "--interface")) {
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
    } else if (!std::strcmp(a, "--device")) {
      if (!(v = need_value(a))) return kExitUsage;
      station_link::Mac mac{};
      if (!station_link::parse_mac(v, mac)) {
        *error = format("bad device address \"%s\": six hexadecimal pairs such as 02:00:00:00:01:0a", v);
        return kExitUsage;
      }
      if (std::find(opts.devices.begin(), opts.devices.end(), mac) != opts.devices.end()) {
        *error = format("device %s is named twice", v);
        return kExitUsage;
      }
      opts.devices.push_back(mac);
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
  }
  for (; i < argc; ++i) {
    const OpInfo* info = nullptr;
    for (const OpInfo& candidate : kOps)
      if (!std::strcmp(argv[i], candidate.name)) info = &candidate;
    if (!info) {
      *error = format("unknown command \"%s\"", argv[i]);
      return kExitUsage;
    }
    Step step{info->op, {}};
    if (info->takes_arg) {
      if (i + 1 >= argc) {
        *error = format("%s needs %s", info->name, info->op == Op::Flash ? "an image file" : "a text");
        return kExitUsage;
      }
      step.arg = argv[++i];
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
  const bool discover = opts.steps[0].op == Op::Discover;
  if (discover && (opts.all || !opts.devices.empty() || !opts.record.empty())) {
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

Verdict classify_reply(uint8_t command, const std::vector<uint8_t>& data) {
  if (data.empty()) return Verdict::Unrelated;
  // The checksum command is answered with the chunk command's code.
  const uint8_t expected = command == kCmdChecksum ? kCmdChunk : command;
  const uint8_t status = data[0];
  if (data.size() == 1) return status == 6 ? Verdict::Rejected : Verdict::Unrelated;
  const uint8_t code = data[1];
  if (status == 0) {
    // The store's failure reply starts like a success of the connect command;
    // only its length and text tell it apart.
    if (qvlink::is_store_failure_reply(data.data(), data.size()))
      return command == kCmdWriteSn ? Verdict::StoreFailed : Verdict::Unrelated;
    if (code != expected) return Verdict::Unrelated;
    if (command == kCmdWriteSn && data.size() != 2) return Verdict::Unrelated;
    return Verdict::Success;
  }
  if (status == 7 && code == kCmdChunk && command == kCmdChecksum) return Verdict::CrcMismatch;
  if (status == 8 && code == kCmdChunk && command == kCmdChunk) return Verdict::ChunkFailed;
  if (status == 2) return Verdict::Rejected;
  if ((status == 3 || status == 5) && code == command) return Verdict::Rejected;
  return Verdict::Unrelated;
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

Station::Station(Transport& transport, const Options& opts, const Mac& station_mac, Output output)
    : transport_(transport), opts_(opts), mac_(station_mac), io_(output) {}

double Station::now() const {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int Station::wait_reply(uint8_t command, const char* what, std::vector<uint8_t>* reply, int timeout_ms) {
  const double deadline = now() + timeout_ms / 1000.0;
  std::vector<uint8_t> data;
  for (;;) {
    int left = static_cast<int>((deadline - now()) * 1000.0 + 0.5);
    if (left <= 0) return kExitTimeout;
    std::string error;
    int r = transport_.receive(data, left, &error);
    if (r < 0) {
      std::fprintf(io_.err, "mfgstation: %s: %s\n", what, error.c_str());
      return kExitLocal;
    }
    if (r == 0) return kExitTimeout;
    switch (classify_reply(command, data)) {
      case Verdict::Unrelated:
        continue;  // a late answer to an earlier request, or not for us
      case Verdict::Success:
        if (reply) *reply = data;
        return kExitOk;
      case Verdict::CrcMismatch:
        std::fprintf(io_.err, "mfgstation: %s: the device reports a CRC-32 mismatch\n", what);
        return kExitCrcMismatch;
      case Verdict::ChunkFailed:
        std::fprintf(io_.err, "mfgstation: %s: the device could not store the chunk; transfer abandoned\n", what);
        return kExitChunkFailed;
      case Verdict::StoreFailed:
        std::fprintf(io_.err, "mfgstation: %s: the device could not store the serial number (\"%s\")\n", what,
                     qvlink::kStoreFailureText);
        return kExitStoreFailed;
      case Verdict::Rejected: {
        const char* why = data[0] == 2   ? "unknown protocol"
                          : data[0] == 3 ? "unknown command"
                          : data[0] == 5 ? "wrong checksum"
                                         : "parameter error";
        std::fprintf(io_.err, "mfgstation: %s: the device rejected the request (status %u: %s)\n", what, data[0],
                     why);
        return kExitRejected;
      }
    }
  }
}

int Station::exchange(uint8_t command, const uint8_t* params, std::size_t count, bool resend, const char* what,
                      std::vector<uint8_t>* reply, int timeout_ms) {
  const int attempts = resend ? opts_.retries + 1 : 1;
  for (int attempt = 1; attempt <= attempts; ++attempt) {
    std::string error;
    if (transport_.send(command, params, count, &error) < 0) {
      std::fprintf(io_.err, "mfgstation: %s: %s\n", what, error.c_str());
      return kExitLocal;
    }
    int r = wait_reply(command, what, reply, timeout_ms);
    if (r != kExitTimeout) return r;
    if (attempt < attempts)
      std::fprintf(io_.err, "mfgstation: %s: no reply within %d ms, sending again (%d of %d)\n", what, timeout_ms,
                   attempt, attempts - 1);
  }
  if (resend)
    std::fprintf(io_.err, "mfgstation: %s: no reply within %d ms after %d attempts\n", what, timeout_ms, attempts);
  return kExitTimeout;
}

int Station::connect() {
  int r = exchange(kCmdConnect, mac_.data(), mac_.size(), true, "connect", nullptr, opts_.timeout_ms);
  if (r == kExitOk) std::fprintf(io_.out, "connect: connected\n");
  return r;
}

int Station::write_sn(const std::string& text) {
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
    case Op::Reboot: command = kCmdReboot; done = "the device restarts"; break;
    case Op::ResetDefaults: command = kCmdDefaults; done = "default configuration restored"; break;
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

// Sends the image chunk by chunk. *lost tells that a chunk reply did not come.
int Station::send_chunks(const std::vector<uint8_t>& image, int chunk, bool* lost) {
  *lost = false;
  const uint64_t total = image.size();
  started_ = now();
  last_tenth_ = 0;
  last_draw_ = 0;
  for (std::size_t offset = 0; offset < image.size();) {
    std::size_t n = image.size() - offset;
    if (n > static_cast<std::size_t>(chunk)) n = static_cast<std::size_t>(chunk);
    char what[64];
    std::snprintf(what, sizeof what, "flash: chunk at byte %zu", offset);
    int r = exchange(kCmdChunk, image.data() + offset, n, false, what, nullptr, opts_.timeout_ms);
    if (r == kExitTimeout) {
      if (io_.terminal) std::fputc('\n', io_.out);
      std::fprintf(io_.err, "mfgstation: %s: no reply within %d ms\n", what, opts_.timeout_ms);
      *lost = true;
      return r;
    }
    if (r != kExitOk) {
      if (io_.terminal) std::fputc('\n', io_.out);
      return r;
    }
    offset += n;
    progress(offset, total, offset == image.size());
  }
  return kExitOk;
}

// Closes a transfer left open on the device: a length of 0 makes the next chunk
// the last one, and an empty chunk adds nothing to the staged file.
int Station::close_transfer() {
  uint8_t zero[4] = {0, 0, 0, 0};
  int r = exchange(kCmdLength, zero, sizeof zero, true, "flash: closing the transfer", nullptr, opts_.timeout_ms);
  if (r != kExitOk) return r;
  return exchange(kCmdChunk, nullptr, 0, true, "flash: closing the transfer", nullptr, opts_.timeout_ms);
}

int Station::upgrade() {
  std::string error;
  std::vector<uint8_t> reply;
  if (transport_.send(kCmdUpgrade, nullptr, 0, &error) < 0) {
    std::fprintf(io_.err, "mfgstation: flash: %s\n", error.c_str());
    return kExitLocal;
  }
  // The first reply says flashing starts, the second that the flash tool has
  // returned. The request is never sent again: a second upgrade would flash again.
  bool started = false;
  const double deadline_start = now() + opts_.timeout_ms / 1000.0;
  const double deadline_end = deadline_start + opts_.flash_timeout_ms / 1000.0;
  for (;;) {
    const double deadline = started ? deadline_end : deadline_start;
    int left = static_cast<int>((deadline - now()) * 1000.0 + 0.5);
    int r = left > 0 ? wait_reply(kCmdUpgrade, "flash: upgrade", &reply, left) : kExitTimeout;
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
    if (r != kExitOk) return r;
    const int phase = reply.size() >= 3 ? reply[2] : -1;
    if (phase == 0 && !started) {
      started = true;
      std::fprintf(io_.out, "flash: writing \"Kernel\" on the device\n");
      std::fflush(io_.out);
    } else if (phase == 1) {
      std::fprintf(io_.out, "flash: done\n");
      return kExitOk;
    }
  }
}

int Station::flash_image(const std::vector<uint8_t>& image) {
  if (image.empty()) {
    std::fprintf(io_.err, "mfgstation: flash: the image is empty\n");
    return kExitLocal;
  }
  if (image.size() > 0xFFFFFFFFull) {
    std::fprintf(io_.err, "mfgstation: flash: the image is larger than 4 GiB\n");
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

  uint8_t length[4];
  qvlink::put_be32(length, static_cast<uint32_t>(image.size()));
  for (restarts_ = 0;; ++restarts_) {
    int r = exchange(kCmdLength, length, sizeof length, true, "flash: announce", nullptr, opts_.timeout_ms);
    if (r != kExitOk) return r;
    bool lost = false;
    r = send_chunks(image, chunk, &lost);
    if (r == kExitOk) break;
    if (!lost) return r;
    if (restarts_ >= opts_.retries) {
      std::fprintf(io_.err, "mfgstation: flash: transfer failed after %d restarts\n", restarts_);
      return kExitTimeout;
    }
    std::fprintf(io_.err, "mfgstation: flash: restarting the transfer (%d of %d)\n", restarts_ + 1,
                 opts_.retries);
    r = close_transfer();
    if (r != kExitOk) return r;
  }

  uint8_t expected[4];
  qvlink::put_be32(expected, crc);
  int r = exchange(kCmdChecksum, expected, sizeof expected, true, "flash: checksum", nullptr, opts_.timeout_ms);
  if (r == kExitCrcMismatch)
    std::fprintf(io_.err, "mfgstation: flash: the image was not flashed (expected CRC-32 %08x)\n", crc);
  if (r != kExitOk) return r;
  std::fprintf(io_.out, "flash: CRC-32 confirmed by the device\n");
  return upgrade();
}

int Station::flash(const std::string& image_path) {
  FILE* f = std::fopen(image_path.c_str(), "rb");
  if (!f) {
    std::fprintf(io_.err, "mfgstation: flash: cannot open \"%s\": %s\n", image_path.c_str(), std::strerror(errno));
    return kExitLocal;
  }
  std::vector<uint8_t> image;
  uint8_t buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) image.insert(image.end(), buf, buf + n);
  const bool failed = std::ferror(f);
  std::fclose(f);
  if (failed) {
    std::fprintf(io_.err, "mfgstation: flash: cannot read \"%s\"\n", image_path.c_str());
    return kExitLocal;
  }
  return flash_image(image);
}

int Station::run() {
  for (const Step& step : opts_.steps) {
    int r = kExitOk;
    switch (step.op) {
      case Op::Connect: r = connect(); break;
      case Op::WriteSn: r = write_sn(step.arg); break;
      case Op::ReadSn: r = read_sn(nullptr); break;
      case Op::Flash: r = flash(step.arg); break;
      default: r = simple(step.op); break;
    }
    std::fflush(io_.out);
    if (r != kExitOk) return r;
  }
  return kExitOk;
}

}  // namespace mfgstation
