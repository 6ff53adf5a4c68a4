// A watching station (--watch): line mode that runs until a stop signal and
// serves every device as it comes.
//
// A device's service answers a station only in its first half minute or so
// and binds to the first station that connects, so the station calls with a
// broadcast connect every kCallMs. That connect goes out from an address of
// its own (calling_address) and names the station's own as the peer: a device
// with no station yet takes it and is bound to this station, while the
// devices it already serves, which take frames from the station's own address
// alone, pass it over and are not disturbed. Each device that answers gets one
// more connect, to its address alone, and its answers are counted as
// discovery counts them: more answers than connects are a second device with
// that address, and neither is served. A device whose service answers again
// while its run is under way started anew (it was power-cycled, or restarted
// on its own): that run is over and ends at once, and the device is taken as
// it comes now.
//
// What happens to a device that came is the device run's business
// (DeviceRun::arrival): the number it holds tells whether the line is done
// with it, serves it (again), or refuses it.
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>

#include "deadline.h"
#include "device_session.h"
#include "line.h"
#include "line_db.h"
#include "line_record.h"
#include "live_view.h"
#include "stop_signals.h"

namespace mfgstation {

using station_link::Mac;

namespace {

constexpr int kCallMs = 500;
// The finished devices that keep their rows on a terminal.
constexpr std::size_t kFinishedRows = 8;

// The source of the station's calls: its own address with the locally
// administered bit set (for a network card's own address, an address of
// that card's alone), or, when that bit is set already, with the next bit
// flipped.
Mac calling_address(const Mac& own) {
  Mac m = own;
  m[0] = static_cast<uint8_t>((own[0] & 0x02) ? own[0] ^ 0x04 : own[0] | 0x02);
  return m;
}

bool send_connect(const station_link::Interface& ifc, const Mac& dest, const Mac* source, std::string* error) {
  return station_link::send_frame(ifc, connect_request(ifc, dest, source), error);
}

// A device that answered, while the station listens for a second one with
// its address.
struct Coming {
  std::size_t row = 0;
  int connects = 1;  // that reached it: the call it answered, then its own
  int answers = 1;
  double last_sent = 0;
  double since = 0;  // when it answered the call
  bool quiet = false;
  double decide_at = 0;
};

std::string utc_now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

// The station's line below the table: what came since it started, and how it went.
std::string shift_status(const std::string& iface, const std::string& since, std::size_t came,
                         const std::map<std::size_t, DeviceRecord>& records, std::size_t under_way) {
  std::size_t passed = 0, done = 0, failed = 0, refused = 0, interrupted = 0;
  for (const auto& r : records) {
    const int s = r.second.exit_status;
    if (r.second.done) ++done;
    else if (s == kExitOk) ++passed;
    else if (is_interrupted(s)) ++interrupted;
    else if (s == kExitSerialHeld || s == kExitSharedAddress) ++refused;
    else ++failed;
  }
  std::string text = iface + " since " + since + ": " + std::to_string(came) + " came, " + std::to_string(passed) +
                     " passed, " + std::to_string(done) + " done, " + std::to_string(failed) + " failed, " +
                     std::to_string(refused) + " refused";
  if (interrupted) text += ", " + std::to_string(interrupted) + " interrupted";
  return text + ", " + std::to_string(under_way) + " under way";
}

}  // namespace

int watch_main(const Options& opts, const station_link::Interface& ifc) {
  LineSetup setup;
  std::unique_ptr<LineLedger> ledger;
  RecordFile record;
  if (const int status = open_line(opts, ifc, 1, &setup, &ledger, &record)) return status;
  std::string error;
  // Only connect answers wake the station; the devices' own sockets take
  // the rest.
  if (!station_link::pass_connect_answers_only(ifc, &error)) return fail(kExitLocal, error);
  station_link::drain(ifc);
  std::unique_ptr<LiveView> view = line_view({});
  view->keep_finished(kFinishedRows);
  setup.view = view.get();
  LineRuns runs(setup);
  const std::string since = utc_now();
  view->notice("watching " + ifc.name + " for devices (a broadcast connect every " +
               std::to_string(kCallMs) + " ms); Ctrl-C, SIGTERM or SIGHUP stops");

  const Mac caller = calling_address(ifc.mac);
  std::map<Mac, Coming> coming;
  std::size_t came = 0;
  bool first_call = true;
  Deadline next_call(0);
  std::size_t under_way = 0;
  std::size_t counted = SIZE_MAX, counted_came = 0, counted_busy = 0;  // what the status line tells
  for (;;) {
    const bool stopping = stop_level() >= 1;
    // The first call goes out from the station's own address: a device that
    // this station left bound to it (an earlier run) takes only that.
    if (!stopping && next_call.passed()) {
      if (!send_connect(ifc, station_link::kBroadcast, first_call ? nullptr : &caller, &error))
        view->notice("connect: " + error);
      first_call = false;
      next_call = Deadline(kCallMs);
    }
    // Woken for the next call, and often while devices are busy (the view's
    // clocks and a stop's notices) or one is being counted.
    int wait = stopping ? 20 : next_call.left_ms();
    if (!coming.empty() || under_way > 0) wait = std::min(wait, 20);
    std::vector<uint8_t> frame;
    if (!station_link::receive_frame(ifc, frame, wait, &error)) {
      view->notice("receive: " + error);
      frame.clear();
    }
    station_link::Reply reply;
    if (!stopping && !frame.empty() && station_link::parse_reply(frame, reply) && well_formed(reply) &&
        reply.dest == ifc.mac && reply.source != ifc.mac &&
        classify_reply(kCmdConnect, reply.data) == Verdict::Success) {
      const Mac& mac = reply.source;
      auto it = coming.find(mac);
      if (it != coming.end()) {
        ++it->second.answers;
      } else {
        ++came;
        Coming c;
        c.row = view->add(station_link::mac_text(mac));
        c.since = c.last_sent = now_seconds();
        view->note(c.row, "connect: connected to " + station_link::mac_text(mac));
        if (runs.end(mac))
          view->message(c.row,
                        "answered the station's call while its run was under way: its service started anew (the "
                        "device restarted, or another device has its address); that run ends here");
        // One more connect, to this address alone: a second device with it answers that too.
        if (send_connect(ifc, mac, nullptr, &error)) {
          ++c.connects;
          c.last_sent = now_seconds();
        } else {
          view->message(c.row, "connect: " + error);
        }
        coming[mac] = c;
      }
    }
    // Those whose count is in are served or refused.
    const double now = now_seconds();
    for (auto it = coming.begin(); it != coming.end();) {
      Coming& c = it->second;
      const Mac& mac = it->first;
      if (stopping) {
        view->result(c.row, "not served: the station is stopping");
        it = coming.erase(it);
        continue;
      }
      if (!c.quiet && c.answers >= c.connects) {
        c.quiet = true;
        c.decide_at = now + std::max(kConnectQuietMs / 1000.0, now - c.last_sent);
      }
      const bool decided = (c.quiet && now >= c.decide_at) || now - c.since >= opts.timeout_ms / 1000.0;
      // A run that ends because the device started anew is seen to its end first.
      if (!decided || runs.serving(mac)) {
        ++it;
        continue;
      }
      if (c.answers > c.connects) {
        view->step(c.row, "connect");
        runs.refuse(c.row, mac, kExitSharedAddress, shared_address_text(c.answers, c.connects));
      } else if (!runs.serve(c.row, mac, &error)) {
        runs.refuse(c.row, mac, kExitLocal,
                    "the station cannot start a thread for " + station_link::mac_text(mac) + " (" + error + ")");
      }
      it = coming.erase(it);
    }
    under_way = runs.wait(0);
    // Counted again when a device came or ended.
    const std::size_t recorded = runs.recorded();
    if (recorded != counted || came != counted_came || under_way + coming.size() != counted_busy) {
      counted = recorded;
      counted_came = came;
      counted_busy = under_way + coming.size();
      view->status(shift_status(ifc.name, since, came, runs.records(), counted_busy));
    }
    if (stopping && under_way == 0 && coming.empty()) break;
  }
  view->finish();
  end_deferred_runs(ledger.get());
  std::vector<DeviceRecord> records, done;
  for (const auto& r : runs.records()) (r.second.done ? done : records).push_back(r.second);
  std::printf("watched %s from %s to %s: %zu came\n", ifc.name.c_str(), since.c_str(), utc_now().c_str(), came);
  std::fputs(summary_text(records, "run").c_str(), stdout);
  std::printf("%zu done: on record as passed with this image, not served again\n", done.size());
  std::fputs(failed_devices_text(records).c_str(), stdout);
  std::printf("stopped by %s: %s\n", stop_signal_name(), kHeldAfterStop);
  const bool cut_short =
      std::any_of(records.begin(), records.end(), [](const DeviceRecord& r) { return is_interrupted(r.exit_status); });
  return cut_short ? interrupted_status() : kExitOk;
}

}  // namespace mfgstation
