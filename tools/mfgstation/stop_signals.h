// Ctrl-C (SIGINT), SIGTERM and SIGHUP (the terminal closed) while the station
// serves devices: the first asks for a stop, the second for a stop at once;
// none ends the process, so that every device's record and ledger row are
// still written.
//
// After the first no step starts, a firmware transfer sends no further chunk
// and no upgrade is ordered; a reply on its way and a flashing already under
// way are waited for, so that what the device did is known. After the second
// no request goes out and no reply is waited for any more.
#ifndef QV_TOOLS_MFGSTATION_STOP_SIGNALS_H
#define QV_TOOLS_MFGSTATION_STOP_SIGNALS_H

#include <csignal>
#include <string>

namespace mfgstation {

// Installs the handlers. With tell, the handler itself writes the notice of
// each stage on the error output (a single device's run; line mode tells
// through its view, stop_notice).
void catch_stop_signals(bool tell);

// 0 running, 1 a stop was asked for, 2 stop at once.
int stop_level();
// "SIGINT", "SIGTERM" or "SIGHUP": the first signal of the stop.
const char* stop_signal_name();
// The status of a device or run cut short by the stop: 128 + the first signal,
// as a shell reports a program ended by it (130 for SIGINT, 143 for SIGTERM,
// 129 for SIGHUP).
int interrupted_status();
bool is_interrupted(int exit_status);
// Adds the stop signals to set (to keep them off threads).
void add_stop_signals(sigset_t* set);
// What the operator is told when the stop reaches level, one line.
std::string stop_notice(int level);

// What a stop leaves behind on the devices, told after it.
inline constexpr char kHeldAfterStop[] =
    "a device that answered a connect serves this station only until its service ends, about 30 s after the last "
    "request; until then another station gets no answer from it";

}  // namespace mfgstation

#endif
