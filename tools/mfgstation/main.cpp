// mfgstation: the production-line station tool. Opens the interface towards the
// device and runs the commands of the command line through station_link.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "line.h"
#include "station.h"
#include "station_link.h"

namespace {

// The device behind a raw socket on one interface. Requests go to the broadcast
// address until a reply names the device's own address.
class LinkTransport : public mfgstation::Transport {
 public:
  explicit LinkTransport(station_link::Interface& ifc) : ifc_(ifc) {}

  int send(uint8_t command, const uint8_t* params, std::size_t count, std::string* error) override {
    spec_.command = command;
    spec_.params.assign(params, params + count);
    spec_.sequence = ++sequence_;
    spec_.dest = device_known_ ? device_ : station_link::kBroadcast;
    return station_link::send_frame(ifc_, station_link::build_request(spec_, ifc_.mac), error) < 0 ? -1 : 0;
  }

  int receive(std::vector<uint8_t>& data, int timeout_ms, std::string* error) override {
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

 private:
  station_link::Interface& ifc_;
  station_link::RequestSpec spec_;
  uint8_t sequence_ = 0;
  station_link::Mac device_{};
  bool device_known_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  mfgstation::Options opts;
  std::string error;
  bool help = false;
  if (mfgstation::parse_command_line(argc, argv, opts, &error, &help) != 0) {
    std::fprintf(stderr, "mfgstation: %s\n%s", error.c_str(), mfgstation::usage_text().c_str());
    return mfgstation::kExitUsage;
  }
  if (help) {
    std::fputs(mfgstation::usage_text().c_str(), stdout);
    return mfgstation::kExitOk;
  }
  if (opts.line_mode() || opts.steps[0].op == mfgstation::Op::Discover) return mfgstation::line_main(opts);
  station_link::Interface ifc;
  if (station_link::open_interface(opts.iface, ifc, &error) < 0) {
    std::fprintf(stderr, "mfgstation: %s\n", error.c_str());
    return mfgstation::kExitLocal;
  }
  if (opts.chunk_size == 0) opts.chunk_size = mfgstation::chunk_size_for_mtu(ifc.mtu);
  LinkTransport transport(ifc);
  mfgstation::Output output;
  output.terminal = isatty(STDOUT_FILENO);
  mfgstation::Station station(transport, opts, ifc.mac, output);
  int status = station.run();
  station_link::close_interface(ifc);
  return status;
}
