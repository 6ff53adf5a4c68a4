// Serial numbers for a production line: a printf-style pattern or a list
// file, whose next number the line's ledger gives; and the state file of
// stations from before the ledger, read once to carry its counter and its
// open numbers into it.
//
// State file, text:
//   4714                                              the next counter value
//   unconfirmed QV2026-004712 02:00:00:00:01:02 2026-12-08T09:41:07Z
#ifndef QV_TOOLS_MFGSTATION_SERIAL_NUMBERS_H
#define QV_TOOLS_MFGSTATION_SERIAL_NUMBERS_H

#include <cstdint>
#include <string>
#include <vector>

namespace mfgstation {

// A pattern such as "QV2026-%06d": literal text (printable ASCII, "%%" for a
// percent sign) around exactly one integer conversion, %d %i %u %x %X or %o with
// optional flags (-+ 0#), width and precision, and no length modifier.
class SnPattern {
 public:
  // false with a message.
  bool parse(const std::string& text, std::string* error);
  std::string format(uint64_t n) const;
  // The n that format turns into serial: true with it, false when the pattern
  // does not make serial.
  bool number_of(const std::string& serial, uint64_t* n) const;

 private:
  std::string spec_;  // the pattern with "ll" put before the conversion letter
  std::string prefix_, suffix_;  // the literal text around the conversion
  int base_ = 10;
};

// A list file: one serial number per line (trailing blanks and CR dropped, blank
// lines skipped); no line may repeat another, and none holds a comma or a
// semicolon (a CSV export's header or columns). false with a message.
bool load_sn_list(const std::string& path, std::vector<std::string>* list, std::string* error);

struct UnconfirmedSn {
  std::string serial;
  std::string note;  // who took it and when
};

struct SnState {
  uint64_t next = 1;
  std::vector<UnconfirmedSn> unconfirmed;
};

// Reads a state file. false with a message (a missing file among them).
bool read_sn_state(const std::string& path, SnState* state, std::string* error);

}  // namespace mfgstation

#endif
