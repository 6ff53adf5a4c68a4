// The factory link service: one record for the whole run, the reply path, the
// request checks and the command table. main (mfglinkd_main.cpp) opens the socket
// and loops over waitfor_peer_action and dispatch.
#ifndef QV_MFGLINKD_LINK_SERVICE_H
#define QV_MFGLINKD_LINK_SERVICE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "link_protocol.h"

// Connection state.
enum : int8_t {
  kStateIdle = 0,
  kStateConnected = 1,
  kStateQuit = 2,  // the main loop stops
};

// Requests wait this many one-second receive time-outs, then the run ends.
constexpr int kIdleLimit = 30;

struct link_context {
  int8_t state;
  uint32_t tx_sequence;  // reply counter; its low 8 bits are the reply's sequence byte
  int sock;              // the raw packet socket; -1 once closed
  int ifindex;           // index of "br0"
  uint8_t own_mac[6];    // source of every reply
  uint8_t peer_mac[6];   // destination of every reply and source filter; zero until connect
  uint8_t rx_frame[qvlink::kFrameMax];
  int32_t rx_length;
  uint8_t req_protocol;
  uint16_t req_checksum;
  uint16_t req_length;
  uint8_t req_command;
  uint8_t* req_params;  // payload byte 8 inside rx_frame
  uint16_t req_param_length;
  uint8_t tx_frame[qvlink::kFrameMax];
  uint8_t* tx_payload;  // tx_frame + 14
  int32_t tx_length;    // reply payload length: 8 + data length
  FILE* fw_file;        // /tmp/firmware while a transfer is open
  uint32_t fw_length;
  uint32_t fw_remaining;
  uint32_t fw_crc;
  uint32_t fw_staged;   // chunk bytes gathered for fw_file, not yet handed to it
  int32_t rx_written;   // bytes of rx_frame that receives may have filled since it was last cleared
};

static_assert(offsetof(link_context, tx_sequence) == 4, "state, then the reply counter");
static_assert(offsetof(link_context, own_mac) == 16, "addresses after socket and index");
static_assert(offsetof(link_context, rx_frame) == 28, "receive buffer after the two addresses");
static_assert(sizeof(link_context::rx_frame) == 1536 && sizeof(link_context::tx_frame) == 1536,
              "frame buffers hold the largest frame taken");
static_assert(offsetof(link_context, rx_length) == 28 + 1536, "received length after the buffer");
static_assert(offsetof(link_context, tx_frame) < offsetof(link_context, fw_file), "firmware fields last");

// What a handler hands over to have a reply built.
struct reply_record {
  uint8_t code;         // every caller passes 0
  const uint8_t* data;  // not owned
  uint16_t data_length;
};

// Service loop, dispatch and replies.
int waitfor_peer_action(link_context& ctx);
int dispatch(link_context& ctx);
int report_error(link_context& ctx, const uint8_t* data, uint16_t length);
int insert2OutgoingPayload(link_context& ctx, const reply_record& reply);
int sendpacket(link_context& ctx);
int waitfor_ack(link_context& ctx);

// Sends a reply of code 0 with these data bytes: insert2OutgoingPayload, then sendpacket.
int send_reply(link_context& ctx, const uint8_t* data, uint16_t length);

// Copies count request bytes from req_params into out. Bytes that lie beyond the
// received frame read as zero: a handler never sees what an earlier, longer frame
// left in rx_frame, nor anything past it.
void copy_request_bytes(const link_context& ctx, uint8_t* out, std::size_t count);

// perror(what), after what standard output still holds: the service's lines and
// its error messages share the console and keep their order.
void report_failure(const char* what);

// Keeps fd out of the shell commands that the service runs. The device's kernel
// has no close-on-exec flags at open or socket time, so the flag is set after.
void mark_close_on_exec(int fd);

// Opens the socket on the bridge, learns its index and address and sets up the
// reply buffer (start-up steps after the context is zeroed). 0, or -1 after the
// message, with the socket closed.
int open_link(link_context& ctx, const char* ifname);

// The main loop: serves requests until quit, the idle limit or a socket error.
void serve(link_context& ctx);

// Command handlers.
int create_connection(link_context& ctx);
int write_serial_number(link_context& ctx);
int read_serial_number(link_context& ctx);
int notify_firmware_length(link_context& ctx);
int write_firmware_chunk(link_context& ctx);
int notify_firmware_chksum(link_context& ctx);
int close_conn(link_context& ctx);
int peer_quit(link_context& ctx);
int peer_reboot(link_context& ctx);
int peer_default_reset(link_context& ctx);
int peer_upgrade_normalcode(link_context& ctx);

using command_handler = int (*)(link_context&);

struct command_entry {
  int32_t code;
  command_handler handler;
};

// Indexed by the command byte; entry 0 has no handler.
inline constexpr command_entry theCommandHandler[] = {
    {0, nullptr},
    {1, create_connection},
    {2, write_serial_number},
    {3, read_serial_number},
    {4, notify_firmware_length},
    {5, write_firmware_chunk},
    {6, notify_firmware_chksum},
    {7, close_conn},
    {8, peer_quit},
    {9, peer_reboot},
    {10, peer_default_reset},
    {11, peer_upgrade_normalcode},
};
static_assert(sizeof theCommandHandler / sizeof theCommandHandler[0] == qvlink::kCommandCount,
              "one entry per command code");

constexpr bool command_table_in_order() {
  for (int i = 0; i < qvlink::kCommandCount; ++i)
    if (theCommandHandler[i].code != i) return false;
  return true;
}
static_assert(command_table_in_order(), "entry i carries code i");

#endif
