#include <chrono>
#include <cstdio>
#include <map>

#include "line.h"
#include "link_protocol.h"
#include "live_view.h"
#include "stop_signals.h"

namespace mfgstation {

using station_link::Mac;

namespace {

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "mfgstation: %s\n", message.c_str());
  return status;
}

}  // namespace

bool discover(const station_link::Interface& ifc, int window_ms, std::vector<Mac>* found, std::string* error,
              std::vector<Mac>* shared, std::vector<std::string>* shared_why) {
  station_link::RequestSpec spec;
  spec.command = kCmdConnect;
  spec.params.assign(ifc.mac.begin(), ifc.mac.end());
  spec.dest = station_link::kBroadcast;
  const std::vector<uint8_t> request = station_link::build_request(spec, ifc.mac);
  // A device answers every connect once: more answers from one address than
  // connects sent are more devices with that address (or copies on the wire:
  // a pass for a device never served would be worse than a retry).
  std::map<Mac, int> answers;
  int sent = 1;
  const double start = now_seconds();
  const double resend_at = start + window_ms / 2000.0, deadline = start + window_ms / 1000.0;
  if (!station_link::send_frame(ifc, request, error)) return false;
  // Sent a second time half-way, for a device that missed the first: a connect
  // from the same station is harmless to repeat.
  bool resent = false;
  for (;;) {
    const double t = now_seconds();
    if (t >= deadline) break;
    if (!resent && t >= resend_at) {
      if (!station_link::send_frame(ifc, request, error)) return false;
      resent = true;
      ++sent;
    }
    const double until = resent ? deadline : resend_at;
    std::vector<uint8_t> frame;
    if (!station_link::receive_frame(ifc, frame, static_cast<int>((until - t) * 1000.0) + 1, error)) return false;
    station_link::Reply reply;
    if (frame.empty() || !station_link::parse_reply(frame, reply)) continue;
    if (well_formed(reply) && reply.dest == ifc.mac && reply.source != ifc.mac &&
        classify_reply(kCmdConnect, reply.data) == Verdict::Success)
      ++answers[reply.source];
  }
  found->clear();
  for (const auto& [mac, count] : answers) {
    if (count <= sent || !shared) {
      found->push_back(mac);
      continue;
    }
    shared->push_back(mac);
    if (shared_why)
      shared_why->push_back(std::to_string(count) + " answers to " + std::to_string(sent) +
                            " connects: more than one device answers with this address; none of them is served");
  }
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
