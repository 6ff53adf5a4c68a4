#include "ledger_store.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "schema.h"
#include "stores.h"

namespace line_ledger {

namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, std::char_traits<char>::length(prefix), prefix) == 0; }

// Another station's transaction holds the rows for milliseconds; a few tries
// with a growing pause get past it without hiding a database that is stuck.
constexpr int kTries = 8;

}  // namespace

bool in_transaction(LedgerStore& store, const std::function<bool(std::string* error)>& body, std::string* error) {
  using Clock = std::chrono::steady_clock;
  struct Doubt {
    LedgerStore& store;
    ~Doubt() { store.in_doubt = false; }
  } doubt{store};
  for (int attempt = 1, conflicts = 0;; ++attempt) {
    bool retry = false;
    if (store.begin(error)) {
      if (body(error)) {
        if (store.commit(&retry, error)) {
          store.broken_since.reset();
          return true;
        }
        retry = retry || store.lost();
        store.in_doubt = store.in_doubt || store.lost();
      } else {
        retry = store.conflicted() || store.lost();
        store.rollback();
      }
    } else {
      retry = store.conflicted() || store.lost();
    }
    if (!retry) return false;
    if (store.lost()) {
      // A server that comes back within the wait loses no device's run.
      if (!store.broken_since) store.broken_since = Clock::now();
      if (Clock::now() - *store.broken_since >= std::chrono::milliseconds(kLostWaitMs)) {
        *error = "the connection to the ledger is broken (" + std::to_string(kLostWaitMs / 1000) +
                 " s without it): " + *error;
        return false;
      }
      // Tried again at once, then every few milliseconds: a backend cut off
      // now and then costs no more than a new connection, and a server that
      // is away refuses one at once.
      if (attempt > 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    if (++conflicts == kTries) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2 << conflicts));
  }
}

bool create_schema(LedgerStore& store, std::string* error) {
  const std::string version = std::to_string(kSchemaVersion);
  return in_transaction(
      store,
      [&](std::string* e) {
        for (const char* statement : kSchema)
          if (!store.run(statement, {}, nullptr, e)) return false;
        // The first station to open the ledger sets these; the others find them.
        if (!store.run("INSERT INTO ledger_meta (key, value) VALUES ('schema_version', $1) ON CONFLICT (key) DO NOTHING",
                       {version}, nullptr, e) ||
            !store.run("INSERT INTO ledger_meta (key, value) VALUES ('next_run_id', '1') ON CONFLICT (key) DO NOTHING",
                       {}, nullptr, e))
          return false;
        // A ledger that an older station made is brought up to this version,
        // in this transaction: it commits whole or not at all.
        int found = 0;
        if (!check_schema(store, e, &found)) return false;
        if (found == kSchemaVersion) return true;
        for (const Upgrade& u : kUpgrades)
          if (u.to_version > found && !store.run(u.statement, {}, nullptr, e)) return false;
        return store.run("UPDATE ledger_meta SET value = $1 WHERE key = 'schema_version'", {version}, nullptr, e);
      },
      error);
}

bool check_schema(LedgerStore& store, std::string* error, int* version) {
  std::vector<Row> rows;
  if (!store.run("SELECT value FROM ledger_meta WHERE key = 'schema_version'", {}, &rows, error)) {
    *error = "not a line ledger (" + error->substr(0, error->find('\n')) + ")";
    return false;
  }
  const std::string text = rows.size() == 1 ? rows[0][0].value_or("?") : "?";
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || v < kOldestSchemaVersion || v > kSchemaVersion) {
    *error = "the ledger's tables are of version " + text + ", this station knows versions " +
             std::to_string(kOldestSchemaVersion) + " to " + std::to_string(kSchemaVersion);
    return false;
  }
  if (version) *version = static_cast<int>(v);
  return true;
}

bool is_postgresql_name(const std::string& name) {
  return starts_with(name, "postgresql://") || starts_with(name, "postgres://");
}

std::unique_ptr<LedgerStore> open_ledger_store(const std::string& name, std::string* error) {
  if (name.empty()) {
    *error = "the ledger's name is empty";
    return nullptr;
  }
  return is_postgresql_name(name) ? open_postgres_store(name, false, error) : open_sqlite_store(name, false, error);
}

std::unique_ptr<LedgerStore> open_ledger_store_read_only(const std::string& name, std::string* error) {
  if (name.empty()) {
    *error = "the ledger's name is empty";
    return nullptr;
  }
  return is_postgresql_name(name) ? open_postgres_store(name, true, error) : open_sqlite_store(name, true, error);
}

}  // namespace line_ledger
