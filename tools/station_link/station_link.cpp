#include "station_link.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "link_protocol.h"

namespace station_link {

namespace {

void set_error(std::string* error, const std::string& what, int err) {
  if (error) *error = what + ": " + std::strerror(err);
}

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

constexpr std::size_t kHeaderLength = qvlink::kEthHeaderLength + qvlink::kPayloadHeaderLength;

// A socket filter that passes frames whose source address is mac: source bytes
// 2 to 5 as one word, then bytes 0 and 1.
bool attach_source_filter(int sock, const Mac& mac) {
  const uint32_t low = static_cast<uint32_t>(mac[2]) << 24 | static_cast<uint32_t>(mac[3]) << 16 |
                       static_cast<uint32_t>(mac[4]) << 8 | mac[5];
  const uint32_t high = static_cast<uint32_t>(mac[0]) << 8 | mac[1];
  sock_filter code[] = {
      {BPF_LD | BPF_W | BPF_ABS, 0, 0, qvlink::kEthSource + 2},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 3, low},
      {BPF_LD | BPF_H | BPF_ABS, 0, 0, qvlink::kEthSource},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, high},
      {BPF_RET | BPF_K, 0, 0, 0xFFFFFFFF},
      {BPF_RET | BPF_K, 0, 0, 0},
  };
  sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

}  // namespace

bool pass_connect_answers_only(const Interface& ifc, std::string* error) {
  constexpr uint32_t kCode = qvlink::kEthHeaderLength + qvlink::kCode, kData = qvlink::kEthHeaderLength + qvlink::kParams;
  sock_filter code[] = {
      {BPF_LD | BPF_B | BPF_ABS, 0, 0, kCode},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 3, 0},
      {BPF_LD | BPF_H | BPF_ABS, 0, 0, kData},
      {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, qvlink::command_byte(qvlink::Command::CreateConnection)},
      {BPF_RET | BPF_K, 0, 0, 0xFFFFFFFF},
      {BPF_RET | BPF_K, 0, 0, 0},
  };
  sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  if (setsockopt(ifc.sock, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0) return true;
  set_error(error, "connect filter on " + ifc.name, errno);
  return false;
}

bool open_interface(const std::string& ifname, Interface& ifc, std::string* error, const Mac* only_from) {
  close_interface(ifc);
  if (ifname.empty() || ifname.size() >= IFNAMSIZ) {
    if (error) *error = "bad interface name \"" + ifname + "\"";
    return false;
  }
  // Protocol 0: the socket receives nothing until it is bound to the interface
  // and the type, so no frame of another interface slips in between.
  int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    set_error(error, "socket(AF_PACKET)", errno);
    return false;
  }
  ifreq ifr{};
  std::memcpy(ifr.ifr_name, ifname.c_str(), ifname.size());
  if (ioctl(sock, SIOCGIFINDEX, &ifr) != 0) {
    set_error(error, "interface " + ifname, errno);
    close(sock);
    return false;
  }
  int index = ifr.ifr_ifindex;
  if (ioctl(sock, SIOCGIFHWADDR, &ifr) != 0) {
    set_error(error, "hardware address of " + ifname, errno);
    close(sock);
    return false;
  }
  Mac mac{};
  std::memcpy(mac.data(), ifr.ifr_hwaddr.sa_data, 6);
  if (ioctl(sock, SIOCGIFMTU, &ifr) != 0) {
    set_error(error, "MTU of " + ifname, errno);
    close(sock);
    return false;
  }
  int mtu = ifr.ifr_mtu;
  if (only_from && !attach_source_filter(sock, *only_from)) {
    set_error(error, "source filter on " + ifname, errno);
    close(sock);
    return false;
  }
  sockaddr_ll sll{};
  sll.sll_family = AF_PACKET;
  sll.sll_protocol = htons(qvlink::kEtherType);
  sll.sll_ifindex = index;
  if (bind(sock, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) {
    set_error(error, "bind to " + ifname, errno);
    close(sock);
    return false;
  }
  // Room for a whole transfer's worth of replies while the caller is busy.
  int rcvbuf = 1 << 20;
  setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  ifc.sock = sock;
  ifc.ifindex = index;
  ifc.mac = mac;
  ifc.mtu = mtu;
  ifc.name = ifname;
  return true;
}

void close_interface(Interface& ifc) {
  if (ifc.sock >= 0) close(ifc.sock);
  ifc.sock = -1;
}

uint16_t payload_checksum(uint16_t length_field, uint8_t code, const uint8_t* data, std::size_t count) {
  std::vector<uint8_t> payload(qvlink::kPayloadHeaderLength + count);
  qvlink::put_be16(&payload[qvlink::kLength], length_field);
  payload[qvlink::kCode] = code;
  if (count) std::memcpy(&payload[qvlink::kParams], data, count);
  return qvlink::payload_chksum(payload.data(), count);
}

std::vector<uint8_t> build_request(const RequestSpec& spec, const Mac& own_mac) {
  std::vector<uint8_t> f(kHeaderLength + spec.params.size(), 0);
  std::memcpy(&f[qvlink::kEthDest], spec.dest.data(), 6);
  std::memcpy(&f[qvlink::kEthSource], spec.use_source ? spec.source.data() : own_mac.data(), 6);
  qvlink::put_be16(&f[qvlink::kEthType], qvlink::kEtherType);
  uint8_t* p = &f[qvlink::kEthHeaderLength];
  const bool well_formed = spec.protocol == 0 && spec.reserved == 0 && spec.length_field < 0 && spec.checksum < 0 &&
                           !spec.wrong_checksum && spec.frame_length < 0 && spec.params.size() <= qvlink::kDataMax;
  if (well_formed) {
    qvlink::encode_payload(p, spec.sequence, spec.command, spec.params.data(), spec.params.size());
    if (f.size() < spec.min_frame) f.resize(spec.min_frame, 0);
    return f;
  }

  // Every field as the caller chose it; oversized requests too: every
  // parameter byte goes into the frame.
  const uint16_t length_field = spec.length_field >= 0 ? static_cast<uint16_t>(spec.length_field)
                                                       : static_cast<uint16_t>(spec.params.size() + 1);
  p[qvlink::kProtocol] = spec.protocol;
  p[1] = spec.reserved;
  p[qvlink::kSequence] = spec.sequence;
  qvlink::put_be16(p + qvlink::kLength, length_field);
  p[qvlink::kCode] = spec.command;
  if (!spec.params.empty()) std::memcpy(p + qvlink::kParams, spec.params.data(), spec.params.size());
  std::size_t final_size = f.size();
  if (spec.frame_length >= 0)
    final_size = static_cast<std::size_t>(spec.frame_length);
  else if (final_size < spec.min_frame)
    final_size = spec.min_frame;
  f.resize(std::max(final_size, f.size()), 0);
  p = &f[qvlink::kEthHeaderLength];

  // The device checksums as many parameter bytes as the length field claims; the
  // right checksum is the one over those bytes as the frame will carry them
  // (zero padding included), as far as the frame holds them.
  uint16_t sum;
  if (spec.checksum >= 0) {
    sum = static_cast<uint16_t>(spec.checksum);
  } else {
    const std::size_t n = length_field ? length_field - 1u : 0u;
    const std::size_t held = final_size > kHeaderLength ? final_size - kHeaderLength : 0;
    sum = qvlink::payload_chksum(p, std::min(n, held));
    if (spec.wrong_checksum) sum = static_cast<uint16_t>(~sum);
  }
  qvlink::put_be16(p + qvlink::kChecksum, sum);
  f.resize(final_size);
  return f;
}

bool send_frame(const Interface& ifc, const std::vector<uint8_t>& frame, std::string* error) {
  if (frame.size() < qvlink::kEthHeaderLength) {
    if (error) *error = "frame shorter than its Ethernet header";
    return false;
  }
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_protocol = htons(qvlink::kEtherType);
  to.sll_ifindex = ifc.ifindex;
  to.sll_halen = 6;
  std::memcpy(to.sll_addr, frame.data(), 6);
  ssize_t n = sendto(ifc.sock, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  if (n < 0) {
    set_error(error, "send on " + ifc.name, errno);
    return false;
  }
  if (static_cast<std::size_t>(n) != frame.size()) {
    if (error) *error = "send on " + ifc.name + ": frame cut short";
    return false;
  }
  return true;
}

bool receive_frame(const Interface& ifc, std::vector<uint8_t>& frame, int timeout_ms, std::string* error) {
  long long deadline = now_ms() + (timeout_ms < 0 ? 0 : timeout_ms);
  uint8_t buf[65536];
  for (;;) {
    long long left = deadline - now_ms();
    if (left < 0) left = 0;
    pollfd pfd{ifc.sock, POLLIN, 0};
    int r = poll(&pfd, 1, static_cast<int>(left));
    if (r < 0) {
      if (errno == EINTR) continue;
      set_error(error, "poll", errno);
      return false;
    }
    if (r == 0) {
      frame.clear();
      return true;
    }
    sockaddr_ll from{};
    socklen_t fromlen = sizeof from;
    ssize_t n = recvfrom(ifc.sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromlen);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      set_error(error, "receive on " + ifc.name, errno);
      return false;
    }
    if (from.sll_pkttype == PACKET_OUTGOING) continue;
    if (n < static_cast<ssize_t>(qvlink::kEthHeaderLength) || qvlink::get_be16(buf + qvlink::kEthType) != qvlink::kEtherType)
      continue;
    frame.assign(buf, buf + n);
    return true;
  }
}

std::vector<std::vector<uint8_t>> receive_frames(const Interface& ifc, int quiet_ms, std::size_t max_count,
                                                 int total_ms) {
  std::vector<std::vector<uint8_t>> frames;
  long long deadline = now_ms() + total_ms;
  while (frames.size() < max_count) {
    long long left = deadline - now_ms();
    if (left <= 0) break;
    std::vector<uint8_t> f;
    if (!receive_frame(ifc, f, static_cast<int>(std::min<long long>(left, quiet_ms)), nullptr) || f.empty()) break;
    frames.push_back(std::move(f));
  }
  return frames;
}

int drain(const Interface& ifc) {
  int count = 0;
  std::vector<uint8_t> f;
  while (receive_frame(ifc, f, 0, nullptr) && !f.empty()) ++count;
  return count;
}

bool parse_reply(const std::vector<uint8_t>& frame, Reply& reply) {
  reply = Reply{};
  if (frame.size() < kHeaderLength || qvlink::get_be16(&frame[qvlink::kEthType]) != qvlink::kEtherType) return false;
  std::memcpy(reply.dest.data(), &frame[qvlink::kEthDest], 6);
  std::memcpy(reply.source.data(), &frame[qvlink::kEthSource], 6);
  const uint8_t* p = &frame[qvlink::kEthHeaderLength];
  reply.protocol = p[qvlink::kProtocol];
  reply.reserved = p[1];
  reply.sequence = p[qvlink::kSequence];
  reply.checksum = qvlink::get_be16(p + qvlink::kChecksum);
  reply.length_field = qvlink::get_be16(p + qvlink::kLength);
  reply.code = p[qvlink::kCode];
  reply.frame_size = frame.size();
  std::size_t n = reply.length_field ? reply.length_field - 1u : 0u;
  std::size_t held = frame.size() - kHeaderLength;
  reply.length_ok = n <= held;
  reply.data.assign(p + qvlink::kParams, p + qvlink::kParams + std::min(n, held));
  reply.checksum_ok = reply.length_ok && qvlink::payload_chksum(p, reply.data.size()) == reply.checksum;
  return true;
}

bool is_store_failure_reply(const Reply& reply) {
  return qvlink::is_store_failure_reply(reply.data.data(), reply.data.size());
}

bool is_success(const Reply& reply, uint8_t command) {
  return reply.checksum_ok && reply.code == 0 && reply.data.size() >= 2 && reply.data[0] == 0 &&
         reply.data[1] == command && !is_store_failure_reply(reply);
}

std::string hex(const uint8_t* data, std::size_t count) {
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
    out += b;
  }
  return out;
}

std::string mac_text(const Mac& mac) {
  char b[18];
  std::snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return b;
}

bool parse_mac(const std::string& text, Mac& mac) {
  if (text.size() != 17) return false;
  Mac m{};
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && text[i * 3 - 1] != ':' && text[i * 3 - 1] != '-') return false;
    unsigned v = 0;
    for (int k = 0; k < 2; ++k) {
      char c = text[i * 3 + k];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= c - '0';
      else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
      else return false;
    }
    m[i] = static_cast<uint8_t>(v);
  }
  mac = m;
  return true;
}

}  // namespace station_link
