// Firmware transfer and upgrade: the image is announced, arrives in chunks that
// are appended to /tmp/firmware with a running CRC-32, is checked against the
// station's CRC-32 and is flashed into "Kernel" by the platform's flash tool.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device_path.h"
#include "link_platform.h"
#include "link_service.h"

using namespace qvlink;

namespace {

const char kFirmwarePath[] = "/tmp/firmware";

// The chunks gather here and go to the staged file's stream (unbuffered) a
// full buffer at a time: one write for every forty-odd chunks, and a chunk
// costs an in-line copy rather than a pass through the stream's code, its lock
// and its buffer, which on the device take pages of their own in the
// processor's small TLB. One transfer is open at a time, so one buffer serves.
uint8_t fw_buffer[65536];

uint32_t be32_parameter(const link_context& ctx) {
  if (ctx.req_param_length != 4) return 0;
  uint8_t b[4];
  copy_request_bytes(ctx, b, 4);
  return get_be32(b);
}

int reply(link_context& ctx, uint8_t status, uint8_t code) {
  const uint8_t data[] = {status, code};
  return send_reply(ctx, data, sizeof data);
}

// The transfer cannot go on: close what there is and forget it, so that the next
// chunk starts a new file (and a new CRC).
void abandon_transfer(link_context& ctx) {
  if (ctx.fw_file) std::fclose(ctx.fw_file);
  ctx.fw_file = nullptr;
  ctx.fw_staged = 0;
  ctx.fw_remaining = 0;
  puts("firmware transfer abandoned");
}

// The flash command names the staged file; it goes to the shell, so the path
// may hold nothing the shell would read as more than a plain word.
bool shell_safe(const char* path) {
  for (const char* p = path; *p; ++p) {
    char c = *p;
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '.' ||
              c == '_' || c == '-' || c == '+' || c == ',';
    if (!ok) return false;
  }
  return *path != '\0';
}

// The progress mark of a chunk: one dot, into the output's buffer. The service
// loop writes it out with the end of the transfer, with the next other request
// or when the service idles: a write per chunk would cost a system call, and
// on a slow console could hold up the next reply. Unlocked (the service has one
// thread): the lock's check of the running thread is a trap on the device.
void progress_mark() { putchar_unlocked('.'); }

// Hands what fw_buffer gathered to the stream. False when the stream took
// less or is in error (it has then dropped bytes even when fwrite reports
// them taken); errno tells why.
bool hand_over_staged(link_context& ctx) {
  const std::size_t count = ctx.fw_staged;
  ctx.fw_staged = 0;
  return std::fwrite(fw_buffer, 1, count, ctx.fw_file) == count && !std::ferror(ctx.fw_file);
}

// Appends the chunk to the staged file and closes the file once the announced
// length is reached. Returns null when every byte reached the file, otherwise
// what failed (errno tells why): the chunk that fills the buffer could not be
// written, or what the buffer held at the end could not be written or closed.
const char* store_chunk(link_context& ctx, const uint8_t* data, std::size_t count) {
  for (std::size_t done = 0; done < count;) {
    std::size_t n = sizeof fw_buffer - ctx.fw_staged;
    if (n > count - done) n = count - done;
    copy_bytes(fw_buffer + ctx.fw_staged, data + done, n);
    ctx.fw_staged += static_cast<uint32_t>(n);
    done += n;
    if (ctx.fw_staged == sizeof fw_buffer && !hand_over_staged(ctx)) return "fail to fwrite";
  }
  if (count < ctx.fw_remaining) {
    ctx.fw_remaining -= static_cast<uint32_t>(count);
    return nullptr;
  }
  ctx.fw_remaining = 0;
  const bool written = hand_over_staged(ctx);
  const int err = errno;
  const int closed = std::fclose(ctx.fw_file);
  ctx.fw_file = nullptr;
  if (!written) errno = err;
  return written && closed == 0 ? nullptr : "fail to fclose";
}

// Every message of a chunk follows its progress mark; the mark's own output
// must not change the error being reported.
void report_after_mark(const char* what) {
  int err = errno;
  progress_mark();
  errno = err;
  report_failure(what);
}

}  // namespace

int notify_firmware_length(link_context& ctx) {
  ctx.fw_length = be32_parameter(ctx);
  ctx.fw_remaining = ctx.fw_length;
  // The parameter bytes as a string, up to the first zero byte.
  char text[kDataMax + 1];
  copy_request_bytes(ctx, reinterpret_cast<uint8_t*>(text), ctx.req_param_length);
  text[ctx.req_param_length] = '\0';
  printf("firmware length:%*s->%u\n", static_cast<int>(ctx.req_param_length), text, ctx.fw_length);
  reply(ctx, status_byte(Status::Ok), command_byte(Command::FirmwareLength));
  return 0;
}

// The station sends the next chunk only when this one is answered, so the reply
// goes out as soon as the chunk is stored; the CRC-32 and the progress mark
// follow while the reply travels. Nothing else runs in between, so the next
// request still finds both done, and the output reads as if the mark came first.
int write_firmware_chunk(link_context& ctx) {
  if (!ctx.fw_file) {
    device_path_buf path;
    const char* resolved = device_path(path, kFirmwarePath);
    ctx.fw_file = resolved ? std::fopen(resolved, "w") : nullptr;
    if (!ctx.fw_file) {
      report_after_mark("fail to fopen");
      return 0;
    }
    mark_close_on_exec(fileno(ctx.fw_file));
    std::setvbuf(ctx.fw_file, nullptr, _IONBF, 0);
    // A new file, a new image: its CRC covers exactly what the file will hold.
    ctx.fw_crc = 0;
    ctx.fw_staged = 0;
  }
  const uint8_t* data = ctx.req_params;
  const uint32_t count = ctx.req_param_length;
  if (const char* failed = store_chunk(ctx, data, count)) {
    // The station hears of it first: the messages may wait on a slow output.
    const int err = errno;
    reply(ctx, status_byte(Status::ChunkWriteFailed), command_byte(Command::FirmwareChunk));
    ctx.fw_crc = crc32(ctx.fw_crc, data, count);
    errno = err;
    report_after_mark(failed);
    abandon_transfer(ctx);
    return 0;
  }
  reply(ctx, status_byte(Status::Ok), command_byte(Command::FirmwareChunk));
  ctx.fw_crc = crc32(ctx.fw_crc, data, count);
  progress_mark();
  return 0;
}

int notify_firmware_chksum(link_context& ctx) {
  uint32_t expected = be32_parameter(ctx);
  uint8_t status;
  if (expected == ctx.fw_crc) {
    puts("chksum is correct");
    status = status_byte(Status::Ok);
  } else {
    printf("chksum mismatch:%.4x,%.4x\n", expected, ctx.fw_crc);
    status = status_byte(Status::CrcMismatch);
  }
  printf("write_firmware_chunk:%d\n", ctx.req_param_length);
  // The confirmation carries the chunk command's code.
  reply(ctx, status, command_byte(Command::FirmwareChunk));
  return 0;
}

int peer_upgrade_normalcode(link_context& ctx) {
  puts("peer_upgrade_normalcode()");
  // The flash tool reads the file, not the stream: what the buffer and the
  // stream still hold must be on the file first. An image that is not whole on
  // the file is never flashed; the station hears so instead of "flashing starts".
  // A stream in error has dropped bytes, even if nothing is left to write.
  if (ctx.fw_file && (!hand_over_staged(ctx) || std::fflush(ctx.fw_file) != 0 || std::ferror(ctx.fw_file))) {
    const int err = errno;
    reply(ctx, status_byte(Status::ChunkWriteFailed), command_byte(Command::UpgradeNormalCode));
    errno = err;
    report_failure("fail to fflush");
    abandon_transfer(ctx);
    return 0;
  }
  const uint8_t starts[] = {status_byte(Status::Ok), command_byte(Command::UpgradeNormalCode),
                           static_cast<uint8_t>(UpgradePhase::Starts)};
  send_reply(ctx, starts, sizeof starts);

  device_path_buf path;
  const char* resolved = device_path(path, kFirmwarePath);
  char command[256];
  int n = resolved ? std::snprintf(command, sizeof command, "mtd_write write %s Kernel", resolved) : -1;
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof command || !shell_safe(resolved)) {
    puts("firmware path unfit for the flash command");
  } else {
    link_system(command);
  }

  const uint8_t ended[] = {status_byte(Status::Ok), command_byte(Command::UpgradeNormalCode),
                          static_cast<uint8_t>(UpgradePhase::Ended)};
  send_reply(ctx, ended, sizeof ended);
  return 0;
}
