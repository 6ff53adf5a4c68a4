// The end-to-end tests' network namespaces, made by scripts/link-netns.sh as
// the demonstrations and benchmarks make theirs: one device's link (a bridge
// "br0" with the veth port "p0", whose other end "st0" is the station's), a
// production line of several devices; and programs started in the background
// inside them, ready once they hold their packet socket.
#ifndef QV_TESTING_NETNS_H
#define QV_TESTING_NETNS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace qvnet {

class TestNet {
 public:
  // Both veth ends and the bridge get this MTU; the bridge has the address
  // 02:00:00:00:00:01. Returns once every link is up.
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
  std::string ns_, station_if_ = "st0", device_if_ = "p0", error_;
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
  // The namespaces' common name: NAME-st, NAME-d1, ... (line_netns_up NAME).
  const std::string& name() const { return name_; }
  // argv run in the station's namespace, or in device k's (1 to n).
  std::vector<std::string> in_station(const std::vector<std::string>& argv) const;
  std::vector<std::string> in_device(int k, const std::vector<std::string>& argv) const;
  static std::string device_mac(int k);

 private:
  std::string name_, error_;
  int devices_;
  bool ok_ = false;
};

// Does process pid, once it runs a program of its own, hold a packet socket
// bound to an interface (as its /proc entries show)? A frame that reaches the
// interface from then on waits for it.
bool packet_socket_bound(pid_t pid);

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
  // interface (packet_socket_bound): true once it does, false when it ended or
  // the time ran out.
  bool wait_for_link_socket(int timeout_ms = 10000);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace qvnet

#endif
