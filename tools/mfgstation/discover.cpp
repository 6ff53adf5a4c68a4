#include <algorithm>
#include <cstdio>
#include <map>

#include "deadline.h"
#include "line.h"
#include "link_protocol.h"
#include "live_view.h"
#include "stop_signals.h"

namespace mfgstation {

using station_link::Mac;

namespace {

// Connects sent and the connect answers they earned. A device answers every
// connect once: more answers from one address than connects that reached it
// are more devices with that address (or copies on the wire: a pass for a
// device never served would be worse than a retry).
struct ConnectCount {
  std::map<Mac, int> sent;     // by destination
  std::map<Mac, int> answers;  // by source

  static int of(const std::map<Mac, int>& counts, const Mac& mac) {
    const auto it = counts.find(mac);
    return it == counts.end() ? 0 : it->second;
  }
  // The connects that reached the device(s) at mac: to it and to all.
  int reached(const Mac& mac) const { return of(sent, mac) + of(sent, station_link::kBroadcast); }
  // Each of addresses into *alone or, answered more often than reached,
  // into *shared with why.
  void split(const std::vector<Mac>& addresses, std::vector<Mac>* alone, std::vector<Mac>* shared,
             std::vector<std::string>* shared_why) const {
    for (const Mac& mac : addresses) {
      const int got = of(answers, mac), connects = reached(mac);
      if (got <= connects || !shared) {
        alone->push_back(mac);
        continue;
      }
      shared->push_back(mac);
      if (shared_why) shared_why->push_back(shared_address_text(got, connects));
    }
  }
};

// Sends a connect to each of dests and counts the connect answers to this
// station from them (from any device, with the broadcast address among dests)
// for window_ms. A destination that has not answered by half-way gets its
// connect once more (the broadcast address always, for a device that missed
// it): a connect from the same station is harmless to repeat. With addresses
// of devices alone, the round ends once each has answered every connect sent
// to it and the quiet spell after that has passed. False with a message.
bool count_connects(const station_link::Interface& ifc, const std::vector<Mac>& dests, int window_ms,
                    ConnectCount* count, std::string* error) {
  std::vector<std::vector<uint8_t>> requests;
  for (const Mac& dest : dests) requests.push_back(connect_request(ifc, dest));
  const bool broadcast = std::find(dests.begin(), dests.end(), station_link::kBroadcast) != dests.end();
  // Every connect to dest has had its answer (never known of the broadcast address).
  auto answered = [&](const Mac& dest) {
    return dest != station_link::kBroadcast && count->of(count->answers, dest) >= count->of(count->sent, dest);
  };
  double last_sent = 0;
  auto send = [&](bool all) {
    for (std::size_t i = 0; i < dests.size(); ++i) {
      if (!all && answered(dests[i])) continue;
      if (!station_link::send_frame(ifc, requests[i], error)) return false;
      ++count->sent[dests[i]];
    }
    last_sent = now_seconds();
    return true;
  };
  const Deadline resend_at(window_ms / 2), window(window_ms);
  if (!send(true)) return false;
  Deadline end = window;
  bool resent = false, settled = false;
  for (;;) {
    if (!settled && std::all_of(dests.begin(), dests.end(), answered)) {
      settled = true;
      const int since_sent = static_cast<int>((now_seconds() - last_sent) * 1000.0);
      end = Deadline(std::min(window.left_ms(), std::max(kConnectQuietMs, since_sent)));
    }
    if (end.passed()) break;
    if (!resent && resend_at.passed()) {
      if (!send(false)) return false;
      resent = true;
      continue;
    }
    const int wait = resent ? end.left_ms() : std::min(end.left_ms(), resend_at.left_ms());
    std::vector<uint8_t> frame;
    if (!station_link::receive_frame(ifc, frame, wait, error)) return false;
    station_link::Reply reply;
    if (frame.empty() || !station_link::parse_reply(frame, reply)) continue;
    if (well_formed(reply) && reply.dest == ifc.mac && reply.source != ifc.mac &&
        (broadcast || count->sent.count(reply.source)) &&
        classify_reply(kCmdConnect, reply.data) == Verdict::Success)
      ++count->answers[reply.source];
  }
  return true;
}

}  // namespace

std::vector<uint8_t> connect_request(const station_link::Interface& ifc, const Mac& dest, const Mac* source) {
  station_link::RequestSpec spec;
  spec.command = kCmdConnect;
  spec.params.assign(ifc.mac.begin(), ifc.mac.end());
  spec.dest = dest;
  if (source) {
    spec.use_source = true;
    spec.source = *source;
  }
  return station_link::build_request(spec, ifc.mac);
}

std::string shared_address_text(int answers, int connects) {
  return std::to_string(answers) + " answers to " + std::to_string(connects) +
         (connects == 1 ? " connect" : " connects") +
         ": more than one device answers with this address; none of them is served";
}

bool discover(const station_link::Interface& ifc, int window_ms, std::vector<Mac>* found, std::string* error,
              std::vector<Mac>* shared, std::vector<std::string>* shared_why) {
  ConnectCount count;
  if (!count_connects(ifc, {station_link::kBroadcast}, window_ms, &count, error)) return false;
  std::vector<Mac> answered;
  for (const auto& answer : count.answers) answered.push_back(answer.first);
  found->clear();
  count.split(answered, found, shared, shared_why);
  return true;
}

bool probe_devices(const station_link::Interface& ifc, int window_ms, std::vector<Mac>* devices, std::string* error,
                   std::vector<Mac>* shared, std::vector<std::string>* shared_why) {
  ConnectCount count;
  if (!count_connects(ifc, *devices, window_ms, &count, error)) return false;
  const std::vector<Mac> listed = std::move(*devices);
  devices->clear();
  count.split(listed, devices, shared, shared_why);
  return true;
}

int discover_main(const Options& opts, const station_link::Interface& ifc) {
  std::vector<Mac> found, shared;
  std::vector<std::string> shared_why;
  std::string error;
  if (!discover(ifc, opts.timeout_ms, &found, &error, &shared, &shared_why))
    return fail(kExitLocal, "discover: " + error);
  if (found.empty() && shared.empty())
    return fail(kExitTimeout, "discover: no device answered within " + std::to_string(opts.timeout_ms) + " ms");
  Options read = opts;
  read.steps = {Step{Op::ReadSn, {}}};
  FILE* quiet = std::fopen("/dev/null", "w");
  if (!quiet) return fail(kExitLocal, "discover: cannot open /dev/null");
  std::vector<std::string> macs;
  for (const Mac& m : found) macs.push_back(station_link::mac_text(m));
  for (const Mac& m : shared) macs.push_back(station_link::mac_text(m));
  LiveView view(quiet, stderr, false, 0, macs);
  LineSetup setup;
  setup.opts = &read;
  setup.ifc = &ifc;
  setup.view = &view;
  std::vector<DeviceRecord> records = run_line(setup, found, shared, shared_why);
  std::fclose(quiet);
  for (const DeviceRecord& r : records) {
    if (r.exit_status == kExitSharedAddress) continue;  // told on the error output
    if (r.serial_read && !r.serial_read_back.empty())
      std::printf("%s %s\n", r.device.c_str(), r.serial_read_back.c_str());
    else
      std::printf("%s\n", r.device.c_str());
  }
  return line_exit_status(records);
}

}  // namespace mfgstation
