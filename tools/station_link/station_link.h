// Station side of the factory link (Ethernet type 0x3914), for host tools and
// tests: the production-line station tool, the test client mfgprobe and the
// end-to-end tests.
//
//   station_link::Interface ifc;
//   std::string err;
//   if (!station_link::open_interface("veth0", ifc, &err)) { ... err ... }
//   // ifc.ifindex, ifc.mac, ifc.mtu are now known
//
//   station_link::RequestSpec req;
//   req.command = 1;                                  // create connection
//   req.params.assign(ifc.mac.begin(), ifc.mac.end());
//   std::vector<uint8_t> frame = station_link::build_request(req, ifc.mac);
//   station_link::send_frame(ifc, frame, &err);       // false with a message
//
//   std::vector<uint8_t> got;
//   bool ok = station_link::receive_frame(ifc, got, 2000, &err);  // got empty: time-out
//   station_link::Reply reply;
//   if (ok && station_link::parse_reply(got, reply) && reply.checksum_ok) ...
//   station_link::close_interface(ifc);
//
// build_request can produce any request, well formed or not: any command byte,
// parameters, protocol byte, payload byte 1, sequence byte, a length field of the
// caller's choice (default: parameter count + 1), the right checksum or one of the
// caller's choice, any source and destination, and a frame cut or zero-padded to
// an exact length. By default the frame is zero-padded to the 60-byte Ethernet
// minimum, as a real Ethernet link pads it (a veth link does not pad).
//
// Only frames of type 0x3914 reach receive_frame; the socket is bound to the one
// interface. Nothing here throws or prints: an operation that can fail returns
// true, or false with a message in *error (when error is not null).
#ifndef QV_TOOLS_STATION_LINK_H
#define QV_TOOLS_STATION_LINK_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace station_link {

using Mac = std::array<uint8_t, 6>;

constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::size_t kMinFrame = 60;  // Ethernet minimum without the frame check sequence

struct Interface {
  int sock = -1;
  int ifindex = 0;
  Mac mac{};
  int mtu = 0;
  std::string name;
};

// Opens a raw AF_PACKET socket bound to ifname that receives frames of type
// 0x3914 only, and learns the interface's index, hardware address and MTU.
// With only_from, the kernel passes on only frames from that address, so that
// each of many devices on one segment can have a socket of its own.
bool open_interface(const std::string& ifname, Interface& ifc, std::string* error, const Mac* only_from = nullptr);
void close_interface(Interface& ifc);

// From now on the socket of ifc passes on only the answers that a connect
// earns (reply code 0, data 0x00, 0x01), whoever they come from: a station
// that waits for devices to come is not woken by the replies of the devices
// it serves. False with a message.
bool pass_connect_answers_only(const Interface& ifc, std::string* error);

struct RequestSpec {
  uint8_t command = 0;
  std::vector<uint8_t> params;
  uint8_t protocol = 0;   // payload byte 0; the device accepts only 0
  uint8_t reserved = 0;   // payload byte 1
  uint8_t sequence = 0;   // payload byte 2
  int length_field = -1;  // -1: params.size() + 1; else this 16-bit value is sent
  int checksum = -1;      // -1: the checksum the device expects; else this 16-bit value is sent
  bool wrong_checksum = false;  // send the right checksum with every bit flipped
  Mac dest = kBroadcast;
  bool use_source = false;  // false: the source is own_mac
  Mac source{};
  int frame_length = -1;    // -1: the frame as built, zero-padded to min_frame; else exactly this many bytes
  std::size_t min_frame = kMinFrame;
};

// The whole frame (Ethernet header included) of a request.
std::vector<uint8_t> build_request(const RequestSpec& spec, const Mac& own_mac);

// The checksum the device expects for a request or reply with this length field,
// code and parameters: chksum over length field, code and parameter bytes.
uint16_t payload_checksum(uint16_t length_field, uint8_t code, const uint8_t* data, std::size_t count);

// Sends a whole frame on the interface.
bool send_frame(const Interface& ifc, const std::vector<uint8_t>& frame, std::string* error);

// Waits up to timeout_ms for one incoming frame of type 0x3914 and stores it
// whole in frame; on time-out frame is left empty (no frame of the protocol is).
bool receive_frame(const Interface& ifc, std::vector<uint8_t>& frame, int timeout_ms, std::string* error);

// Collects incoming frames until none has come for quiet_ms, or max_count have
// come, or total_ms have passed. Returns the frames in their order of arrival.
std::vector<std::vector<uint8_t>> receive_frames(const Interface& ifc, int quiet_ms, std::size_t max_count,
                                                 int total_ms = 60000);

// Drops every frame that is already waiting on the socket; returns their count.
int drain(const Interface& ifc);

// A received reply, taken apart.
struct Reply {
  Mac dest{};
  Mac source{};
  uint8_t protocol = 0;
  uint8_t reserved = 0;
  uint8_t sequence = 0;
  uint16_t checksum = 0;      // as received
  uint16_t length_field = 0;  // as received
  uint8_t code = 0;
  std::vector<uint8_t> data;  // length_field - 1 bytes (0 when the field is 0), cut to what the frame holds
  bool length_ok = false;     // the frame holds all the data bytes the length field claims
  bool checksum_ok = false;   // length_ok and the checksum matches
  std::size_t frame_size = 0;
};

// Takes a frame of type 0x3914 apart. False when it is not one (wrong type, or
// shorter than the 22 bytes of Ethernet and payload header).
bool parse_reply(const std::vector<uint8_t>& frame, Reply& reply);

// The first data byte of a reply (0 means success), and whether a reply reports
// success for command: a well-formed reply with data 0x00, command. The store's
// 32-byte failure reply of the serial-number write (0x00, 0x01, "Fail to writ db",
// zeros) starts with 0 but is a failure: is_store_failure_reply tells it apart.
bool is_success(const Reply& reply, uint8_t command);
bool is_store_failure_reply(const Reply& reply);

// "00 11 22 ..." (upper-case, single blanks), and "00:11:22:33:44:55".
std::string hex(const uint8_t* data, std::size_t count);
inline std::string hex(const std::vector<uint8_t>& v) { return hex(v.data(), v.size()); }
std::string mac_text(const Mac& mac);
// Parses "00:11:22:33:44:55" (or with '-'); false when it is not an address.
bool parse_mac(const std::string& text, Mac& mac);

}  // namespace station_link

#endif
