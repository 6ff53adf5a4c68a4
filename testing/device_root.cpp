#include "device_root.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace qvtest {

namespace {

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

std::vector<std::string> merged_env(const std::vector<std::string>& extra) {
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& x : extra)
      if (x.substr(0, x.find('=')) == name) replaced = true;
    if (!replaced) out.push_back(entry);
  }
  for (const auto& x : extra) out.push_back(x);
  return out;
}

}  // namespace

std::string bin_dir() { return env_or("QV_BIN_DIR", QV_DEFAULT_BIN_DIR); }
std::string source_dir() { return env_or("QV_SOURCE_DIR", QV_DEFAULT_SOURCE_DIR); }

RunResult run(const std::vector<std::string>& argv, const RunOptions& opts) {
  RunResult r;
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe");
  std::vector<std::string> env = merged_env(opts.env);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    setpgid(0, 0);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    environ = cenv.data();
    execvp(cargv[0], cargv.data());
    std::fprintf(stderr, "exec %s: %s\n", cargv[0], std::strerror(errno));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);

  size_t written = 0;
  int infd = in[1];
  fcntl(infd, F_SETFL, O_NONBLOCK);
  if (opts.input.empty()) {
    close(infd);
    infd = -1;
  }
  const long long deadline = now_ms() + opts.timeout_ms;
  bool open_out = true, open_err = true, killed = false;
  while (open_out || open_err) {
    pollfd fds[3];
    int n = 0;
    if (open_out) fds[n++] = {out[0], POLLIN, 0};
    if (open_err) fds[n++] = {err[0], POLLIN, 0};
    if (infd >= 0) fds[n++] = {infd, POLLOUT, 0};
    long long left = deadline - now_ms();
    if (left <= 0) {
      kill(-pid, SIGKILL);
      killed = true;
      break;
    }
    if (poll(fds, n, static_cast<int>(left)) < 0 && errno != EINTR) break;
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == infd) {
        ssize_t w = write(infd, opts.input.data() + written, opts.input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 || written == opts.input.size()) {
          close(infd);
          infd = -1;
        }
        continue;
      }
      char buf[65536];
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      bool is_out = fds[i].fd == out[0];
      if (got <= 0) {
        (is_out ? open_out : open_err) = false;
      } else {
        (is_out ? r.out : r.err).append(buf, static_cast<size_t>(got));
      }
    }
  }
  if (infd >= 0) close(infd);
  close(out[0]);
  close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (killed) r.err += "\n[killed after time-out]\n";
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
}

bool file_exists(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream s(text);
  while (std::getline(s, line)) lines.push_back(line);
  return lines;
}

std::string line_of(const std::string& text, std::size_t n) {
  const std::vector<std::string> lines = split_lines(text);
  if (n < lines.size()) return lines[n];
  return "[no line " + std::to_string(n + 1) + ": the text has " + std::to_string(lines.size()) + "]";
}

std::string last_line(const std::string& text) {
  const std::vector<std::string> lines = split_lines(text);
  return lines.empty() ? "[no line: the text is empty]" : lines.back();
}

DeviceRoot::DeviceRoot(const std::vector<std::string>& options) {
  // Under $TMPDIR when it is set: a device build's programs see the device's own
  // /tmp, so its roots must lie elsewhere.
  std::string tmpl = env_or("TMPDIR", "/tmp") + "/qv-device-XXXXXX";
  if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp");
  dir_ = tmpl;
  std::vector<std::string> argv{source_dir() + "/platform/make-device-root", dir_};
  argv.insert(argv.end(), options.begin(), options.end());
  RunResult r = qvtest::run(argv);
  if (r.status != 0) throw std::runtime_error("make-device-root failed: " + r.err);
}

DeviceRoot::~DeviceRoot() {
  if (daemon_pid_ > 0) {
    kill(daemon_pid_, SIGTERM);
    waitpid(daemon_pid_, nullptr, 0);
  }
  if (!std::getenv("QV_KEEP_DEVICE_ROOT")) qvtest::run({"rm", "-rf", dir_});
}

std::string DeviceRoot::partition(const std::string& name) const {
  for (const auto& line : split_lines(read("/proc/mtd"))) {
    int index = -1;
    char quoted[128] = {};
    if (std::sscanf(line.c_str(), "mtd%d: %*x %*x %127s", &index, quoted) == 2 &&
        std::string(quoted) == "\"" + name + "\"")
      return dir_ + "/dev/mtd" + std::to_string(index);
  }
  throw std::runtime_error("no partition " + name);
}

void DeviceRoot::poke(const std::string& partition_name, long offset, const std::string& bytes) const {
  std::fstream f(partition(partition_name), std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(offset);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string DeviceRoot::peek(const std::string& partition_name, long offset, long count) const {
  std::ifstream f(partition(partition_name), std::ios::binary);
  f.seekg(offset);
  std::string out(static_cast<size_t>(count), '\0');
  f.read(&out[0], count);
  out.resize(static_cast<size_t>(f.gcount()));
  return out;
}

bool DeviceRoot::device_build() { return env_or("QV_DEVICE_BUILD", "")[0] == '1'; }

std::string DeviceRoot::named(const std::string& device_path) const {
  return device_build() ? device_path : path(device_path);
}

std::vector<std::string> DeviceRoot::env() const {
  return {"QV_DEVICE_ROOT=" + dir_, "PATH=" + bin_dir() + ":" + env_or("PATH", "/usr/bin:/bin")};
}

RunResult DeviceRoot::run(const std::vector<std::string>& argv, RunOptions opts) const {
  std::vector<std::string> env = this->env();
  env.insert(env.end(), opts.env.begin(), opts.env.end());
  opts.env = env;
  return qvtest::run(argv, opts);
}

std::vector<std::string> DeviceRoot::platform_log() const { return split_lines(read("/var/log/platform.log")); }

void DeviceRoot::start_nvram_daemon() {
  std::string pidfile = path("/var/run/nvram_daemon.pid");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    setenv("QV_DEVICE_ROOT", dir_.c_str(), 1);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 1);
    std::string prog = bin_dir() + "/nvram_daemon";
    execl(prog.c_str(), "nvram_daemon", static_cast<char*>(nullptr));
    _exit(127);
  }
  daemon_pid_ = pid;
  for (int i = 0; i < 500 && !file_exists(pidfile); ++i) usleep(10000);
  if (!file_exists(pidfile)) throw std::runtime_error("nvram_daemon did not start");
}

}  // namespace qvtest
