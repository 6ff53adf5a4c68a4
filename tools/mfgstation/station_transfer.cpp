// The firmware transfer of a Station: the image, its chunks with their
// recoveries, restarts, the upgrade and the progress shown meanwhile.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "link_protocol.h"
#include "station.h"
#include "stop_signals.h"
#include "text.h"

namespace mfgstation {

using qvlink::Status;
using qvlink::status_byte;

namespace {

// Where the device's flash tool writes the image.
constexpr const char* kPartition = "Kernel";

}  // namespace

int chunk_size_for_mtu(int mtu) {
  int n = mtu - static_cast<int>(qvlink::kPayloadHeaderLength);
  if (n <= 0) return 0;
  return n > kChunkMax ? kChunkMax : n;
}


bool load_image(const std::string& path, uint64_t max_size, std::vector<uint8_t>* image, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    *error = format("cannot open \"%s\": %s", path.c_str(), std::strerror(errno));
    return false;
  }
  image->clear();
  // Read in place: a buffer grown by doubling would take every page afresh
  // several times over, and a fresh page is dear under a hypervisor.
  struct stat st {};
  if (fstat(fileno(f), &st) == 0 && st.st_size > 0)
    image->reserve(static_cast<std::size_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), max_size + 1)));
  uint8_t buf[65536];
  std::size_t n;
  bool too_large = false;
  while (!too_large && (n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    image->insert(image->end(), buf, buf + n);
    too_large = image->size() > max_size;
  }
  const bool failed = std::ferror(f);
  std::fclose(f);
  if (failed) {
    *error = format("cannot read \"%s\"", path.c_str());
    return false;
  }
  if (too_large) {
    *error = format("\"%s\" is larger than %llu bytes, the largest image allowed (--max-size)", path.c_str(),
                    static_cast<unsigned long long>(max_size));
    return false;
  }
  if (image->empty()) {
    *error = format("\"%s\" is empty", path.c_str());
    return false;
  }
  return true;
}


void Station::progress(uint64_t done, uint64_t total) { report_.progress(done, total, now_seconds() - started_); }

// Did the device answer the chunk whose reply did not come? A harmless request
// (reading the serial number) tells by its reply's place in the device's
// count: one place further on when the chunk was answered. 1 answered, 0 not,
// -1 unknown.
int Station::chunk_answered(const char* what) {
  if (!session_.sequence_known) return -1;
  const uint8_t before = session_.next_sequence;
  begin_request(session_, kCmdReadSn, 1);
  resend_request(session_);  // the chunk's answer may stand before the probe's
  if (send_request({kCmdReadSn, nullptr, 0, what}) != 0) return -1;
  if (await(what, nullptr, Deadline(opts_.timeout_ms)) != kExitOk) return -1;
  return static_cast<uint8_t>(session_.next_sequence - 1 - before);
}

// A transfer cut short leaves the device's own image alone: it flashes only
// on the upgrade, and the next flash closes the transfer left open.
bool Station::transfer_stopped(const char* what) {
  if (stop() < 1) return false;
  error("%s: stopped (%s); nothing is flashed", what, stop_cause());
  return true;
}

// Sends the image chunk by chunk. The device appends every copy of a chunk it
// gets, so a chunk goes out again only when the device shows it never answered
// it: rejected as damaged on the way, or not counted. A chunk whose reply was
// lost is taken as stored; the CRC-32 check at the end tells.
int Station::send_chunks(const std::vector<uint8_t>& image, int chunk) {
  const uint64_t total = image.size();
  started_ = now_seconds();
  int recoveries = 0;
  for (std::size_t offset = 0; offset < image.size();) {
    std::size_t n = image.size() - offset;
    if (n > static_cast<std::size_t>(chunk)) n = static_cast<std::size_t>(chunk);
    char what[64];
    std::snprintf(what, sizeof what, "flash: chunk at byte %zu", offset);
    if (transfer_stopped(what)) return interrupted_status();
    int r = exchange({kCmdChunk, image.data() + offset, n, what, nullptr, false});
    int answered = r == kExitOk ? 1 : -1;
    if (r == kExitTimeout && recoveries < opts_.retries) {
      answered = chunk_answered(what);
      if (answered >= 0) ++recoveries;
    } else if (r == kExitRejected && rejected_in_transit(last_reply_) && recoveries < opts_.retries) {
      answered = 0;
      ++recoveries;
    }
    if (answered < 0) {
      if (stop() >= 2) return interrupted_status();
      if (r == kExitTimeout) error("%s: no reply within %d ms", what, opts_.timeout_ms);
      return r == kExitOk ? kExitOutOfStep : r;
    }
    if (r != kExitOk)
      error("%s: %s", what,
                   answered ? "reply lost; the device's reply count shows the chunk answered, going on"
                            : "the device did not take the chunk; sending it again");
    if (answered == 0) continue;
    recoveries = 0;
    offset += n;
    progress(offset, total);
  }
  return kExitOk;
}

// Closes a transfer left open on the device (by a station that was stopped
// halfway, say): a length of 0 makes the next chunk the last one, and an empty
// chunk adds nothing to the staged file.
int Station::close_transfer() {
  uint8_t zero[4] = {0, 0, 0, 0};
  int r = exchange({kCmdLength, zero, sizeof zero, "flash: closing the transfer"});
  if (r != kExitOk) return r;
  return exchange({kCmdChunk, nullptr, 0, "flash: closing the transfer"});
}

// One attempt: closes what is open, announces, sends, has the CRC-32 checked.
int Station::transfer(const std::vector<uint8_t>& image, uint32_t crc, int chunk) {
  int r = close_transfer();
  if (r != kExitOk) return r;
  uint8_t length[4];
  qvlink::put_be32(length, static_cast<uint32_t>(image.size()));
  r = exchange({kCmdLength, length, sizeof length, "flash: announce"});
  if (r != kExitOk) return r;
  r = send_chunks(image, chunk);
  if (r != kExitOk) return r;
  uint8_t expected[4];
  qvlink::put_be32(expected, crc);
  r = exchange({kCmdChecksum, expected, sizeof expected, "flash: checksum"});
  if (r != kExitOk) return r;
  // The confirmation reads as a chunk's reply does. Had a copy of a chunk been
  // appended, the confirmation taken would be the last chunk's reply, and the
  // device's own answer would still be on its way (or lost): a harmless question
  // whose answer must carry exactly the next reply number tells.
  return confirm_in_step("flash: in-step check");
}

int Station::upgrade(uint32_t crc) {
  std::vector<uint8_t> reply;
  begin_request(session_, kCmdUpgrade, 2);
  if (const int s = send_request({kCmdUpgrade, nullptr, 0, "flash: upgrade"})) return s;
  // The first reply says flashing starts, the second that the flash tool has
  // returned. The request is never sent again: a second upgrade would flash again.
  bool started = false;
  // Shown from the start of flashing on; a start reply that comes after its
  // time-out does not begin it again.
  auto writing = [&] {
    if (!started) report_.phase(std::string("writing ") + kPartition);
    started = true;
  };
  const Deadline start_by(opts_.timeout_ms), end_by(opts_.timeout_ms + opts_.flash_timeout_ms);
  for (;;) {
    const Deadline& deadline = started ? end_by : start_by;
    int r = deadline.passed() ? kExitTimeout : await("flash: upgrade", &reply, deadline);
    if (r == kExitTimeout) {
      if (!started) {
        error("flash: no reply to the upgrade within %d ms; waiting for the end of flashing "
                     "(the upgrade is not sent again)",
                     opts_.timeout_ms);
        writing();
        continue;
      }
      error("flash: the end of flashing was not reported within %d s; the upgrade is not sent "
                   "again, check the device",
                   opts_.flash_timeout_ms / 1000);
      return kExitTimeout;
    }
    if (r == kExitOutOfStep) {
      error("flash: the replies to the upgrade do not follow the CRC-32 confirmation: the device "
                   "may have flashed another image; flash it again");
      return kExitOutOfStep;
    }
    if (is_interrupted(r)) error("flash: the device may still be flashing; check it before it leaves the line");
    if (r != kExitOk) return r;
    if (reply[2] == static_cast<uint8_t>(qvlink::UpgradePhase::Starts)) {
      note("flash: writing \"%s\" on the device", kPartition);
      writing();
    } else {
      note("flash: done: the device ran its flash tool on the image it confirmed (CRC-32 %08x); the tool's "
                   "own result is not reported",
                   crc);
      return kExitOk;
    }
  }
}

int Station::flash_image(const std::vector<uint8_t>& image) {
  if (image.empty()) {
    error("flash: the image is empty");
    return kExitLocal;
  }
  if (image.size() > opts_.max_size || image.size() > 0xFFFFFFFFull) {
    error("flash: the image is larger than %llu bytes, the largest allowed (--max-size)",
                 static_cast<unsigned long long>(std::min<uint64_t>(opts_.max_size, 0xFFFFFFFFull)));
    return kExitLocal;
  }
  const int chunk = opts_.chunk_size;
  if (chunk <= 0) {
    error("flash: the interface MTU leaves no room for firmware data");
    return kExitLocal;
  }
  const uint32_t crc = crc32(0, image.data(), static_cast<uint32_t>(image.size()));
  note("flash: %zu bytes, CRC-32 %08x, %d bytes per chunk", image.size(), crc, chunk);

  // Any doubt about what the device stored restarts the transfer; the upgrade
  // goes out only after a transfer that ran in step to its confirmation.
  for (restarts_ = 0;; ++restarts_) {
    if (transfer_stopped("flash")) return interrupted_status();
    const int r = transfer(image, crc, chunk);
    if (r == kExitOk) break;
    const bool again = r == kExitTimeout || r == kExitOutOfStep || r == kExitCrcMismatch ||
                       (r == kExitRejected && rejected_in_transit(last_reply_));
    if (!again || restarts_ >= opts_.retries) {
      if (again) error("flash: transfer failed after %d restarts", restarts_);
      if (r == kExitCrcMismatch)
        error("flash: the image was not flashed (expected CRC-32 %08x)", crc);
      return r;
    }
    error("flash: restarting the transfer (%d of %d)", restarts_ + 1, opts_.retries);
    settle();
  }
  note("flash: CRC-32 confirmed by the device");
  if (transfer_stopped("flash: upgrade")) return interrupted_status();
  const int r = upgrade(crc);
  report_.phase("");  // the writing, if it began, is over however it ended
  if (r == kExitOk && image.size() > kKernelPartitionBytes)
    error("flash: unverified: the image is %zu bytes, more than the %llu of this device family's \"%s\" "
          "partition, and the device does not report whether its flash tool took it",
          image.size(), static_cast<unsigned long long>(kKernelPartitionBytes), kPartition);
  return r;
}

int Station::flash(const std::string& image_path) {
  std::vector<uint8_t> image;
  std::string why;
  if (!load_image(image_path, opts_.max_size, &image, &why)) {
    error("flash: %s", why.c_str());
    return kExitLocal;
  }
  return flash_image(image);
}

}  // namespace mfgstation
