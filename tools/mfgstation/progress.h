// The lines that show a transfer's progress.
#ifndef QV_TOOLS_MFGSTATION_PROGRESS_H
#define QV_TOOLS_MFGSTATION_PROGRESS_H

#include <cstdint>
#include <string>

namespace mfgstation {

// Progress of a transfer: a redrawn bar on a terminal, plain lines at every tenth
// otherwise.
std::string progress_bar_line(uint64_t done, uint64_t total, double seconds);
std::string progress_plain_line(uint64_t done, uint64_t total, double seconds);

}  // namespace mfgstation

#endif
