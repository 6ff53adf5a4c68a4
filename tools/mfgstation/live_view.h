// What the operator sees while many devices are served at once. On a terminal,
// one line per device (address, serial number, step, progress bar and rate or
// the phase the device is in with its seconds, result) redrawn in place, with
// messages scrolling above the table; otherwise plain lines on the output, the
// notes, one per tenth of a transfer and one per result, and the messages on
// the error output, each line starting with the device's address.
//
// Devices come with the view (a line run) or one by one as they come to the
// station (a watching station, which keeps the devices under way and the last
// ones finished, with a line of its counts below them).
//
// Safe to call from the threads that serve the devices.
#ifndef QV_TOOLS_MFGSTATION_LIVE_VIEW_H
#define QV_TOOLS_MFGSTATION_LIVE_VIEW_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace mfgstation {

struct DeviceRow {
  std::string mac;
  std::string serial;
  std::string step;
  uint64_t done = 0, total = 0;  // bytes of the transfer under way
  double seconds = 0;            // since its first chunk
  std::string result;            // "" while running
  std::string phase;             // what the device is busy with, shown instead of the bar
  double phase_seconds = 0;      // since the phase began
};

// One row of the table, at most width characters.
std::string device_row_text(const DeviceRow& row, std::size_t width);

// Whether a result tells of a device that needs nothing more ("passed", "done
// ..."): its row gives way first when the table does not fit.
bool finished_well(const std::string& result);

// The rows of a table that may show at most `lines` lines (0: no limit), by
// index in device order. When not all fit, the last line tells of the rest
// instead (*rest_text); failed devices are shown before running ones, running
// before waiting, waiting before passed, so that a failure stays in sight.
std::vector<std::size_t> rows_in_sight(const std::vector<DeviceRow>& rows, std::size_t lines, std::string* rest_text);

class LiveView {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // width: the terminal's columns (rows are cut to fit, so that redrawing in
  // place never meets a wrapped line); height: its lines (0: unknown). A table
  // taller than the screen could not be redrawn in place (the cursor cannot go
  // up into the scrollback): it shows what fits and a line about the rest.
  // clock: where the time comes from (unset: the steady clock).
  LiveView(FILE* out, FILE* err, bool terminal, std::size_t width, const std::vector<std::string>& macs,
           std::size_t height = 0, Clock clock = nullptr);

  // A device that came: its row, waiting, after the others; the number the
  // calls below know it by.
  std::size_t add(const std::string& mac);
  // At most n rows of finished devices stay (0: all), the latest: an older
  // one goes, and its number is known no more, as the next one finishes.
  void keep_finished(std::size_t n);
  // A line below the table on a terminal (the station's counts); nothing off
  // a terminal, where the lines about the devices tell.
  void status(const std::string& line);

  void step(std::size_t device, const std::string& step);
  void serial(std::size_t device, const std::string& serial);
  void progress(std::size_t device, uint64_t done, uint64_t total, double seconds);
  void result(std::size_t device, const std::string& result);
  // What a device that tells nothing meanwhile is busy with, from now on, in
  // place of the bar ("writing Kernel"), with its seconds; "" ends it, and the
  // row keeps it with the seconds it took until the next step.
  void phase(std::size_t device, const std::string& what);
  // Called often (every few tens of milliseconds): redraws the table when the
  // seconds of a phase have moved on, or when a draw was held back by the limit
  // of ten a second. Nothing off a terminal.
  void tick();
  // A line about one device: an error or notice (message), or what a step
  // achieved (note, left out of the table on a terminal, which shows it).
  void message(std::size_t device, const std::string& line);
  void note(std::size_t device, const std::string& line);
  // A line about the whole run (a stop), as "mfgstation: line".
  void notice(const std::string& line);
  // The table's final state, drawn once more.
  void finish();

 private:
  struct Slot {
    DeviceRow row;
    int tenth = -1;  // plain output: the last tenth told
    std::optional<std::chrono::steady_clock::time_point> phase_began;  // of a phase under way
  };
  // The device's slot, or null once it is gone (keep_finished).
  Slot* slot_locked(std::size_t device);
  void draw_locked(bool force);
  // Brings the seconds of the device's phase under way up to now: true when the
  // whole seconds shown change.
  bool phase_time_locked(Slot& slot);
  void clear_table_locked();
  // A message line: above the table on a terminal, else on the error output.
  void print_locked(const std::string& text);

  std::mutex mutex_;
  FILE* out_;
  FILE* err_;
  bool terminal_;
  std::size_t width_;
  std::size_t lines_;  // at most this many lines of table, 0: no limit
  Clock clock_;
  std::map<std::size_t, Slot> slots_;  // by the device's number, in the order they came
  std::size_t next_ = 0;               // the next device's number
  std::size_t keep_finished_ = 0;
  std::deque<std::size_t> finished_;   // with keep_finished: in the order they finished
  std::string status_;
  std::size_t drawn_ = 0;   // lines of table on screen below the messages
  std::chrono::steady_clock::time_point last_draw_{};
  bool held_back_ = false;  // the last draw was not made: too soon after the one before
};

}  // namespace mfgstation

#endif
