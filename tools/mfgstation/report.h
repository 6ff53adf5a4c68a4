// How the station tells the operator: one interface with the plain printer
// (single device) and the live view (line mode) behind it.
#ifndef QV_TOOLS_MFGSTATION_REPORT_H
#define QV_TOOLS_MFGSTATION_REPORT_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace mfgstation {

class Reporter {
 public:
  virtual ~Reporter() = default;
  // A failure or a warning, "what: why", without the program's name.
  virtual void error(const std::string& text) = 0;
  // A result, as "connect: connected to ...".
  virtual void note(const std::string& text) = 0;
  // A chunk confirmed: done of total bytes, seconds since the first chunk.
  virtual void progress(uint64_t done, uint64_t total, double seconds) = 0;
  // The device is busy with what ("writing Kernel") from now on and tells
  // nothing until it is done; an empty what says that it is over.
  virtual void phase(const std::string& what) = 0;
};

// Errors on err after "mfgstation: ", notes on out, each written out at once;
// progress as a bar redrawn at most ten times a second on a terminal, otherwise
// a line at every tenth. A phase adds nothing: the station tells of its start
// in a line of its own.
class PlainReporter : public Reporter {
 public:
  PlainReporter(FILE* out, FILE* err, bool terminal) : out_(out), err_(err), terminal_(terminal) {}
  void error(const std::string& text) override;
  void note(const std::string& text) override;
  void progress(uint64_t done, uint64_t total, double seconds) override;
  void phase(const std::string&) override {}

 private:
  void end_bar();
  FILE* out_;
  FILE* err_;
  bool terminal_;
  bool bar_open_ = false;  // a bar stands on the terminal's line without its newline
  uint64_t last_done_ = 0;
  int last_tenth_ = 0;
  double last_draw_ = -1;
};

}  // namespace mfgstation

#endif
