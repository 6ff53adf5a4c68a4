#include "link_transport.h"

#include <algorithm>

#include "deadline.h"
#include "stop_signals.h"

namespace mfgstation {

bool LinkTransport::send(const Mac& dest, uint8_t command, const uint8_t* params, std::size_t count,
                        std::string* error) {
  spec_.command = command;
  spec_.params.assign(params, params + count);
  spec_.sequence = ++sequence_;
  spec_.dest = dest;
  return station_link::send_frame(ifc_, station_link::build_request(spec_, ifc_.mac), error);
}

// Waits in slices, so that a stop at once ends a long wait (the end of
// flashing) within a tenth of a second.
bool LinkTransport::receive(station_link::Reply& reply, int timeout_ms, bool* got, std::string* error) {
  std::vector<uint8_t> frame;
  const Deadline deadline(timeout_ms);
  for (;;) {
    const int left = deadline.left_ms();
    if (!station_link::receive_frame(ifc_, frame, std::min(left, 100), error)) return false;
    *got = !frame.empty();
    if (*got && station_link::parse_reply(frame, reply)) return true;
    if (!*got && (left <= 100 || stop_level() >= 2 || (ended_ && ended_->load()))) return true;
  }
}

}  // namespace mfgstation
