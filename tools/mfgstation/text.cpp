#include "text.h"

#include <cstdarg>
#include <cstdio>

namespace mfgstation {

std::string format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

}  // namespace mfgstation
