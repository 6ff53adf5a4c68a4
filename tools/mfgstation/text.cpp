#include "text.h"

#include <cstdarg>
#include <cstdio>

namespace mfgstation {

std::string vformat(const char* fmt, va_list ap) {
  char buf[512];
  va_list again;
  va_copy(again, ap);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
  std::string text;
  if (n >= static_cast<int>(sizeof buf)) {  // longer: formatted again into a string of its size
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(&text[0], text.size(), fmt, again);
    text.resize(static_cast<size_t>(n));
  } else if (n >= 0) {
    text = buf;
  }
  va_end(again);
  return text;
}

std::string format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  return text;
}

}  // namespace mfgstation
