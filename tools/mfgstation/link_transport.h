// The device behind a raw socket on the station's interface.
#ifndef QV_TOOLS_MFGSTATION_LINK_TRANSPORT_H
#define QV_TOOLS_MFGSTATION_LINK_TRANSPORT_H

#include "station.h"
#include "station_link.h"

namespace mfgstation {

// Requests go to the device when its address is given, else to the broadcast
// address until a reply names the device's own address.
class LinkTransport : public Transport {
 public:
  explicit LinkTransport(station_link::Interface& ifc, const station_link::Mac* device = nullptr);
  int send(uint8_t command, const uint8_t* params, std::size_t count, std::string* error) override;
  int receive(std::vector<uint8_t>& data, int timeout_ms, std::string* error) override;

 private:
  station_link::Interface& ifc_;
  station_link::RequestSpec spec_;
  uint8_t sequence_ = 0;
  station_link::Mac device_{};
  bool device_known_ = false;
};

}  // namespace mfgstation

#endif
