// The ledger in one SQLite file. WAL lets the report read while the station
// writes; a transaction takes the write lock at its start (BEGIN IMMEDIATE), so
// that two processes on one file queue up instead of failing half-way, and
// waits for it up to kBusyMs.
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>

#include "stores.h"

namespace line_ledger {

namespace {

constexpr int kBusyMs = 10000;

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0 || errno != ENOENT; }

// Removes the -wal and -shm files that a read-only connection made beside a
// WAL-mode file that had none: a connection that may write reads the file and
// closes; when it is the last, SQLite folds the log in (empty, or what a
// station wrote meanwhile, as that station's own close would) and removes
// both; any other connection keeps them.
void remove_log_made(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
    sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  sqlite3_close_v2(db);
}

class SqliteStore : public LedgerStore {
 public:
  explicit SqliteStore(sqlite3* db) : db_(db) {}
  ~SqliteStore() override {
    sqlite3_close_v2(db_);
    if (!tidy_path_.empty() && exists(tidy_path_ + "-wal")) remove_log_made(tidy_path_);
  }
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  bool run(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
           std::string* error) override {
    conflicted_ = false;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) != SQLITE_OK)
      return fail(error);
    // By name, so that $2 may come before $1 in the text.
    const bool bound = bind(stmt, params, error);
    int rc = SQLITE_DONE;
    while (bound && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      if (!rows) continue;
      Row row;
      for (int i = 0, n = sqlite3_column_count(stmt); i < n; ++i) {
        if (sqlite3_column_type(stmt, i) == SQLITE_NULL)
          row.emplace_back();
        else
          row.emplace_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                                       static_cast<std::size_t>(sqlite3_column_bytes(stmt, i))));
      }
      rows->push_back(std::move(row));
    }
    if (bound && rc != SQLITE_DONE) fail(error);
    sqlite3_finalize(stmt);
    return bound && rc == SQLITE_DONE;
  }

  bool begin(std::string* error) override { return run("BEGIN IMMEDIATE", {}, nullptr, error); }

  bool commit(bool* retry, std::string* error) override {
    const bool ok = run("COMMIT", {}, nullptr, error);
    *retry = !ok && conflicted_;
    if (!ok) rollback();
    return ok;
  }

  void rollback() override {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }

  bool conflicted() const override { return conflicted_; }
  const char* kind() const override { return "sqlite"; }

  // For a read-only connection: it does not fold the write-ahead log into the
  // file when it closes (the last connection to close does by default, and
  // removes the log), and when the file had neither a -wal nor a -shm, those
  // that reading it made are removed after the close.
  void leave_as_found() {
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    const std::string path = sqlite3_db_filename(db_, "main");
    if (!exists(path + "-wal") && !exists(path + "-shm")) tidy_path_ = path;
  }

 private:
  bool bind(sqlite3_stmt* stmt, const std::vector<Value>& params, std::string* error) {
    if (sqlite3_bind_parameter_count(stmt) != static_cast<int>(params.size())) {
      *error = "the statement takes " + std::to_string(sqlite3_bind_parameter_count(stmt)) + " parameters, " +
               std::to_string(params.size()) + " given";
      return false;
    }
    for (std::size_t i = 0; i < params.size(); ++i) {
      const std::string name = "$" + std::to_string(i + 1);
      const int index = sqlite3_bind_parameter_index(stmt, name.c_str());
      if (index == 0) {
        *error = "the statement has no parameter " + name;
        return false;
      }
      const int rc = params[i] ? sqlite3_bind_text(stmt, index, params[i]->data(), static_cast<int>(params[i]->size()),
                                                   SQLITE_TRANSIENT)
                               : sqlite3_bind_null(stmt, index);
      if (rc != SQLITE_OK) return fail(error);
    }
    return true;
  }

  bool fail(std::string* error) {
    const int code = sqlite3_errcode(db_) & 0xff;
    conflicted_ = code == SQLITE_BUSY || code == SQLITE_LOCKED;
    *error = sqlite3_errmsg(db_);
    return false;
  }

  sqlite3* db_;
  bool conflicted_ = false;
  std::string tidy_path_;  // the file whose -wal and -shm to remove after closing
};

}  // namespace

std::unique_ptr<LedgerStore> open_sqlite_store(const std::string& path, bool read_only, std::string* error) {
  sqlite3* db = nullptr;
  // Read only, the file is left as it was found, ledger or not: opened
  // read-only, and left as found when closed (leave_as_found). A station
  // writing at the same time is read as usual, under SQLite's locks.
  const int flags = read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    *error = "cannot open the ledger " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close_v2(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyMs);
  auto store = std::make_unique<SqliteStore>(db);
  if (read_only) {
    store->leave_as_found();
    return check_schema(*store, error) ? std::move(store) : nullptr;
  }
  // FULL: a number is on disk before it leaves the station, also in WAL mode.
  std::vector<Row> mode;
  if (!store->run("PRAGMA journal_mode = WAL", {}, &mode, error) ||
      !store->run("PRAGMA synchronous = FULL", {}, nullptr, error) || !create_schema(*store, error)) {
    *error = "the ledger " + path + ": " + *error;
    return nullptr;
  }
  return store;
}

}  // namespace line_ledger
