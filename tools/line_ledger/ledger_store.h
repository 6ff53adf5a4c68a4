// The line's ledger lives in a database: SQLite (one file on the station, no
// server) or PostgreSQL (one server shared by every station of a line). Both sit
// behind this small interface; everything above it (the serial numbers' life,
// the device records, the report) is one code path for both.
//
// Statements are written once, in the SQL both databases accept, with their
// parameters as $1, $2, ...; every parameter given must appear in the
// statement. Values travel as text; a NULL is a value without has_value().
#ifndef QV_TOOLS_LINE_LEDGER_LEDGER_STORE_H
#define QV_TOOLS_LINE_LEDGER_LEDGER_STORE_H

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace line_ledger {

using Value = std::optional<std::string>;
using Row = std::vector<Value>;

class LedgerStore {
 public:
  virtual ~LedgerStore() = default;

  // Runs one statement. Rows it returns, if any, are appended to *rows when rows
  // is not null. false with a message in *error on any failure.
  virtual bool run(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
                   std::string* error) = 0;

  // A transaction that either commits as a whole or leaves nothing behind. A
  // second station working on the same rows at the same time makes one of the
  // two fail with *retry set (a serialization failure or a busy database); the
  // caller starts the whole transaction again.
  virtual bool begin(std::string* error) = 0;
  virtual bool commit(bool* retry, std::string* error) = 0;
  virtual void rollback() = 0;

  // Whether the last failure of run, begin or commit came from another
  // station's transaction (a serialization failure, a deadlock, a database
  // busy beyond its wait): the whole transaction may be started again.
  virtual bool conflicted() const = 0;

  // Whether the last failure of run, begin or commit was the connection to the
  // database breaking (a server restarted, a backend terminated). The next
  // begin connects again. What a commit cut short this way did is unknown: the
  // transaction, started again, finds out by reading.
  virtual bool lost() const { return false; }

  // Since when the connection has been broken, for in_transaction: every
  // transaction waits for it to come back until kLostWaitMs after this, so
  // that a server that stays away costs the line that wait once, not once per
  // transaction. Unset while the connection works.
  std::optional<std::chrono::steady_clock::time_point> broken_since;
  // Set while in_transaction runs a body again after the connection broke at
  // its commit: the first run may have committed, and the body reads first
  // what it would otherwise write twice.
  bool in_doubt = false;

  // "sqlite" or "postgresql", for messages.
  virtual const char* kind() const = 0;
};

// Opens a ledger by name: "postgresql://..." (or "postgres://...") is a
// PostgreSQL connection URI, anything else the path of an SQLite file, created
// when missing. Creates the tables when they are not there yet. Null with a
// message on failure.
std::unique_ptr<LedgerStore> open_ledger_store(const std::string& name, std::string* error);

// The same for reading only (the report): nothing is created or changed, and a
// database without a ledger of this version is refused with a message.
std::unique_ptr<LedgerStore> open_ledger_store_read_only(const std::string& name, std::string* error);

// Whether open_ledger_store reads name as a PostgreSQL URI.
bool is_postgresql_name(const std::string& name);

// Runs body in one transaction and commits it; when another station's work
// made a statement or the commit fail, rolls back and runs body again from the
// start, a few times; when the connection broke, connects again and runs body
// again for up to kLostWaitMs. body must therefore read what it is about to
// change and do nothing twice: after a commit cut short it may find its own
// work done. body returns false with a message to roll back. true once
// committed.
inline constexpr int kLostWaitMs = 15000;
bool in_transaction(LedgerStore& store, const std::function<bool(std::string* error)>& body, std::string* error);

}  // namespace line_ledger

#endif
