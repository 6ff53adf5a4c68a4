// baseline_responder: the least a device can do for a firmware transfer, as the
// yardstick of the transfer benchmark. On the same kind of socket as the service
// (raw packet socket on the interface, every type received) it answers each
// request at once with a reply of the size the service gives (status 0 and the
// command code; two phase replies to the upgrade) and does nothing else: no
// select, no CRC-32, no file, no output. Ends on the quit command.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "link_protocol.h"

using namespace qvlink;

namespace {

struct Responder {
  int sock = -1;
  int ifindex = 0;
  uint8_t mac[6] = {};
  uint8_t sequence = 0;
  uint8_t tx[kEthHeaderLength + kPayloadHeaderLength + 3] = {};
};

int open_responder(Responder& r, const char* ifname) {
  r.sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  if (r.sock < 0) return -1;
  ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  std::strncpy(ifr.ifr_name, ifname, sizeof ifr.ifr_name - 1);
  if (ioctl(r.sock, SIOCGIFINDEX, &ifr) != 0) return -1;
  r.ifindex = ifr.ifr_ifindex;
  sockaddr_ll local;
  std::memset(&local, 0, sizeof local);
  local.sll_family = AF_PACKET;
  local.sll_ifindex = r.ifindex;
  if (bind(r.sock, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) return -1;
  if (ioctl(r.sock, SIOCGIFHWADDR, &ifr) != 0) return -1;
  std::memcpy(r.mac, ifr.ifr_hwaddr.sa_data, 6);
  return 0;
}

void answer(Responder& r, const uint8_t* to, const uint8_t* data, uint16_t count) {
  uint8_t* f = r.tx;
  std::memcpy(f + kEthDest, to, 6);
  std::memcpy(f + kEthSource, r.mac, 6);
  put_be16(f + kEthType, kEtherType);
  const std::size_t payload = encode_payload(f + kEthHeaderLength, ++r.sequence, 0, data, count);

  sockaddr_ll dest;
  std::memset(&dest, 0, sizeof dest);
  dest.sll_family = AF_PACKET;
  dest.sll_protocol = htons(kEtherType);
  dest.sll_ifindex = r.ifindex;
  dest.sll_halen = 6;
  std::memcpy(dest.sll_addr, to, 6);
  sendto(r.sock, f, kEthHeaderLength + payload, 0, reinterpret_cast<sockaddr*>(&dest),
         sizeof dest);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[1], "-i") != 0) {
    std::fputs("Usage: baseline_responder -i IFACE\n", stderr);
    return 2;
  }
  Responder r;
  if (open_responder(r, argv[2]) < 0) {
    perror("baseline_responder");
    return 1;
  }
  uint8_t frame[kFrameMax];
  for (;;) {
    ssize_t n = recv(r.sock, frame, sizeof frame, 0);
    if (n < static_cast<ssize_t>(kEthHeaderLength + kPayloadHeaderLength)) continue;
    if (get_be16(frame + kEthType) != kEtherType || std::memcmp(frame + kEthSource, r.mac, 6) == 0) continue;
    const uint8_t code = frame[kEthHeaderLength + kCode];
    const uint8_t* from = frame + kEthSource;
    if (code == command_byte(Command::UpgradeNormalCode)) {
      const uint8_t ok = status_byte(Status::Ok);
      const uint8_t starts[] = {ok, code, static_cast<uint8_t>(UpgradePhase::Starts)};
      const uint8_t ended[] = {ok, code, static_cast<uint8_t>(UpgradePhase::Ended)};
      answer(r, from, starts, sizeof starts);
      answer(r, from, ended, sizeof ended);
      continue;
    }
    // The checksum request is answered with the chunk command's code, as the service does.
    const uint8_t data[] = {status_byte(Status::Ok), code == command_byte(Command::FirmwareChecksum)
                                                         ? command_byte(Command::FirmwareChunk)
                                                         : code};
    answer(r, from, data, sizeof data);
    if (code == command_byte(Command::Quit)) break;
  }
  close(r.sock);
  return 0;
}
