// The station's reply handling on arbitrary input: frames taken apart by
// parse_reply and judged by fit_reply against one device session, as requests
// begin, go out again and lose step. The input is a run of steps (at most 64),
// each an opcode byte and its bytes: begin a request, send it again, lose
// step, or a frame, either raw (through parse_reply) or a reply given by its
// fields (addresses, sequence near the count, data, header bytes, checksum
// verdict) so that random input gets past the checks.
//
// Checked on every frame:
// - an Answer is addressed to the station, from the device once known, intact,
//   with a request in flight, a verdict other than Unrelated and a sequence
//   byte within the request's window;
// - once taken, the same frame again is a Duplicate, and the count stands one
//   past its sequence byte.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "device_session.h"
#include "station_link.h"

namespace {

using mfgstation::DeviceSession;
using mfgstation::Fit;

const station_link::Mac kStation = {0x02, 0, 0, 0, 0, 0x01};
const station_link::Mac kDevice = {0x02, 0, 0, 0, 0, 0x09};
const station_link::Mac kOther = {0x02, 0, 0, 0, 0, 0x77};

struct Input {
  const uint8_t* p;
  std::size_t left;
  uint8_t byte() {
    if (!left) return 0;
    --left;
    return *p++;
  }
};

void judge(DeviceSession& s, const station_link::Reply& r) {
  mfgstation::Verdict v = mfgstation::Verdict::Unrelated;
  const Fit fit = mfgstation::fit_reply(s, r, &v);
  if (fit != Fit::Answer) return;
  if (r.dest != s.station || (s.device_known && r.source != s.device) || !r.checksum_ok || !s.in_flight ||
      v == mfgstation::Verdict::Unrelated)
    std::abort();
  const int ahead = static_cast<uint8_t>(r.sequence - s.next_sequence);
  if (s.sequence_known && ahead > s.sends) std::abort();
  mfgstation::take_reply(s, r);
  if (!s.sequence_known || s.next_sequence != static_cast<uint8_t>(r.sequence + 1) || s.recent.size() > 16)
    std::abort();
  if (mfgstation::fit_reply(s, r, nullptr) != Fit::Duplicate) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  DeviceSession s;
  s.station = kStation;
  if (in.byte() & 1) {
    s.device = kDevice;
    s.device_known = true;
  }
  for (int step = 0; in.left && step < 64; ++step) {
    const uint8_t op = in.byte();
    switch (op % 5) {
      case 0: {
        const uint8_t command = in.byte() % 13;
        mfgstation::begin_request(s, command, command == 11 ? 2 : 1);
        break;
      }
      case 1:
        if (s.in_flight) mfgstation::resend_request(s);
        break;
      case 2:
        mfgstation::lose_step(s);
        break;
      case 3: {  // raw frame
        std::vector<uint8_t> frame(in.byte());
        for (auto& b : frame) b = in.byte();
        station_link::Reply r;
        if (station_link::parse_reply(frame, r)) judge(s, r);
        break;
      }
      default: {  // a reply given by its fields
        const uint8_t how = in.byte();
        station_link::Reply r;
        r.code = (how & 0x01) ? in.byte() : 0;
        r.protocol = (how & 0x02) ? in.byte() : 0;
        r.sequence = static_cast<uint8_t>(s.next_sequence + (in.byte() % 4));
        r.checksum_ok = r.length_ok = !(how & 0x04);
        r.dest = (how & 0x08) ? kOther : kStation;
        r.source = (how & 0x10) ? kOther : kDevice;
        r.data.resize(in.byte() % 40);
        for (std::size_t i = 0; i < r.data.size(); ++i)
          r.data[i] = i < 3 && (how & 0x20) ? "\x00\x05\x01"[i] : in.byte();
        if (how & 0x40 && r.data.size() >= 2) r.data[1] = s.command;
        judge(s, r);
        break;
      }
    }
  }
  return 0;
}
