// The station's command line, its parser and the rules between the commands
// and the options; the tables it reads and the help text are in
// command_table.cpp.
#include "command_line.h"

#include <algorithm>
#include <cstring>

#include "report_command.h"
#include "text.h"

namespace mfgstation {

namespace {

// What a command without its argument misses, in a usage error.
const char* arg_missing(ArgKind kind) { return kind == ArgKind::Text ? "a text" : "an image file"; }

// An argument as typed; true when it may stand.
bool check_arg(const CommandInfo& info, const std::string& arg, std::string* error) {
  // An unset shell variable on the line would erase the stored number.
  if (info.arg == ArgKind::Text && arg.empty()) {
    *error = format("%s needs a serial number, not an empty text", info.name);
    return false;
  }
  if (info.arg == ArgKind::Text && arg.size() > kSerialMax) {
    *error = format("serial number \"%s\" is longer than %zu characters", arg.c_str(), kSerialMax);
    return false;
  }
  if (info.arg == ArgKind::Image && arg.empty()) {
    *error = format("%s needs an image file", info.name);
    return false;
  }
  return true;
}

}  // namespace

bool parse_command_line(int argc, const char* const* argv, Options& opts, std::string* error, bool* help) {
  *help = false;
  opts = Options{};
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    // Options may stand before, between and after the commands; after "--"
    // everything is a command.
    if (!options_end && a[0] == '-' && a[1]) {
      if (!std::strcmp(a, "--")) {
        options_end = true;
        continue;
      }
      const OptionInfo* o = find_option(a);
      if (!o) {
        *error = format("unknown option \"%s\"", a);
        return false;
      }
      if (!o->text && !o->store) {
        *help = true;
        return true;
      }
      const char* v = nullptr;
      if (o->value_name) {
        if (i + 1 >= argc || (o->text && !*argv[i + 1])) {
          *error = format("option %s needs a value", a);
          return false;
        }
        v = argv[++i];
      }
      if (o->text)
        opts.*(o->text) = v;
      else if (!o->store(opts, v, error))
        return false;
      continue;
    }
    const CommandInfo* c = find_command(a);
    if (!c) {
      *error = format("unknown command \"%s\"", a);
      return false;
    }
    Step step{c->op, {}};
    if (c->arg != ArgKind::None) {
      if (i + 1 >= argc) {
        *error = format("%s needs %s", c->name, arg_missing(c->arg));
        return false;
      }
      step.arg = argv[++i];
      if (!check_arg(*c, step.arg, error)) return false;
    }
    opts.steps.push_back(step);
  }
  if (!check_report_usage(opts, error)) return false;
  if (!opts.steps.empty() && command_info(opts.steps[0].op).offline) return true;
  if (opts.set_counter) return check_set_counter_usage(opts, error);
  if (opts.iface.empty()) {
    *error = "no interface given (-i IFACE)";
    return false;
  }
  if (opts.steps.empty()) {
    *error = "no command given";
    return false;
  }
  return check_line_options(opts, error);
}

// The state file no longer keeps a counter of its own: the ledger is the
// line's one book, and an SQLite file needs no server.
constexpr char kStateRetired[] =
    "the counter lives in the line's ledger: give --db LEDGER (an SQLite file such as /var/lib/line/line.db, "
    "created when missing); --sn-state FILE beside it carries that state file's counter and open numbers in";

bool check_set_counter_usage(const Options& opts, std::string* error) {
  if (!opts.steps.empty() || !opts.iface.empty() || opts.device || opts.all || opts.watch || !opts.record.empty() ||
      opts.replace_sn) {
    *error = "--set-counter runs alone: it takes --db LEDGER with --sn-pattern or --sn-list";
    return false;
  }
  if (opts.db.empty()) {
    *error = kStateRetired;
    return false;
  }
  if (opts.sn_pattern.empty() == opts.sn_list.empty()) {
    *error = "--set-counter with --db needs the source of the numbers: --sn-pattern PATTERN or --sn-list FILE";
    return false;
  }
  return true;
}

bool Options::line_mode() const {
  if (all || watch || devices.size() > 1 || !record.empty() || !db.empty()) return true;
  for (const Step& step : steps)
    if (step.op == Op::WriteSn && step.arg == kNextSerial) return true;
  return false;
}

bool check_line_options(const Options& opts, std::string* error) {
  bool next = false, literal = false;
  for (const Step& step : opts.steps) {
    if (command_info(step.op).alone && opts.steps.size() > 1) {
      *error = format("%s runs alone", op_name(step.op));
      return false;
    }
    if (step.op == Op::WriteSn) (step.arg == kNextSerial ? next : literal) = true;
  }
  if (command_info(opts.steps[0].op).alone &&
      (opts.all || opts.watch || !opts.devices.empty() || !opts.record.empty())) {
    *error = format("%s takes no --device, --all, --watch or --record", op_name(opts.steps[0].op));
    return false;
  }
  if (opts.all && !opts.devices.empty()) {
    *error = "--all and --device exclude each other";
    return false;
  }
  if (opts.watch && (opts.all || !opts.devices.empty())) {
    *error = "--watch serves every device that comes: no --device or --all";
    return false;
  }
  if (opts.watch && opts.db.empty()) {
    *error = "--watch needs --db LEDGER: the line's one book tells a device that comes back after its reboot";
    return false;
  }
  if (opts.watch && !next) {
    *error = "--watch needs write-sn @next among the commands: a device that comes back is known by the number "
             "the line gave it";
    return false;
  }
  if (opts.watch && std::count_if(opts.steps.begin(), opts.steps.end(),
                                  [](const Step& s) { return s.op == Op::Connect; }) > 1) {
    *error = "--watch: connect only at the start of the commands (the station connects each device as it comes)";
    return false;
  }
  if (literal && (opts.all || opts.devices.size() > 1)) {
    *error = "write-sn TEXT would give every device the same serial number; use write-sn @next";
    return false;
  }
  const bool counter = !opts.sn_pattern.empty() || !opts.sn_list.empty() || !opts.sn_state.empty();
  if (opts.db.empty() && !opts.sn_state.empty()) {
    *error = kStateRetired;
    return false;
  }
  if (next && (opts.db.empty() || opts.sn_pattern.empty() == opts.sn_list.empty())) {
    *error = "write-sn @next needs --db LEDGER, and either --sn-pattern PATTERN or --sn-list FILE";
    return false;
  }
  if (opts.replace_sn && !next) {
    *error = "--replace-sn serves write-sn @next, which is not among the commands";
    return false;
  }
  if (counter && !next) {
    *error = "--sn-pattern, --sn-list and --sn-state serve write-sn @next, which is not among the commands";
    return false;
  }
  if (opts.line_mode() && !opts.all && !opts.watch && opts.devices.empty()) {
    *error = "write-sn @next and --record need the devices: --device MAC (repeatable) or --all";
    return false;
  }
  // A device that no station connected answers to nobody; in line mode every
  // device's list would fail on its first request.
  if (opts.line_mode() && opts.steps[0].op != Op::Connect) {
    *error = "line mode: the command list starts with connect";
    return false;
  }
  return true;
}

}  // namespace mfgstation
