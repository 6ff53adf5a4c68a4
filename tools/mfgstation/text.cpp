#include "text.h"

#include <cstdarg>
#include <cstdio>

namespace mfgstation {

std::string vformat(const char* fmt, va_list ap) {
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  return buf;
}

std::string format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  return text;
}

}  // namespace mfgstation
