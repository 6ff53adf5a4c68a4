#include "link_transport.h"

namespace mfgstation {

bool LinkTransport::send(const Mac& dest, uint8_t command, const uint8_t* params, std::size_t count,
                        std::string* error) {
  spec_.command = command;
  spec_.params.assign(params, params + count);
  spec_.sequence = ++sequence_;
  spec_.dest = dest;
  return station_link::send_frame(ifc_, station_link::build_request(spec_, ifc_.mac), error);
}

bool LinkTransport::receive(station_link::Reply& reply, int timeout_ms, bool* got, std::string* error) {
  std::vector<uint8_t> frame;
  for (;;) {
    if (!station_link::receive_frame(ifc_, frame, timeout_ms, error)) return false;
    *got = !frame.empty();
    if (!*got || station_link::parse_reply(frame, reply)) return true;
  }
}

}  // namespace mfgstation
