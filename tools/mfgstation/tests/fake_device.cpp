// mfgstation_fake_device: a stand-in device for the station tool's tests. Answers
// every request at once with the reply the service would give, and can be told
// to lose or spoil chosen replies. Each request is logged as "CMD PARAMCOUNT" on standard output.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link_protocol.h"
#include "station_link.h"

using namespace qvlink;

namespace {

const char kUsage[] =
    "Usage: mfgstation_fake_device -i IFACE [OPTION]...\n"
    "  --mismatch         answer every checksum request with 0x07, 0x05\n"
    "  --drop CMD[:N]     lose the reply to the N-th request (default 1st) of command CMD\n"
    "  --drop-all CMD     lose every reply to command CMD\n"
    "  --chunk-fail N     answer the N-th chunk with 0x08, 0x05\n"
    "  --store-fail       answer the serial-number write with the store's failure reply\n"
    "  --flash-ms MS      time between the two upgrade replies (default 50)\n"
    "  --idle S           end after S seconds without a request (default 60)\n"
    "Ends on the quit command.\n";

struct Config {
  std::string iface;
  bool mismatch = false;
  int drop_cmd = -1;
  int drop_nth = 1;
  int drop_all_cmd = -1;
  int chunk_fail = 0;
  bool store_fail = false;
  int flash_ms = 50;
  int idle_s = 60;
};

struct Device {
  station_link::Interface ifc;
  station_link::RequestSpec spec;
  uint8_t sequence = 0;
  uint32_t crc = 0;
  int counts[256] = {};
};

// A lost reply still counts: the device numbers every reply it sends, and the
// link loses it afterwards.
void reply(Device& dev, const station_link::Mac& to, std::vector<uint8_t> data, bool lost = false) {
  ++dev.sequence;
  if (lost) return;
  dev.spec.command = 0;  // reply code
  dev.spec.params = std::move(data);
  dev.spec.sequence = dev.sequence;
  dev.spec.dest = to;
  dev.spec.min_frame = 0;
  std::string error;
  if (!station_link::send_frame(dev.ifc, station_link::build_request(dev.spec, dev.ifc.mac), &error))
    std::fprintf(stderr, "fake device: %s\n", error.c_str());
}

bool parse_args(int argc, char** argv, Config& cfg) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "-i" && (v = value())) cfg.iface = v;
    else if (a == "--mismatch") cfg.mismatch = true;
    else if (a == "--store-fail") cfg.store_fail = true;
    else if (a == "--drop" && (v = value())) {
      cfg.drop_cmd = std::atoi(v);
      if (const char* colon = std::strchr(v, ':')) cfg.drop_nth = std::atoi(colon + 1);
    } else if (a == "--drop-all" && (v = value())) cfg.drop_all_cmd = std::atoi(v);
    else if (a == "--chunk-fail" && (v = value())) cfg.chunk_fail = std::atoi(v);
    else if (a == "--flash-ms" && (v = value())) cfg.flash_ms = std::atoi(v);
    else if (a == "--idle" && (v = value())) cfg.idle_s = std::atoi(v);
    else return false;
  }
  return !cfg.iface.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Config cfg;
  if (!parse_args(argc, argv, cfg)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  Device dev;
  std::string error;
  if (!station_link::open_interface(cfg.iface, dev.ifc, &error)) {
    std::fprintf(stderr, "fake device: %s\n", error.c_str());
    return 2;
  }
  std::vector<uint8_t> frame;
  station_link::Reply req;
  for (;;) {
    if (!station_link::receive_frame(dev.ifc, frame, cfg.idle_s * 1000, &error)) {
      std::fprintf(stderr, "fake device: %s\n", error.c_str());
      return 1;
    }
    if (frame.empty()) return 0;
    if (!station_link::parse_reply(frame, req) || !req.checksum_ok || req.source == dev.ifc.mac) continue;
    const uint8_t cmd = req.code;
    const int nth = ++dev.counts[cmd];
    std::printf("%u %zu\n", cmd, req.data.size());
    std::fflush(stdout);
    const bool drop = (cmd == cfg.drop_cmd && nth == cfg.drop_nth) || cmd == cfg.drop_all_cmd;
    const uint8_t ok = status_byte(Status::Ok);
    const uint8_t chunk = command_byte(Command::FirmwareChunk);
    const uint8_t upgrade = command_byte(Command::UpgradeNormalCode);
    switch (static_cast<Command>(cmd)) {
      case Command::FirmwareLength:
        dev.crc = 0;
        reply(dev, req.source, {ok, cmd}, drop);
        break;
      case Command::FirmwareChunk:
        if (cfg.chunk_fail && nth == cfg.chunk_fail) {
          reply(dev, req.source, {status_byte(Status::ChunkWriteFailed), chunk});
          break;
        }
        dev.crc = crc32(dev.crc, req.data.data(), static_cast<uint32_t>(req.data.size()));
        reply(dev, req.source, {ok, chunk}, drop);
        break;
      case Command::FirmwareChecksum: {
        bool match = (req.data.size() == 4 && qvlink::get_be32(req.data.data()) == dev.crc);
        if (cfg.mismatch) match = false;
        reply(dev, req.source, {match ? ok : status_byte(Status::CrcMismatch), chunk}, drop);
        break;
      }
      case Command::WriteSerialNumber:
        if (cfg.store_fail) {
          uint8_t failure[qvlink::kStoreFailureLength];
          qvlink::make_store_failure_reply(failure);
          reply(dev, req.source, std::vector<uint8_t>(failure, failure + sizeof failure));
        } else {
          reply(dev, req.source, {ok, cmd}, drop);
        }
        break;
      case Command::ReadSerialNumber:
        reply(dev, req.source, {ok, cmd, 'F', 'A', 'K', 'E', '1'}, drop);
        break;
      case Command::UpgradeNormalCode:
        reply(dev, req.source, {ok, upgrade, static_cast<uint8_t>(UpgradePhase::Starts)}, drop);
        if (cfg.flash_ms > 0) {
          struct timespec ts = {cfg.flash_ms / 1000, (cfg.flash_ms % 1000) * 1000000L};
          nanosleep(&ts, nullptr);
        }
        reply(dev, req.source, {ok, upgrade, static_cast<uint8_t>(UpgradePhase::Ended)}, cmd == cfg.drop_all_cmd);
        break;
      default:
        if (cmd == 0 || cmd >= kCommandCount) {
          reply(dev, req.source, {status_byte(Status::UnknownCommand), cmd});
        } else {
          reply(dev, req.source, {ok, cmd}, drop);
        }
        if (cmd == command_byte(Command::Quit)) return 0;
        break;
    }
  }
}
