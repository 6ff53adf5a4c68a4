#include "stop_signals.h"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace mfgstation {

namespace {

std::atomic<int> g_level{0};
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "read and written in a signal handler");

// The signals that stop a run: Ctrl-C, a plain kill, and the operator's
// terminal going away (which leaves nobody to ask for a second stop).
constexpr struct {
  int number;
  const char* name;
} kStopSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
constexpr int kStopSignalCount = sizeof kStopSignals / sizeof kStopSignals[0];

// With tell: the notices, made before any signal can come; [signal][level].
bool g_tell = false;
std::string g_told[kStopSignalCount][3];

int index_of(int sig) {
  for (int i = 0; i < kStopSignalCount; ++i)
    if (kStopSignals[i].number == sig) return i;
  return 0;
}

const char* name_of(int sig) { return kStopSignals[index_of(sig)].name; }

std::string notice(int sig, int level) {
  if (level == 1)
    return std::string("stopping (") + name_of(sig) +
           "): no step starts, no transfer sends another chunk and no upgrade is ordered; replies on their way and "
           "flashing under way are waited for; Ctrl-C or SIGTERM again stops the waiting";
  return "stopping at once: no request goes out and no reply is waited for any more";
}

void on_stop(int sig) {
  const int level = g_level.load();
  if (level >= 2) return;
  if (level == 0) g_signal.store(sig);
  g_level.store(level + 1);
  if (!g_tell) return;
  const std::string& text = g_told[index_of(g_signal.load())][level + 1];
  ssize_t ignored = write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

}  // namespace

void catch_stop_signals(bool tell) {
  g_tell = tell;
  // On a terminal the progress bar may stand open on its line.
  const std::string before = isatty(STDOUT_FILENO) ? "\n" : "";
  for (int s = 0; s < kStopSignalCount; ++s)
    for (int level = 1; level <= 2; ++level)
      g_told[s][level] = before + "mfgstation: " + notice(kStopSignals[s].number, level) + "\n";
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (const auto& sig : kStopSignals) sigaction(sig.number, &sa, nullptr);
}

int stop_level() { return g_level.load(); }

const char* stop_signal_name() { return name_of(g_signal.load()); }

int interrupted_status() { return 128 + (g_signal.load() ? g_signal.load() : SIGINT); }

bool is_interrupted(int exit_status) {
  for (const auto& sig : kStopSignals)
    if (exit_status == 128 + sig.number) return true;
  return false;
}

void add_stop_signals(sigset_t* set) {
  for (const auto& sig : kStopSignals) sigaddset(set, sig.number);
}

std::string stop_notice(int level) { return notice(g_signal.load(), level); }

}  // namespace mfgstation
