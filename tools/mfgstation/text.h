// printf into a std::string, for the station's messages.
#ifndef QV_TOOLS_MFGSTATION_TEXT_H
#define QV_TOOLS_MFGSTATION_TEXT_H

#include <cstdarg>
#include <string>

namespace mfgstation {

// The whole text, however long.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));

}  // namespace mfgstation

#endif
