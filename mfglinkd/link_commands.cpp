// Identity and control commands: connection, serial number, quit, reboot and
// default reset.
#include <cstdio>
#include <cstring>

#include "link_platform.h"
#include "link_service.h"
#include "nvram.h"

using namespace qvlink;

namespace {

const char kSerialKey[] = "SN";

int reply2(link_context& ctx, uint8_t code) {
  const uint8_t data[] = {status_byte(Status::Ok), code};
  return send_reply(ctx, data, sizeof data);
}

}  // namespace

int create_connection(link_context& ctx) {
  puts("create_connection()");
  // Six bytes whatever the parameter length; bytes the frame does not hold are zero.
  copy_request_bytes(ctx, ctx.peer_mac, 6);
  reply2(ctx, command_byte(Command::CreateConnection));
  ctx.state = kStateConnected;
  return 0;
}

int write_serial_number(link_context& ctx) {
  // L is the length field: one byte beyond the parameters, so that a terminating
  // zero or the zero padding of a short frame ends the text. That byte is taken
  // from the received frame only; beyond it, it reads as zero.
  std::size_t limit = ctx.req_param_length + 1u;
  if (limit > kSerialMax + 1) limit = kSerialMax + 1;
  uint8_t raw[kSerialMax + 2];
  copy_request_bytes(ctx, raw, limit);
  printf("Seq Number:%.*s\n", static_cast<int>(limit), reinterpret_cast<const char*>(raw));

  char serial[kSerialMax + 1];
  std::size_t n = 0;
  while (n < limit && n < kSerialMax && raw[n]) {
    serial[n] = static_cast<char>(raw[n]);
    ++n;
  }
  serial[n] = '\0';

  const char* stored = nvram_get(NVRAM_SERIAL_BLOCK, kSerialKey);
  if (std::strncmp(stored, serial, limit) != 0) {
    if (nvram_set(NVRAM_SERIAL_BLOCK, kSerialKey, serial) < 0) {
      puts(qvlink::kStoreFailureText);
      uint8_t failure[qvlink::kStoreFailureLength];
      qvlink::make_store_failure_reply(failure);
      send_reply(ctx, failure, sizeof failure);
      return 0;
    }
  }
  reply2(ctx, command_byte(Command::WriteSerialNumber));
  return 0;
}

int read_serial_number(link_context& ctx) {
  puts("read_seq_number");
  uint8_t data[2 + kSerialMax] = {status_byte(Status::Ok), command_byte(Command::ReadSerialNumber)};
  const char* stored = nvram_get(NVRAM_SERIAL_BLOCK, kSerialKey);
  std::size_t n = strnlen(stored, kSerialMax);
  std::memcpy(data + 2, stored, n);
  send_reply(ctx, data, static_cast<uint16_t>(2 + n));
  return 0;
}

int close_conn(link_context& ctx) {
  puts("close_conn");
  reply2(ctx, command_byte(Command::CloseConnection));
  ctx.state = kStateIdle;
  return 0;
}

int peer_quit(link_context& ctx) {
  puts("peer_quit");
  reply2(ctx, command_byte(Command::Quit));
  ctx.state = kStateQuit;
  return 0;
}

int peer_reboot(link_context& ctx) {
  puts("peer_reboot()");
  reply2(ctx, command_byte(Command::Reboot));
  link_system("reboot");
  return 0;
}

int peer_default_reset(link_context& ctx) {
  puts("peer_default_reset()");
  reply2(ctx, command_byte(Command::DefaultReset));
  link_system("killall -SIGUSR2 nvram_daemon");
  return 0;
}
