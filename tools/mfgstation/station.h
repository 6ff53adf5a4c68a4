// The production-line station: one device's command list over a Transport, so
// that tests can put a simulated device behind it. station.cpp holds the steps,
// station_exchange.cpp the request/reply exchange with its retries,
// station_transfer.cpp the firmware transfer with its restarts; the command
// line is in command_line.h, the progress lines in progress.h.
#ifndef QV_TOOLS_MFGSTATION_STATION_H
#define QV_TOOLS_MFGSTATION_STATION_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "command_line.h"
#include "deadline.h"
#include "device_session.h"
#include "progress.h"
#include "report.h"
#include "station_link.h"

namespace mfgstation {

// Data bytes of one chunk on an interface with this MTU: the MTU less the 8 bytes
// of payload header, at most kChunkMax; 0 when the MTU leaves no room.
int chunk_size_for_mtu(int mtu);

// Reads a whole image and checks it: readable, not empty, at most max_size
// bytes. False with a message.
bool load_image(const std::string& path, uint64_t max_size, std::vector<uint8_t>* image, std::string* error);

// One station per interface: holds an abstract socket named after the
// interface (abstract names belong to the network namespace, so stations in
// separate namespaces do not meet) until the process ends. False with a
// message when another station holds the interface.
bool lock_interface(const std::string& iface, std::string* error);

// The link as the station reaches it.
class Transport {
 public:
  virtual ~Transport() = default;
  // Sends one request to dest. False with a message.
  virtual bool send(const Mac& dest, uint8_t command, const uint8_t* params, std::size_t count,
                    std::string* error) = 0;
  // Waits up to timeout_ms for the next frame of the protocol that the station
  // did not send itself: *got with it taken apart, !*got on time-out; false
  // with a message.
  virtual bool receive(station_link::Reply& reply, int timeout_ms, bool* got, std::string* error) = 0;
};

class Station {
 public:
  using Mac = mfgstation::Mac;
  Station(Transport& transport, const Options& opts, const Mac& station_mac, Reporter& report);

  // Checks every step's input, then runs the steps in order; stops at the
  // first failure. Returns an ExitStatus.
  int run();

  int connect();
  int write_sn(const std::string& text);
  int read_sn(std::string* serial);
  int flash(const std::string& image_path);
  int flash_image(const std::vector<uint8_t>& image);
  // A request without parameters whose reply says only that it was done:
  // "what: done" once it came.
  int request(uint8_t command, const char* what, const char* done);

  int transfer_restarts() const { return restarts_; }

  // A stop of this device alone, from another thread (line mode: its service
  // started anew under the run): once *ended is set, the run behaves as after
  // a second stop signal. Unset: the process's stop alone.
  void end_on(const std::atomic<bool>* ended) { ended_ = ended; }
  // 0 running, 1 a stop was asked for, 2 stop at once (stop_signals.h), for
  // this device.
  int stop() const;
  // What stopped it: the first stop signal ("SIGINT"), or "the device
  // restarted".
  const char* stop_cause() const;

 private:
  // One request: what the messages call it, and where its reply's data goes
  // (nowhere with nullptr). With resend, a lost or damaged request is sent
  // again, up to retries more times.
  struct Request {
    uint8_t command;
    const uint8_t* params;
    std::size_t count;
    const char* what;
    std::vector<uint8_t>* reply = nullptr;
    bool resend = true;
  };
  // Sends a request and waits up to the reply time-out for its reply. Returns
  // kExitOk with the reply's data in *reply, kExitTimeout, or the status the
  // reply stands for.
  int exchange(const Request& request);
  // 0 once sent; kExitLocal, or interrupted_status() when stopping at once.
  int send_request(const Request& request);
  int await(const char* what, std::vector<uint8_t>* reply, const Deadline& deadline);
  // Reads the serial number once, without resending, and takes its answer only
  // with exactly the next reply number: kExitOk when no reply is left unaccounted
  // for, kExitOutOfStep when one came (or was lost) in between, kExitTimeout.
  int confirm_in_step(const char* what);
  // Lets every reply on its way arrive and forgets where the sequence stood.
  void settle();
  void pass_over(Fit fit, const station_link::Reply& reply);
  void timeout_hint(const char* what);
  int chunk_answered(const char* what);
  // Whether a stop was asked for: then nothing more of the transfer goes out,
  // and what is told.
  bool transfer_stopped(const char* what);
  int send_chunks(const std::vector<uint8_t>& image, int chunk);
  int transfer(const std::vector<uint8_t>& image, uint32_t crc, int chunk);
  int close_transfer();
  int upgrade(uint32_t crc);
  void progress(uint64_t done, uint64_t total);
  // Formatted, to the reporter.
  void error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void note(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  Transport& transport_;
  Options opts_;
  Reporter& report_;
  DeviceSession session_;
  std::vector<uint8_t> last_reply_;  // data of the last reply taken
  int restarts_ = 0;
  bool connected_ = false;   // a connect of this run was answered
  int to_nobody_ = 0;        // replies addressed to 00:00:00:00:00:00
  int to_others_ = 0;        // replies addressed to another station
  std::vector<Mac> others_;  // other devices that answered
  double started_ = 0;       // now_seconds() at the first chunk
  const std::atomic<bool>* ended_ = nullptr;
};

// The words for a device ended on its own (Station::end_on).
inline constexpr char kDeviceRestarted[] = "the device restarted";

}  // namespace mfgstation

#endif
