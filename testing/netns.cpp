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

// Runs one of the functions of scripts/link-netns.sh.
qvtest::RunResult link_netns(const std::string& function, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"bash", "-c", ". \"$0\" && \"$@\"", qvtest::source_dir() + "/scripts/link-netns.sh",
                                   function};
  argv.insert(argv.end(), args.begin(), args.end());
  return qvtest::run(argv);
}

}  // namespace

TestNet::TestNet(int mtu) {
  ns_ = "qvst" + std::to_string(getpid()) + "n" + std::to_string(g_count++);
  qvtest::RunResult r = link_netns("link_netns_up", {ns_, std::to_string(mtu)});
  ok_ = r.status == 0;
  if (!ok_) error_ = "link_netns_up " + ns_ + ": " + r.out + r.err;
}

TestNet::~TestNet() { qvtest::run({"ip", "netns", "delete", ns_}); }

std::vector<std::string> TestNet::in_ns(const std::vector<std::string>& argv) const { return netns_exec(ns_, argv); }

TestLine::TestLine(int devices, int mtu) : devices_(devices) {
  name_ = "qvline" + std::to_string(getpid()) + "n" + std::to_string(g_count++);
  qvtest::RunResult r = link_netns("line_netns_up", {name_, std::to_string(devices), std::to_string(mtu)});
  ok_ = r.status == 0;
  if (!ok_) error_ = "line_netns_up " + name_ + ": " + r.out + r.err;
}

TestLine::~TestLine() { link_netns("line_netns_down", {name_, std::to_string(devices_)}); }

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

bool packet_socket_bound(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  // A child that has not yet run its program holds the caller's sockets.
  char exe[4096], self[4096];
  const ssize_t n = readlink((proc + "/exe").c_str(), exe, sizeof exe);
  const ssize_t m = readlink("/proc/self/exe", self, sizeof self);
  if (n <= 0 || (n == m && std::memcmp(exe, self, static_cast<std::size_t>(n)) == 0)) return false;
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
  return false;
}

bool Background::wait_for_link_socket(int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 5) {
    if (!running()) return false;
    if (packet_socket_bound(pid_)) return true;
    usleep(5000);
  }
  return false;
}

}  // namespace qvnet
