#include "link_transport.h"

namespace mfgstation {

LinkTransport::LinkTransport(station_link::Interface& ifc, const station_link::Mac* device) : ifc_(ifc) {
  if (device) {
    device_ = *device;
    device_known_ = true;
  }
}

int LinkTransport::send(uint8_t command, const uint8_t* params, std::size_t count, std::string* error) {
  spec_.command = command;
  spec_.params.assign(params, params + count);
  spec_.sequence = ++sequence_;
  spec_.dest = device_known_ ? device_ : station_link::kBroadcast;
  return station_link::send_frame(ifc_, station_link::build_request(spec_, ifc_.mac), error) < 0 ? -1 : 0;
}

int LinkTransport::receive(std::vector<uint8_t>& data, int timeout_ms, std::string* error) {
  std::vector<uint8_t> frame;
  station_link::Reply reply;
  for (;;) {
    int r = station_link::receive_frame(ifc_, frame, timeout_ms, error);
    if (r <= 0) return r;
    // Our own requests seen on a shared link, and damaged replies, are not answers.
    if (!station_link::parse_reply(frame, reply) || !reply.checksum_ok || reply.source == ifc_.mac) continue;
    if (!device_known_) {
      device_ = reply.source;
      device_known_ = true;
    }
    data = reply.data;
    return 1;
  }
}

}  // namespace mfgstation
