// mfgstation_fake_device: a stand-in device for the station tool's tests, the
// tests' device model (device_model.h) on a raw socket. Answers every request at
// once with the reply the service would give, and can be told to lose or spoil
// chosen replies. Each request is logged as "CMD PARAMCOUNT" on standard output.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device_model.h"
#include "link_protocol.h"
#include "station_link.h"

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
    "  --serial S         hold S (may be empty) and keep what a write gives; without\n"
    "                     it the device holds FAKE1 and reads it back whatever it is given\n"
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
  bool serial_given = false;
  std::string serial = "FAKE1";
};

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
    else if (a == "--serial" && (v = value())) {
      cfg.serial = v;
      cfg.serial_given = true;
    }
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
  station_link::Interface ifc;
  std::string error;
  if (!station_link::open_interface(cfg.iface, ifc, &error)) {
    std::fprintf(stderr, "fake device: %s\n", error.c_str());
    return 2;
  }
  mfgtest::DeviceModel dev;
  dev.serial = cfg.serial;
  dev.stores_serial = cfg.serial_given;
  dev.flash_ms = cfg.flash_ms;
  dev.lose_both_upgrade = cfg.drop_all_cmd == qvlink::command_byte(qvlink::Command::UpgradeNormalCode);
  const uint8_t chunk = qvlink::command_byte(qvlink::Command::FirmwareChunk);
  const uint8_t checksum = qvlink::command_byte(qvlink::Command::FirmwareChecksum);
  const uint8_t write_sn = qvlink::command_byte(qvlink::Command::WriteSerialNumber);
  dev.fault = [&](uint8_t cmd, int nth) {
    if ((cmd == cfg.drop_cmd && nth == cfg.drop_nth) || cmd == cfg.drop_all_cmd) return mfgtest::DeviceModel::kDrop;
    if ((cmd == chunk && cfg.chunk_fail && nth == cfg.chunk_fail) || (cmd == checksum && cfg.mismatch) ||
        (cmd == write_sn && cfg.store_fail))
      return mfgtest::DeviceModel::kSpecial;
    return mfgtest::DeviceModel::kAnswer;
  };
  station_link::RequestSpec spec;
  spec.command = 0;  // reply code
  spec.min_frame = 0;
  std::vector<uint8_t> frame;
  station_link::Reply req;
  for (;;) {
    if (!station_link::receive_frame(ifc, frame, cfg.idle_s * 1000, &error)) {
      std::fprintf(stderr, "fake device: %s\n", error.c_str());
      return 1;
    }
    if (frame.empty()) return 0;
    if (!station_link::parse_reply(frame, req) || !req.checksum_ok || req.source == ifc.mac) continue;
    std::printf("%u %zu\n", req.code, req.data.size());
    std::fflush(stdout);
    for (const mfgtest::DeviceModel::Reply& r : dev.request(req.source, req.code, req.data.data(), req.data.size())) {
      if (r.after_ms > 0) {
        struct timespec ts = {r.after_ms / 1000, (r.after_ms % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
      }
      spec.params = r.data;
      spec.sequence = r.sequence;
      spec.dest = r.dest;
      if (!station_link::send_frame(ifc, station_link::build_request(spec, ifc.mac), &error))
        std::fprintf(stderr, "fake device: %s\n", error.c_str());
    }
    if (req.code == qvlink::command_byte(qvlink::Command::Quit)) return 0;
  }
}
