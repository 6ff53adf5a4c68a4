// The link behind a raw socket on one interface, for the station.
#ifndef QV_TOOLS_MFGSTATION_LINK_TRANSPORT_H
#define QV_TOOLS_MFGSTATION_LINK_TRANSPORT_H

#include "station.h"
#include "station_link.h"

namespace mfgstation {

// Frames go out as asked and come back taken apart; which of them count is the
// station's business.
class LinkTransport : public Transport {
 public:
  explicit LinkTransport(station_link::Interface& ifc) : ifc_(ifc) {}
  bool send(const Mac& dest, uint8_t command, const uint8_t* params, std::size_t count, std::string* error) override;
  bool receive(station_link::Reply& reply, int timeout_ms, bool* got, std::string* error) override;

 private:
  station_link::Interface& ifc_;
  station_link::RequestSpec spec_;
  uint8_t sequence_ = 0;
};

}  // namespace mfgstation

#endif
