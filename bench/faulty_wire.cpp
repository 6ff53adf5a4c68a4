// faulty_wire: a user-space wire between two interfaces for the factory link
// (Ethernet type 0x3914) that loses, duplicates, reorders and corrupts frames
// at given rates, from a seed. It stands in for the network emulator that this
// machine's kernel lacks: the station's veth on one side, the device's bridge
// port on the other.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "link_protocol.h"

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

struct Side {
  std::string name;
  int sock = -1;
  int ifindex = 0;
};

struct Direction {
  const char* name;
  Side* from;
  Side* to;
  std::vector<uint8_t> held;
  long long held_until = 0;
  unsigned long frames = 0, lost = 0, duplicated = 0, reordered = 0, corrupted = 0;
};

int open_side(Side& s) {
  s.sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(qvlink::kEtherType));
  if (s.sock < 0) return -1;
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, s.name.c_str(), IFNAMSIZ - 1);
  if (ioctl(s.sock, SIOCGIFINDEX, &ifr) != 0) return -1;
  s.ifindex = ifr.ifr_ifindex;
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(qvlink::kEtherType);
  sll.sll_ifindex = s.ifindex;
  if (bind(s.sock, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) return -1;
  int buf = 1 << 20;
  setsockopt(s.sock, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
  return 0;
}

void put(const Side& to, const std::vector<uint8_t>& f) {
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(qvlink::kEtherType);
  sll.sll_ifindex = to.ifindex;
  sll.sll_halen = 6;
  std::memcpy(sll.sll_addr, f.data(), 6);
  if (sendto(to.sock, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&sll), sizeof sll) < 0)
    std::fprintf(stderr, "faulty_wire: send on %s: %s\n", to.name.c_str(), std::strerror(errno));
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
  Side a, b;
  double loss = 0, dup = 0, reorder = 0, corrupt = 0;
  unsigned long seed = 1;
  int hold_ms = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string o = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = v != nullptr;
    if (o == "-a" && ok) a.name = v;
    else if (o == "-b" && ok) b.name = v;
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
  if (a.name.empty() || b.name.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  for (Side* s : {&a, &b})
    if (open_side(*s) < 0) {
      std::fprintf(stderr, "faulty_wire: %s: %s\n", s->name.c_str(), std::strerror(errno));
      return 2;
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
