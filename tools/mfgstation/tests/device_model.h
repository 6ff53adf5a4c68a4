// The device as the station's tests see it, one model for all of them: the
// unit tests put it behind a Transport in memory, mfgstation_fake_device puts
// it on a raw socket. It answers every request as the service does (the staged
// image and its CRC-32, the serial number, the upgrade's two replies), numbers
// every reply it sends, also one that the link then loses, and lets a test
// choose what happens to each request.
#ifndef QV_TOOLS_MFGSTATION_TESTS_DEVICE_MODEL_H
#define QV_TOOLS_MFGSTATION_TESTS_DEVICE_MODEL_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "station_link.h"

namespace mfgtest {

using Bytes = std::vector<uint8_t>;

class DeviceModel {
 public:
  // What happens to the n-th (1-based) request of a command. kDrop: its reply
  // is lost; kLose: the request is; kTwice: the request arrives twice; kCopy:
  // its reply does; kDamaged: it arrives spoilt (status 5); kNoPeer: the device
  // restarted and answers to 00:00:00:00:00:00; kSpecial: the command's own
  // failure (chunk 08 05, CRC-32 07 05, the store's failure, the image not
  // whole 08 0B, otherwise status 3).
  enum Action { kAnswer, kDrop, kSpecial, kTwice, kCopy, kLose, kDamaged, kNoPeer };
  std::function<Action(uint8_t command, int nth)> fault = [](uint8_t, int) { return kAnswer; };
  std::string serial = "QV1";      // what read-sn answers
  bool stores_serial = false;      // write-sn changes it
  bool lose_both_upgrade = false;  // kDrop on the upgrade loses its second reply too
  int flash_ms = 0;                // between the upgrade's two replies

  struct Reply {
    station_link::Mac dest;
    uint8_t sequence;
    Bytes data;
    int after_ms = 0;  // sent this long after the reply before it
  };
  // The replies to a request from `from` that reach the link, in order.
  std::vector<Reply> request(const station_link::Mac& from, uint8_t command, const uint8_t* params,
                             std::size_t count);

  // What a station stopped halfway leaves: a transfer still open.
  void leave_transfer_open(const Bytes& part);

  std::string staged;   // the staged image
  std::string flashed;  // the staged image when the flash tool last ran
  int flashes = 0;
  int counts[256] = {};    // requests by command
  uint8_t sequence = 0;    // of the last reply sent

 private:
  void process(const station_link::Mac& from, uint8_t command, const uint8_t* params, std::size_t count, Action a,
               std::vector<Reply>* out);
  void emit(const station_link::Mac& to, const Bytes& data, bool lost, std::vector<Reply>* out, int after_ms = 0);

  bool open_ = false;
  uint32_t remaining_ = 0;
  uint32_t crc_ = 0;
};

}  // namespace mfgtest

#endif
