// Test support: a network namespace of its own with a bridge "br0", one veth
// port in it and the veth's other end for the station, all removed at
// destruction; and programs started in the background inside it.
#ifndef QV_TOOLS_MFGSTATION_TESTS_NETNS_H
#define QV_TOOLS_MFGSTATION_TESTS_NETNS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace qvnet {

class TestNet {
 public:
  // Both veth ends and the bridge get this MTU.
  explicit TestNet(int mtu = 1522);
  ~TestNet();
  TestNet(const TestNet&) = delete;
  TestNet& operator=(const TestNet&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  const std::string& ns() const { return ns_; }
  const std::string& station_if() const { return station_if_; }
  const std::string& device_if() const { return device_if_; }
  // argv run inside the namespace.
  std::vector<std::string> in_ns(const std::vector<std::string>& argv) const;

 private:
  bool ip(const std::vector<std::string>& args);
  std::string ns_, station_if_, device_if_, error_;
  bool ok_ = false;
};

// A production line: the station's namespace with the segment's bridge and the
// station's interface "st0", and devices 1 to n, each a namespace of its own with
// its bridge "br0" at 02:00:00:00:01:KK (scripts/link-netns.sh makes them).
class TestLine {
 public:
  explicit TestLine(int devices, int mtu = 1500);
  ~TestLine();
  TestLine(const TestLine&) = delete;
  TestLine& operator=(const TestLine&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  int devices() const { return devices_; }
  // argv run in the station's namespace, or in device k's (1 to n).
  std::vector<std::string> in_station(const std::vector<std::string>& argv) const;
  std::vector<std::string> in_device(int k, const std::vector<std::string>& argv) const;
  static std::string device_mac(int k);

 private:
  std::vector<std::string> script(const std::string& function, const std::vector<std::string>& args) const;
  std::string name_, error_;
  int devices_;
  bool ok_ = false;
};

// A program running in the background with its output (both streams) in a file.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out_path);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  bool running();
  // Waits up to timeout_ms for the program to end: its exit status, or -1.
  int wait(int timeout_ms);
  // Ends it (SIGTERM, then SIGKILL) and returns its exit status or 128 + signal.
  int stop();
  // Waits up to timeout_ms until the program holds a packet socket bound to an
  // interface (as its /proc entries show): true once it does, false when it
  // ended or the time ran out.
  bool wait_for_link_socket(int timeout_ms = 10000);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace qvnet

#endif
