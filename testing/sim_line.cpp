// sim_line LINE SCENARIO WORK SECONDS: a production line whose devices come
// and go as on a real one, for a station that watches the line (mfgstation
// --watch) in the tests and the benchmark.
//
// LINE names the namespaces that line_netns_up (scripts/link-netns.sh) made:
// slot K of the scenario is the device namespace LINE-dK. SCENARIO has one
// line per slot ("#" starts a comment):
//
//   K START WHAT [ARG]
//
// START is when the device is plugged in, in seconds from the start. From
// then on the slot's device runs the host build's mfglinkd_fg on a fresh
// device root WORK/dK: a service that starts at every boot, as the device's
// start-up scripts start it. Its "reboot" (the platform log's line) takes the
// device down 50 ms later: the service is killed and /tmp emptied. WHAT:
//
//   passes          an ordinary device: unplugged once it reboots
//   comes-back      after its reboot it boots again (--boot seconds) and its
//                   service starts again: the station finds it once more
//   dies-mid-flash  the power fails as its first flash begins (the staged
//                   image appears in /tmp): the service dies, and after the
//                   operator's power-cycle (--power-cycle seconds) it starts
//                   again
//   foreign SERIAL  holds SERIAL, a number the line did not give
//   shares K        its br0 takes the address of slot K's; the two are
//                   plugged in together (their ports on the segment come up
//                   at one moment once both services are ready), as two
//                   fixtures on one switch of power
//
// A device whose service the station leaves alone for --unplug seconds after
// it was connected (refused, failed, or told to quit and gone) is unplugged.
// The line ends when every device is unplugged, or after SECONDS.
//
// Prints one line per slot and the figures of the line (arrivals: the
// services started; connected: those that a station connected; the time from
// a service's start, once its socket is bound, to its first connect; the
// flash tool's runs per device) and writes every event with its time to
// WORK/events. Needs root (network namespaces).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device_root.h"
#include "netns.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timing {
  double boot = 1.0, power_cycle = 1.5, unplug = 3.0, shutdown = 0.05;
};

// Two slots plugged in together: the second to be ready brings both ports up.
struct Pair {
  std::mutex mutex;
  std::condition_variable cv;
  int ready = 0;
  std::string ports;  // "dA dB"
};

struct Slot {
  int k = 0;
  double start = 0;
  std::string what, arg;
  Pair* pair = nullptr;
  // Filled as the line runs.
  int arrivals = 0, connected = 0, flashes = 0;
  std::vector<double> latencies;  // seconds from ready to the first connect, per connected service
  std::string serial;
  std::string end;  // how the device left the line
};

Clock::time_point g_start;
std::mutex g_events_mutex;
FILE* g_events = nullptr;

// A program's options: on the device root, or with its input.
qvtest::RunOptions on_root(const std::string& root) {
  qvtest::RunOptions o;
  o.env = {"QV_DEVICE_ROOT=" + root};
  return o;
}
qvtest::RunOptions with_input(const std::string& input) {
  qvtest::RunOptions o;
  o.input = input;
  return o;
}

double since_start() { return std::chrono::duration<double>(Clock::now() - g_start).count(); }

void event(int k, const std::string& what) {
  std::lock_guard<std::mutex> lock(g_events_mutex);
  std::fprintf(g_events, "%.3f %d %s\n", since_start(), k, what.c_str());
  std::fflush(g_events);
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void sleep_s(double s) {
  if (s > 0) std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

// The lines of path from byte *offset on; *offset moves past them.
std::vector<std::string> new_lines(const std::string& path, std::size_t* offset) {
  std::vector<std::string> lines;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || static_cast<std::size_t>(st.st_size) <= *offset) return lines;
  std::ifstream in(path, std::ios::binary);
  if (!in) return lines;
  in.seekg(static_cast<std::streamoff>(*offset));
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // a line not yet whole
    *offset += line.size() + 1;
    lines.push_back(line);
  }
  return lines;
}

class Service {
 public:
  // mfglinkd_fg in the namespace on the root, its output into a pipe.
  Service(const std::string& ns, const std::string& root, const std::string& bin) {
    int p[2];
    if (pipe(p) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      dup2(p[1], 1);
      dup2(p[1], 2);
      close(p[0]);
      close(p[1]);
      const std::string env_root = "QV_DEVICE_ROOT=" + root;
      const std::string env_path = "PATH=" + bin + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
      const std::string program = bin + "/mfglinkd_fg";
      execlp("ip", "ip", "netns", "exec", ns.c_str(), "env", env_root.c_str(), env_path.c_str(), program.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(p[1]);
    out_ = p[0];
    fcntl(out_, F_SETFL, O_NONBLOCK);
  }
  ~Service() {
    kill_now();
    if (out_ >= 0) close(out_);
  }
  pid_t pid() const { return pid_; }
  bool running() {
    if (pid_ <= 0) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
  }
  void kill_now() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // Waits up to ms for output; the whole lines that came.
  std::vector<std::string> lines(int ms) {
    std::vector<std::string> got;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return got;
    char buf[4096];
    ssize_t n;
    while ((n = read(out_, buf, sizeof buf)) > 0) held_.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = held_.find('\n')) != std::string::npos; held_.erase(0, nl + 1))
      got.push_back(held_.substr(0, nl));
    return got;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string held_;
};

// One slot's device from the moment it is plugged in until it is unplugged.
void run_slot(Slot& s, const std::string& line, const std::string& work, const std::string& bin, double until,
              const Timing& t) {
  sleep_s(s.start - since_start());
  const std::string ns = line + "-d" + std::to_string(s.k), root = work + "/d" + std::to_string(s.k);
  qvtest::run({"rm", "-rf", root});
  qvtest::RunResult r = qvtest::run({bin + "/make-device-root", root});
  if (r.status != 0) {
    s.end = "no device root: " + r.err;
    return;
  }
  if (s.what == "foreign") qvtest::run({bin + "/nvram", "set", "3", "SN", s.arg}, on_root(root));
  const std::string station_ns = line + "-st", port = "d" + std::to_string(s.k);
  if (s.what == "shares") {
    // The other slot's address, as its br0 has it.
    r = qvtest::run({"ip", "netns", "exec", line + "-d" + s.arg, "cat", "/sys/class/net/br0/address"});
    qvtest::run({"ip", "-n", ns, "link", "set", "br0", "address", r.out.substr(0, r.out.find('\n'))});
  }
  if (s.pair) qvtest::run({"ip", "-n", station_ns, "link", "set", port, "down"});
  std::size_t log_offset = 0;
  new_lines(root + "/var/log/platform.log", &log_offset);
  bool came_back = false, died = false;
  for (;;) {
    Service service(ns, root, bin);
    ++s.arrivals;
    while (service.running() && !qvnet::packet_socket_bound(service.pid()) && since_start() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (s.pair && s.arrivals == 1) {
      std::unique_lock<std::mutex> lock(s.pair->mutex);
      if (++s.pair->ready == 2) {
        std::istringstream ports(s.pair->ports);
        std::string a, b;
        ports >> a >> b;
        qvtest::run({"ip", "-n", station_ns, "-batch", "-"},
                    with_input("link set " + a + " up\nlink set " + b + " up\n"));
        s.pair->cv.notify_all();
      } else {
        s.pair->cv.wait_for(lock, std::chrono::duration<double>(std::max(0.0, until - since_start())),
                            [&] { return s.pair->ready == 2; });
      }
    }
    const double ready = since_start();
    event(s.k, "ready");
    bool connected = false, rebooting = false;
    double last_heard = ready;
    std::string why;
    for (;;) {
      for (const std::string& l : service.lines(5)) {
        last_heard = since_start();
        if (!connected && l == "create_connection()") {
          connected = true;
          ++s.connected;
          s.latencies.push_back(last_heard - ready);
          event(s.k, "connected");
        }
      }
      for (const std::string& l : new_lines(root + "/var/log/platform.log", &log_offset))
        if (l == "reboot") rebooting = true;
      if (rebooting) {
        sleep_s(t.shutdown);
        why = "rebooted";
        break;
      }
      if (s.what == "dies-mid-flash" && !died && file_exists(root + "/tmp/firmware")) {
        died = true;
        why = "died";
        break;
      }
      if (!service.running()) {
        why = "service ended";
        break;
      }
      if (connected && since_start() - last_heard >= t.unplug) {
        why = "left alone";
        break;
      }
      if (since_start() >= until) {
        why = "time up";
        break;
      }
    }
    service.kill_now();
    event(s.k, why);
    // The device's RAM goes with it.
    qvtest::run({"sh", "-c", "rm -rf \"$0\"/tmp/*", root});
    if (why == "died") {
      sleep_s(t.power_cycle);
      continue;
    }
    if (why == "rebooted" && s.what == "comes-back" && !came_back) {
      came_back = true;
      sleep_s(t.boot);
      continue;
    }
    s.end = why;
    break;
  }
  event(s.k, "unplugged");
  for (const std::string& l : qvtest::split_lines(qvtest::read_file(root + "/var/log/platform.log")))
    s.flashes += l.compare(0, 10, "mtd_write ") == 0;
  r = qvtest::run({bin + "/nvram", "get", "3", "SN"}, on_root(root));
  s.serial = r.status == 0 ? r.out.substr(0, r.out.find('\n')) : "";
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

int usage() {
  std::fprintf(stderr,
               "Usage: sim_line LINE SCENARIO WORK SECONDS [--boot S] [--power-cycle S] [--unplug S]\n"
               "SCENARIO: one line per slot, \"K START WHAT [ARG]\"; WHAT: passes, comes-back, dies-mid-flash,\n"
               "foreign SERIAL, shares MAC\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return usage();
  const std::string line = argv[1], scenario = argv[2], work = argv[3];
  const double seconds = std::atof(argv[4]);
  Timing t;
  for (int i = 5; i + 1 < argc; i += 2) {
    const std::string o = argv[i];
    const double v = std::atof(argv[i + 1]);
    if (o == "--boot") t.boot = v;
    else if (o == "--power-cycle") t.power_cycle = v;
    else if (o == "--unplug") t.unplug = v;
    else return usage();
  }
  std::vector<Slot> slots;
  std::ifstream in(scenario);
  if (!in) {
    std::fprintf(stderr, "sim_line: cannot read %s\n", scenario.c_str());
    return 2;
  }
  for (std::string text; std::getline(in, text);) {
    text = text.substr(0, text.find('#'));
    std::istringstream fields(text);
    Slot s;
    if (!(fields >> s.k)) continue;
    if (!(fields >> s.start >> s.what)) {
      std::fprintf(stderr, "sim_line: %s: not understood: \"%s\"\n", scenario.c_str(), text.c_str());
      return 2;
    }
    fields >> s.arg;
    const bool known = s.what == "passes" || s.what == "comes-back" || s.what == "dies-mid-flash" ||
                       (s.what == "foreign" && !s.arg.empty()) ||
                       (s.what == "shares" && std::atoi(s.arg.c_str()) > 0);
    if (!known) {
      std::fprintf(stderr, "sim_line: %s: unknown device \"%s\"\n", scenario.c_str(), text.c_str());
      return 2;
    }
    slots.push_back(s);
  }
  // Each pair of slots with one address is plugged in together.
  std::vector<std::unique_ptr<Pair>> pairs;
  for (Slot& s : slots) {
    if (s.what != "shares") continue;
    const int other = std::atoi(s.arg.c_str());
    const auto twin = std::find_if(slots.begin(), slots.end(), [&](const Slot& o) { return o.k == other; });
    if (twin == slots.end() || twin->pair || s.pair || other == s.k) {
      std::fprintf(stderr, "sim_line: slot %d shares the address of slot %s, which is not a slot of its own\n", s.k,
                   s.arg.c_str());
      return 2;
    }
    pairs.push_back(std::make_unique<Pair>());
    pairs.back()->ports = "d" + std::to_string(s.k) + " d" + std::to_string(other);
    s.pair = twin->pair = pairs.back().get();
  }
  // The programs beside this one.
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 2;
  self[n] = '\0';
  const std::string bin = std::string(self).substr(0, std::string(self).rfind('/'));
  qvtest::run({"mkdir", "-p", work});
  g_events = std::fopen((work + "/events").c_str(), "w");
  if (!g_events) {
    std::fprintf(stderr, "sim_line: cannot write %s/events\n", work.c_str());
    return 2;
  }
  g_start = Clock::now();
  std::vector<std::thread> threads;
  for (Slot& s : slots) threads.emplace_back(run_slot, std::ref(s), line, work, bin, seconds, t);
  for (std::thread& th : threads) th.join();

  int arrivals = 0, connected = 0, twice = 0;
  std::vector<double> latencies;
  for (const Slot& s : slots) {
    std::printf("slot %d %s%s%s: %d arrivals, %d connected, %d flashes, serial %s, %s\n", s.k, s.what.c_str(),
                s.arg.empty() ? "" : " ", s.arg.c_str(), s.arrivals, s.connected, s.flashes,
                s.serial.empty() ? "-" : s.serial.c_str(), s.end.c_str());
    arrivals += s.arrivals;
    connected += s.connected;
    twice += s.flashes > 1;
    latencies.insert(latencies.end(), s.latencies.begin(), s.latencies.end());
  }
  std::printf("arrivals %d\nmissed %d\n", arrivals, arrivals - connected);
  std::printf("connect_seconds median %.3f worst %.3f\n", median(latencies),
              latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()));
  std::printf("flashed_twice %d\n", twice);
  std::printf("seconds %.1f\n", since_start());
  std::fclose(g_events);
  return 0;
}
