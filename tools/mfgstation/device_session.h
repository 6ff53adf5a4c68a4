// The station's bookkeeping of one device: which reply fits the request in
// flight. The device answers every request with exactly one reply (the upgrade
// with two) and counts every reply it sends in the reply's sequence byte, so
// the station knows which sequence byte the next reply must carry; a reply
// that is missing, extra, late or from elsewhere shows up as one that does not
// fit. One record per device: nothing here is global, so that one process can
// keep such a record for each device it talks to.
#ifndef QV_TOOLS_MFGSTATION_DEVICE_SESSION_H
#define QV_TOOLS_MFGSTATION_DEVICE_SESSION_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "link_protocol.h"
#include "station_link.h"

namespace mfgstation {

using Mac = station_link::Mac;

constexpr uint8_t kCmdConnect = qvlink::command_byte(qvlink::Command::CreateConnection);
constexpr uint8_t kCmdWriteSn = qvlink::command_byte(qvlink::Command::WriteSerialNumber);
constexpr uint8_t kCmdReadSn = qvlink::command_byte(qvlink::Command::ReadSerialNumber);
constexpr uint8_t kCmdLength = qvlink::command_byte(qvlink::Command::FirmwareLength);
constexpr uint8_t kCmdChunk = qvlink::command_byte(qvlink::Command::FirmwareChunk);
constexpr uint8_t kCmdChecksum = qvlink::command_byte(qvlink::Command::FirmwareChecksum);
constexpr uint8_t kCmdClose = qvlink::command_byte(qvlink::Command::CloseConnection);
constexpr uint8_t kCmdQuit = qvlink::command_byte(qvlink::Command::Quit);
constexpr uint8_t kCmdReboot = qvlink::command_byte(qvlink::Command::Reboot);
constexpr uint8_t kCmdDefaults = qvlink::command_byte(qvlink::Command::DefaultReset);
constexpr uint8_t kCmdUpgrade = qvlink::command_byte(qvlink::Command::UpgradeNormalCode);

// What a reply's data mean for the request it answers.
enum class Verdict { Success, Unrelated, CrcMismatch, ChunkFailed, StoreFailed, Rejected };
Verdict classify_reply(uint8_t command, const std::vector<uint8_t>& data);
// A status report that a request damaged on the way earns: unknown protocol
// (payload byte 0 lies outside the checksum), wrong checksum, and a length
// that overruns the frame. The request was not carried out.
bool rejected_in_transit(const std::vector<uint8_t>& data);
// A good checksum and the header a device's reply carries.
bool well_formed(const station_link::Reply& reply);

// How a received frame fits the exchange with the device.
enum class Fit {
  Answer,       // the reply to the request in flight
  Duplicate,    // a second copy of a reply already accounted for
  NotForUs,     // addressed to another station (or to nobody)
  OtherDevice,  // from another device than the one of this session
  Damaged,      // bad checksum or header: as if lost
  OutOfStep,    // fits no request: station and device are out of step
};

struct DeviceSession {
  Mac station{};              // replies must be addressed to it
  Mac device{};               // valid with device_known
  bool device_known = false;  // given, or learnt from the first reply taken

  bool sequence_known = false;  // false at start and after losing step
  uint8_t next_sequence = 0;    // sequence byte of the device's next reply

  bool in_flight = false;
  uint8_t command = 0;   // of the request in flight
  int sends = 0;         // times it went out; a reply to an earlier copy may be lost
  int replies_left = 0;  // the upgrade is answered twice

  // Replies accounted for, by sequence byte: those taken, and those taken to
  // be lost (a request sent again is answered alike, so a lost answer holds
  // what the answer taken holds). A copy of one of them is a duplicate.
  struct Accounted {
    uint8_t sequence;
    std::vector<uint8_t> data;
  };
  std::deque<Accounted> recent;
};

// Does this frame fit? Pure: the session is not changed. With Fit::Answer,
// *verdict says what the reply means.
Fit fit_reply(const DeviceSession& s, const station_link::Reply& reply, Verdict* verdict);

// A new request goes out (replies: 1, or 2 for the upgrade).
void begin_request(DeviceSession& s, uint8_t command, int replies);
// The request in flight goes out once more.
void resend_request(DeviceSession& s);
// Accounts for a reply that fit_reply called an Answer.
void take_reply(DeviceSession& s, const station_link::Reply& reply);
// Nothing is known any more about replies on their way: no request in flight,
// the next reply taken sets the sequence anew.
void lose_step(DeviceSession& s);

}  // namespace mfgstation

#endif
