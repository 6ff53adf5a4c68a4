// The ledger on a PostgreSQL server that every station of a line shares.
// Transactions run at READ COMMITTED: every statement that changes a shared
// row (a source's counter, the run counter) is an UPDATE of that row first,
// which holds the row until the commit, so two stations queue up on it; a
// deadlock or serialization failure is reported as a conflict to retry.
#include <libpq-fe.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "stores.h"

namespace line_ledger {

namespace {

// Any number that no other part of the line uses as an advisory lock: it keeps
// two stations that open a new ledger at once from creating the tables twice.
constexpr long long kSchemaLock = 0x51564c4544474552LL;  // "QVLEDGER"

std::string trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

class PostgresStore : public LedgerStore {
 public:
  // setup: a statement every session runs first ("" none), again after a
  // reconnection.
  PostgresStore(PGconn* conn, std::string setup) : conn_(conn), setup_(std::move(setup)) {}
  ~PostgresStore() override { PQfinish(conn_); }
  PostgresStore(const PostgresStore&) = delete;
  PostgresStore& operator=(const PostgresStore&) = delete;

  bool run(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
           std::string* error) override {
    conflicted_ = lost_ = false;
    // A server restarted between two transactions: connect again. Inside a
    // transaction, what it had done is gone, so that is a failure.
    if (!in_transaction_ && PQstatus(conn_) == CONNECTION_BAD) {
      PQreset(conn_);
      if (PQstatus(conn_) == CONNECTION_OK && !set_up(error)) return false;
    }
    std::vector<const char*> values;
    for (const Value& v : params) values.push_back(v ? v->c_str() : nullptr);
    PGresult* res = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                                 nullptr, nullptr, 0);
    const ExecStatusType status = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
      // 40001 serialization failure, 40P01 deadlock.
      conflicted_ = state && (std::strcmp(state, "40001") == 0 || std::strcmp(state, "40P01") == 0);
      // A terminated backend says so (57P01) before it closes the connection;
      // a connection that broke on its own shows as CONNECTION_BAD.
      lost_ = PQstatus(conn_) == CONNECTION_BAD || (state && std::strncmp(state, "57P", 3) == 0) ||
              (state && std::strncmp(state, "08", 2) == 0);
      *error = trimmed(res ? PQresultErrorMessage(res) : PQerrorMessage(conn_));
      if (error->empty()) *error = trimmed(PQerrorMessage(conn_));
      PQclear(res);
      return false;
    }
    if (rows)
      for (int r = 0, n = PQntuples(res); r < n; ++r) {
        Row row;
        for (int c = 0, m = PQnfields(res); c < m; ++c) {
          if (PQgetisnull(res, r, c))
            row.emplace_back();
          else
            row.emplace_back(std::string(PQgetvalue(res, r, c), static_cast<std::size_t>(PQgetlength(res, r, c))));
        }
        rows->push_back(std::move(row));
      }
    PQclear(res);
    return true;
  }

  bool begin(std::string* error) override {
    if (!run("BEGIN ISOLATION LEVEL READ COMMITTED", {}, nullptr, error)) return false;
    in_transaction_ = true;
    return true;
  }

  bool commit(bool* retry, std::string* error) override {
    const bool ok = run("COMMIT", {}, nullptr, error);
    *retry = !ok && (conflicted_ || lost_);
    const bool lost = lost_;
    if (!ok) rollback();
    lost_ = lost;
    in_transaction_ = false;
    return ok;
  }

  void rollback() override {
    PQclear(PQexec(conn_, "ROLLBACK"));
    in_transaction_ = false;
  }

  bool set_up(std::string* error) { return setup_.empty() || run(setup_, {}, nullptr, error); }

  bool conflicted() const override { return conflicted_; }
  bool lost() const override { return lost_; }
  const char* kind() const override { return "postgresql"; }

 private:
  PGconn* conn_;
  std::string setup_;
  bool conflicted_ = false;
  bool lost_ = false;
  bool in_transaction_ = false;
};

// Connects and makes the ledger ready: false with a message, *lost set when
// the connection broke on the way.
std::unique_ptr<PostgresStore> try_open(const std::string& uri, bool read_only, bool* lost, std::string* error) {
  *lost = false;
  PGconn* conn = PQconnectdb(uri.c_str());
  if (!conn || PQstatus(conn) != CONNECTION_OK) {
    *error = "cannot reach the ledger on PostgreSQL: " + trimmed(conn ? PQerrorMessage(conn) : "out of memory");
    PQfinish(conn);
    return nullptr;
  }
  // "relation already exists, skipping" and the like are not the station's
  // business.
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  // Read only, the server itself refuses any change in this session, and in
  // every session after a reconnection.
  auto store = std::make_unique<PostgresStore>(
      conn, read_only ? "SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY" : "");
  if (read_only) {
    const bool ok = store->set_up(error) && check_schema(*store, error);
    *lost = !ok && store->lost();
    return ok ? std::move(store) : nullptr;
  }
  const std::string lock = std::to_string(kSchemaLock);
  std::string unlock_error;
  const bool ok = store->run("SELECT pg_advisory_lock($1)", {lock}, nullptr, error) && create_schema(*store, error);
  *lost = !ok && store->lost();
  store->run("SELECT pg_advisory_unlock($1)", {lock}, nullptr, &unlock_error);
  if (!ok) {
    *error = "the ledger on PostgreSQL: " + *error;
    return nullptr;
  }
  return store;
}

}  // namespace

std::unique_ptr<LedgerStore> open_postgres_store(const std::string& uri, bool read_only, std::string* error) {
  // A connection that breaks while the ledger is opened is tried again, as a
  // transaction's is; a server that refuses the connection is not waited for.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLostWaitMs);
  for (;;) {
    bool lost = false;
    std::unique_ptr<PostgresStore> store = try_open(uri, read_only, &lost, error);
    if (store) return store;
    if (!lost || std::chrono::steady_clock::now() >= until) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace line_ledger
