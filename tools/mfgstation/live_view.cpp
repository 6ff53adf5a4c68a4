#include "live_view.h"

#include <algorithm>

namespace mfgstation {

namespace {

constexpr int kBarWidth = 20;
constexpr const char* kWaiting = "waiting";  // a device's step before its first

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

double rate_mib(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / 1048576.0 / seconds : 0.0;
}

long long whole_seconds(double seconds) { return static_cast<long long>(seconds); }

}  // namespace

std::string device_row_text(const DeviceRow& row, std::size_t width) {
  std::string line = row.mac + "  " + padded(row.serial.empty() ? "-" : row.serial, 14) + "  " +
                     padded(row.step, 14) + "  ";
  if (!row.phase.empty()) {
    line += row.phase + ", " + std::to_string(whole_seconds(row.phase_seconds)) + " s  ";
  } else if (row.total > 0) {
    const int filled = static_cast<int>(row.done * kBarWidth / row.total);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), '.');
    char progress[96];
    std::snprintf(progress, sizeof progress, "[%s] %3d%% %6.2f MiB/s  ", bar.c_str(),
                  static_cast<int>(row.done * 100 / row.total), rate_mib(row.done, row.seconds));
    line += progress;
  }
  // The result is what the operator looks for: whatever does not fit is cut
  // before it, never the result itself.
  if (width > 0 && line.size() + row.result.size() > width && row.result.size() + 1 < width) {
    line.resize(width - row.result.size() - 1);
    line += ' ';
  }
  line += row.result;
  while (!line.empty() && line.back() == ' ') line.pop_back();
  if (width > 0 && line.size() > width) line.resize(width);
  return line;
}

bool finished_well(const std::string& result) {
  return result.compare(0, 6, "passed") == 0 || result.compare(0, 4, "done") == 0;
}

std::vector<std::size_t> rows_in_sight(const std::vector<DeviceRow>& rows, std::size_t lines, std::string* rest_text) {
  std::vector<std::size_t> shown;
  rest_text->clear();
  if (lines == 0 || rows.size() <= lines) {
    for (std::size_t i = 0; i < rows.size(); ++i) shown.push_back(i);
    return shown;
  }
  // 0 failed, 1 running, 2 waiting, 3 passed: the first ranks take the room.
  auto rank = [](const DeviceRow& r) {
    if (!r.result.empty()) return finished_well(r.result) ? 3 : 0;
    return r.step == kWaiting ? 2 : 1;
  };
  const std::size_t room = lines - 1;
  for (int want = 0; want <= 3 && shown.size() < room; ++want)
    for (std::size_t i = 0; i < rows.size() && shown.size() < room; ++i)
      if (rank(rows[i]) == want) shown.push_back(i);
  std::sort(shown.begin(), shown.end());
  std::size_t hidden[4] = {};
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (!std::binary_search(shown.begin(), shown.end(), i)) ++hidden[rank(rows[i])];
  static const char* const kNames[4] = {"failed", "running", "waiting", "passed"};
  *rest_text = "... " + std::to_string(rows.size() - shown.size()) + " more devices:";
  bool first = true;
  for (int k = 0; k < 4; ++k)
    if (hidden[k]) {
      *rest_text += (first ? " " : ", ") + std::to_string(hidden[k]) + " " + kNames[k];
      first = false;
    }
  return shown;
}

LiveView::LiveView(FILE* out, FILE* err, bool terminal, std::size_t width, const std::vector<std::string>& macs,
                   std::size_t height, Clock clock)
    : out_(out),
      err_(err),
      terminal_(terminal),
      width_(width ? width - 1 : 0),
      // One line is left for the cursor below the table.
      lines_(height > 1 ? height - 1 : 0),
      clock_(clock ? std::move(clock) : Clock(std::chrono::steady_clock::now)) {
  for (const std::string& mac : macs) slots_[next_++].row = DeviceRow{mac, "", kWaiting, 0, 0, 0, "", "", 0};
}

std::size_t LiveView::add(const std::string& mac) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t device = next_++;
  slots_[device].row = DeviceRow{mac, "", kWaiting, 0, 0, 0, "", "", 0};
  if (terminal_) draw_locked(false);
  return device;
}

void LiveView::keep_finished(std::size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  keep_finished_ = n;
}

void LiveView::status(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (line == status_) return;
  status_ = line;
  if (terminal_) draw_locked(false);
}

LiveView::Slot* LiveView::slot_locked(std::size_t device) {
  const auto it = slots_.find(device);
  return it == slots_.end() ? nullptr : &it->second;
}

void LiveView::clear_table_locked() {
  if (drawn_ > 0) std::fprintf(out_, "\x1b[%zuA\r\x1b[J", drawn_);
  drawn_ = 0;
}

void LiveView::draw_locked(bool force) {
  const auto now = clock_();
  held_back_ = !force && now - last_draw_ < std::chrono::milliseconds(100);
  if (held_back_) return;
  last_draw_ = now;
  std::vector<DeviceRow> rows;
  rows.reserve(slots_.size());
  for (const auto& s : slots_) rows.push_back(s.second.row);
  const std::size_t below = status_.empty() ? 0 : 1;
  std::string rest;
  const std::vector<std::size_t> shown =
      rows_in_sight(rows, lines_ == 0 ? 0 : lines_ > below + 1 ? lines_ - below : 1, &rest);
  // A table that grew or shrank is cleared below its new end.
  const std::size_t lines = shown.size() + !rest.empty() + below;
  if (drawn_ > 0) std::fprintf(out_, "\x1b[%zuA", drawn_);
  auto line = [this](std::string text) {
    if (width_ > 0 && text.size() > width_) text.resize(width_);
    std::fprintf(out_, "\r\x1b[2K%s\n", text.c_str());
  };
  for (std::size_t i : shown) line(device_row_text(rows[i], width_));
  if (!rest.empty()) line(rest);
  if (below) line(status_);
  if (lines < drawn_) std::fprintf(out_, "\x1b[J");
  drawn_ = lines;
  std::fflush(out_);
}

void LiveView::step(std::size_t device, const std::string& step) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot* s = slot_locked(device);
  if (!s) return;
  DeviceRow& row = s->row;
  row.step = step;
  row.done = row.total = 0;
  row.seconds = 0;
  row.phase.clear();
  s->phase_began.reset();
  s->tenth = -1;
  if (terminal_) draw_locked(false);
}

void LiveView::serial(std::size_t device, const std::string& serial) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot* s = slot_locked(device);
  if (!s) return;
  s->row.serial = serial;
  if (terminal_) draw_locked(false);
}

void LiveView::progress(std::size_t device, uint64_t done, uint64_t total, double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot* s = slot_locked(device);
  if (!s) return;
  DeviceRow& row = s->row;
  row.done = done;
  row.total = total;
  row.seconds = seconds;
  if (terminal_) {
    draw_locked(done == total);
    return;
  }
  const int tenth = total ? static_cast<int>(done * 10 / total) : 10;
  if (tenth == s->tenth) return;
  s->tenth = tenth;
  std::fprintf(out_, "%s: %s: %llu of %llu bytes (%d%%), %.2f MiB/s\n", row.mac.c_str(), row.step.c_str(),
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
               static_cast<int>(total ? done * 100 / total : 100), rate_mib(done, seconds));
}

void LiveView::result(std::size_t device, const std::string& result) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot* s = slot_locked(device);
  if (!s) return;
  s->row.result = result;
  if (!terminal_) std::fprintf(out_, "%s: %s\n", s->row.mac.c_str(), result.c_str());
  if (keep_finished_) {
    finished_.push_back(device);
    while (finished_.size() > keep_finished_) {
      slots_.erase(finished_.front());
      finished_.pop_front();
    }
  }
  if (terminal_) draw_locked(true);
}

bool LiveView::phase_time_locked(Slot& s) {
  if (!s.phase_began) return false;
  DeviceRow& row = s.row;
  const long long shown = whole_seconds(row.phase_seconds);
  row.phase_seconds = std::chrono::duration<double>(clock_() - *s.phase_began).count();
  return whole_seconds(row.phase_seconds) != shown;
}

void LiveView::phase(std::size_t device, const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot* s = slot_locked(device);
  if (!s) return;
  if (what.empty()) {
    if (!s->phase_began) return;
    phase_time_locked(*s);
    s->phase_began.reset();
  } else {
    s->row.phase = what;
    s->row.phase_seconds = 0;
    s->phase_began = clock_();
  }
  if (terminal_) draw_locked(false);
}

void LiveView::tick() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!terminal_) return;
  bool moved = false;
  for (auto& s : slots_) moved = phase_time_locked(s.second) || moved;
  if (moved || held_back_) draw_locked(false);
}

void LiveView::message(std::size_t device, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot* s = slot_locked(device);
  print_locked((s ? s->row.mac : std::string("?")) + ": " + line);
}

void LiveView::notice(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  print_locked("mfgstation: " + line);
}

void LiveView::print_locked(const std::string& text) {
  if (!terminal_) {
    std::fprintf(err_, "%s\n", text.c_str());
    return;
  }
  clear_table_locked();
  std::fprintf(out_, "%s\n", text.c_str());
  draw_locked(true);
}

void LiveView::note(std::size_t device, const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot* s = slot_locked(device);
  if (s && !terminal_) std::fprintf(out_, "%s: %s\n", s->row.mac.c_str(), line.c_str());
}

void LiveView::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (terminal_) draw_locked(true);
  std::fflush(out_);
}

}  // namespace mfgstation
