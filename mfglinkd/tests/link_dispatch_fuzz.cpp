// Arbitrary received frames through dispatch and every handler, with the socket,
// the shell and the store replaced. The input is a run of frames, each a flag
// byte, a 2-byte length and the frame's bytes, served in order on one context as
// the service loop does. The flag byte may mend a frame so that random input
// gets past the checks: bit 0 clears the protocol byte, bit 1 makes the length
// field fit the frame, bit 2 sets the right checksum, bit 3 puts the command
// code from bits 4 to 7 in place.
//
// Checked on every frame:
// - nothing is read beyond the received bytes: under ASan the rest of rx_frame
//   is poisoned; in every build the same request is served twice, once with
//   zeros and once with a pattern behind the frame, and both must act alike;
// - every reply is well formed: Ethernet header to the peer from the bridge,
//   length field matching the frame, checksum right, sequence counting by one.
//
// Nothing touches the file system per run: the staged firmware file is a
// stream in memory (fopen is wrapped at link time), and the platform's records
// are cleared after every frame has been checked, so that a run costs the same
// for its first frame and its last.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fake_platform.h"
#include "link_service.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QV_ASAN 1
#endif
#ifdef QV_ASAN
#include <sanitizer/asan_interface.h>
#endif

// The staged firmware file: bytes written are counted and dropped, as a file
// that is never read back would keep them. Opened anew for every "w".
namespace {

ssize_t firmware_write(void*, const char*, size_t size) { return static_cast<ssize_t>(size); }

}  // namespace

extern "C" FILE* __real_fopen(const char* path, const char* mode);
extern "C" FILE* __wrap_fopen(const char* path, const char* mode) {
  static const std::string firmware = fake::root() + "/tmp/firmware";
  if (firmware != path) return __real_fopen(path, mode);
  cookie_io_functions_t io = {nullptr, firmware_write, nullptr, nullptr};
  return fopencookie(nullptr, mode, io);
}

namespace {

const uint8_t kOwnMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

void fail(const char* what) {
  std::fprintf(stderr, "link_dispatch_fuzz: %s\n", what);
  std::abort();
}

void check_replies(const link_context& before, std::size_t first, const link_context& after) {
  const auto& sent = fake::platform().sent;
  uint32_t seq = before.tx_sequence;
  for (std::size_t i = first; i < sent.size(); ++i) {
    const auto& f = sent[i].frame;
    if (f.size() < 22 || f.size() > 1536) fail("reply size out of range");
    std::size_t len = (std::size_t{f[19]} << 8) | f[20];
    if (len == 0 || f.size() != 22 + len - 1) fail("reply length field does not match the frame");
    uint16_t sum = static_cast<uint16_t>((f[17] << 8) | f[18]);
    if (sum != chksum(&f[19], static_cast<uint32_t>(len + 2))) fail("reply checksum wrong");
    if (f[12] != 0x39 || f[13] != 0x14) fail("reply type wrong");
    if (std::memcmp(&f[6], kOwnMac, 6) != 0) fail("reply source is not the bridge");
    if (f[14] != 0 || f[15] != 0 || f[21] != 0) fail("reply header bytes not zero");
    ++seq;
    if (f[16] != static_cast<uint8_t>(seq)) fail("reply sequence does not count");
    if (std::memcmp(f.data(), sent[i].to.sll_addr, 6) != 0) fail("frame and link address disagree");
  }
  if (seq != after.tx_sequence) fail("reply counter and replies disagree");
  for (std::size_t i = first; i < sent.size(); ++i)
    if (std::memcmp(sent[i].frame.data(), after.peer_mac, 6) != 0) fail("reply not addressed to the peer");
  // One reply per request; two for the upgrade: phase 0, then phase 1.
  std::size_t count = sent.size() - first;
  if (count == 2) {
    const auto& a = sent[first].frame;
    const auto& b = sent[first + 1].frame;
    if (a.size() != 25 || b.size() != 25 || a[22] != 0 || a[23] != 0x0B || a[24] != 0 || b[22] != 0 ||
        b[23] != 0x0B || b[24] != 1)
      fail("two replies that are not the upgrade's");
  } else if (count != 1) {
    fail("wrong number of replies");
  }
}

// What a request did, apart from the staging file: a and b are the context and
// the platform after it.
bool same(const link_context& a, const fake::Platform& pa, const link_context& b, const fake::Platform& pb) {
  if (a.state != b.state || a.tx_sequence != b.tx_sequence || std::memcmp(a.peer_mac, b.peer_mac, 6) != 0)
    return false;
  if (a.tx_length != b.tx_length || a.fw_length != b.fw_length || a.fw_remaining != b.fw_remaining ||
      a.fw_crc != b.fw_crc)
    return false;
  if (pa.sent.size() != pb.sent.size()) return false;
  for (std::size_t i = 0; i < pa.sent.size(); ++i)
    if (pa.sent[i].frame != pb.sent[i].frame) return false;
  return pa.commands == pb.commands && pa.store == pb.store && pa.store_writes == pb.store_writes;
}

void place(link_context& ctx, const uint8_t* frame, std::size_t n, uint8_t behind) {
  std::memset(ctx.rx_frame, behind, sizeof ctx.rx_frame);
  std::memcpy(ctx.rx_frame, frame, n);
  ctx.rx_frame[12] = 0x39;  // what the receive filter lets through
  ctx.rx_frame[13] = 0x14;
  ctx.rx_length = static_cast<int32_t>(n);
}

void serve_poisoned(link_context& ctx) {
#ifdef QV_ASAN
  std::size_t n = static_cast<std::size_t>(ctx.rx_length);
  ASAN_POISON_MEMORY_REGION(ctx.rx_frame + n, sizeof ctx.rx_frame - n);
#endif
  dispatch(ctx);
#ifdef QV_ASAN
  ASAN_UNPOISON_MEMORY_REGION(ctx.rx_frame, sizeof ctx.rx_frame);
#endif
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = false;
  if (!quiet) {
    // The service's trace lines would drown the fuzzer's own output.
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 1);
    quiet = true;
  }
  fake::reset();
  auto ctx = std::make_unique<link_context>();
  std::memset(ctx.get(), 0, sizeof *ctx);
  ctx->sock = 3;
  ctx->ifindex = 2;
  std::memcpy(ctx->own_mac, kOwnMac, 6);
  ctx->tx_payload = ctx->tx_frame + 14;

  std::size_t off = 0;
  uint8_t frame[sizeof ctx->rx_frame];
  for (int frames = 0; frames < 64 && off + 3 <= size; ++frames) {
    uint8_t flags = data[off];
    std::size_t n = (std::size_t{data[off + 1]} << 8) | data[off + 2];
    off += 3;
    if (n > size - off) n = size - off;
    const uint8_t* raw = data + off;
    off += n;
    if (n > sizeof frame) n = sizeof frame;  // the receive takes at most this
    if (n < 14) continue;
    std::memcpy(frame, raw, n);
    if (n > 14 && (flags & 1)) frame[14] = 0;
    if (n >= 22 && (flags & 8)) frame[21] = flags >> 4;
    if (n >= 22 && (flags & 2)) {
      std::size_t params = frame[20] % (n - 21);  // 0 .. n - 22
      qvlink::put_be16(frame + 19, static_cast<uint16_t>(params + 1));
    }
    if (n >= 22 && (flags & 4)) {
      std::size_t len = qvlink::get_be16(frame + 19);
      std::size_t covered = (len ? len - 1 : 0) + 3;
      if (19 + covered <= n) qvlink::put_be16(frame + 17, chksum(frame + 19, static_cast<uint32_t>(covered)));
    }

    uint8_t command = n > 21 ? frame[21] : 0;
    bool touches_file = command == 5 || command == 11;
    if (!touches_file) {
      // The same request with a pattern behind the frame must act as with zeros.
      // The platform's records were cleared after the last frame: of the
      // platform only the store carries over.
      static link_context start, patterned;
      start = *ctx;
      fake::Platform before;
      before.store = fake::platform().store;
      before.store_writes = fake::platform().store_writes;
      place(*ctx, frame, n, 0xA5);
      dispatch(*ctx);
      patterned = *ctx;
      const fake::Platform patterned_platform = std::move(fake::platform());
      *ctx = start;
      fake::platform() = before;
      place(*ctx, frame, n, 0x00);
      serve_poisoned(*ctx);
      if (!same(patterned, patterned_platform, *ctx, fake::platform()))
        fail("bytes beyond the received frame changed what a request did");
      check_replies(start, 0, *ctx);
    } else {
      static link_context before;
      before = *ctx;
      place(*ctx, frame, n, 0xA5);
      serve_poisoned(*ctx);
      check_replies(before, 0, *ctx);
    }
    if (ctx->state == kStateQuit) break;
    // Checked: what the next frame must match starts from here.
    auto& p = fake::platform();
    p.sent.clear();
    p.commands.clear();
    p.events.clear();
  }
  if (ctx->fw_file) std::fclose(ctx->fw_file);
  return 0;
}
