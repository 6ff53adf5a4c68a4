#include "netns.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "device_root.h"

namespace qvnet {

namespace {
std::atomic<int> g_count{0};

std::vector<std::string> netns_exec(const std::string& ns, const std::vector<std::string>& argv) {
  std::vector<std::string> full = {"ip", "netns", "exec", ns};
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}
}  // namespace

bool TestNet::ip(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"ip", "-n", ns_};
  argv.insert(argv.end(), args.begin(), args.end());
  qvtest::RunResult r = qvtest::run(argv);
  if (r.status != 0) {
    error_ = "ip";
    for (const auto& a : argv) error_ += " " + a;
    error_ += ": " + r.err;
    return false;
  }
  return true;
}

TestNet::TestNet(int mtu) {
  const std::string id = std::to_string(getpid()) + "n" + std::to_string(g_count++);
  ns_ = "qvst" + id;
  station_if_ = "qvs" + id;
  device_if_ = "qvd" + id;
  qvtest::RunResult r = qvtest::run({"ip", "netns", "add", ns_});
  if (r.status != 0) {
    error_ = "ip netns add " + ns_ + ": " + r.err;
    ns_.clear();
    return;
  }
  const std::string m = std::to_string(mtu);
  ok_ = ip({"link", "add", "br0", "type", "bridge"}) &&
        ip({"link", "add", device_if_, "type", "veth", "peer", "name", station_if_}) &&
        ip({"link", "set", device_if_, "mtu", m}) && ip({"link", "set", station_if_, "mtu", m}) &&
        ip({"link", "set", device_if_, "master", "br0"}) && ip({"link", "set", "br0", "mtu", m}) &&
        ip({"link", "set", "lo", "up"}) && ip({"link", "set", device_if_, "up"}) &&
        ip({"link", "set", station_if_, "up"}) && ip({"link", "set", "br0", "up"});
  // Keep the link quiet: no IPv6 neighbour or router traffic.
  qvtest::run(in_ns({"sysctl", "-q", "-w", "net.ipv6.conf.all.disable_ipv6=1"}));
}

TestNet::~TestNet() {
  if (!ns_.empty()) qvtest::run({"ip", "netns", "delete", ns_});
}

std::vector<std::string> TestNet::in_ns(const std::vector<std::string>& argv) const { return netns_exec(ns_, argv); }

TestLine::TestLine(int devices, int mtu) : devices_(devices) {
  name_ = "qvline" + std::to_string(getpid()) + "n" + std::to_string(g_count++);
  qvtest::RunResult r = qvtest::run(script("line_netns_up", {std::to_string(devices), std::to_string(mtu)}));
  ok_ = r.status == 0;
  if (!ok_) error_ = "line_netns_up " + name_ + ": " + r.out + r.err;
}

TestLine::~TestLine() { qvtest::run(script("line_netns_down", {std::to_string(devices_)})); }

std::vector<std::string> TestLine::script(const std::string& function, const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"bash", "-c", ". \"$0\" && \"$@\"",
                                   qvtest::source_dir() + "/scripts/link-netns.sh", function, name_};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::vector<std::string> TestLine::in_station(const std::vector<std::string>& argv) const {
  return netns_exec(name_ + "-st", argv);
}

std::vector<std::string> TestLine::in_device(int k, const std::vector<std::string>& argv) const {
  return netns_exec(name_ + "-d" + std::to_string(k), argv);
}

std::string TestLine::device_mac(int k) {
  char b[18];
  std::snprintf(b, sizeof b, "02:00:00:00:01:%02x", k);
  return b;
}

Background::Background(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::string& out_path) {
  pid_ = fork();
  if (pid_ != 0) return;
  int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
  }
  int null = open("/dev/null", O_RDONLY);
  if (null >= 0) dup2(null, 0);
  setpgid(0, 0);
  for (const auto& e : env) putenv(strdup(e.c_str()));
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

Background::~Background() { stop(); }

bool Background::running() { return wait(0) == -1 && pid_ > 0; }

int Background::wait(int timeout_ms) {
  if (pid_ <= 0) return status_;
  for (int waited = 0;; waited += 10) {
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      pid_ = -1;
      return status_;
    }
    if (waited >= timeout_ms) return -1;
    usleep(10000);
  }
}

int Background::stop() {
  if (pid_ <= 0) return status_;
  kill(-pid_, SIGTERM);
  if (wait(2000) == -1) {
    kill(-pid_, SIGKILL);
    wait(5000);
  }
  return status_;
}

bool Background::wait_for_link_socket(int timeout_ms) {
  const std::string proc = "/proc/" + std::to_string(pid_);
  for (int waited = 0; waited <= timeout_ms; waited += 5) {
    if (!running()) return false;
    // The program's own sockets by inode, then the namespace's packet sockets:
    // "sk RefCnt Type Proto Iface R Rmem User Inode", Iface 0 until bound.
    std::set<unsigned long> own;
    if (DIR* d = opendir((proc + "/fd").c_str())) {
      while (dirent* e = readdir(d)) {
        char target[64];
        ssize_t n = readlink((proc + "/fd/" + e->d_name).c_str(), target, sizeof target - 1);
        unsigned long inode = 0;
        if (n > 0 && (target[n] = '\0', std::sscanf(target, "socket:[%lu]", &inode) == 1)) own.insert(inode);
      }
      closedir(d);
    }
    std::istringstream table(qvtest::read_file(proc + "/net/packet"));
    std::string row;
    std::getline(table, row);
    while (std::getline(table, row)) {
      char sk[32];
      unsigned refs, type, proto, iface, running_flag, rmem, user;
      unsigned long inode;
      if (std::sscanf(row.c_str(), "%31s %u %u %x %u %u %u %u %lu", sk, &refs, &type, &proto, &iface, &running_flag,
                      &rmem, &user, &inode) == 9 &&
          iface != 0 && own.count(inode))
        return true;
    }
    usleep(5000);
  }
  return false;
}

}  // namespace qvnet
