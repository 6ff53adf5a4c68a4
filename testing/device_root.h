// Test support: a simulated device root made by platform/make-device-root, and
// running real programs on it with their output captured.
#ifndef QV_TESTING_DEVICE_ROOT_H
#define QV_TESTING_DEVICE_ROOT_H

#include <cstddef>
#include <string>
#include <vector>

namespace qvtest {

// Folder of the built programs and stand-ins (QV_BIN_DIR), and of the sources.
std::string bin_dir();
std::string source_dir();

struct RunResult {
  int status = -1;  // exit status; 128 + signal number when killed by a signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::vector<std::string> env;  // NAME=VALUE entries added to (or replacing) the environment
  std::string input;             // standard input
  int timeout_ms = 60000;        // the child is killed after this
  std::string cwd;
};

// Runs argv[0] (a name found on PATH, or a path) and waits for it.
RunResult run(const std::vector<std::string>& argv, const RunOptions& opts = {});

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);
// Line n (from 0) of a text, or a note that the text has no such line, so that a
// test compares against a short output without reading past its end.
std::string line_of(const std::string& text, std::size_t n);
// The last line, or a note that the text has none.
std::string last_line(const std::string& text);

class DeviceRoot {
 public:
  // Extra make-device-root options, e.g. {"--kernel-size", "8388608"}.
  explicit DeviceRoot(const std::vector<std::string>& options = {});
  ~DeviceRoot();
  DeviceRoot(const DeviceRoot&) = delete;
  DeviceRoot& operator=(const DeviceRoot&) = delete;

  const std::string& dir() const { return dir_; }
  // The host path of a device path: path("/etc/TZ") is DIR/etc/TZ.
  std::string path(const std::string& device_path) const { return dir_ + device_path; }
  // The name that the programs under test give a device path in their messages
  // and commands: the host path in host builds, the path itself when the tests
  // check a device build's programs (QV_DEVICE_BUILD=1), which do not resolve it.
  std::string named(const std::string& device_path) const;
  // True when the tests check a device build's programs, which run under qemu in
  // a view of the root without the host's /proc and without preloaded host shims.
  static bool device_build();
  // The image file of a partition by name ("Factory"), from DIR/proc/mtd.
  std::string partition(const std::string& name) const;

  std::string read(const std::string& device_path) const { return read_file(path(device_path)); }
  void write(const std::string& device_path, const std::string& data) const { write_file(path(device_path), data); }
  // Writes bytes into a partition image at offset, leaving the rest as it was.
  void poke(const std::string& partition_name, long offset, const std::string& bytes) const;
  std::string peek(const std::string& partition_name, long offset, long count) const;

  // The environment entries that point programs at this root.
  std::vector<std::string> env() const;
  // Runs a program with this root's environment (plus opts.env).
  RunResult run(const std::vector<std::string>& argv, RunOptions opts = {}) const;

  // Lines of DIR/var/log/platform.log.
  std::vector<std::string> platform_log() const;

  // Starts nvram_daemon in the background (stopped by the destructor).
  void start_nvram_daemon();

 private:
  std::string dir_;
  int daemon_pid_ = -1;
};

}  // namespace qvtest

#endif
