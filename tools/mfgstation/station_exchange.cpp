// The request/reply exchange of a Station: sending, taking the reply that fits,
// resends, the in-step check and settling after a step out of line.
#include <algorithm>
#include <cstdio>

#include "station.h"
#include "stop_signals.h"

namespace mfgstation {

using qvlink::Status;
using qvlink::status_byte;

void Station::pass_over(Fit fit, const station_link::Reply& r) {
  if (r.code != 0) return;  // another station's request
  if (fit == Fit::NotForUs) {
    if (r.dest == Mac{}) ++to_nobody_;
    else if (r.dest != station_link::kBroadcast) ++to_others_;
  } else if (fit == Fit::OtherDevice && r.source != session_.station &&
             std::find(others_.begin(), others_.end(), r.source) == others_.end()) {
    others_.push_back(r.source);
    error("another device, %s, answered too and was passed over (this run talks to %s; "
                 "--device MAC chooses the device)",
                 station_link::mac_text(r.source).c_str(), station_link::mac_text(session_.device).c_str());
  }
}

void Station::timeout_hint(const char* what) {
  error("%s: the service ends after about 30 s without a request, and a device bound to "
               "another station answers only that station",
               what);
  // After a connect of this run, a device without a station has lost it: it
  // (or its service) restarted since.
  if (to_nobody_ && connected_)
    error("%s: %d replies went to 00:00:00:00:00:00: the device is no longer connected to this station; "
          "it or its service restarted after connect",
          what, to_nobody_);
  else if (to_nobody_)
    error("%s: %d replies went to 00:00:00:00:00:00: no station is connected to the device; "
                 "start with connect",
                 what, to_nobody_);
  if (to_others_) error("%s: %d replies went to other stations", what, to_others_);
}

int Station::send_request(const Request& q) {
  if (stop() >= 2) {
    error("%s: not sent: %s", q.what, stop_level() >= 2 ? "stopping at once" : stop_cause());
    return interrupted_status();
  }
  std::string why;
  const Mac& dest = session_.device_known ? session_.device : station_link::kBroadcast;
  if (!transport_.send(dest, q.command, q.params, q.count, &why)) {
    error("%s: %s", q.what, why.c_str());
    return kExitLocal;
  }
  return 0;
}

int Station::await(const char* what, std::vector<uint8_t>* reply, const Deadline& deadline) {
  station_link::Reply r;
  // Told at a stop at once: also between frames that are not the answer,
  // which may keep coming.
  auto stopped = [&] {
    if (stop() < 2) return false;
    error("%s: no longer waiting for the reply: %s", what, stop_level() >= 2 ? "stopping at once" : stop_cause());
    return true;
  };
  for (;;) {
    if (stopped()) return interrupted_status();
    const int left = deadline.left_ms();
    if (left <= 0) return kExitTimeout;
    std::string why;
    bool got = false;
    if (!transport_.receive(r, left, &got, &why)) {
      error("%s: %s", what, why.c_str());
      return kExitLocal;
    }
    if (!got) return stopped() ? interrupted_status() : kExitTimeout;
    Verdict v = Verdict::Unrelated;
    const Fit fit = fit_reply(session_, r, &v);
    if (fit == Fit::OutOfStep) {
      error("%s: a reply that fits no request (sequence %u, data %s): station and device are "
                   "out of step",
                   what, r.sequence, station_link::hex(r.data).c_str());
      return kExitOutOfStep;
    }
    if (fit != Fit::Answer) {
      pass_over(fit, r);
      continue;
    }
    take_reply(session_, r);
    last_reply_ = r.data;
    switch (v) {
      case Verdict::Unrelated:  // fit_reply never answers with it
      case Verdict::Success:
        if (reply) *reply = r.data;
        return kExitOk;
      case Verdict::CrcMismatch:
        error("%s: the device reports a CRC-32 mismatch", what);
        return kExitCrcMismatch;
      case Verdict::ChunkFailed:
        if (session_.command == command_byte(qvlink::Command::UpgradeNormalCode))
          error("%s: the device could not write the staged image whole; not flashed",
                       what);
        else
          error("%s: the device could not store the chunk; transfer abandoned", what);
        return kExitChunkFailed;
      case Verdict::StoreFailed:
        error("%s: the device could not store the serial number (\"%s\")", what,
                     qvlink::kStoreFailureText);
        return kExitStoreFailed;
      case Verdict::Rejected: {
        const uint8_t status = r.data[0];
        const char* why = status == status_byte(Status::UnknownProtocol) ? "unknown protocol"
                          : status == status_byte(Status::UnknownCommand)  ? "unknown command"
                          : status == status_byte(Status::WrongChecksum)   ? "wrong checksum"
                                                                           : "parameter error";
        error("%s: the device rejected the request (status %u: %s)", what, status,
                     why);
        return kExitRejected;
      }
    }
  }
}

int Station::confirm_in_step(const char* what) {
  // Not sent again: with a second copy out, an answer one place late would fit
  // too, and one place late is what a reply still on its way looks like.
  const int r = exchange({kCmdReadSn, nullptr, 0, what, nullptr, false});
  if (r == kExitOk || (r == kExitRejected && rejected_in_transit(last_reply_))) return kExitOk;
  if (r == kExitTimeout)
    error("%s: no reply within %d ms; the device's reply count is unknown", what,
                 opts_.timeout_ms);
  return r == kExitRejected ? kExitOutOfStep : r;
}

void Station::settle() {
  // What is still on its way comes within a reply time-out; a device that
  // keeps talking is given up on after ten.
  const Deadline give_up(10 * opts_.timeout_ms);
  Deadline quiet(opts_.timeout_ms);
  station_link::Reply r;
  for (;;) {
    const int left = std::min(quiet.left_ms(), give_up.left_ms());
    if (left <= 0) break;
    std::string why;
    bool got = false;
    if (!transport_.receive(r, left, &got, &why) || !got) break;
    const Fit fit = fit_reply(session_, r, nullptr);
    if (fit == Fit::NotForUs || fit == Fit::OtherDevice) pass_over(fit, r);
    else quiet = Deadline(opts_.timeout_ms);
  }
  lose_step(session_);
}

int Station::exchange(const Request& q) {
  const char* what = q.what;
  const int timeout_ms = opts_.timeout_ms;
  const int attempts = q.resend ? opts_.retries + 1 : 1;
  begin_request(session_, q.command, 1);
  for (int attempt = 1;; ++attempt) {
    if (const int s = send_request(q)) return s;
    const int r = await(what, q.reply, Deadline(timeout_ms));
    const bool damaged = r == kExitRejected && rejected_in_transit(last_reply_);
    if (r != kExitTimeout && r != kExitOutOfStep && !damaged) return r;
    if (attempt >= attempts) {
      if (r == kExitTimeout && q.resend) {
        error("%s: no reply within %d ms after %d attempts", what, timeout_ms, attempts);
        timeout_hint(what);
      }
      return r;
    }
    if (r == kExitTimeout) {
      resend_request(session_);
      error("%s: no reply within %d ms, sending again (%d of %d)", what, timeout_ms, attempt, attempts - 1);
    } else {
      if (r == kExitOutOfStep) settle();
      begin_request(session_, q.command, 1);
      error("%s: sending again (%d of %d)", what, attempt, attempts - 1);
    }
  }
}

}  // namespace mfgstation
