// mfgprobe: test client of the factory link. Sends requests of any form on an
// interface and prints every reply in a form that tests compare line by line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link_protocol.h"
#include "station_link.h"

namespace {

using qvlink::Command;
using qvlink::command_byte;

const char kUsage[] =
    "Usage: mfgprobe -i IFACE [-t MS] [--dest MAC] STEP...\n"
    "Sends factory-link requests (Ethernet type 0x3914) on IFACE and prints each reply:\n"
    "  reply to=MAC from=MAC payload=HEX ok|bad-checksum|bad-length\n"
    "or \"timeout\" when an expected reply does not come within MS milliseconds (default 2000).\n"
    "Requests go to MAC (default ff:ff:ff:ff:ff:ff).\n"
    "Steps:\n"
    "  connect [MAC]        command 1 with MAC (default: the interface's own address)\n"
    "  write-sn TEXT        command 2 with TEXT and a terminating zero\n"
    "  read-sn              command 3\n"
    "  length N             command 4 with N as 4 big-endian bytes\n"
    "  chunk HEX            command 5 with these bytes\n"
    "  chksum HEX32         command 6 with this CRC-32 as 4 big-endian bytes\n"
    "  close | quit | reboot | reset-defaults\n"
    "                       commands 7, 8, 9, 10\n"
    "  upgrade              command 11 (two replies; the second after -T MS, default 120000)\n"
      "  raw CODE HEX [KEY=VALUE...]\n"
    "                       any request: proto=N reserved=N seq=N len=N sum=HHHH|wrong\n"
    "                       frame=N (exact frame length) src=MAC dst=MAC replies=N\n"
    "                       (HEX may be - for no parameter bytes)\n"
    "  wait MS              prints whatever arrives within MS milliseconds\n"
    "Exit status: 0 every expected reply came; 1 a reply did not come; 2 usage or interface error.\n";

struct Options {
  std::string iface;
  int timeout_ms = 2000;
  int flash_timeout_ms = 120000;
  station_link::Mac dest = station_link::kBroadcast;
};

bool parse_hex(const std::string& text, std::vector<uint8_t>& out) {
  out.clear();
  if (text == "-") return true;
  std::string digits;
  for (char c : text)
    if (c != ' ' && c != ':') digits += c;
  if (digits.size() % 2) return false;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    char* end = nullptr;
    std::string pair = digits.substr(i, 2);
    long v = std::strtol(pair.c_str(), &end, 16);
    if (*end) return false;
    out.push_back(static_cast<uint8_t>(v));
  }
  return true;
}

bool parse_number(const std::string& text, long long min, long long max, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno || *end || v < min || v > max) return false;
  value = v;
  return true;
}

void print_reply(const std::vector<uint8_t>& frame) {
  station_link::Reply r;
  if (!station_link::parse_reply(frame, r)) {
    std::printf("frame %s\n", station_link::hex(frame).c_str());
    return;
  }
  std::size_t payload = 8 + r.data.size();
  const char* verdict = !r.length_ok ? "bad-length" : r.checksum_ok ? "ok" : "bad-checksum";
  std::printf("reply to=%s from=%s payload=%s %s\n", station_link::mac_text(r.dest).c_str(),
              station_link::mac_text(r.source).c_str(), station_link::hex(frame.data() + 14, payload).c_str(),
              verdict);
}

class Probe {
 public:
  Probe(const Options& o, station_link::Interface& ifc) : opt_(o), ifc_(ifc) {}

  // Sends one request and prints `replies` replies (or "timeout" for the
  // first that does not come), the last awaited for last_timeout_ms when that
  // is given. False when one did not come, or with the message of a failed
  // send or receive in *error.
  bool exchange(station_link::RequestSpec spec, int replies, std::string* error, int last_timeout_ms = -1) {
    auto frame = station_link::build_request(spec, ifc_.mac);
    if (!station_link::send_frame(ifc_, frame, error)) return false;
    for (int i = 0; i < replies; ++i) {
      int t = (i == replies - 1 && last_timeout_ms >= 0) ? last_timeout_ms : opt_.timeout_ms;
      std::vector<uint8_t> f;
      if (!station_link::receive_frame(ifc_, f, t, error)) return false;
      if (f.empty()) {
        std::printf("timeout\n");
        return false;
      }
      print_reply(f);
    }
    return true;
  }

  station_link::RequestSpec spec(uint8_t command, std::vector<uint8_t> params = {}) const {
    station_link::RequestSpec s;
    s.command = command;
    s.params = std::move(params);
    s.dest = opt_.dest;
    return s;
  }

 private:
  const Options& opt_;
  station_link::Interface& ifc_;
};

int usage_error(const char* what) {
  std::fprintf(stderr, "mfgprobe: %s\n%s", what, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    long long v;
    if (a == "-i" && i + 1 < args.size()) {
      opt.iface = args[++i];
    } else if (a == "-t" && i + 1 < args.size()) {
      if (!parse_number(args[++i], 0, 3600000, v)) return usage_error("bad time-out");
      opt.timeout_ms = static_cast<int>(v);
    } else if (a == "-T" && i + 1 < args.size()) {
      if (!parse_number(args[++i], 0, 3600000, v)) return usage_error("bad flash time-out");
      opt.flash_timeout_ms = static_cast<int>(v);
    } else if (a == "--dest" && i + 1 < args.size()) {
      if (!station_link::parse_mac(args[++i], opt.dest)) return usage_error("bad address");
    } else {
      break;
    }
  }
  if (opt.iface.empty()) return usage_error("no interface (-i IFACE)");
  if (i == args.size()) return usage_error("no step");

  station_link::Interface ifc;
  std::string err;
  if (!station_link::open_interface(opt.iface, ifc, &err)) {
    std::fprintf(stderr, "mfgprobe: %s\n", err.c_str());
    return 2;
  }
  Probe probe(opt, ifc);
  bool ok = true;
  auto need = [&](std::size_t count) { return i + count < args.size(); };
  for (; i < args.size() && ok; ++i) {
    const std::string& step = args[i];
    long long v;
    if (step == "connect") {
      station_link::Mac mac = ifc.mac;
      if (need(1) && station_link::parse_mac(args[i + 1], mac)) ++i;
      ok = probe.exchange(probe.spec(command_byte(Command::CreateConnection), std::vector<uint8_t>(mac.begin(), mac.end())),
                          1, &err);
    } else if (step == "write-sn" && need(1)) {
      const std::string& text = args[++i];
      std::vector<uint8_t> p(text.begin(), text.end());
      p.push_back(0);
      ok = probe.exchange(probe.spec(command_byte(Command::WriteSerialNumber), p), 1, &err);
    } else if (step == "read-sn") {
      ok = probe.exchange(probe.spec(command_byte(Command::ReadSerialNumber)), 1, &err);
    } else if (step == "length" && need(1)) {
      if (!parse_number(args[++i], 0, 0xFFFFFFFFLL, v)) return usage_error("bad length");
      std::vector<uint8_t> p(4);
      qvlink::put_be32(p.data(), static_cast<uint32_t>(v));
      ok = probe.exchange(probe.spec(command_byte(Command::FirmwareLength), p), 1, &err);
    } else if (step == "chunk" && need(1)) {
      std::vector<uint8_t> p;
      if (!parse_hex(args[++i], p)) return usage_error("bad chunk bytes");
      ok = probe.exchange(probe.spec(command_byte(Command::FirmwareChunk), p), 1, &err);
    } else if (step == "chksum" && need(1)) {
      if (!parse_number("0x" + args[++i], 0, 0xFFFFFFFFLL, v)) return usage_error("bad CRC-32");
      std::vector<uint8_t> p(4);
      qvlink::put_be32(p.data(), static_cast<uint32_t>(v));
      ok = probe.exchange(probe.spec(command_byte(Command::FirmwareChecksum), p), 1, &err);
    } else if (step == "close" || step == "quit" || step == "reboot" || step == "reset-defaults") {
      const Command code = step == "close"  ? Command::CloseConnection
                           : step == "quit" ? Command::Quit
                           : step == "reboot" ? Command::Reboot
                                              : Command::DefaultReset;
      ok = probe.exchange(probe.spec(command_byte(code)), 1, &err);
    } else if (step == "upgrade") {
      ok = probe.exchange(probe.spec(command_byte(Command::UpgradeNormalCode)), 2, &err, opt.flash_timeout_ms);
    } else if (step == "wait" && need(1)) {
      if (!parse_number(args[++i], 0, 3600000, v)) return usage_error("bad wait");
      for (auto& f : station_link::receive_frames(ifc, static_cast<int>(v), 100000, static_cast<int>(v)))
        print_reply(f);
    } else if (step == "raw" && need(2)) {
      if (!parse_number(args[++i], 0, 255, v)) return usage_error("bad command code");
      station_link::RequestSpec s = probe.spec(static_cast<uint8_t>(v));
      if (!parse_hex(args[++i], s.params)) return usage_error("bad parameter bytes");
      int replies = 1;
      while (need(1) && args[i + 1].find('=') != std::string::npos) {
        std::string kv = args[++i];
        std::string key = kv.substr(0, kv.find('='));
        std::string val = kv.substr(kv.find('=') + 1);
        bool good = true;
        if (key == "proto" && (good = parse_number(val, 0, 255, v))) s.protocol = static_cast<uint8_t>(v);
        else if (key == "reserved" && (good = parse_number(val, 0, 255, v))) s.reserved = static_cast<uint8_t>(v);
        else if (key == "seq" && (good = parse_number(val, 0, 255, v))) s.sequence = static_cast<uint8_t>(v);
        else if (key == "len" && (good = parse_number(val, 0, 0xFFFF, v))) s.length_field = static_cast<int>(v);
        else if (key == "sum" && val == "wrong") s.wrong_checksum = true;
        else if (key == "sum" && (good = parse_number("0x" + val, 0, 0xFFFF, v))) s.checksum = static_cast<int>(v);
        else if (key == "frame" && (good = parse_number(val, 14, 65535, v))) s.frame_length = static_cast<int>(v);
        else if (key == "src" && (good = station_link::parse_mac(val, s.source))) s.use_source = true;
        else if (key == "dst") good = station_link::parse_mac(val, s.dest);
        else if (key == "replies" && (good = parse_number(val, 0, 1000, v))) replies = static_cast<int>(v);
        else good = false;
        if (!good) return usage_error(("bad option " + kv).c_str());
      }
      ok = probe.exchange(s, replies, &err);
    } else {
      return usage_error(("bad step " + step).c_str());
    }
  }
  if (!err.empty()) std::fprintf(stderr, "mfgprobe: %s\n", err.c_str());
  station_link::close_interface(ifc);
  std::fflush(stdout);
  return ok ? 0 : 1;
}
