// mfgstation: the production-line station tool. Opens the interface towards the
// device (or the line's devices) and runs the commands of the command line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "line.h"
#include "line_db.h"
#include "link_transport.h"
#include "station.h"
#include "station_link.h"
#include "stop_signals.h"

int main(int argc, char** argv) {
  mfgstation::Options opts;
  std::string error;
  bool help = false;
  if (!mfgstation::parse_command_line(argc, argv, opts, &error, &help) ||
      (!help && opts.line_mode() && !mfgstation::check_line_usage(opts, &error))) {
    std::fprintf(stderr, "mfgstation: %s\nTry 'mfgstation --help' for more information.\n", error.c_str());
    return mfgstation::kExitUsage;
  }
  if (help) {
    std::fputs(mfgstation::usage_text().c_str(), stdout);
    return mfgstation::kExitOk;
  }
  if (opts.set_counter) return mfgstation::set_counter_main(opts);
  const mfgstation::CommandInfo& first = mfgstation::command_info(opts.steps[0].op);
  if (first.offline) return first.offline(opts);
  // The lock is held until the process ends, however it ends.
  if (!mfgstation::lock_interface(opts.iface, &error)) {
    std::fprintf(stderr, "mfgstation: %s\n", error.c_str());
    return mfgstation::kExitLocal;
  }
  station_link::Interface ifc;
  if (!station_link::open_interface(opts.iface, ifc, &error)) {
    const bool no_right = errno == EPERM || errno == EACCES;
    std::fprintf(stderr, "mfgstation: %s\n", error.c_str());
    if (no_right) std::fprintf(stderr, "mfgstation: a raw packet socket needs root or the capability CAP_NET_RAW\n");
    return mfgstation::kExitLocal;
  }
  if (opts.chunk_size == 0) opts.chunk_size = mfgstation::chunk_size_for_mtu(ifc.mtu);
  // Line mode tells of a stop in its view.
  mfgstation::catch_stop_signals(!first.alone && !opts.line_mode());
  if (first.alone || opts.line_mode()) {
    int status = first.alone ? first.alone(opts, ifc)
                 : opts.watch ? mfgstation::watch_main(opts, ifc)
                              : mfgstation::line_main(opts, ifc);
    station_link::close_interface(ifc);
    return status;
  }
  mfgstation::LinkTransport transport(ifc);
  mfgstation::PlainReporter report(stdout, stderr, isatty(STDOUT_FILENO));
  mfgstation::Station station(transport, opts, ifc.mac, report);
  int status = station.run();
  station_link::close_interface(ifc);
  if (mfgstation::is_interrupted(status))
    std::fprintf(stderr, "mfgstation: stopped by %s: %s\n", mfgstation::stop_signal_name(), mfgstation::kHeldAfterStop);
  return status;
}
