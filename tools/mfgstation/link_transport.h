// The link behind a raw socket on one interface, for the station.
#ifndef QV_TOOLS_MFGSTATION_LINK_TRANSPORT_H
#define QV_TOOLS_MFGSTATION_LINK_TRANSPORT_H

#include <atomic>

#include "station.h"
#include "station_link.h"

namespace mfgstation {

// Frames go out as asked and come back taken apart; which of them count is the
// station's business.
class LinkTransport : public Transport {
 public:
  // ended: the device's own stop (Station::end_on), which ends a wait as a
  // stop at once does.
  explicit LinkTransport(station_link::Interface& ifc, const std::atomic<bool>* ended = nullptr)
      : ifc_(ifc), ended_(ended) {}
  bool send(const Mac& dest, uint8_t command, const uint8_t* params, std::size_t count, std::string* error) override;
  bool receive(station_link::Reply& reply, int timeout_ms, bool* got, std::string* error) override;

 private:
  station_link::Interface& ifc_;
  station_link::RequestSpec spec_;
  uint8_t sequence_ = 0;
  const std::atomic<bool>* ended_;
};

}  // namespace mfgstation

#endif
