// mfgstation: the production-line station tool. Opens the interface towards the
// device and runs the commands of the command line through station_link.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "station.h"
#include "station_link.h"

namespace {

// The link behind a raw socket on one interface: frames go out as asked and
// come back taken apart; which of them count is the station's business.
class LinkTransport : public mfgstation::Transport {
 public:
  explicit LinkTransport(station_link::Interface& ifc) : ifc_(ifc) {}

  int send(const mfgstation::Mac& dest, uint8_t command, const uint8_t* params, std::size_t count,
           std::string* error) override {
    spec_.command = command;
    spec_.params.assign(params, params + count);
    spec_.sequence = ++sequence_;
    spec_.dest = dest;
    return station_link::send_frame(ifc_, station_link::build_request(spec_, ifc_.mac), error) < 0 ? -1 : 0;
  }

  int receive(station_link::Reply& reply, int timeout_ms, std::string* error) override {
    std::vector<uint8_t> frame;
    for (;;) {
      int r = station_link::receive_frame(ifc_, frame, timeout_ms, error);
      if (r <= 0) return r;
      if (station_link::parse_reply(frame, reply)) return 1;
    }
  }

 private:
  station_link::Interface& ifc_;
  station_link::RequestSpec spec_;
  uint8_t sequence_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  mfgstation::Options opts;
  std::string error;
  bool help = false;
  if (mfgstation::parse_command_line(argc, argv, opts, &error, &help) != 0) {
    std::fprintf(stderr, "mfgstation: %s\nTry 'mfgstation --help' for more information.\n", error.c_str());
    return mfgstation::kExitUsage;
  }
  if (help) {
    std::fputs(mfgstation::usage_text().c_str(), stdout);
    return mfgstation::kExitOk;
  }
  // The lock is held until the process ends, however it ends.
  if (mfgstation::lock_interface(opts.iface, &error) < 0) {
    std::fprintf(stderr, "mfgstation: %s\n", error.c_str());
    return mfgstation::kExitLocal;
  }
  station_link::Interface ifc;
  if (station_link::open_interface(opts.iface, ifc, &error) < 0) {
    const bool no_right = errno == EPERM || errno == EACCES;
    std::fprintf(stderr, "mfgstation: %s\n", error.c_str());
    if (no_right) std::fprintf(stderr, "mfgstation: a raw packet socket needs root or the capability CAP_NET_RAW\n");
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
