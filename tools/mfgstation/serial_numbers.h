// Serial numbers for a production line: the next number from a printf-style
// pattern (or the next line of a list file) and a counter kept in a state file.
//
// A number is never given twice, not even after a crash or a power cut of the
// station: the counter is advanced durably (written to a temporary file, synced,
// renamed over the state file, the folder synced) before the number leaves the
// station. Until the device has confirmed it and its record is written, the
// number is also kept in the state file as "unconfirmed"; confirm() then
// removes it, anything else (a failure, a crash) leaves it there for the
// line's records.
//
// State file, text:
//   4714                                              the next counter value
//   unconfirmed QV2026-004712 02:00:00:00:01:02 2026-12-08T09:41:07Z
// A missing file starts at 1; set_counter (mfgstation --set-counter) moves the
// counter up. Every change takes the lock file FILE.lock, so that stations
// sharing one counter never take the same number. A FILE that is a symlink is
// followed once, when the allocator is made: the file it leads to is read,
// locked (its own FILE.lock) and replaced, and the symlink stays.
#ifndef QV_TOOLS_MFGSTATION_SERIAL_NUMBERS_H
#define QV_TOOLS_MFGSTATION_SERIAL_NUMBERS_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace mfgstation {

// A pattern such as "QV2026-%06d": literal text (printable ASCII, "%%" for a
// percent sign) around exactly one integer conversion, %d %i %u %x %X or %o with
// optional flags (-+ 0#), width and precision, and no length modifier.
class SnPattern {
 public:
  // 0, or -1 with a message.
  int parse(const std::string& text, std::string* error);
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
// semicolon (a CSV export's header or columns).
int load_sn_list(const std::string& path, std::vector<std::string>* list, std::string* error);

struct UnconfirmedSn {
  std::string serial;
  std::string note;  // who took it and when
};

class SnAllocator {
 public:
  // Numbers from a pattern, or from a list (the counter then counts its lines).
  SnAllocator(const std::string& state_path, const SnPattern& pattern);
  SnAllocator(const std::string& state_path, std::vector<std::string> list);

  // Reads the state file and checks that the next count numbers can be given
  // (each fits the device's 32 characters, the list is not used up). Numbers
  // left unconfirmed by earlier runs are returned in *earlier. 0, or -1 with a
  // message.
  int check(std::size_t count, std::vector<UnconfirmedSn>* earlier, std::string* error) const;

  // Takes the next number: the state file holds the advanced counter and the
  // number as unconfirmed (with note) before this returns. 0 with *serial, or -1
  // with a message; on failure nothing was taken.
  int take(const std::string& note, std::string* serial, std::string* error);

  // The device holds serial: it is no longer kept as unconfirmed. 0, or -1.
  int confirm(const std::string& serial, std::string* error);

  // Whether this counter gave serial: it is kept as unconfirmed, or the
  // counter went past its place in the pattern or the list. 0 with *known, or
  // -1 with a message.
  int known(const std::string& serial, bool* known, std::string* error) const;

  // Sets the counter to next, under the lock. It never goes down: the numbers
  // below it were given. 0, or -1 with a message.
  int set_counter(uint64_t next, std::string* error);

  const std::string& state_path() const { return path_; }

  // The numbers that the line's record file (named where) holds: a counter
  // that would give one of them again stands behind the records (a state file
  // put back from an older copy) and gives nothing until it is set past them.
  void set_on_record(std::set<std::string> serials, const std::string& where) {
    on_record_ = std::move(serials);
    record_path_ = where;
  }

 private:
  struct State {
    uint64_t next = 1;
    std::vector<UnconfirmedSn> unconfirmed;
  };
  // Reads the state under its lock and finds the next count numbers; with a
  // note, takes the first.
  int next(std::size_t count, const std::string* note, std::string* serial, std::vector<UnconfirmedSn>* earlier,
           std::string* error) const;
  int read_state(State* state, std::string* error) const;
  int write_state(const State& state, std::string* error) const;
  int serial_for(uint64_t n, std::string* serial, std::string* error) const;

  std::string path_;
  bool from_list_ = false;
  SnPattern pattern_;
  std::vector<std::string> list_;
  std::set<std::string> on_record_;
  std::string record_path_;
};

}  // namespace mfgstation

#endif
