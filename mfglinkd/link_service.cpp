#include "link_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link_platform.h"

using namespace qvlink;

namespace {

constexpr std::size_t kRequestHeader = kEthHeaderLength + kPayloadHeaderLength;

bool all_zero(const uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// The six bytes of a link-layer address, compared and copied in line: each
// request compares one and each reply copies two, and on the device a call
// into the C library for six bytes costs more than the bytes.
bool same_address(const uint8_t* a, const uint8_t* b) {
  for (std::size_t i = 0; i < 6; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

void copy_address(uint8_t* to, const uint8_t* from) {
  for (std::size_t i = 0; i < 6; ++i) to[i] = from[i];
}

void close_socket(link_context& ctx) {
  if (ctx.sock >= 0) close(ctx.sock);
  ctx.sock = -1;
}

}  // namespace

void copy_request_bytes(const link_context& ctx, uint8_t* out, std::size_t count) {
  std::size_t held = 0;
  if (ctx.req_params && ctx.rx_length > 0) {
    std::size_t start = static_cast<std::size_t>(ctx.req_params - ctx.rx_frame);
    std::size_t end = static_cast<std::size_t>(ctx.rx_length);
    held = end > start ? end - start : 0;
  }
  std::size_t n = count < held ? count : held;
  if (n) std::memcpy(out, ctx.req_params, n);
  if (count > n) std::memset(out + n, 0, count - n);
}

int waitfor_peer_action(link_context& ctx) {
  int timeouts = 0;
  while (timeouts <= kIdleLimit) {
    long n = link_receive_pass(ctx.sock, ctx.rx_frame, sizeof ctx.rx_frame);
    if (n == kPassFailed) {
      report_failure("fail to select");
      close_socket(ctx);
      return -1;
    }
    if (n == kPassTimedOut) {
      // Idle: what the output still holds goes out now, while nobody waits.
      if (timeouts == 0) std::fflush(stdout);
      const timespec pause = {0, 1000000};
      nanosleep(&pause, nullptr);
      ++timeouts;
      continue;
    }
    if (n > ctx.rx_written) ctx.rx_written = static_cast<int32_t>(n);
    if (n < static_cast<long>(kEthHeaderLength)) continue;
    if (!all_zero(ctx.peer_mac, 6) && !same_address(ctx.peer_mac, ctx.rx_frame + kEthSource)) continue;
    if (ctx.rx_frame[kEthType] != 0x39 || ctx.rx_frame[kEthType + 1] != 0x14) continue;
    ctx.rx_length = static_cast<int32_t>(n);
    // Nothing of an earlier, longer frame (taken or not) may stay behind the
    // new one. Frames of a transfer come in one size: mostly nothing to clear.
    if (ctx.rx_written > n) std::memset(ctx.rx_frame + n, 0, static_cast<std::size_t>(ctx.rx_written - n));
    ctx.rx_written = static_cast<int32_t>(n);
    if (timeouts < kIdleLimit) return 0;
    break;
  }
  ctx.state = kStateQuit;
  close_socket(ctx);
  return -1;
}

int dispatch(link_context& ctx) {
  const uint8_t* payload = ctx.rx_frame + kEthHeaderLength;
  // A frame that ends with its Ethernet header has no protocol byte: it reads as 0.
  ctx.req_protocol = ctx.rx_length > static_cast<int32_t>(kEthHeaderLength) ? payload[kProtocol] : 0;
  if (ctx.req_protocol != 0) {
    puts("QVREPORTSTATUS_ERROR_UNKNOWN_PROTOCOL");
    static const uint8_t data[] = {static_cast<uint8_t>(Status::UnknownProtocol), 0x00};
    report_error(ctx, data, sizeof data);
    return 0;
  }
  static const uint8_t kParameterError[] = {static_cast<uint8_t>(Status::ParameterError)};
  if (ctx.rx_length < static_cast<int32_t>(kFrameMinProcessed)) {
    puts("QVREPORTSTATUS_ERROR_COMMAND_PARAMETER");
    report_error(ctx, kParameterError, sizeof kParameterError);
    return 0;
  }
  // A frame of 20 or 21 bytes ends inside the header: what it lacks reads as zero
  // (and the request fails the length test below).
  uint8_t header[kPayloadHeaderLength];
  std::size_t held = static_cast<std::size_t>(ctx.rx_length) - kEthHeaderLength;
  for (std::size_t i = 0; i < kPayloadHeaderLength; ++i) header[i] = i < held ? payload[i] : 0;
  ctx.req_checksum = get_be16(header + kChecksum);
  ctx.req_length = get_be16(header + kLength);
  ctx.req_command = header[kCode];
  ctx.req_params = ctx.rx_frame + kRequestHeader;
  ctx.req_param_length = ctx.req_length ? static_cast<uint16_t>(ctx.req_length - 1) : 0;

  // A length field that claims more parameter bytes than the frame holds: the
  // request is neither checksummed past the frame nor executed.
  if (kRequestHeader + ctx.req_param_length > static_cast<std::size_t>(ctx.rx_length)) {
    puts("QVREPORTSTATUS_ERROR_COMMAND_PARAMETER");
    report_error(ctx, kParameterError, sizeof kParameterError);
    return 0;
  }

  uint16_t sum = payload_chksum(payload, ctx.req_param_length);
  if (sum != ctx.req_checksum) {
    printf("QVREPORTSTATUS_ERROR_WRONG_CHKSUM:%.4x,%.4x\nlength:%.2x\nparameter length:%.2x\n", ctx.req_checksum,
           sum, ctx.req_length, ctx.req_param_length);
    const uint8_t data[] = {static_cast<uint8_t>(Status::WrongChecksum), ctx.req_command};
    report_error(ctx, data, sizeof data);
    return 0;
  }
  if (ctx.req_command >= kCommandCount || !theCommandHandler[ctx.req_command].handler) {
    puts("QVREPORTSTATUS_ERROR_UNKNOWN_COMMAND");
    const uint8_t data[] = {static_cast<uint8_t>(Status::UnknownCommand), ctx.req_command};
    report_error(ctx, data, sizeof data);
    return 0;
  }
  theCommandHandler[ctx.req_command].handler(ctx);
  return 0;
}

int report_error(link_context& ctx, const uint8_t* data, uint16_t length) {
  send_reply(ctx, data, length);
  return 0;
}

int insert2OutgoingPayload(link_context& ctx, const reply_record& reply) {
  ++ctx.tx_sequence;
  // encode_payload cuts the data to what the reply buffer holds.
  ctx.tx_length = static_cast<int32_t>(encode_payload(ctx.tx_payload, static_cast<uint8_t>(ctx.tx_sequence),
                                                      static_cast<uint8_t>(reply.code), reply.data,
                                                      reply.data_length));
  return ctx.tx_length;
}

int waitfor_ack(link_context&) { return 1; }

int sendpacket(link_context& ctx) {
  copy_address(ctx.tx_frame + kEthDest, ctx.peer_mac);
  copy_address(ctx.tx_frame + kEthSource, ctx.own_mac);
  ctx.tx_frame[kEthType] = 0x39;
  ctx.tx_frame[kEthType + 1] = 0x14;

  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_protocol = htons(kEtherType);
  to.sll_ifindex = ctx.ifindex;
  to.sll_hatype = 1;
  to.sll_pkttype = PACKET_OTHERHOST;
  to.sll_halen = 6;
  copy_address(to.sll_addr, ctx.peer_mac);

  long sent;
  do {
    sent = link_sendto(ctx.sock, ctx.tx_frame, static_cast<std::size_t>(ctx.tx_length) + kEthHeaderLength, to);
    if (sent < 0) report_failure("fail to sendto");
  } while (waitfor_ack(ctx) <= 0);
  return static_cast<int>(sent);
}

int send_reply(link_context& ctx, const uint8_t* data, uint16_t length) {
  reply_record reply{0, data, length};
  insert2OutgoingPayload(ctx, reply);
  return sendpacket(ctx);
}

void report_failure(const char* what) {
  const int err = errno;
  std::fflush(stdout);
  errno = err;
  perror(what);
}

void mark_close_on_exec(int fd) {
  if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

int open_link(link_context& ctx, const char* ifname) {
  ctx.sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  if (ctx.sock < 0) {
    perror("fail to socket");
    ctx.sock = -1;
    return -1;
  }
  mark_close_on_exec(ctx.sock);
  ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  std::strncpy(ifr.ifr_name, ifname, sizeof ifr.ifr_name - 1);
  if (ioctl(ctx.sock, SIOCGIFINDEX, &ifr) != 0) {
    perror("fail to ioctl(SIOCGIFINDEX)");
    close_socket(ctx);
    return -1;
  }
  ctx.ifindex = ifr.ifr_ifindex;
  sockaddr_ll local;
  std::memset(&local, 0, sizeof local);
  local.sll_family = AF_PACKET;
  local.sll_protocol = 0;  // keeps receiving every type
  local.sll_ifindex = ctx.ifindex;
  if (bind(ctx.sock, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
    perror("fail to bind");
    close_socket(ctx);
    return -1;
  }
  if (ioctl(ctx.sock, SIOCGIFHWADDR, &ifr) != 0) {
    perror("fail to ioctl(SIOCGIFHWADDR)");
    close_socket(ctx);
    return -1;
  }
  // Each pass of the wait is one receive that gives up after a second.
  timeval pass{1, 0};
  if (setsockopt(ctx.sock, SOL_SOCKET, SO_RCVTIMEO, &pass, sizeof pass) != 0) {
    perror("fail to setsockopt(SO_RCVTIMEO)");
    close_socket(ctx);
    return -1;
  }
  ctx.tx_payload = ctx.tx_frame + kEthHeaderLength;
  ctx.state = kStateIdle;
  std::memcpy(ctx.own_mac, ifr.ifr_hwaddr.sa_data, 6);
  return 0;
}

void serve(link_context& ctx) {
  for (;;) {
    if (waitfor_peer_action(ctx) < 0) {
      puts("fail to waitfor_peer_action()");
      break;
    }
    dispatch(ctx);
    // The request's replies have gone out: its lines may follow now. Chunks
    // of an open transfer leave their dots in the buffer, which the end of
    // the transfer, the next other request or an idle second writes out.
    if (!(ctx.req_command == static_cast<uint8_t>(Command::FirmwareChunk) && ctx.fw_file)) std::fflush(stdout);
    if (ctx.state == kStateQuit) {
      puts("Quit");
      break;
    }
  }
}
