#include "serial_numbers.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "station.h"

namespace mfgstation {

namespace {

// Serial numbers travel as text and sit in the state file between blanks, so
// they are printable ASCII without blanks.
bool serial_char(char c) { return c > ' ' && c <= '~'; }

std::string sys_error(const std::string& what) { return what + ": " + std::strerror(errno); }

// The folder of a path, for syncing the rename into it.
std::string folder_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file that path leads to through any symlinks (at most 40, as the
// kernel follows); path itself when it is none or cannot be read as one.
std::string followed(const std::string& path) {
  std::string p = path;
  for (int depth = 0; depth < 40; ++depth) {
    char target[PATH_MAX];
    const ssize_t n = readlink(p.c_str(), target, sizeof target - 1);
    if (n <= 0) break;
    const std::string t(target, static_cast<std::size_t>(n));
    p = t[0] == '/' ? t : folder_of(p) + "/" + t;
  }
  return p;
}

bool write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Holds the state file's lock file for the life of the object.
class StateLock {
 public:
  explicit StateLock(const std::string& state_path) {
    const std::string path = state_path + ".lock";
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      error_ = sys_error("cannot open the lock file " + path);
      return;
    }
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      error_ = sys_error("cannot lock " + path);
      close(fd_);
      fd_ = -1;
      return;
    }
  }
  ~StateLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;
  bool held(std::string* error) const {
    if (fd_ < 0 && error) *error = error_;
    return fd_ >= 0;
  }

 private:
  int fd_ = -1;
  std::string error_;
};

}  // namespace

int SnPattern::parse(const std::string& text, std::string* error) {
  std::string spec, literal[2];
  int conversions = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '%') {
      if (!serial_char(c)) {
        *error = "serial number pattern \"" + text + "\": only printable characters without blanks";
        return -1;
      }
      spec += c;
      literal[conversions > 0] += c;
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '%') {
      spec += "%%";
      literal[conversions > 0] += '%';
      ++i;
      continue;
    }
    // %[flags][width][.precision]conversion
    std::size_t j = i + 1;
    while (j < text.size() && std::strchr("-+ 0#", text[j])) ++j;
    std::size_t digits = 0;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j, ++digits;
    if (j < text.size() && text[j] == '.') {
      ++j;
      while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j, ++digits;
    }
    if (j >= text.size() || !std::strchr("diuxXo", text[j]) || digits > 4) {
      *error = "serial number pattern \"" + text +
               "\": a conversion must be an integer one (%d, %i, %u, %x, %X or %o, with flags, width and "
               "precision, no length modifier)";
      return -1;
    }
    spec += text.substr(i, j - i) + "ll" + text[j];
    base_ = text[j] == 'o' ? 8 : text[j] == 'x' || text[j] == 'X' ? 16 : 10;
    ++conversions;
    i = j;
  }
  if (conversions != 1) {
    *error = "serial number pattern \"" + text + "\" must hold exactly one integer conversion such as %06d";
    return -1;
  }
  spec_ = spec;
  prefix_ = literal[0];
  suffix_ = literal[1];
  return 0;
}

bool SnPattern::number_of(const std::string& serial, uint64_t* n) const {
  if (spec_.empty() || serial.size() < prefix_.size() + suffix_.size() || serial.compare(0, prefix_.size(), prefix_) ||
      serial.compare(serial.size() - suffix_.size(), suffix_.size(), suffix_))
    return false;
  // What the flags may have put around the digits: padding blanks, a sign,
  // and with # a 0x.
  std::string digits = serial.substr(prefix_.size(), serial.size() - prefix_.size() - suffix_.size());
  const std::size_t first = digits.find_first_not_of(" +"), last = digits.find_last_not_of(' ');
  if (first == std::string::npos) return false;
  digits = digits.substr(first, last - first + 1);
  if (base_ == 16 && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
    digits = digits.substr(2);
  if (digits.empty() || !std::isxdigit(static_cast<unsigned char>(digits[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(digits.c_str(), &end, base_);
  if (errno || *end) return false;
  *n = v;
  return format(v) == serial;
}

std::string SnPattern::format(uint64_t n) const {
  char buf[128];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  // parse() let through one integer conversion with an "ll" length, nothing else.
  int len = std::snprintf(buf, sizeof buf, spec_.c_str(), static_cast<unsigned long long>(n));
#pragma GCC diagnostic pop
  if (len < 0) return {};
  return std::string(buf, static_cast<std::size_t>(len) < sizeof buf ? static_cast<std::size_t>(len) : sizeof buf - 1);
}

int load_sn_list(const std::string& path, std::vector<std::string>* list, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = sys_error("cannot open the serial number list " + path);
    return -1;
  }
  list->clear();
  std::vector<std::string> entries;
  std::set<std::string> seen;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.empty()) continue;
    const std::string where = path + " line " + std::to_string(number);
    if (line.size() > kSerialMax) {
      *error = where + ": \"" + line + "\" is longer than " + std::to_string(kSerialMax) + " characters";
      return -1;
    }
    for (char c : line)
      if (!serial_char(c)) {
        *error = where + ": only printable characters without blanks";
        return -1;
      }
    // A list exported as CSV: its header and its columns are no serial numbers.
    if (line.find_first_of(",;") != std::string::npos) {
      *error = where + ": \"" + line + "\" is not one serial number (a comma or semicolon: a CSV line?)";
      return -1;
    }
    if (!seen.insert(line).second) {
      *error = where + ": \"" + line + "\" is already on the list";
      return -1;
    }
    entries.push_back(line);
  }
  if (in.bad()) {
    *error = "cannot read the serial number list " + path;
    return -1;
  }
  if (entries.empty()) {
    *error = "the serial number list " + path + " is empty";
    return -1;
  }
  *list = std::move(entries);
  return 0;
}

SnAllocator::SnAllocator(const std::string& state_path, const SnPattern& pattern)
    : path_(followed(state_path)), pattern_(pattern) {}

SnAllocator::SnAllocator(const std::string& state_path, std::vector<std::string> list)
    : path_(followed(state_path)), from_list_(true), list_(std::move(list)) {}

int SnAllocator::read_state(State* state, std::string* error) const {
  *state = State{};
  errno = 0;
  std::ifstream in(path_);
  if (!in) {
    if (errno == ENOENT) return 0;
    *error = sys_error("cannot open the serial number state " + path_);
    return -1;
  }
  std::string line;
  bool counter = false;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    const std::string where = path_ + " line " + std::to_string(number);
    std::istringstream fields(line);
    std::string word, rest;
    fields >> word;
    if (!counter) {
      char* end = nullptr;
      errno = 0;
      unsigned long long v = std::strtoull(word.c_str(), &end, 10);
      if (word.empty() || word[0] < '0' || word[0] > '9' || *end || errno || v < 1 || v >= LLONG_MAX) {
        *error = where + ": the counter must come first, a whole number from 1 on";
        return -1;
      }
      // Refused rather than dropped at the next rewrite.
      if (fields >> rest) {
        *error = where + ": text after the counter: \"" + line + "\"";
        return -1;
      }
      state->next = v;
      counter = true;
    } else if (word == "unconfirmed") {
      UnconfirmedSn u;
      fields >> u.serial;
      std::getline(fields >> std::ws, u.note);
      if (u.serial.empty()) {
        *error = where + ": an unconfirmed entry without a serial number";
        return -1;
      }
      state->unconfirmed.push_back(u);
    } else {
      // Refused rather than dropped at the next rewrite.
      *error = where + ": not understood: \"" + line + "\"";
      return -1;
    }
  }
  if (in.bad()) {
    *error = "cannot read the serial number state " + path_;
    return -1;
  }
  if (!counter) {
    *error = "the serial number state " + path_ + " holds no counter";
    return -1;
  }
  return 0;
}

int SnAllocator::write_state(const State& state, std::string* error) const {
  std::string text = std::to_string(state.next) + "\n";
  for (const UnconfirmedSn& u : state.unconfirmed) text += "unconfirmed " + u.serial + " " + u.note + "\n";
  const std::string tmp = path_ + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = sys_error("cannot write " + tmp);
    return -1;
  }
  if (!write_all(fd, text) || fsync(fd) != 0) {
    *error = sys_error("cannot write " + tmp);
    close(fd);
    unlink(tmp.c_str());
    return -1;
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path_.c_str()) != 0) {
    *error = sys_error("cannot replace " + path_);
    unlink(tmp.c_str());
    return -1;
  }
  // The rename is durable only once the folder is on disk.
  const std::string folder = folder_of(path_);
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || fsync(dir) != 0) {
    *error = sys_error("cannot sync the folder " + folder);
    if (dir >= 0) close(dir);
    return -1;
  }
  close(dir);
  return 0;
}

int SnAllocator::serial_for(uint64_t n, std::string* serial, std::string* error) const {
  if (from_list_) {
    if (n > list_.size()) {
      *error = "not enough serial numbers: the list holds " + std::to_string(list_.size()) + " and number " +
               std::to_string(n) + " is needed (the counter in " + path_ + ")";
      return -1;
    }
    *serial = list_[n - 1];
    return 0;
  }
  *serial = pattern_.format(n);
  if (serial->empty() || serial->size() > kSerialMax) {
    *error = "serial number \"" + *serial + "\" for counter " + std::to_string(n) + " is longer than " +
             std::to_string(kSerialMax) + " characters";
    return -1;
  }
  for (char c : *serial)
    if (!serial_char(c)) {
      *error = "serial number \"" + *serial + "\" holds a blank or an unprintable character";
      return -1;
    }
  return 0;
}

int SnAllocator::next(std::size_t count, const std::string* note, std::string* serial,
                      std::vector<UnconfirmedSn>* earlier, std::string* error) const {
  StateLock lock(path_);
  if (!lock.held(error)) return -1;
  State state;
  std::string s;
  if (read_state(&state, error) < 0) return -1;
  for (std::size_t i = count; i-- > 0;) {
    if (serial_for(state.next + i, &s, error) < 0) return -1;
    if (on_record_.count(s)) {
      *error = s + " is already in the record file " + record_path_ + ", yet the counter in " + path_ +
               " would give it again (the state file put back from an older copy?): set the counter past the "
               "numbers on record (--set-counter N)";
      return -1;
    }
  }
  if (earlier) *earlier = state.unconfirmed;
  if (!note) return 0;
  state.next += 1;
  state.unconfirmed.push_back({s, *note});
  if (write_state(state, error) < 0) return -1;
  *serial = s;
  return 0;
}

int SnAllocator::check(std::size_t count, std::vector<UnconfirmedSn>* earlier, std::string* error) const {
  return next(count, nullptr, nullptr, earlier, error);
}

int SnAllocator::take(const std::string& note, std::string* serial, std::string* error) {
  return next(1, &note, serial, nullptr, error);
}

int SnAllocator::confirm(const std::string& serial, std::string* error) {
  StateLock lock(path_);
  if (!lock.held(error)) return -1;
  State state;
  if (read_state(&state, error) < 0) return -1;
  for (auto it = state.unconfirmed.begin(); it != state.unconfirmed.end(); ++it)
    if (it->serial == serial) {
      state.unconfirmed.erase(it);
      return write_state(state, error);
    }
  return 0;
}

int SnAllocator::known(const std::string& serial, bool* known, std::string* error) const {
  StateLock lock(path_);
  if (!lock.held(error)) return -1;
  State state;
  if (read_state(&state, error) < 0) return -1;
  *known = false;
  for (const UnconfirmedSn& u : state.unconfirmed) *known = *known || u.serial == serial;
  uint64_t n = 0;
  if (from_list_) {
    for (std::size_t i = 0; i < list_.size() && i + 1 < state.next; ++i) *known = *known || list_[i] == serial;
  } else if (pattern_.number_of(serial, &n)) {
    *known = *known || (n >= 1 && n < state.next);
  }
  return 0;
}

int SnAllocator::set_counter(uint64_t next, std::string* error) {
  if (next < 1 || next >= LLONG_MAX) {
    *error = "the counter must be a whole number from 1 on";
    return -1;
  }
  StateLock lock(path_);
  if (!lock.held(error)) return -1;
  State state;
  if (read_state(&state, error) < 0) return -1;
  if (next < state.next) {
    *error = "the counter in " + path_ + " stands at " + std::to_string(state.next) + "; it never goes down, numbers below " +
             std::to_string(state.next) + " were given";
    return -1;
  }
  state.next = next;
  return write_state(state, error);
}

}  // namespace mfgstation
