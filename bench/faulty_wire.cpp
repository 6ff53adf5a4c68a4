// faulty_wire: a user-space wire between two interfaces for the factory link
// (Ethernet type 0x3914) that loses, duplicates, reorders and corrupts frames
// at given rates, from a seed. It stands in for the network emulator that this
// machine's kernel lacks: the station's veth on one side, the device's bridge
// port on the other.
#include <linux/if_packet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "link_protocol.h"
#include "station_link.h"

namespace {

const char kUsage[] =
    "Usage: faulty_wire -a IFACE -b IFACE [OPTION]...\n"
    "Carries frames of type 0x3914 between the two interfaces, both ways, and\n"
    "spoils them at the given rates (percent of the frames of each direction):\n"
    "  --loss P       drop the frame\n"
    "  --dup P        send the frame twice\n"
    "  --reorder P    hold the frame back until the next one of its direction has\n"
    "                 passed, or --hold-ms have gone by (default 5)\n"
    "  --corrupt P    change one payload byte (after the Ethernet header)\n"
    "  --seed N       seed of the fault choices (default 1)\n"
    "Runs until SIGTERM or SIGINT, then prints what it did per direction.\n";

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

using Side = station_link::Interface;

struct Direction {
  const char* name;
  Side* from;
  Side* to;
  std::vector<uint8_t> held;
  long long held_until = 0;
  unsigned long frames = 0, lost = 0, duplicated = 0, reordered = 0, corrupted = 0;
};

void put(const Side& to, const std::vector<uint8_t>& f) {
  std::string error;
  if (!station_link::send_frame(to, f, &error)) std::fprintf(stderr, "faulty_wire: %s\n", error.c_str());
}

bool parse_percent(const char* text, double* p) {
  char* end = nullptr;
  double v = text ? std::strtod(text, &end) : -1;
  if (!text || *end || v < 0 || v > 100) return false;
  *p = v / 100.0;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string a_name, b_name;
  double loss = 0, dup = 0, reorder = 0, corrupt = 0;
  unsigned long seed = 1;
  int hold_ms = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string o = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = v != nullptr;
    if (o == "-a" && ok) a_name = v;
    else if (o == "-b" && ok) b_name = v;
    else if (o == "--loss") ok = parse_percent(v, &loss);
    else if (o == "--dup") ok = parse_percent(v, &dup);
    else if (o == "--reorder") ok = parse_percent(v, &reorder);
    else if (o == "--corrupt") ok = parse_percent(v, &corrupt);
    else if (o == "--seed" && ok) seed = std::strtoul(v, nullptr, 10);
    else if (o == "--hold-ms" && ok) hold_ms = std::atoi(v);
    else ok = false;
    if (!ok) {
      std::fprintf(stderr, "faulty_wire: bad argument \"%s\"\n%s", o.c_str(), kUsage);
      return 2;
    }
    ++i;
  }
  if (a_name.empty() || b_name.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  Side a, b;
  for (auto [name, side] : {std::make_pair(&a_name, &a), std::make_pair(&b_name, &b)}) {
    std::string error;
    if (!station_link::open_interface(*name, *side, &error)) {
      std::fprintf(stderr, "faulty_wire: %s\n", error.c_str());
      return 2;
    }
    // Bursts of a whole transfer window must not overflow the socket.
    int rcvbuf = 1 << 20;
    setsockopt(side->sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  }
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);

  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  Direction dirs[2] = {{"a->b", &a, &b, {}, 0}, {"b->a", &b, &a, {}, 0}};
  uint8_t buf[65536];
  while (!g_stop) {
    long long now = now_ms();
    int wait = 1000;
    for (Direction& d : dirs) {
      if (d.held.empty()) continue;
      if (d.held_until <= now) {
        put(*d.to, d.held);
        d.held.clear();
      } else if (d.held_until - now < wait) {
        wait = static_cast<int>(d.held_until - now);
      }
    }
    pollfd pfd[2] = {{a.sock, POLLIN, 0}, {b.sock, POLLIN, 0}};
    int r = poll(pfd, 2, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::perror("faulty_wire: poll");
      return 1;
    }
    for (int k = 0; k < 2; ++k) {
      if (!(pfd[k].revents & POLLIN)) continue;
      Direction& d = dirs[k];
      sockaddr_ll from{};
      socklen_t fromlen = sizeof from;
      ssize_t n = recvfrom(d.from->sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
      if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING) continue;  // our own sends
      std::vector<uint8_t> f(buf, buf + n);
      ++d.frames;
      // Every choice draws from the generator, so a seed gives the same faults
      // for the same sequence of frames.
      const bool lose = chance(rng) < loss;
      const bool twice = chance(rng) < dup;
      const bool hold = chance(rng) < reorder;
      const bool spoil = chance(rng) < corrupt;
      const std::size_t at = qvlink::kEthHeaderLength + rng() % (f.size() > qvlink::kEthHeaderLength ? f.size() - qvlink::kEthHeaderLength : 1);
      const uint8_t flip = static_cast<uint8_t>(1 + rng() % 255);
      if (lose) {
        ++d.lost;
        continue;
      }
      if (spoil && f.size() > qvlink::kEthHeaderLength) {
        f[at] ^= flip;
        ++d.corrupted;
      }
      if (hold && d.held.empty()) {
        ++d.reordered;
        d.held = f;
        d.held_until = now_ms() + hold_ms;
        if (twice) ++d.duplicated, put(*d.to, f);
        continue;
      }
      put(*d.to, f);
      if (twice) ++d.duplicated, put(*d.to, f);
      // A held frame goes out behind the one that overtook it.
      if (!d.held.empty()) {
        put(*d.to, d.held);
        d.held.clear();
      }
    }
  }
  for (const Direction& d : dirs)
    std::printf("faulty_wire %s: %lu frames, %lu lost, %lu duplicated, %lu reordered, %lu corrupted\n", d.name,
                d.frames, d.lost, d.duplicated, d.reordered, d.corrupted);
  return 0;
}
