// Line mode with --db: the station's side of the line's ledger. Every change
// reaches the ledger at the moment it happens: a run's row when the device's
// run begins, each step as it ends, a number as it is taken, sent and
// confirmed, and the run's end with its numbers settled.
#ifndef QV_TOOLS_MFGSTATION_LINE_DB_H
#define QV_TOOLS_MFGSTATION_LINE_DB_H

#include <memory>
#include <string>

#include "ledger.h"
#include "ledger_store.h"

namespace mfgstation {

struct Options;

class LineLedger {
 public:
  // Opens the ledger of --db with the source of --sn-pattern or --sn-list.
  // Null with a message.
  static std::unique_ptr<LineLedger> open(const Options& opts, std::string* error);

  line_ledger::Ledger& ledger() { return *ledger_; }
  const line_ledger::SerialSource& source() const { return source_; }
  const std::string& host() const { return host_; }

 private:
  std::unique_ptr<line_ledger::LedgerStore> store_;
  std::unique_ptr<line_ledger::Ledger> ledger_;
  line_ledger::SerialSource source_;
  std::string host_;
};

// --set-counter N: sets the counter of --sn-state FILE, or of the ledger's
// source (--db with --sn-pattern or --sn-list), under its lock; never down.
// The exit status.
int set_counter_main(const Options& opts);

}  // namespace mfgstation

#endif
