// End-to-end support: the tests' network namespace (testing/netns.h) holding
// the bridge "br0" with one veth port, whose other end "st0" is the station's;
// the real service in the foreground inside it on a simulated device root; and
// the station's socket on "st0".
#ifndef QV_MFGLINKD_TESTS_LINK_E2E_H
#define QV_MFGLINKD_TESTS_LINK_E2E_H

#include <sys/types.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device_root.h"
#include "netns.h"
#include "station_link.h"

namespace e2e {

using Bytes = std::vector<uint8_t>;

// The bridge's address, set so that replies can be checked byte for byte.
extern const station_link::Mac kBridgeMac;

class LinkNet {
 public:
  // mtu: of the veth ends and the bridge (1500 by default on veth).
  explicit LinkNet(int mtu = 1500);
  ~LinkNet();
  LinkNet(const LinkNet&) = delete;
  LinkNet& operator=(const LinkNet&) = delete;

  const std::string& name() const { return net_.ns(); }
  bool ok() const { return net_.ok(); }
  // Runs argv inside the namespace (through "ip netns exec").
  qvtest::RunResult run(const std::vector<std::string>& argv, const qvtest::RunOptions& opts = {}) const;
  // Opens a station socket on "st0" inside the namespace.
  bool open_station(station_link::Interface& ifc, std::string* error) const;

 private:
  qvnet::TestNet net_;
};

struct ServiceOptions {
  long file_size_limit = -1;  // RLIMIT_FSIZE of the service (SIGXFSZ ignored), -1: none
  bool output_gone = false;   // standard output: a pipe whose reader has gone
};

// mfglinkd_fg running inside the namespace on the device root.
class Service {
 public:
  Service(const LinkNet& net, const qvtest::DeviceRoot& root, const ServiceOptions& opts = {});
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  bool started() const { return pid_ > 0; }
  // Waits for the service to end: its exit status, or -1 after timeout_ms
  // (the service is then killed).
  int wait(int timeout_ms);
  // Standard output and error so far (complete once the service has ended).
  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_path_, err_path_;
};

// The station: requests on "st0", replies parsed.
class Station {
 public:
  explicit Station(const LinkNet& net);
  ~Station();
  bool ok() const { return ifc_.sock >= 0; }
  const station_link::Interface& ifc() const { return ifc_; }

  station_link::RequestSpec spec(uint8_t command, Bytes params = {}) const;
  // Sends a request and collects `replies` replies (each within timeout_ms);
  // fewer when they do not come.
  std::vector<station_link::Reply> exchange(const station_link::RequestSpec& spec, std::size_t replies = 1,
                                            int timeout_ms = 3000);
  // One reply's data bytes as hex ("" when no reply came).
  std::string ask(const station_link::RequestSpec& spec, int timeout_ms = 3000);
  // Kernel receive time of the last reply, in nanoseconds of the real-time clock.
  long long last_receive_ns() const { return last_ns_; }

 private:
  station_link::Interface ifc_;
  long long last_ns_ = 0;
};

Bytes be32(uint32_t v);
Bytes text(const std::string& s);
// Random bytes from a fixed seed.
Bytes random_bytes(std::size_t n, uint32_t seed);
// Modification time of a file in nanoseconds, 0 when absent.
long long mtime_ns(const std::string& path);

// A test that runs the service: the namespace, the device root, the station and
// the service, made by Start and taken down in reverse order.
class ServiceTest : public ::testing::Test {
 protected:
  void Start(int mtu = 1500, const ServiceOptions& opts = {}) {
    net_ = std::make_unique<LinkNet>(mtu);
    ASSERT_TRUE(net_->ok());
    root_ = std::make_unique<qvtest::DeviceRoot>();
    station_ = std::make_unique<Station>(*net_);
    ASSERT_TRUE(station_->ok());
    service_ = std::make_unique<Service>(*net_, *root_, opts);
    ASSERT_TRUE(service_->started()) << service_->err();
  }

  void TearDown() override {
    service_.reset();
    station_.reset();
    root_.reset();
    net_.reset();
  }

  std::unique_ptr<LinkNet> net_;
  std::unique_ptr<qvtest::DeviceRoot> root_;
  std::unique_ptr<Station> station_;
  std::unique_ptr<Service> service_;
};

}  // namespace e2e

#endif
