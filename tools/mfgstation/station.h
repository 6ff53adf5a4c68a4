// The production-line station: command line, the request/reply exchange with its
// retries, the firmware transfer with its restarts, and the progress display.
// Everything here talks to the device through a Transport, so that tests can put
// a simulated device behind it.
#ifndef QV_TOOLS_MFGSTATION_STATION_H
#define QV_TOOLS_MFGSTATION_STATION_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "device_session.h"
#include "link_protocol.h"
#include "station_link.h"

namespace mfgstation {

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
};

enum class Op { Connect, WriteSn, ReadSn, Flash, Reboot, ResetDefaults, Close, Quit, Discover };

struct Step {
  Op op;
  std::string arg;  // write-sn: the text; flash: the image path
};

struct Options {
  std::string iface;
  int timeout_ms = 2000;            // per reply
  int retries = 3;                  // resends of a request, restarts of a transfer
  int flash_timeout_ms = 300000;    // from the upgrade's first reply to its second
  int chunk_size = 0;               // 0: from the interface MTU
  uint64_t max_size = 4194304;      // largest image: the Kernel partition of this device family
  bool device_given = false;        // --device: talk to this device only, unicast from the start
  Mac device{};                     // the first --device; in line mode, each device's own
  std::vector<Step> steps;
  // Line mode: the devices by address (every --device), or every device that
  // discovery finds (--all); serial numbers from a counter; the record.
  std::vector<Mac> devices;
  bool all = false;
  std::string sn_pattern, sn_list, sn_state, record;
  bool line_mode() const;
};

constexpr char kNextSerial[] = "@next";  // write-sn @next: the next number from the counter
constexpr std::size_t kSerialMax = qvlink::kSerialMax;           // the device keeps at most 32 characters
constexpr int kChunkMax = static_cast<int>(qvlink::kChunkMax);  // data bytes of a full request frame

// Parses argv[1..argc-1]. Returns 0 with opts filled; kExitUsage with a message
// in *error; 0 with *help set when --help was asked.
int parse_command_line(int argc, const char* const* argv, Options& opts, std::string* error, bool* help);
std::string usage_text();
// The rules between the line mode's options and the commands. 0, or kExitUsage.
int check_line_options(const Options& opts, std::string* error);

// Data bytes of one chunk on an interface with this MTU: the MTU less the 8 bytes
// of payload header, at most kChunkMax; 0 when the MTU leaves no room.
int chunk_size_for_mtu(int mtu);

// Names of the steps as typed on the command line.
const char* op_name(Op op);

// Reads a whole image and checks it: readable, not empty, at most max_size
// bytes. 0, or kExitLocal with a message in *error.
int load_image(const std::string& path, uint64_t max_size, std::vector<uint8_t>* image, std::string* error);

// One station per interface: holds an abstract socket named after the
// interface (abstract names belong to the network namespace, so stations in
// separate namespaces do not meet) until the process ends. The descriptor, or
// -1 with a message when another station holds the interface.
int lock_interface(const std::string& iface, std::string* error);

// The link as the station reaches it.
class Transport {
 public:
  virtual ~Transport() = default;
  // Sends one request to dest. 0, or -1 with a message.
  virtual int send(const Mac& dest, uint8_t command, const uint8_t* params, std::size_t count,
                   std::string* error) = 0;
  // Waits up to timeout_ms for the next frame of the protocol that the station
  // did not send itself: 1 with it taken apart, 0 on time-out, -1 with a message.
  virtual int receive(station_link::Reply& reply, int timeout_ms, std::string* error) = 0;
};

// Progress of a transfer: a redrawn bar on a terminal, plain lines at every tenth
// otherwise.
std::string progress_bar_line(uint64_t done, uint64_t total, double seconds);
std::string progress_plain_line(uint64_t done, uint64_t total, double seconds);

struct Output {
  FILE* out = stdout;
  FILE* err = stderr;
  bool terminal = false;  // draw the progress bar
  // When set, told of every chunk confirmed instead of the progress output.
  std::function<void(uint64_t done, uint64_t total, double seconds)> progress;
};

class Station {
 public:
  using Mac = mfgstation::Mac;
  Station(Transport& transport, const Options& opts, const Mac& station_mac, Output output);

  // Checks every step's input, then runs the steps in order; stops at the
  // first failure. Returns an ExitStatus.
  int run();

  int connect();
  int write_sn(const std::string& text);
  int read_sn(std::string* serial);
  int flash(const std::string& image_path);
  int flash_image(const std::vector<uint8_t>& image);
  int simple(Op op);

  int transfer_restarts() const { return restarts_; }

 private:
  // Sends a request and waits for its reply. With resend, a lost or damaged
  // request is sent again, up to retries more times. Returns kExitOk with the
  // reply's data in *reply, kExitTimeout, or the status the reply stands for.
  int exchange(uint8_t command, const uint8_t* params, std::size_t count, bool resend, const char* what,
               std::vector<uint8_t>* reply, int timeout_ms);
  int send_request(uint8_t command, const uint8_t* params, std::size_t count, const char* what);
  int await(const char* what, std::vector<uint8_t>* reply, int timeout_ms);
  // Reads the serial number once, without resending, and takes its answer only
  // with exactly the next reply number: kExitOk when no reply is left unaccounted
  // for, kExitOutOfStep when one came (or was lost) in between, kExitTimeout.
  int confirm_in_step(const char* what);
  // Lets every reply on its way arrive and forgets where the sequence stood.
  void settle();
  void pass_over(Fit fit, const station_link::Reply& reply);
  void timeout_hint(const char* what);
  int chunk_answered(const char* what);
  int send_chunks(const std::vector<uint8_t>& image, int chunk);
  int transfer(const std::vector<uint8_t>& image, uint32_t crc, int chunk);
  int close_transfer();
  int upgrade(uint32_t crc);
  void progress(uint64_t done, uint64_t total, bool last);
  double now() const;

  Transport& transport_;
  Options opts_;
  Output io_;
  DeviceSession session_;
  std::vector<uint8_t> last_reply_;  // data of the last reply taken
  int restarts_ = 0;
  int to_nobody_ = 0;        // replies addressed to 00:00:00:00:00:00
  int to_others_ = 0;        // replies addressed to another station
  std::vector<Mac> others_;  // other devices that answered
  double started_ = 0;
  int last_tenth_ = -1;
  double last_draw_ = 0;
};

}  // namespace mfgstation

#endif
