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
  kExitMixed = 8,         // line mode: devices failed in different ways
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
  std::vector<Step> steps;
  // Line mode: the devices by address (--device), or every device that
  // discovery finds (--all); serial numbers from a counter; the record.
  std::vector<std::array<uint8_t, 6>> devices;
  bool all = false;
  std::string sn_pattern, sn_list, sn_state, record;
  bool line_mode() const;
};

constexpr char kNextSerial[] = "@next";  // write-sn @next: the next number from the counter
constexpr std::size_t kSerialMax = 32;   // the device keeps at most 32 characters
constexpr int kChunkMax = 1514;          // data bytes of a full request frame

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

// What a reply means for the request it may answer.
enum class Verdict { Success, Unrelated, CrcMismatch, ChunkFailed, StoreFailed, Rejected };
Verdict classify_reply(uint8_t command, const std::vector<uint8_t>& data);

// The device as the station reaches it.
class Transport {
 public:
  virtual ~Transport() = default;
  // Sends one request. 0, or -1 with a message.
  virtual int send(uint8_t command, const uint8_t* params, std::size_t count, std::string* error) = 0;
  // Waits up to timeout_ms for the next well-formed reply: 1 with its data bytes,
  // 0 on time-out, -1 with a message.
  virtual int receive(std::vector<uint8_t>& data, int timeout_ms, std::string* error) = 0;
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
  using Mac = std::array<uint8_t, 6>;
  Station(Transport& transport, const Options& opts, const Mac& station_mac, Output output);

  // Runs every step in order; stops at the first failure. Returns an ExitStatus.
  int run();

  int connect();
  int write_sn(const std::string& text);
  int read_sn(std::string* serial);
  int flash(const std::string& image_path);
  int flash_image(const std::vector<uint8_t>& image);
  int simple(Op op);

  int transfer_restarts() const { return restarts_; }

 private:
  // Sends a request and waits for its reply. With resend, a lost reply sends the
  // request again, up to retries more times. Returns kExitOk with the reply's data
  // in *reply, kExitTimeout, or the status the reply stands for.
  int exchange(uint8_t command, const uint8_t* params, std::size_t count, bool resend, const char* what,
               std::vector<uint8_t>* reply, int timeout_ms);
  int wait_reply(uint8_t command, const char* what, std::vector<uint8_t>* reply, int timeout_ms);
  int send_chunks(const std::vector<uint8_t>& image, int chunk, bool* lost);
  int close_transfer();
  int upgrade();
  void progress(uint64_t done, uint64_t total, bool last);
  double now() const;

  Transport& transport_;
  Options opts_;
  Mac mac_;
  Output io_;
  int restarts_ = 0;
  double started_ = 0;
  int last_tenth_ = -1;
  double last_draw_ = 0;
};

}  // namespace mfgstation

#endif
