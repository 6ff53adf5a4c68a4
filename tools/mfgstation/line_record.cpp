#include "line_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "station.h"
#include "stop_signals.h"

namespace mfgstation {

namespace {

using Json = nlohmann::ordered_json;

double milliseconds_rounded(double seconds) { return std::round(seconds * 1000.0) / 1000.0; }

// Milliseconds since 1970 of a record's "2026-12-08T09:41:07.123Z"; 0 when it
// is not one.
int64_t time_ms(const std::string& text) {
  std::tm tm{};
  int ms = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &ms) != 7)
    return 0;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<int64_t>(timegm(&tm)) * 1000 + ms;
}

}  // namespace

const char* result_word(int exit_status) {
  return exit_status == kExitOk ? "passed" : is_interrupted(exit_status) ? "interrupted" : "failed";
}

std::string utc_time_text() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm tm{};
  gmtime_r(&tv.tv_sec, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long>(tv.tv_usec / 1000));
  return buf;
}

std::string record_json(const DeviceRecord& r) {
  Json j;
  j["time"] = r.time;
  j["interface"] = r.interface;
  j["station"] = r.station;
  j["device"] = r.device;
  if (r.ledger_run) j["ledger_run"] = r.ledger_run;
  if (r.serial_written.empty() && !r.serial_read) {
    j["serial"] = nullptr;
  } else {
    Json s;
    s["written"] = r.serial_written.empty() ? Json(nullptr) : Json(r.serial_written);
    s["confirmed"] = r.serial_confirmed;
    s["read_back"] = r.serial_read ? Json(r.serial_read_back) : Json(nullptr);
    if (r.serial_kept) s["kept"] = true;
    if (!r.serial_replaced.empty()) s["replaced"] = r.serial_replaced;
    j["serial"] = s;
  }
  if (r.image.empty()) {
    j["image"] = nullptr;
  } else {
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", r.image_crc);
    j["image"] = {{"name", r.image}, {"size", r.image_size}, {"crc32", crc}};
  }
  Json steps = Json::array();
  for (const StepRecord& s : r.steps)
    steps.push_back({{"step", s.step}, {"status", s.status}, {"seconds", milliseconds_rounded(s.seconds)}});
  j["steps"] = steps;
  j["result"] = result_word(r.exit_status);
  j["exit_status"] = r.exit_status;
  j["reason"] = r.reason;
  j["messages"] = r.messages;
  // Serial numbers and file names are the operator's text: never let a stray
  // byte make the line unreadable for the importer.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool read_record_file(const std::string& path, RecordFileFacts* facts, std::string* error) {
  // A record that goes to a device or a pipe (/dev/full, a FIFO to the
  // traceability system) holds nothing to read back.
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return true;
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT) return true;
    *error = "cannot read the record file " + path + ": " + std::strerror(errno);
    return false;
  }
  // A line that is not a record (written by something else) names nothing.
  for (std::string line; std::getline(in, line);) {
    const Json j = Json::parse(line, nullptr, false);
    if (!j.is_object()) continue;
    RecordedEnd end;
    const auto serial = j.find("serial");
    if (serial != j.end() && serial->is_object()) {
      const auto written = serial->find("written");
      if (written != serial->end() && written->is_string()) {
        end.serial_written = written->get<std::string>();
        facts->serials.insert(end.serial_written);
      }
      const auto read_back = serial->find("read_back");
      end.serial_read = read_back != serial->end() && read_back->is_string();
      if (end.serial_read) end.serial_read_back = read_back->get<std::string>();
    }
    const auto run = j.find("ledger_run");
    if (run == j.end() || !run->is_number_integer()) continue;
    end.ledger_run = run->get<int64_t>();
    // A field edited into another type counts as missing.
    const auto text = [&j](const char* key, const char* otherwise) {
      const auto f = j.find(key);
      return f != j.end() && f->is_string() ? f->get<std::string>() : std::string(otherwise);
    };
    end.device = text("device", "");
    end.result = text("result", "failed");
    end.reason = text("reason", "");
    const auto status = j.find("exit_status");
    end.exit_status = status != j.end() && status->is_number_integer() ? status->get<int>() : kExitLocal;
    end.ended_ms = time_ms(text("time", ""));
    const auto steps = j.find("steps");
    if (steps != j.end() && steps->is_array())
      for (const auto& step : *steps) {
        const auto seconds = step.is_object() ? step.find("seconds") : step.end();
        if (step.is_object() && seconds != step.end() && seconds->is_number())
          end.ended_ms += std::llround(seconds->get<double>() * 1000.0);
      }
    facts->ends.push_back(end);
  }
  if (in.bad()) {
    *error = "cannot read the record file " + path;
    return false;
  }
  return true;
}

RecordFile::~RecordFile() {
  if (fd_ >= 0) close(fd_);
}

bool RecordFile::open(const std::string& path, std::string* error) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    *error = "cannot open the record file " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  return true;
}

bool RecordFile::append(const DeviceRecord& record, std::string* error) {
  const std::string line = record_json(record) + "\n";
  struct stat before {};
  if (fstat(fd_, &before) != 0) {
    *error = "cannot write the record file " + path_ + ": " + std::strerror(errno);
    return false;
  }
  // One write: with O_APPEND the line lands whole at the end, also when several
  // stations share the file.
  ssize_t n;
  do n = write(fd_, line.data(), line.size());
  while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(line.size())) {
    *error = "cannot write the record file " + path_ + ": " + (n < 0 ? std::strerror(errno) : "the disk is full");
    // Half a line would spoil the line after it for the importer.
    if (n > 0 && ftruncate(fd_, before.st_size) != 0)
      *error += "; a part of the record is left at its end: " + std::string(std::strerror(errno));
    return false;
  }
  if (sync_(fd_) != 0) {
    *error = "cannot sync the record file " + path_ + ": " + std::strerror(errno);
    // The line may still reach the disk later, saying more than was made
    // sure of: it is taken back while it is the last one.
    struct stat after {};
    if (fstat(fd_, &after) != 0 || after.st_size != before.st_size + static_cast<off_t>(line.size()) ||
        ftruncate(fd_, before.st_size) != 0)
      *error += "; the line stays in the file, and this device's result is not the one it gives";
    return false;
  }
  return true;
}

const char* failure_kind(int exit_status) {
  if (is_interrupted(exit_status)) return "interrupted";
  switch (exit_status) {
    case kExitOk: return "passed";
    case kExitUsage: return "usage";
    case kExitLocal: return "station problem";
    case kExitTimeout: return "no reply";
    case kExitCrcMismatch: return "CRC-32 mismatch";
    case kExitChunkFailed: return "chunk not stored";
    case kExitStoreFailed: return "serial number not stored";
    case kExitRejected: return "rejected";
    case kExitOutOfStep: return "out of step";
    case kExitMixed: return "several kinds";
    case kExitSharedAddress: return "address shared";
    case kExitSerialHeld: return "holds an unknown serial number";
    default: return "failed";
  }
}

std::string summary_text(const std::vector<DeviceRecord>& records, const std::string& noun) {
  std::map<int, int> failed;
  int passed = 0, interrupted = 0;
  for (const DeviceRecord& r : records) {
    if (r.exit_status == kExitOk)
      ++passed;
    else if (is_interrupted(r.exit_status))
      ++interrupted;
    else
      ++failed[r.exit_status];
  }
  const std::size_t total = records.size();
  std::string text = std::to_string(total) + " " + noun + (total == 1 ? ": " : "s: ") + std::to_string(passed) +
                     " passed, " + std::to_string(total - static_cast<std::size_t>(passed + interrupted)) + " failed";
  if (!failed.empty()) {
    text += " (";
    bool first = true;
    for (const auto& [status, count] : failed) {
      text += (first ? "" : ", ") + std::to_string(count) + " " + failure_kind(status);
      first = false;
    }
    text += ")";
  }
  if (interrupted) text += ", " + std::to_string(interrupted) + " interrupted";
  text += "\n";
  for (const DeviceRecord& r : records)
    if (!r.serial_written.empty() && !r.serial_confirmed)
      text += "serial number " + r.serial_written + " sent to " + r.device + " was not confirmed\n";
  std::size_t unverified = 0;
  for (const DeviceRecord& r : records)
    unverified += std::any_of(r.steps.begin(), r.steps.end(), [](const StepRecord& s) { return s.status == "unverified"; });
  if (unverified)
    text += std::to_string(unverified) + (unverified == 1 ? " device was" : " devices were") +
            " flashed unverified: the image is larger than the " + std::to_string(kKernelPartitionBytes) +
            " bytes of this device family's \"Kernel\" partition (--max-size), and a device does not report "
            "whether its flash tool took it\n";
  return text;
}

}  // namespace mfgstation
