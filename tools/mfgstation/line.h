// Line mode: many devices on one segment served by one station at once.
//
// Discovery sends a broadcast connect and lists the devices that answer;
// devices named by address get a connect each. Either way an address that more
// than one device answers is refused. The command list then runs on every
// device in a thread of its own, over a socket of its own that the kernel
// feeds with that device's frames only, through the same Station as a single
// device: one exchange per device in flight, the devices in parallel, and a
// device that fails or falls silent holds up no other beyond its own
// time-outs.
#ifndef QV_TOOLS_MFGSTATION_LINE_H
#define QV_TOOLS_MFGSTATION_LINE_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line_record.h"
#include "station.h"
#include "steps.h"
#include "station_link.h"

namespace mfgstation {

class DeviceRun;
class LiveView;
class LineLedger;
class RecordFile;

// The devices that answer a broadcast connect on ifc within window_ms, in
// address order. Every device that answers now has this station as its peer.
// An address answered more often than the connect was sent belongs to more
// than one device: it goes into *shared (when given) instead, with a line
// about it in *shared_why. False with a message.
bool discover(const station_link::Interface& ifc, int window_ms, std::vector<station_link::Mac>* found,
             std::string* error, std::vector<station_link::Mac>* shared = nullptr,
             std::vector<std::string>* shared_why = nullptr);
// The same check for devices named by address: a connect to each address in
// *devices (addressed to it alone, never to all), the answers
// counted as above. An address answered more often than its connects were
// sent moves from *devices into *shared, with a line in *shared_why; one that
// does not answer stays (its own run tells). Ends once every address has
// answered its connects and a short quiet spell has passed, at the latest
// after window_ms. False with a message.
bool probe_devices(const station_link::Interface& ifc, int window_ms, std::vector<station_link::Mac>* devices,
                   std::string* error, std::vector<station_link::Mac>* shared,
                   std::vector<std::string>* shared_why);

// Once a device has answered every connect sent to it alone, the station
// listens on this long (or as long again as the answers took, when that is
// longer) for another device with its address: both get the same frame at the
// same instant and answer alike.
constexpr int kConnectQuietMs = 100;
// A connect from this station to dest, sent from source when given (else from
// the station's own address); it names the station's own address as the peer.
std::vector<uint8_t> connect_request(const station_link::Interface& ifc, const station_link::Mac& dest,
                                     const station_link::Mac* source = nullptr);
// Why an address that answered more often than its connects reached it is not served.
std::string shared_address_text(int answers, int connects);

struct LineSetup {
  const Options* opts = nullptr;
  const station_link::Interface* ifc = nullptr;  // the station's interface (open)
  std::vector<Image> images;                     // of the flash steps, by path
  RecordFile* record = nullptr;                  // appended to as each device ends
  LineLedger* ledger = nullptr;                  // --db: numbers and runs as they happen (write-sn @next)
  LiveView* view = nullptr;
  // Starts a device's thread: false with a message. Unset: std::thread.
  std::function<bool(std::function<void()> run, std::thread* thread, std::string* error)> start_thread;
};

// The devices' runs of a line, each in a thread of its own that the stop
// signals do not reach (the thread that owns this tells of a stop), each run
// settled (ledger, record file) and reported on the view as it ends.
class LineRuns {
 public:
  explicit LineRuns(const LineSetup& setup);
  ~LineRuns();  // waits for every run under way
  LineRuns(const LineRuns&) = delete;
  LineRuns& operator=(const LineRuns&) = delete;

  // Serves device mac, on the view's row `row`, in a thread of its own. False
  // with a message when the thread cannot start.
  bool serve(std::size_t row, const station_link::Mac& mac, std::string* error);
  // The record of a device that is not served (refused with a failure status
  // and why), made in this thread.
  void refuse(std::size_t row, const station_link::Mac& mac, int status, const std::string& why);
  // Whether a run of mac is under way, and ending it at once (DeviceRun::end):
  // true when there was one.
  bool serving(const station_link::Mac& mac);
  bool end(const station_link::Mac& mac);
  // Waits up to ms for a run to end, tells the view of a stop signal and keeps
  // its clocks going; sees the ended runs' threads to their end. The number of
  // runs under way.
  std::size_t wait(int ms);
  // The records of every device so far, by row, and their count.
  std::map<std::size_t, DeviceRecord> records();
  std::size_t recorded();

 private:
  struct Run {
    station_link::Mac mac;
    std::unique_ptr<DeviceRun> run;
    std::thread thread;
    bool ended = false;
  };
  // Device row's run (or refusal) to its record on file, in the ledger and on the view.
  void settle(std::size_t row, DeviceRun& run, DeviceRecord rec);

  const LineSetup& s_;
  std::mutex mutex_;          // runs_ and records_
  std::mutex record_mutex_;   // the record file
  std::condition_variable ended_;
  std::map<std::size_t, Run> runs_;
  std::map<std::size_t, DeviceRecord> records_;
  int told_ = 0;              // the stop level told on the view
};

// Runs the steps on every device; returns one record per device, in the order
// given, then one per refused device: those of shared addresses (refused[i]
// says why), which are not served. A record that cannot be written is reported
// on the view and turns that device's result into a station failure. When a
// device's thread cannot start, it and the devices after it are not served;
// each gets its record, and the devices under way are seen to their end.
std::vector<DeviceRecord> run_line(const LineSetup& setup, const std::vector<station_link::Mac>& devices,
                                   const std::vector<station_link::Mac>& shared = {},
                                   const std::vector<std::string>& shared_why = {});

// Line mode from the command line, on the station's interface (open and
// locked): checks every input, finds the devices, serves them, appends the
// records and prints the summary. The exit status.
int line_main(const Options& opts, const station_link::Interface& ifc);
// --watch: line mode until a stop signal, each device served as it comes to
// the station (watch.cpp). The exit status.
int watch_main(const Options& opts, const station_link::Interface& ifc);

// What line mode and a watching station need before the first frame goes
// out: the images, the ledger (opened, with notes told) holding numbers for
// `devices` devices, and the record file; into *setup. The exit status.
int open_line(const Options& opts, const station_link::Interface& ifc, std::size_t devices, LineSetup* setup,
              std::unique_ptr<LineLedger>* ledger, RecordFile* record);
// discover from the command line: the devices that answer, one line each with
// its stored serial number. The exit status.
int discover_main(const Options& opts, const station_link::Interface& ifc);
// What line mode can tell from the command line alone, before the interface is
// locked or opened: the serial-number pattern. False with a message.
bool check_line_usage(const Options& opts, std::string* error);

// The summary's line for each device that failed, "MAC FAILED (kind)", or was
// interrupted, "MAC INTERRUPTED in STEP (serial number SN confirmed)".
std::string failed_devices_text(const std::vector<DeviceRecord>& records);

// The live view of line mode on the output: on a terminal, of its size;
// otherwise plain lines, each written out at once.
std::unique_ptr<LiveView> line_view(const std::vector<std::string>& macs);

// The write-sn @next steps of the command list: each takes a number per device.
std::size_t next_serial_steps(const Options& opts);

// Writes the run ends that the ledger missed while its connection was broken;
// the runs it still cannot end are told on the error output.
void end_deferred_runs(LineLedger* ledger);

// The message on the error output ("mfgstation: MESSAGE"); status.
int fail(int status, const std::string& message);

// The exit status of a line run: 0 when every device passed, the status of the
// failure when all failed devices share one, kExitMixed otherwise.
int line_exit_status(const std::vector<DeviceRecord>& records);

}  // namespace mfgstation

#endif
