#include "serial_numbers.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "station.h"

namespace mfgstation {

namespace {

// Serial numbers travel as text and sat in the state file between blanks, so
// they are printable ASCII without blanks.
bool serial_char(char c) { return c > ' ' && c <= '~'; }

std::string sys_error(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

bool SnPattern::parse(const std::string& text, std::string* error) {
  std::string spec, literal[2];
  int conversions = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '%') {
      if (!serial_char(c)) {
        *error = "serial number pattern \"" + text + "\": only printable characters without blanks";
        return false;
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
      return false;
    }
    spec += text.substr(i, j - i) + "ll" + text[j];
    base_ = text[j] == 'o' ? 8 : text[j] == 'x' || text[j] == 'X' ? 16 : 10;
    ++conversions;
    i = j;
  }
  if (conversions != 1) {
    *error = "serial number pattern \"" + text + "\" must hold exactly one integer conversion such as %06d";
    return false;
  }
  spec_ = spec;
  prefix_ = literal[0];
  suffix_ = literal[1];
  return true;
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

bool load_sn_list(const std::string& path, std::vector<std::string>* list, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = sys_error("cannot open the serial number list " + path);
    return false;
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
      return false;
    }
    for (char c : line)
      if (!serial_char(c)) {
        *error = where + ": only printable characters without blanks";
        return false;
      }
    // A list exported as CSV: its header and its columns are no serial numbers.
    if (line.find_first_of(",;") != std::string::npos) {
      *error = where + ": \"" + line + "\" is not one serial number (a comma or semicolon: a CSV line?)";
      return false;
    }
    if (!seen.insert(line).second) {
      *error = where + ": \"" + line + "\" is already on the list";
      return false;
    }
    entries.push_back(line);
  }
  if (in.bad()) {
    *error = "cannot read the serial number list " + path;
    return false;
  }
  if (entries.empty()) {
    *error = "the serial number list " + path + " is empty";
    return false;
  }
  *list = std::move(entries);
  return true;
}

bool read_sn_state(const std::string& path, SnState* state, std::string* error) {
  *state = SnState{};
  errno = 0;
  std::ifstream in(path);
  if (!in) {
    *error = sys_error("cannot open the serial number state " + path);
    return false;
  }
  std::string line;
  bool counter = false;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    const std::string where = path + " line " + std::to_string(number);
    std::istringstream fields(line);
    std::string word, rest;
    fields >> word;
    if (!counter) {
      char* end = nullptr;
      errno = 0;
      unsigned long long v = std::strtoull(word.c_str(), &end, 10);
      if (word.empty() || word[0] < '0' || word[0] > '9' || *end || errno || v < 1 || v >= LLONG_MAX) {
        *error = where + ": the counter must come first, a whole number from 1 on";
        return false;
      }
      // Refused rather than dropped at the next rewrite.
      if (fields >> rest) {
        *error = where + ": text after the counter: \"" + line + "\"";
        return false;
      }
      state->next = v;
      counter = true;
    } else if (word == "unconfirmed") {
      UnconfirmedSn u;
      fields >> u.serial;
      std::getline(fields >> std::ws, u.note);
      if (u.serial.empty()) {
        *error = where + ": an unconfirmed entry without a serial number";
        return false;
      }
      state->unconfirmed.push_back(u);
    } else {
      // Refused rather than dropped at the next rewrite.
      *error = where + ": not understood: \"" + line + "\"";
      return false;
    }
  }
  if (in.bad()) {
    *error = "cannot read the serial number state " + path;
    return false;
  }
  if (!counter) {
    *error = "the serial number state " + path + " holds no counter";
    return false;
  }
  return true;
}

}  // namespace mfgstation
