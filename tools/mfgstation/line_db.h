// The line's one book of serial numbers and device runs: the ledger of --db
// (an SQLite file on the station, or a PostgreSQL server the line shares). The
// station writes every change to it at the moment it happens: a run's row when
// the device's run begins, each step as it ends, a number as it is taken, sent
// and confirmed, and the run's end with its numbers settled.
//
// A run whose end the ledger could not take is ended from the record file
// (--record) when the line next opens the ledger.
//
// What the line used before the ledger never comes back from it: a state file
// of --sn-state is carried in (its counter, and its numbers never confirmed as
// void), and a number of the record file (--record) that the counter reaches is
// passed over and entered as void.
#ifndef QV_TOOLS_MFGSTATION_LINE_DB_H
#define QV_TOOLS_MFGSTATION_LINE_DB_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ledger.h"
#include "ledger_store.h"
#include "line_record.h"

namespace mfgstation {

struct Options;

class LineLedger {
 public:
  // Opens the ledger of --db with the source of --sn-pattern or --sn-list,
  // the record file's numbers, and carries in the state file of --sn-state.
  // Notes for the operator go to *notes. Null with a message.
  static std::unique_ptr<LineLedger> open(const Options& opts, std::vector<std::string>* notes, std::string* error);

  line_ledger::Ledger& ledger() { return *ledger_; }
  const line_ledger::SerialSource& source() const { return source_; }
  const std::string& host() const { return host_; }

  // A run whose end the ledger could not take (its connection stayed
  // broken): kept, to be written by end_deferred.
  void defer_end(int64_t run_id, const line_ledger::RunEnd& end, const line_ledger::RunFacts& facts);
  // Writes the deferred ends; the runs it still cannot end, one line each in
  // *left ("run 12 as running: ..."). true when none is left.
  bool end_deferred(std::vector<std::string>* left);

 private:
  bool carry_state(const std::string& path, std::vector<std::string>* notes, std::string* error);
  // Runs of the record file that the ledger still has as running (their
  // station could not write their end, and stopped): ended as recorded.
  bool end_missed_runs(const std::vector<RecordedEnd>& ends, const std::string& path,
                       std::vector<std::string>* notes, std::string* error);

  std::unique_ptr<line_ledger::LedgerStore> store_;
  std::unique_ptr<line_ledger::Ledger> ledger_;
  line_ledger::SerialSource source_;
  std::string host_;
  struct Deferred {
    int64_t run_id;
    line_ledger::RunEnd end;
    line_ledger::RunFacts facts;
  };
  std::mutex deferred_mutex_;
  std::vector<Deferred> deferred_;
};

// --set-counter N: sets the counter of the ledger's source (--db with
// --sn-pattern or --sn-list); never down. The exit status.
int set_counter_main(const Options& opts);

}  // namespace mfgstation

#endif
