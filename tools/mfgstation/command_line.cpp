#include "command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "text.h"

namespace mfgstation {

namespace {

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
         "  -t, --timeout MS        time-out per reply in milliseconds (default 2000,\n"
         "                          at most 25000: the device's service ends after\n"
         "                          about 30 s without a request)\n"
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
        if (!parse_int(v, 1, kTimeoutMax, &opts.timeout_ms)) {
          *error = format("bad time-out \"%s\": milliseconds from 1 to %d (the device's service ends after "
                          "about 30 s without a request)",
                          v, kTimeoutMax);
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
  // A device that no station connected answers to nobody; in line mode every
  // device's list would fail on its first request.
  if (opts.line_mode() && opts.steps[0].op != Op::Connect) {
    *error = "line mode: the command list starts with connect";
    return kExitUsage;
  }
  return 0;
}

}  // namespace mfgstation
