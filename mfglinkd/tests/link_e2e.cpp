#include "link_e2e.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

namespace e2e {

const station_link::Mac kBridgeMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

namespace {

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Runs fn with the calling thread inside the namespace, then back in its own.
template <typename Fn>
bool in_namespace(const std::string& name, Fn fn) {
  int own = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  int ns = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = own >= 0 && ns >= 0 && setns(ns, CLONE_NEWNET) == 0;
  if (ok) {
    fn();
    if (setns(own, CLONE_NEWNET) != 0) std::abort();  // never stay in the test namespace
  }
  if (own >= 0) close(own);
  if (ns >= 0) close(ns);
  return ok;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

LinkNet::LinkNet(int mtu) : net_(mtu) {
  if (!net_.ok()) std::fprintf(stderr, "%s\n", net_.error().c_str());
}

LinkNet::~LinkNet() = default;

qvtest::RunResult LinkNet::run(const std::vector<std::string>& argv, const qvtest::RunOptions& opts) const {
  return qvtest::run(net_.in_ns(argv), opts);
}

bool LinkNet::open_station(station_link::Interface& ifc, std::string* error) const {
  bool opened = false;
  bool entered = in_namespace(name(), [&] { opened = station_link::open_interface("st0", ifc, error); });
  if (!entered && error) *error = "cannot enter namespace " + name();
  return entered && opened;
}

Service::Service(const LinkNet& net, const qvtest::DeviceRoot& root, const ServiceOptions& opts) {
  out_path_ = root.dir() + "/mfglinkd.out";
  err_path_ = root.dir() + "/mfglinkd.err";
  std::string program = qvtest::bin_dir() + "/mfglinkd_fg";
  std::string env_root = "QV_DEVICE_ROOT=" + root.dir();
  const char* old_path = std::getenv("PATH");
  std::string env_path = "PATH=" + qvtest::bin_dir() + ":" + (old_path ? old_path : "/usr/bin:/bin");
  std::string ns_path = "/var/run/netns/" + net.name();
  pid_t pid = fork();
  if (pid == 0) {
    int ns = open(ns_path.c_str(), O_RDONLY);
    if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) _exit(126);
    int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    int pipe_ends[2];
    if (opts.output_gone) {
      if (pipe(pipe_ends) != 0) _exit(126);
      close(pipe_ends[0]);
      dup2(pipe_ends[1], 1);
      close(pipe_ends[1]);
    }
    signal(SIGPIPE, SIG_DFL);  // as a starter on the device leaves it
    if (opts.file_size_limit >= 0) {
      signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG, as on a full /tmp
      rlimit r{static_cast<rlim_t>(opts.file_size_limit), static_cast<rlim_t>(opts.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &r);
    }
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    char* envp[] = {const_cast<char*>(env_root.c_str()), const_cast<char*>(env_path.c_str()), nullptr};
    execve(program.c_str(), argv, envp);
    _exit(127);
  }
  pid_ = pid;
  long long deadline = now_ms() + 5000;
  while (pid_ > 0 && !qvnet::packet_socket_bound(pid_) && now_ms() < deadline) {
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      pid_ = -1;
      return;
    }
    usleep(5000);
  }
}

Service::~Service() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

int Service::wait(int timeout_ms) {
  if (pid_ <= 0) return status_;
  long long deadline = now_ms() + timeout_ms;
  for (;;) {
    int st;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      pid_ = -1;
      return status_;
    }
    if (now_ms() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    usleep(10000);
  }
}

std::string Service::out() const { return slurp(out_path_); }
std::string Service::err() const { return slurp(err_path_); }

Station::Station(const LinkNet& net) {
  std::string error;
  if (!net.open_station(ifc_, &error)) {
    std::fprintf(stderr, "station: %s\n", error.c_str());
    return;
  }
  int on = 1;
  setsockopt(ifc_.sock, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

Station::~Station() { station_link::close_interface(ifc_); }

station_link::RequestSpec Station::spec(uint8_t command, Bytes params) const {
  station_link::RequestSpec s;
  s.command = command;
  s.params = std::move(params);
  return s;
}

std::vector<station_link::Reply> Station::exchange(const station_link::RequestSpec& spec, std::size_t replies,
                                                   int timeout_ms) {
  std::vector<station_link::Reply> got;
  std::string error;
  // Replies to other stations' requests on this link are no answer to this one.
  station_link::drain(ifc_);
  if (!station_link::send_frame(ifc_, station_link::build_request(spec, ifc_.mac), &error)) {
    std::fprintf(stderr, "station: %s\n", error.c_str());
    return got;
  }
  while (got.size() < replies) {
    Bytes f;
    if (!station_link::receive_frame(ifc_, f, timeout_ms, &error) || f.empty()) break;
    timespec ts{};
    if (ioctl(ifc_.sock, SIOCGSTAMPNS, &ts) == 0) last_ns_ = ts.tv_sec * 1000000000LL + ts.tv_nsec;
    station_link::Reply r;
    if (station_link::parse_reply(f, r)) got.push_back(r);
  }
  return got;
}

std::string Station::ask(const station_link::RequestSpec& spec, int timeout_ms) {
  auto got = exchange(spec, 1, timeout_ms);
  return got.empty() ? "" : station_link::hex(got[0].data);
}

Bytes be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes random_bytes(std::size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

long long mtime_ns(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
}

}  // namespace e2e
