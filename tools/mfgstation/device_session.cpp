#include "device_session.h"

#include "link_protocol.h"

namespace mfgstation {

namespace {

using qvlink::Command;
using qvlink::Status;
using qvlink::command_byte;
using qvlink::status_byte;

constexpr uint8_t kPhaseStarts = static_cast<uint8_t>(qvlink::UpgradePhase::Starts);
constexpr uint8_t kPhaseEnded = static_cast<uint8_t>(qvlink::UpgradePhase::Ended);

// Enough to tell a copy that trails a few replies behind its original.
constexpr std::size_t kRecent = 16;

void account(DeviceSession& s, uint8_t sequence, const std::vector<uint8_t>& data) {
  s.recent.push_back({sequence, data});
  if (s.recent.size() > kRecent) s.recent.pop_front();
}

}  // namespace

Verdict classify_reply(uint8_t command, const std::vector<uint8_t>& data) {
  if (data.empty()) return Verdict::Unrelated;
  // The checksum command is answered with the chunk command's code.
  const uint8_t expected = command == kCmdChecksum ? kCmdChunk : command;
  const uint8_t status = data[0];
  if (data.size() == 1) return status == status_byte(Status::ParameterError) ? Verdict::Rejected : Verdict::Unrelated;
  const uint8_t code = data[1];
  if (status == status_byte(Status::Ok)) {
    // The store's failure reply starts like a success of the connect command;
    // only its length and text tell it apart.
    if (qvlink::is_store_failure_reply(data.data(), data.size()))
      return command == kCmdWriteSn ? Verdict::StoreFailed : Verdict::Unrelated;
    if (code != expected) return Verdict::Unrelated;
    // The device answers these two with exactly two bytes; discovery and the
    // connect step judge a connect reply alike, here.
    if ((command == kCmdWriteSn || command == kCmdConnect) && data.size() != 2) return Verdict::Unrelated;
    return Verdict::Success;
  }
  if (status == status_byte(Status::CrcMismatch) && code == kCmdChunk && command == kCmdChecksum) return Verdict::CrcMismatch;
  if (status == status_byte(Status::ChunkWriteFailed) && code == command && (command == kCmdChunk || command == kCmdUpgrade))
    return Verdict::ChunkFailed;
  if (status == status_byte(Status::UnknownProtocol)) return Verdict::Rejected;
  if ((status == status_byte(Status::UnknownCommand) || status == status_byte(Status::WrongChecksum)) && code == command)
    return Verdict::Rejected;
  return Verdict::Unrelated;
}

bool well_formed(const station_link::Reply& r) {
  // Bytes 0 to 2 are outside the checksum; a reply carries 0, 0 and code 0.
  return r.checksum_ok && r.protocol == 0 && r.reserved == 0 && r.code == 0;
}

bool rejected_in_transit(const std::vector<uint8_t>& data) {
  return !data.empty() && (data[0] == status_byte(Status::UnknownProtocol) ||
                           data[0] == status_byte(Status::WrongChecksum) ||
                           data[0] == status_byte(Status::ParameterError));
}

Fit fit_reply(const DeviceSession& s, const station_link::Reply& r, Verdict* verdict) {
  if (r.dest != s.station) return Fit::NotForUs;
  if (s.device_known && r.source != s.device) return Fit::OtherDevice;
  if (r.source == s.station) return Fit::OtherDevice;
  if (!well_formed(r)) return Fit::Damaged;
  for (const DeviceSession::Accounted& a : s.recent)
    if (a.sequence == r.sequence && a.data == r.data) return Fit::Duplicate;
  if (!s.in_flight || s.replies_left <= 0) return Fit::OutOfStep;

  const Verdict v = classify_reply(s.command, r.data);
  if (v == Verdict::Unrelated) return Fit::OutOfStep;
  // The upgrade's first reply says flashing starts, the second that it ended;
  // the second may come with the first lost before it.
  int skipped_phase = 0;
  if (s.command == kCmdUpgrade && v == Verdict::Success) {
    const int phase = r.data.size() == 3 ? r.data[2] : -1;
    if (phase != kPhaseStarts && phase != kPhaseEnded) return Fit::OutOfStep;
    if (phase == kPhaseStarts && s.replies_left != 2) return Fit::OutOfStep;
    if (phase == kPhaseEnded && s.replies_left == 2) skipped_phase = 1;
  }
  if (s.sequence_known) {
    // Each earlier copy of the request may have been answered with its
    // answer lost: the reply may come that many places later, no more.
    const int ahead = static_cast<uint8_t>(r.sequence - s.next_sequence);
    if (ahead < skipped_phase || ahead >= s.sends + skipped_phase) return Fit::OutOfStep;
  }
  if (verdict) *verdict = v;
  return Fit::Answer;
}

void begin_request(DeviceSession& s, uint8_t command, int replies) {
  s.in_flight = true;
  s.command = command;
  s.sends = 1;
  s.replies_left = replies;
}

void resend_request(DeviceSession& s) { ++s.sends; }

void take_reply(DeviceSession& s, const station_link::Reply& r) {
  const std::vector<uint8_t> phase0 = {status_byte(Status::Ok), kCmdUpgrade, kPhaseStarts};
  const bool upgrade = s.command == kCmdUpgrade;
  if (s.sequence_known)
    for (uint8_t q = s.next_sequence; q != r.sequence; ++q) account(s, q, upgrade ? phase0 : r.data);
  account(s, r.sequence, r.data);
  s.sequence_known = true;
  s.next_sequence = static_cast<uint8_t>(r.sequence + 1);
  if (!s.device_known) {
    s.device = r.source;
    s.device_known = true;
  }
  // A request sent again is answered by whichever copy; the rest count as lost.
  s.sends = 1;
  // Only the upgrade's "flashing starts" leaves a reply to come.
  s.replies_left = upgrade && r.data == phase0 ? 1 : 0;
  if (s.replies_left == 0) s.in_flight = false;
}

void lose_step(DeviceSession& s) {
  s.in_flight = false;
  s.replies_left = 0;
  s.sequence_known = false;
  s.recent.clear();
}

}  // namespace mfgstation
