// The station's command line: exit statuses, commands, options, their parser
// and the help text.
#ifndef QV_TOOLS_MFGSTATION_COMMAND_LINE_H
#define QV_TOOLS_MFGSTATION_COMMAND_LINE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link_protocol.h"
#include "station_link.h"

namespace mfgstation {

using Mac = station_link::Mac;

// Exit statuses of mfgstation (documented in README.md and --help).
enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 1,         // bad command line
  kExitLocal = 2,         // interface or image file problem on the station
  kExitTimeout = 3,       // no reply after every allowed resend or restart
  kExitCrcMismatch = 4,   // the device computed another CRC-32 for the image
  kExitChunkFailed = 5,   // the device could not store a firmware chunk
  kExitStoreFailed = 6,   // the device could not store the serial number
  kExitRejected = 7,      // the device answered with a status report (bad request)
  kExitOutOfStep = 8,     // replies that fit no request, after every allowed restart,
                          // or after the upgrade was sent
  kExitMixed = 9,         // line mode: devices failed in different ways
  kExitSerialHeld = 10,   // write-sn @next: the device holds a serial number the
                          // line did not give (and no --replace-sn)
  kExitSharedAddress = 11,  // line mode: more than one device answers with the address
};

// The commands, in the order of the table that declares them (command_table.cpp).
enum class Op { Connect, WriteSn, ReadSn, Flash, Reboot, ResetDefaults, Close, Quit, Discover, Report, Count };

struct Step {
  Op op;
  std::string arg;  // write-sn: the text; flash: the image path
};

// The "Kernel" partition of this device family. The device does not report
// what its flash tool made of an image, so the station can tell only this much:
// an image larger than the partition was not taken by a device of the family.
constexpr uint64_t kKernelPartitionBytes = 4194304;

struct Options {
  std::string iface;
  int timeout_ms = 2000;            // per reply
  int retries = 3;                  // resends of a request, restarts of a transfer
  // The flashing: the upgrade's second reply is awaited until this long after
  // its first could have come (one reply time-out after the request).
  int flash_timeout_ms = 300000;
  int chunk_size = 0;               // 0: from the interface MTU
  uint64_t max_size = kKernelPartitionBytes;  // largest image (--max-size)
  // --device: talk to this device only, unicast from the start; the first
  // --device, and in line mode each device's own.
  std::optional<Mac> device;
  std::vector<Step> steps;
  // Line mode: the devices by address (every --device), or every device that
  // discovery finds (--all); serial numbers from a counter; the record.
  std::vector<Mac> devices;
  bool all = false;
  std::string sn_pattern, sn_list, sn_state, record;
  // The line's ledger (an SQLite file or a postgresql:// URI); report's time
  // range as typed and its page.
  std::string db, from, to, html;
  // --set-counter: the counter's next value (0: not given); runs alone.
  uint64_t set_counter = 0;
  // --replace-sn: write-sn @next gives a new number to a device that holds one
  // the line does not know, instead of refusing the device.
  bool replace_sn = false;
  // --watch: line mode that runs until a stop signal, serving every device as
  // it comes to the station.
  bool watch = false;
  bool line_mode() const;
};

// Largest reply time-out: the device's service ends after about 30 s without a
// request, so a longer wait would outlast the service it waits for.
constexpr int kTimeoutMax = 25000;
constexpr char kNextSerial[] = "@next";  // write-sn @next: the next number from the counter
constexpr std::size_t kSerialMax = qvlink::kSerialMax;           // the device keeps at most 32 characters
constexpr int kChunkMax = static_cast<int>(qvlink::kChunkMax);  // data bytes of a full request frame

// ---- the tables ------------------------------------------------------------
//
// A command is one row of the command table and an Op of the same place; an
// option is one row of the option table. The help text, the parser and both
// runners (one device, line mode) read these rows and nothing else.

struct StepContext;  // steps.h
// Runs one step on one device; the exit status.
using StepHandler = int (*)(StepContext& context, const Step& step);
// Runs a command that stands alone on the command line, on the station's open
// interface; the exit status.
using AloneHandler = int (*)(const Options& opts, const station_link::Interface& ifc);
// Runs a command that stands alone and needs no interface (report); the exit
// status.
using OfflineHandler = int (*)(const Options& opts);

// What follows a command's name.
enum class ArgKind { None, Text, Image };

struct CommandInfo {
  Op op;
  const char* name;
  ArgKind arg;
  const char* help;       // further lines each after a '\n'
  StepHandler step;       // on each device in turn; nullptr for a command that runs alone
  AloneHandler alone;     // the whole run; nullptr for a command run on devices
  // A further form that only line mode knows, listed after the others in the
  // help, or nullptr.
  const char* line_form;
  const char* line_form_help;
  OfflineHandler offline = nullptr;  // the whole run, without the interface
};

struct OptionInfo {
  const char* short_name;  // "-i", or nullptr
  const char* long_name;   // "--interface"
  const char* value_name;  // "IFACE"; nullptr for an option without a value
  const char* help;        // further lines each after a '\n'
  bool line_mode;          // listed among line mode's options
  // Where the value goes: a text that must not be empty, or a function that
  // checks the value (nullptr without one) and stores it. With neither: --help.
  std::string Options::*text;
  bool (*store)(Options& opts, const char* value, std::string* error);
};

const CommandInfo& command_info(Op op);
const char* op_name(Op op);
// The row of a command or option as typed ("-i" or "--interface"), or nullptr.
const CommandInfo* find_command(const char* arg);
const OptionInfo* find_option(const char* arg);

// Parses argv[1..argc-1]: true with opts filled, or with *help set when --help
// was asked; false with a message (a usage error).
bool parse_command_line(int argc, const char* const* argv, Options& opts, std::string* error, bool* help);
std::string usage_text();
// The rules between the line mode's options and the commands. False with a
// message.
bool check_line_options(const Options& opts, std::string* error);
// The rules of --set-counter, which runs alone. False with a message.
bool check_set_counter_usage(const Options& opts, std::string* error);

}  // namespace mfgstation

#endif
