#include "device_model.h"

#include <algorithm>

#include "link_protocol.h"

namespace mfgtest {

using namespace qvlink;

std::vector<DeviceModel::Reply> DeviceModel::request(const station_link::Mac& from, uint8_t command,
                                                     const uint8_t* params, std::size_t count) {
  std::vector<Reply> out;
  const Action a = fault(command, ++counts[command]);
  if (a == kLose) return out;
  if (a == kDamaged) {
    emit(from, {status_byte(Status::WrongChecksum), command}, false, &out);
  } else if (a == kNoPeer) {
    emit(station_link::Mac{}, {status_byte(Status::Ok), command}, false, &out);
  } else {
    process(from, command, params, count, a, &out);
    if (a == kTwice) process(from, command, params, count, kAnswer, &out);
  }
  return out;
}

void DeviceModel::leave_transfer_open(const Bytes& part) {
  open_ = true;
  staged.assign(part.begin(), part.end());
  crc_ = crc32(0, part.data(), static_cast<uint32_t>(part.size()));
  remaining_ = 1000000;
}

// Keeps the staged image as the service does: a chunk after idle starts the
// file anew (and its CRC-32), the announced length closes it.
void DeviceModel::process(const station_link::Mac& from, uint8_t command, const uint8_t* params, std::size_t count,
                          Action a, std::vector<Reply>* out) {
  const uint8_t ok = status_byte(Status::Ok);
  const uint8_t chunk = command_byte(Command::FirmwareChunk);
  Bytes r = {ok, command};
  if (command == 0 || command >= kCommandCount) {
    emit(from, {status_byte(Status::UnknownCommand), command}, false, out);
    return;
  }
  switch (static_cast<Command>(command)) {
    case Command::FirmwareLength:
      remaining_ = count == 4 ? get_be32(params) : 0;
      break;
    case Command::FirmwareChunk:
      if (a == kSpecial) {
        emit(from, {status_byte(Status::ChunkWriteFailed), chunk}, false, out);
        return;
      }
      if (!open_) {
        open_ = true;
        staged.clear();
        crc_ = 0;
      }
      crc_ = crc32(crc_, params, static_cast<uint32_t>(count));
      staged.append(params, params + count);
      if (count < remaining_) {
        remaining_ -= static_cast<uint32_t>(count);
      } else {
        remaining_ = 0;
        open_ = false;
      }
      r = {ok, chunk};
      break;
    case Command::FirmwareChecksum: {
      const bool match = count == 4 && get_be32(params) == crc_ && a != kSpecial;
      r = {match ? ok : status_byte(Status::CrcMismatch), chunk};
      break;
    }
    case Command::WriteSerialNumber:
      if (a == kSpecial) {
        uint8_t failure[kStoreFailureLength];
        make_store_failure_reply(failure);
        r.assign(failure, failure + sizeof failure);
      } else if (stores_serial) {
        serial.assign(params, std::find(params, params + count, 0));
      }
      break;
    case Command::ReadSerialNumber:
      r.insert(r.end(), serial.begin(), serial.end());
      break;
    case Command::UpgradeNormalCode:
      if (a == kSpecial) {  // the staged image could not be written whole
        emit(from, {status_byte(Status::ChunkWriteFailed), command}, false, out);
        return;
      }
      ++flashes;
      flashed = staged;
      emit(from, {ok, command, static_cast<uint8_t>(UpgradePhase::Starts)}, a == kDrop, out);
      emit(from, {ok, command, static_cast<uint8_t>(UpgradePhase::Ended)},
           a == kDrop && lose_both_upgrade, out, flash_ms);
      return;
    default:
      if (a == kSpecial) r = {status_byte(Status::UnknownCommand), command};
      break;
  }
  emit(from, r, a == kDrop, out);
  if (a == kCopy && !out->empty()) out->push_back(out->back());
}

void DeviceModel::emit(const station_link::Mac& to, const Bytes& data, bool lost, std::vector<Reply>* out,
                       int after_ms) {
  ++sequence;
  if (!lost) out->push_back(Reply{to, sequence, data, after_ms});
}

}  // namespace mfgtest
