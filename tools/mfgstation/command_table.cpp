// The station's command line, its tables: every command and option, the checks
// and stores of an option's value, and the help text read off the rows. The
// parser and the rules between commands and options are in command_line.cpp.
#include "command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "line.h"
#include "report_command.h"
#include "steps.h"
#include "text.h"

namespace mfgstation {

namespace {

// ---- commands --------------------------------------------------------------

// Indexed by Op. A new command: its Op (at the same place), its row here and
// its handler (steps.h for a step on each device, or one that runs alone).
constexpr CommandInfo kCommands[] = {
    {Op::Connect, "connect", ArgKind::None,
     "open the connection (names this station's address) and\n"
     "print the device's address",
     connect_step, nullptr, nullptr, nullptr},
    {Op::WriteSn, "write-sn", ArgKind::Text, "store the serial number TEXT (1 to 32 characters)", write_sn_step,
     nullptr, "write-sn @next",
     "line mode: the next serial number of the ledger's\n"
     "counter; a device that already holds one keeps it when\n"
     "the line gave it (the ledger knows it), else it is\n"
     "refused (status 10, or --replace-sn); an empty one\n"
     "counts as none"},
    {Op::ReadSn, "read-sn", ArgKind::None, "print the stored serial number", read_sn_step, nullptr, nullptr,
     nullptr},
    {Op::Flash, "flash", ArgKind::Image, "send IMAGE, have its CRC-32 checked and write it to \"Kernel\"",
     flash_step, nullptr, nullptr, nullptr},
    {Op::Reboot, "reboot", ArgKind::None, "restart the device", reboot_step, nullptr, nullptr, nullptr},
    {Op::ResetDefaults, "reset-defaults", ArgKind::None, "restore the default configuration", reset_defaults_step,
     nullptr, nullptr, nullptr},
    {Op::Close, "close", ArgKind::None, "close the connection", close_step, nullptr, nullptr, nullptr},
    {Op::Quit, "quit", ArgKind::None, "end the service on the device", quit_step, nullptr, nullptr, nullptr},
    {Op::Discover, "discover", ArgKind::None,
     "list the devices that answer a broadcast connect, one line\n"
     "each: its address, then its stored serial number if any;\n"
     "each device found now serves only this station until its\n"
     "service ends (quit, or about 30 s without a request)",
     nullptr, discover_main, nullptr, nullptr},
    {Op::Report, "report", ArgKind::None,
     "print the line's figures from the ledger --db for a\n"
     "time range (--from, --to): devices passed and failed,\n"
     "failures by reason, serial numbers used and void,\n"
     "time per device; in all and per station; --html FILE\n"
     "also writes them as a page with plots",
     nullptr, nullptr, nullptr, nullptr, report_main},
};
static_assert(std::size(kCommands) == static_cast<std::size_t>(Op::Count), "one row per command");

constexpr bool rows_in_op_order() {
  for (std::size_t i = 0; i < std::size(kCommands); ++i)
    if (kCommands[i].op != static_cast<Op>(i) ||
        !kCommands[i].step + !kCommands[i].alone + !kCommands[i].offline != 2)
      return false;
  return true;
}
static_assert(rows_in_op_order(), "rows in the order of Op, each with one handler");

// What each kind of argument is called in the help.
const char* arg_value_name(ArgKind kind) { return kind == ArgKind::Text ? "TEXT" : "IMAGE"; }

// ---- options ---------------------------------------------------------------

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

bool store_interface(Options& o, const char* v, std::string* error) {
  if (!*v || std::strlen(v) >= 16) {
    *error = format("bad interface name \"%s\"", v);
    return false;
  }
  o.iface = v;
  return true;
}

bool store_device(Options& o, const char* v, std::string* error) {
  Mac mac{};
  if (!station_link::parse_mac(v, mac) || (mac[0] & 1)) {
    *error = format("bad device address \"%s\": one device's MAC, as 02:00:00:00:00:01", v);
    return false;
  }
  if (std::find(o.devices.begin(), o.devices.end(), mac) != o.devices.end()) {
    *error = format("device %s is named twice", v);
    return false;
  }
  o.devices.push_back(mac);
  o.device = o.devices[0];
  return true;
}

bool store_timeout(Options& o, const char* v, std::string* error) {
  if (parse_int(v, 1, kTimeoutMax, &o.timeout_ms)) return true;
  *error = format("bad time-out \"%s\": milliseconds from 1 to %d (the device's service ends after "
                  "about 30 s without a request)",
                  v, kTimeoutMax);
  return false;
}

bool store_retries(Options& o, const char* v, std::string* error) {
  if (parse_int(v, 0, 100, &o.retries)) return true;
  *error = format("bad retry count \"%s\": 0 to 100", v);
  return false;
}

bool store_flash_timeout(Options& o, const char* v, std::string* error) {
  int seconds = 0;
  if (!parse_int(v, 1, 86400, &seconds)) {
    *error = format("bad flash time-out \"%s\": seconds from 1 to 86400", v);
    return false;
  }
  o.flash_timeout_ms = seconds * 1000;
  return true;
}

bool store_chunk_size(Options& o, const char* v, std::string* error) {
  if (parse_int(v, 1, kChunkMax, &o.chunk_size)) return true;
  *error = format("bad chunk size \"%s\": 1 to %d", v, kChunkMax);
  return false;
}

bool store_max_size(Options& o, const char* v, std::string* error) {
  if (parse_size(v, 0xFFFFFFFFull, &o.max_size)) return true;
  *error = format("bad image size limit \"%s\": bytes (or with K or M) from 1 to 4294967295", v);
  return false;
}

bool store_all(Options& o, const char*, std::string*) {
  o.all = true;
  return true;
}

bool store_watch(Options& o, const char*, std::string*) {
  o.watch = true;
  return true;
}

bool store_replace_sn(Options& o, const char*, std::string*) {
  o.replace_sn = true;
  return true;
}

bool store_set_counter(Options& o, const char* v, std::string* error) {
  if (v && *v >= '1' && *v <= '9') {
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(v, &end, 10);
    if (!errno && !*end && n < 9223372036854775807ull) {
      o.set_counter = n;
      return true;
    }
  }
  *error = format("bad counter \"%s\": a whole number from 1 on", v);
  return false;
}

// A new option: its field in Options and its row here.
constexpr OptionInfo kOptions[] = {
    {"-i", "--interface", "IFACE", "network interface towards the device (required)", false, nullptr,
     store_interface},
    {"-d", "--device", "MAC",
     "talk to this device only, addressed from the first\n"
     "request on (default: the first device that answers\n"
     "a broadcast); repeated: line mode",
     false, nullptr, store_device},
    {"-t", "--timeout", "MS",
     "time-out per reply in milliseconds (default 2000,\n"
     "at most 25000: the device's service ends after\n"
     "about 30 s without a request)",
     false, nullptr, store_timeout},
    {"-r", "--retries", "N",
     "resends of a request whose reply is lost, and\n"
     "restarts of a transfer (default 3)",
     false, nullptr, store_retries},
    {nullptr, "--flash-timeout", "S", "seconds to wait for the end of flashing (default 300)", false, nullptr,
     store_flash_timeout},
    {nullptr, "--chunk-size", "N",
     "firmware bytes per chunk, 1 to 1514 (default: the\n"
     "interface MTU less 8, at most 1514)",
     false, nullptr, store_chunk_size},
    {nullptr, "--max-size", "BYTES",
     "largest image, K or M allowed (default 4M, the\n"
     "Kernel partition of this device family)",
     false, nullptr, store_max_size},
    {"-h", "--help", nullptr, "show this text", false, nullptr, nullptr},
    {nullptr, "--all", nullptr,
     "serve every device that discovery finds within the\n"
     "reply time-out",
     true, nullptr, store_all},
    {nullptr, "--watch", nullptr,
     "serve every device as it comes, until SIGINT, SIGTERM\n"
     "or SIGHUP: a broadcast connect every 0.5 s; a device\n"
     "on record as passed with this image is told to quit,\n"
     "not served again; needs --db and write-sn @next",
     true, nullptr, store_watch},
    {nullptr, "--sn-pattern", "P",
     "serial numbers from P, printf style with one integer\n"
     "conversion, such as QV2026-%06d",
     true, &Options::sn_pattern, nullptr},
    {nullptr, "--sn-list", "FILE", "serial numbers from FILE, one per line, instead", true, &Options::sn_list,
     nullptr},
    {nullptr, "--sn-state", "FILE",
     "with --db: carry the state file of a station from\n"
     "before the ledger into it (its counter, and its\n"
     "numbers never confirmed as void); FILE is only read",
     true, &Options::sn_state, nullptr},
    {nullptr, "--set-counter", "N",
     "runs alone: the next number of the ledger's counter\n"
     "(--db with --sn-pattern or --sn-list) becomes N;\n"
     "never lower than it stands",
     true, nullptr, store_set_counter},
    {nullptr, "--replace-sn", nullptr,
     "write-sn @next on a device that holds a serial number\n"
     "the line did not give: record that number and give a\n"
     "new one (without it the device is refused, status 10)",
     true, nullptr, store_replace_sn},
    {nullptr, "--record", "FILE", "append one JSON line per device to FILE (synced)", true, &Options::record,
     nullptr},
    {nullptr, "--db", "LEDGER",
     "the line's ledger, an SQLite file or postgresql://...:\n"
     "the counter, every number's state and every device's\n"
     "run, written as each happens; report reads it",
     true, &Options::db, nullptr},
    {nullptr, "--from", "TIME",
     "report: from this UTC time on, as 2026-12-08 or\n"
     "2026-12-08T06:00 (default: the first record)",
     true, &Options::from, nullptr},
    {nullptr, "--to", "TIME",
     "report: up to this UTC time; a date alone: to the\n"
     "end of that day (default: the last record)",
     true, &Options::to, nullptr},
    {nullptr, "--html", "FILE", "report: also write the figures and plots as a page", true, &Options::html,
     nullptr},
};

// ---- help ------------------------------------------------------------------

// "  left" padded to column, then the help's lines, the further ones indented
// to the column.
void add_entry(std::string& out, const std::string& left, const char* help, std::size_t column) {
  std::string line = "  " + left;
  line.append(line.size() < column ? column - line.size() : 1, ' ');
  out += line;
  for (const char* p = help; *p; ++p) {
    out += *p;
    if (*p == '\n') out.append(column, ' ');
  }
  out += '\n';
}

constexpr std::size_t kCommandColumn = 20, kOptionColumn = 26;

void add_options(std::string& out, bool line_mode) {
  for (const OptionInfo& o : kOptions) {
    if (o.line_mode != line_mode) continue;
    std::string left = o.short_name ? std::string(o.short_name) + ", " : "    ";
    left += o.long_name;
    if (o.value_name) left = left + " " + o.value_name;
    add_entry(out, left, o.help, kOptionColumn);
  }
}

}  // namespace

const CommandInfo& command_info(Op op) { return kCommands[static_cast<std::size_t>(op)]; }

const char* op_name(Op op) {
  return static_cast<std::size_t>(op) < std::size(kCommands) ? command_info(op).name : "?";
}

std::string usage_text() {
  std::string out =
      "Usage: mfgstation -i IFACE [OPTION]... COMMAND...\n"
      "       mfgstation -i IFACE (--device MAC... | --all) [OPTION]... COMMAND...\n"
      "       mfgstation -i IFACE --watch --db LEDGER [OPTION]... connect write-sn @next COMMAND...\n"
      "       mfgstation -i IFACE discover\n"
      "       mfgstation report --db LEDGER [--from TIME] [--to TIME] [--html FILE]\n"
      "       mfgstation --db LEDGER (--sn-pattern P | --sn-list FILE) --set-counter N\n"
      "Runs production-line commands against the device reached on IFACE over the\n"
      "factory link (Ethernet type 0x3914), in the order given; stops at the first\n"
      "failure. Every command's input is checked before the first frame goes out.\n"
      "In line mode (several --device, --all, --watch, write-sn @next or --record)\n"
      "every device named or found runs the commands, all at once, each as a\n"
      "single device would; with --watch, each device as it comes, until stopped.\n"
      "\n"
      "Commands:\n";
  // The commands run on a device, the forms of line mode, then those that run alone.
  for (const CommandInfo& c : kCommands)
    if (c.step)
      add_entry(out, c.arg == ArgKind::None ? c.name : std::string(c.name) + " " + arg_value_name(c.arg), c.help,
                kCommandColumn);
  for (const CommandInfo& c : kCommands)
    if (c.line_form) add_entry(out, c.line_form, c.line_form_help, kCommandColumn);
  for (const CommandInfo& c : kCommands)
    if (c.alone || c.offline) add_entry(out, c.name, c.help, kCommandColumn);
  out += "\nOptions (before, between or after the commands):\n";
  add_options(out, false);
  out += "\nLine mode:\n";
  add_options(out, true);
  out +=
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
      "when the failed devices share one, 9 when they failed in different ways,\n"
      "10 when write-sn @next found a serial number on the device that the line\n"
      "did not give (see --replace-sn), 11 when several devices answer with one\n"
      "address (none of them is served).\n"
      "--watch: 0 once stopped, or the status of the stop when it cut a device short.\n"
      "130, 143 or 129: stopped by SIGINT (Ctrl-C), SIGTERM or SIGHUP (the terminal\n"
      "closed); after the first signal no\n"
      "step starts and no chunk or upgrade goes out, replies and flashing under way\n"
      "are waited for; after the second nothing is; every record is still written.\n"
      "report: 0, 1 usage, 2 the ledger could not be read or the page not written.\n";
  return out;
}

const OptionInfo* find_option(const char* arg) {
  for (const OptionInfo& o : kOptions)
    if ((o.short_name && !std::strcmp(arg, o.short_name)) || !std::strcmp(arg, o.long_name)) return &o;
  return nullptr;
}

const CommandInfo* find_command(const char* arg) {
  for (const CommandInfo& c : kCommands)
    if (!std::strcmp(arg, c.name)) return &c;
  return nullptr;
}

}  // namespace mfgstation
